#include "tools/panelepot.h"

#include "device/tdciface.h"
#include "tools/labeleditset.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

namespace {
// Fifth argument of the bus calls: 0 keeps the bus for the read that follows a
// register-pointer write, 1 ends the transfer.
constexpr int32_t keep_bus = 0;
constexpr int32_t end_transfer = 1;
} // namespace

PanelEpot::PanelEpot(TdcIface *tdc, QWidget *parent)
    : QWidget(parent), tdc(tdc), epot1r1(new LabelEditSet("Threshold CFD", 0, 255, this)),
      epot1r2(new LabelEditSet("Zero CFD", 0, 255, this)), bu_read(new QPushButton("read")),
      lb_result(new QLabel(this)), device_connected(false) {
    epot1r1->setObjectName("epot1r1");
    epot1r2->setObjectName("epot1r2");
    bu_read->setObjectName("bu_read");
    lb_result->setObjectName("lb_result");

    const QFontMetrics metrics(font());
    setMinimumWidth(32 * metrics.averageCharWidth());
    lb_result->setMinimumWidth(25 * metrics.averageCharWidth());
    // Room for two and a half lines: "failure" and the library's text.
    lb_result->setMinimumHeight(metrics.height() * 5 / 2);

    auto *layout = new QVBoxLayout;
    layout->addWidget(new QLabel("Control DS3902 Potentiometer", this));
    layout->addWidget(epot1r1);
    layout->addWidget(epot1r2);
    layout->addWidget(bu_read);
    layout->addWidget(lb_result);
    setLayout(layout);

    connect(epot1r1, &LabelEditSet::newValueSet, this, &PanelEpot::slot_epot1r1);
    connect(epot1r2, &LabelEditSet::newValueSet, this, &PanelEpot::slot_epot1r2);
    connect(tdc, &TdcIface::connected, this, &PanelEpot::deviceConnected);
    connect(tdc, &TdcIface::disconnecting, this, &PanelEpot::deviceDisconnected);
    // A lost device is gone as surely as a closed one.
    connect(tdc, &TdcIface::connection_lost, this, &PanelEpot::deviceDisconnected);
    connect(bu_read, &QPushButton::clicked, this, &PanelEpot::bu_read_clicked);
    connect(tdc, &TdcIface::potentiometer_written, this, &PanelEpot::show_written);

    // A device opened before this panel was built is read when it is shown.
    device_connected = tdc->is_initialized();
    epot1r1->setEnabled(device_connected);
    epot1r2->setEnabled(device_connected);
    bu_read->setEnabled(device_connected);
}

PanelEpot::~PanelEpot() = default;

void PanelEpot::slot_epot1r1(int value) {
    write_register(reg_threshold, value);
}

void PanelEpot::slot_epot1r2(int value) {
    write_register(reg_zero, value);
}

void PanelEpot::write_register(uint8_t reg, int value) {
    if (static_cast<unsigned>(value) > 255u)
        return;
    uint8_t bytes[2] = {reg, static_cast<uint8_t>(value)};
    // The library's contract: any non-negative result is a success.
    show_result(tdc->twi_write(bus_address, bytes, 2, end_transfer) >= 0);
}

// Opening the window shows what the device holds now, not what it held when
// the window was last open; a window only brought back from the task bar keeps
// what it shows.
void PanelEpot::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (!event->spontaneous())
        read_device();
}

// Another device, or the same one changed meanwhile: what the rows show may no
// longer be true.
void PanelEpot::deviceConnected() {
    device_connected = true;
    epot1r1->setEnabled(true);
    epot1r2->setEnabled(true);
    bu_read->setEnabled(true);
    read_device();
}

void PanelEpot::deviceDisconnected() {
    device_connected = false;
    epot1r1->setEnabled(false);
    epot1r2->setEnabled(false);
    bu_read->setEnabled(false);
    lb_result->setText(QString());
}

// Sets the DS3902's register pointer to the threshold register and reads both
// registers; false when either transfer failed.
bool PanelEpot::read_registers(uint8_t *buffer) {
    buffer[0] = reg_threshold;
    buffer[1] = 0x00;
    if (tdc->twi_write(bus_address, buffer, 1, keep_bus) < 0)
        return false;
    return tdc->twi_read(bus_address, buffer, 2, end_transfer) >= 0;
}

void PanelEpot::bu_read_clicked(bool) {
    read_device();
}

// A setting that could not be read is cleared rather than left showing an
// older value, which "set" would then write as if it were the device's.
void PanelEpot::read_device() {
    if (!device_connected)
        return;
    bool ok = true;
    uint8_t buffer[2];
    // Two identical transfers: the threshold is taken from the first, the zero
    // setting from the second; a failed first one does not stop the second.
    if (read_registers(buffer)) {
        epot1r1->setValue(buffer[0]);
    } else {
        epot1r1->clear_value();
        ok = false;
    }
    if (read_registers(buffer)) {
        epot1r2->setValue(buffer[1]);
    } else {
        epot1r2->clear_value();
        ok = false;
    }
    show_result(ok);
}

// A setting written from elsewhere (the remote interface) shows here at once.
void PanelEpot::show_written(quint8 reg, quint8 value) {
    if (reg == reg_threshold)
        epot1r1->setValue(value);
    else if (reg == reg_zero)
        epot1r2->setValue(value);
}

void PanelEpot::show_result(bool ok) {
    if (ok)
        lb_result->setText("ok");
    else
        lb_result->setText("failure\n" + tdc->get_error_message());
}
