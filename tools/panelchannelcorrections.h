#ifndef PANELCHANNELCORRECTIONS_H
#define PANELCHANNELCORRECTIONS_H

#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

class QCloseEvent;
class QLabel;
class QScrollArea;
class QSpinBox;
class QVBoxLayout;
class TdcIface;

// Editor of the device's per-channel time shifts, in device bins with the time
// beside. A user change of a row reads the device's current set, changes that
// one channel and writes the set back; after every successful write each open
// editor shows the device's values. Rows can be edited only while a device is
// connected and its shifts could be read.
class PanelChannelCorrections : public QWidget {
    Q_OBJECT
public:
    PanelChannelCorrections(TdcIface *tdc, QString orgName, QString appName, QWidget *parent);
    ~PanelChannelCorrections() override;

    // Rows never exceed this count; channels beyond it are still written.
    static constexpr int max_rows = 512;
    // Rows the editor has room for at its default size.
    static constexpr int rows_at_default_size = 16;

    QSize sizeHint() const override;

signals:
    // A status text for the main window's status bar.
    void show_this(QString text);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void devConnected();
    void devDisconnected();
    void slotValueChanged(int value);
    void show_written_corrections();

private:
    // One displayed channel: the container widget (label, spin box, time, note),
    // its spin box, the time of the device's value and a note on that value.
    struct ChannelRow {
        QWidget *rowWidget;
        QSpinBox *spinBox;
        QLabel *lb_time;
        QLabel *lb_note;
    };

    bool read_device();
    bool write_channel(size_t channel, int value);
    void refuse_change(size_t channel, const QString &message);
    void setRowCount(int count);
    void setRowsEnabled(bool enabled);
    void show_device_values();
    void show_device_value(const ChannelRow &row, int32_t value);
    void show_read_failure(const QString &reason);
    static void mark(const ChannelRow &row, const char *style, const QString &tip,
                     const QString &note = QString());

    TdcIface *tdc;
    QString orgName;
    QString appName;
    QVBoxLayout *rowsLayout;
    QScrollArea *scrollArea;
    // The unit of the values, or why they cannot be edited now.
    QLabel *lb_unit;
    std::vector<ChannelRow> rows;
    std::vector<int32_t> corrections;
    // Why the rows are disabled after a failed read; hidden otherwise.
    QLabel *lb_read_failure;
    // Set while the rows show values read from the device, so that showing
    // them is never mistaken for a user change and written back.
    bool filling_rows = false;
};

#endif // PANELCHANNELCORRECTIONS_H
