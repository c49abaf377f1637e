#include "tools/panelchannelcorrections.h"

#include "device/tdciface.h"

#include <QByteArray>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {
constexpr int min_correction = -32768;
constexpr int max_correction = 32767;
const char *const geometry_key = "panelchcorr/geometry";
// A spin box whose device value lies outside what it can show.
const char *const out_of_range_style = "QSpinBox { color: #C00000; background-color: #FFE0A0; }";
// A spin box whose last change the device refused.
const char *const refused_style = "QSpinBox { color: #C00000; background-color: #FFC8C8; }";
} // namespace

PanelChannelCorrections::PanelChannelCorrections(TdcIface *tdc, QString orgName, QString appName,
                                                 QWidget *parent)
    : QWidget(parent), tdc(tdc), orgName(std::move(orgName)), appName(std::move(appName)),
      rowsLayout(new QVBoxLayout), scrollArea(nullptr), lb_read_failure(new QLabel(this)) {
    auto *outer = new QVBoxLayout;
    auto *inner = new QWidget;
    inner->setLayout(rowsLayout);
    // Few rows sit together at the top instead of spreading over the height.
    rowsLayout->setAlignment(Qt::AlignTop);
    scrollArea = new QScrollArea;
    scrollArea->setWidget(inner);
    scrollArea->setWidgetResizable(true);
    lb_read_failure->setObjectName("lb_read_failure");
    lb_read_failure->setWordWrap(true);
    lb_read_failure->setMargin(4);
    lb_read_failure->setStyleSheet("QLabel { color: #C00000; }");
    lb_read_failure->hide();
    outer->addWidget(lb_read_failure);
    outer->addWidget(scrollArea);
    outer->setContentsMargins(0, 0, 0, 0);
    setLayout(outer);
    setMinimumHeight(200);

    if (!tdc->is_initialized())
        setRowCount(1); // a placeholder, tied to no channel
    else
        devConnected();

    // Queued: the rows are rebuilt after whoever opened the device is done.
    connect(tdc, &TdcIface::connected, this, &PanelChannelCorrections::devConnected,
            Qt::QueuedConnection);
    connect(tdc, &TdcIface::disconnecting, this, &PanelChannelCorrections::devDisconnected);
    connect(tdc, &TdcIface::connection_lost, this, &PanelChannelCorrections::devDisconnected);
    connect(tdc, &TdcIface::corrections_changed, this,
            &PanelChannelCorrections::show_written_corrections);

    QSettings settings(this->orgName, this->appName);
    restoreGeometry(settings.value(geometry_key).toByteArray());
}

PanelChannelCorrections::~PanelChannelCorrections() = default;

void PanelChannelCorrections::closeEvent(QCloseEvent *event) {
    QSettings settings(orgName, appName);
    settings.setValue(geometry_key, saveGeometry());
    event->accept();
}

void PanelChannelCorrections::devConnected() {
    read_device();
}

void PanelChannelCorrections::devDisconnected() {
    setRowsEnabled(false);
}

// Some editor wrote the corrections: every editor shows what the device now holds.
void PanelChannelCorrections::show_written_corrections() {
    read_device();
}

// Rows that show values of an earlier device, or none, must not be edited:
// on a failed read they stay disabled with the reason shown.
bool PanelChannelCorrections::read_device() {
    std::vector<int32_t> values;
    if (tdc->get_corrections(values) != 0) {
        show_read_failure(tdc->get_error_message());
        return false;
    }
    corrections = std::move(values);
    lb_read_failure->hide();
    lb_read_failure->clear();
    setRowCount(static_cast<int>(std::min<size_t>(corrections.size(), max_rows)));
    show_device_values();
    setRowsEnabled(true);
    return true;
}

void PanelChannelCorrections::show_read_failure(const QString &reason) {
    corrections.clear();
    setRowsEnabled(false);
    const QString text = "The channel shifts could not be read from the device: " + reason;
    lb_read_failure->setText(text);
    lb_read_failure->show();
    for (const ChannelRow &row : rows)
        mark(row.spinBox, "", text);
}

void PanelChannelCorrections::slotValueChanged(int value) {
    if (filling_rows)
        return;
    auto *spin_box = qobject_cast<QSpinBox *>(sender());
    if (spin_box == nullptr)
        return;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].spinBox != spin_box)
            continue;
        if (i < corrections.size())
            write_channel(i, value);
        return;
    }
}

// Another editor may have changed other channels since this one last read, so
// only this channel changes in what the device holds now. The whole set goes
// back, channels beyond the rows included.
void PanelChannelCorrections::write_channel(size_t channel, int value) {
    std::vector<int32_t> current;
    if (tdc->get_corrections(current) != 0) {
        refuse_change(channel, QString("ch%1: %2 was not written, the channel shifts could not be "
                                       "read from the device: %3")
                                   .arg(channel)
                                   .arg(value)
                                   .arg(tdc->get_error_message()));
        return;
    }
    if (channel >= current.size()) {
        refuse_change(channel, QString("ch%1: %2 was not written, the device now has %3 channels")
                                   .arg(channel)
                                   .arg(value)
                                   .arg(current.size()));
        return;
    }
    const int32_t kept = current[channel];
    current[channel] = value;
    // Success: the device interface announces the change and every editor,
    // this one included, shows the device's values.
    if (tdc->set_corrections(current) >= 0)
        return;
    const QString reason = tdc->get_error_message();
    current[channel] = kept;
    corrections = std::move(current);
    show_device_values();
    refuse_change(channel, QString("ch%1: the device refused %2 and keeps %3: %4")
                               .arg(channel)
                               .arg(value)
                               .arg(kept)
                               .arg(reason));
}

// The row goes back to the device's value (the last one known) and says why.
void PanelChannelCorrections::refuse_change(size_t channel, const QString &message) {
    QSpinBox *spin_box = rows[channel].spinBox;
    filling_rows = true;
    show_device_value(spin_box, corrections[channel]);
    filling_rows = false;
    mark(spin_box, refused_style, message);
    emit show_this(message);
}

// Values read from the device are shown, never written back.
void PanelChannelCorrections::show_device_values() {
    filling_rows = true;
    const size_t shown = std::min(corrections.size(), rows.size());
    for (size_t i = 0; i < shown; ++i)
        show_device_value(rows[i].spinBox, corrections[i]);
    filling_rows = false;
}

// A value the spin box cannot hold is shown clamped and marked; writes of
// other rows carry the true value, read from the device, unchanged.
void PanelChannelCorrections::show_device_value(QSpinBox *spin_box, int32_t value) {
    spin_box->setValue(value);
    if (value < min_correction || value > max_correction)
        mark(spin_box, out_of_range_style,
             QString("The device holds %1, which lies outside %2 ... %3; it is shown clamped "
                     "and kept unless you change this channel.")
                 .arg(value)
                 .arg(min_correction)
                 .arg(max_correction));
    else
        mark(spin_box, "", QString());
}

void PanelChannelCorrections::mark(QSpinBox *spin_box, const char *style, const QString &tip) {
    spin_box->setStyleSheet(style);
    spin_box->setToolTip(tip);
}

void PanelChannelCorrections::setRowCount(int count) {
    count = std::max(0, std::min(count, max_rows));
    while (static_cast<int>(rows.size()) < count) {
        const QString text = QString("ch%1").arg(static_cast<unsigned>(rows.size()));
        auto *row_widget = new QWidget(this);
        auto *spin_box = new QSpinBox(row_widget);
        auto *label = new QLabel(text, row_widget);
        auto *row_layout = new QHBoxLayout;
        row_layout->addWidget(label, 0);
        row_layout->addWidget(spin_box, 0);
        spin_box->setRange(min_correction, max_correction);
        row_layout->setContentsMargins(0, 0, 0, 0);
        row_widget->setLayout(row_layout);
        rows.push_back(ChannelRow{row_widget, spin_box});
        connect(spin_box, qOverload<int>(&QSpinBox::valueChanged), this,
                &PanelChannelCorrections::slotValueChanged);
        rowsLayout->addWidget(row_widget, 0);
    }
    while (static_cast<int>(rows.size()) > count) {
        QWidget *row_widget = rows.back().rowWidget;
        rowsLayout->removeWidget(row_widget);
        row_widget->deleteLater();
        rows.pop_back();
    }
}

void PanelChannelCorrections::setRowsEnabled(bool enabled) {
    for (const ChannelRow &row : rows)
        row.spinBox->setEnabled(enabled);
}
