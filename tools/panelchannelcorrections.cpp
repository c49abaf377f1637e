#include "panelchannelcorrections.h"

#include "tdciface.h"

#include <QByteArray>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {
constexpr int minCorrection = -32768;
constexpr int maxCorrection = 32767;
const char *const geometryKey = "panelchcorr/geometry";
// Colour of a spin box whose device value lies outside what it can show.
const char *const outOfRangeStyle = "QSpinBox { color: #C00000; background-color: #FFE0A0; }";
} // namespace

PanelChannelCorrections::PanelChannelCorrections(TdcIface *tdc, QString orgName, QString appName,
                                                 QWidget *parent)
    : QWidget(parent), tdc(tdc), orgName(std::move(orgName)), appName(std::move(appName)),
      rowsLayout(new QVBoxLayout), scrollArea(nullptr) {
    auto *outer = new QVBoxLayout;
    auto *inner = new QWidget;
    inner->setLayout(rowsLayout);
    // Few rows sit together at the top instead of spreading over the height.
    rowsLayout->setAlignment(Qt::AlignTop);
    scrollArea = new QScrollArea;
    scrollArea->setWidget(inner);
    scrollArea->setWidgetResizable(true);
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

    QSettings settings(this->orgName, this->appName);
    restoreGeometry(settings.value(geometryKey).toByteArray());
}

PanelChannelCorrections::~PanelChannelCorrections() = default;

void PanelChannelCorrections::closeEvent(QCloseEvent *event) {
    QSettings settings(orgName, appName);
    settings.setValue(geometryKey, saveGeometry());
    event->accept();
}

void PanelChannelCorrections::devConnected() {
    if (tdc->get_corrections(corrections) == 0) {
        setRowCount(static_cast<int>(std::min<size_t>(corrections.size(), maxRows)));
        showDeviceValues();
    }
    setRowsEnabled(true);
}

void PanelChannelCorrections::devDisconnected() {
    setRowsEnabled(false);
}

void PanelChannelCorrections::slotValueChanged(int value) {
    if (fillingRows)
        return;
    auto *spinBox = qobject_cast<QSpinBox *>(sender());
    if (spinBox == nullptr)
        return;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].spinBox != spinBox)
            continue;
        if (i < corrections.size()) {
            clearOutOfRangeMark(spinBox);
            corrections[i] = value;
            // The device takes the whole set at once, channels beyond the rows included.
            tdc->set_corrections(corrections);
        }
        return;
    }
}

// Values read from the device are shown, never written back.
void PanelChannelCorrections::showDeviceValues() {
    fillingRows = true;
    const size_t shown = std::min(corrections.size(), rows.size());
    for (size_t i = 0; i < shown; ++i)
        showDeviceValue(rows[i].spinBox, corrections[i]);
    fillingRows = false;
}

// A value the spin box cannot hold is shown clamped and marked; the true value
// stays in `corrections`, so other rows' writes carry it unchanged.
void PanelChannelCorrections::showDeviceValue(QSpinBox *spinBox, int32_t value) {
    spinBox->setValue(value);
    if (value < minCorrection || value > maxCorrection) {
        spinBox->setToolTip(
            QString("The device holds %1, which lies outside %2 ... %3; it is shown clamped "
                    "and kept unless you change this channel.")
                .arg(value)
                .arg(minCorrection)
                .arg(maxCorrection));
        spinBox->setStyleSheet(outOfRangeStyle);
    } else {
        clearOutOfRangeMark(spinBox);
    }
}

void PanelChannelCorrections::clearOutOfRangeMark(QSpinBox *spinBox) {
    spinBox->setToolTip(QString());
    spinBox->setStyleSheet(QString());
}

void PanelChannelCorrections::setRowCount(int count) {
    count = std::max(0, std::min(count, maxRows));
    while (static_cast<int>(rows.size()) < count) {
        const QString text = QString("ch%1").arg(static_cast<unsigned>(rows.size()));
        auto *rowWidget = new QWidget(this);
        auto *spinBox = new QSpinBox(rowWidget);
        auto *label = new QLabel(text, rowWidget);
        auto *rowLayout = new QHBoxLayout;
        rowLayout->addWidget(label, 0);
        rowLayout->addWidget(spinBox, 0);
        spinBox->setRange(minCorrection, maxCorrection);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        rowWidget->setLayout(rowLayout);
        rows.push_back(ChannelRow{rowWidget, spinBox});
        connect(spinBox, qOverload<int>(&QSpinBox::valueChanged), this,
                &PanelChannelCorrections::slotValueChanged);
        rowsLayout->addWidget(rowWidget, 0);
    }
    while (static_cast<int>(rows.size()) > count) {
        QWidget *rowWidget = rows.back().rowWidget;
        rowsLayout->removeWidget(rowWidget);
        rowWidget->deleteLater();
        rows.pop_back();
    }
}

void PanelChannelCorrections::setRowsEnabled(bool enabled) {
    for (const ChannelRow &row : rows)
        row.spinBox->setEnabled(enabled);
}
