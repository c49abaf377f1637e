#include "tools/remotecontroldialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

RemoteControlDialog::RemoteControlDialog(QWidget *parent)
    : QDialog(parent), ck_enabled(new QCheckBox(QStringLiteral("Remote control on"), this)),
      sb_port(new QSpinBox(this)),
      ck_allow_others(new QCheckBox(QStringLiteral("allow other machines"), this)),
      lb_warning(new QLabel(this)), lb_status(new QLabel(this)), lb_clients(new QLabel(this)) {
    setWindowTitle(QStringLiteral("Velmora: Remote Control"));
    sb_port->setRange(0, 65535);
    sb_port->setValue(5025);
    sb_port->setToolTip(QStringLiteral("0 takes any free port"));
    lb_warning->setWordWrap(true);
    lb_warning->setStyleSheet(QStringLiteral("QLabel { color: #b00000; }"));
    lb_warning->setText(QStringLiteral("Anyone on the network can run the device and write "
                                       "files, with no password."));
    lb_status->setObjectName(QStringLiteral("lb_status"));
    lb_clients->setObjectName(QStringLiteral("lb_clients"));
    lb_clients->setWordWrap(true);

    auto *form = new QFormLayout;
    form->addRow(ck_enabled);
    form->addRow(QStringLiteral("port:"), sb_port);
    form->addRow(ck_allow_others);
    form->addRow(QStringLiteral("state:"), lb_status);
    form->addRow(QStringLiteral("clients:"), lb_clients);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Apply | QDialogButtonBox::Close, this);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(lb_warning);
    layout->addWidget(buttons);
    setMinimumWidth(380);

    connect(ck_allow_others, &QCheckBox::toggled, this, &RemoteControlDialog::update_warning);
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this,
            [this] { emit apply_requested(remote_enabled(), port(), allow_others()); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    set_clients({});
    update_warning();
}

void RemoteControlDialog::set_values(bool enabled, int port, bool allow_others) {
    ck_enabled->setChecked(enabled);
    sb_port->setValue(port);
    ck_allow_others->setChecked(allow_others);
}

void RemoteControlDialog::set_status(const QString &text) {
    lb_status->setText(text);
}

void RemoteControlDialog::set_clients(const QStringList &peers) {
    lb_clients->setText(peers.isEmpty() ? QStringLiteral("none")
                                        : peers.join(QStringLiteral("\n")));
}

bool RemoteControlDialog::remote_enabled() const {
    return ck_enabled->isChecked();
}

int RemoteControlDialog::port() const {
    return sb_port->value();
}

bool RemoteControlDialog::allow_others() const {
    return ck_allow_others->isChecked();
}

void RemoteControlDialog::update_warning() {
    lb_warning->setVisible(ck_allow_others->isChecked());
    // The wrapped warning needs its height before the dialog is drawn.
    adjustSize();
}
