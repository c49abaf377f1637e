#ifndef PANELEPOT_H
#define PANELEPOT_H

#include <QWidget>

#include <cstdint>

class LabelEditSet;
class QLabel;
class QShowEvent;
class QPushButton;
class TdcIface;

// Reads and sets the two settings of the DS3902 potentiometer on the
// device's two-wire bus. It reads them whenever it is shown and whenever a
// device connects, so it never offers to write back a value the device does
// not hold; a setting that could not be read shows no value and cannot be set
// until the user enters one.
class PanelEpot : public QWidget {
    Q_OBJECT
public:
    PanelEpot(TdcIface *tdc, QWidget *parent);
    ~PanelEpot() override;

    // Bus address of the DS3902 and its two registers.
    static constexpr uint8_t bus_address = 0x20;
    static constexpr uint8_t reg_threshold = 0x02;
    static constexpr uint8_t reg_zero = 0x03;

public slots:
    void slot_epot1r1(int value);
    void slot_epot1r2(int value);

protected:
    void showEvent(QShowEvent *event) override;

private slots:
    void deviceConnected();
    void deviceDisconnected();
    void bu_read_clicked(bool);

private:
    void show_written(quint8 reg, quint8 value);
    void show_result(bool ok);
    void read_device();
    void write_register(uint8_t reg, int value);
    bool read_registers(uint8_t *buffer);

    TdcIface *tdc;
    LabelEditSet *epot1r1;
    LabelEditSet *epot1r2;
    QPushButton *bu_read;
    QLabel *lb_result;
    bool device_connected;
};

#endif // PANELEPOT_H
