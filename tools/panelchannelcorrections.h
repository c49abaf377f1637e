#ifndef PANELCHANNELCORRECTIONS_H
#define PANELCHANNELCORRECTIONS_H

#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

class QCloseEvent;
class QScrollArea;
class QSpinBox;
class QVBoxLayout;
class TdcIface;

// One displayed channel: the container widget (label and spin box) and its spin box.
struct ChannelRow {
    QWidget *rowWidget;
    QSpinBox *spinBox;
};

// Editor of the device's per-channel time shifts. Every user change of a row
// writes the whole set of corrections back to the device.
class PanelChannelCorrections : public QWidget {
    Q_OBJECT
public:
    PanelChannelCorrections(TdcIface *tdc, QString orgName, QString appName, QWidget *parent);
    ~PanelChannelCorrections() override;

    // Rows never exceed this count; channels beyond it are still written.
    static constexpr int maxRows = 512;

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void devConnected();
    void devDisconnected();
    void slotValueChanged(int value);

private:
    void setRowCount(int count);
    void setRowsEnabled(bool enabled);
    void showDeviceValues();
    void showDeviceValue(QSpinBox *spinBox, int32_t value);
    static void clearOutOfRangeMark(QSpinBox *spinBox);

    TdcIface *tdc;
    QString orgName;
    QString appName;
    QVBoxLayout *rowsLayout;
    QScrollArea *scrollArea;
    std::vector<ChannelRow> rows;
    std::vector<int32_t> corrections;
    // Set while the rows show values read from the device, so that showing
    // them is never mistaken for a user change and written back.
    bool fillingRows = false;
};

#endif // PANELCHANNELCORRECTIONS_H
