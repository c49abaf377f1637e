#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QString>

#include <optional>

class QAction;
class QCloseEvent;
class QMenu;
class QMenuBar;
class ChannelSummaryWindow;
class LifetimeFitWindow;
class RateHistoryWindow;
class Mwidget;
class QLabel;
class RemoteControlDialog;
class RecordControl;
class RemoteServer;
class TdcIface;

// The program's top-level window: menus, status bar and the measurement
// panel, with the window geometry kept between runs.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Starts the remote interface: on `session_port` for this start only,
    // or as the settings keep it. Failures go to standard error and the
    // status bar; the program goes on.
    void start_remote(std::optional<quint16> session_port);
    RemoteServer *remote_server() const { return remote; }

protected:
    void closeEvent(QCloseEvent *event) override;

signals:
    void quit_requested(bool init);
    void close_children();

public slots:
    void show_message(QString text);

private slots:
    void show_about();
    void show_licenses();
    void slot_connection_lost();
    void slot_channel_corrections();

private:
    void create_menus();
    void make_connections();
    void add_run_status();
    void connect_lifetime_fit();
    void add_plot_tools();
    void restore_geometry_and_settings();
    QSize first_size() const;
    void create_remote();
    bool listen_remote(quint16 port, bool allow_others);
    void show_remote_dialog();

    QString org_name;
    QString app_name;
    QAction *act_quit;
    QAction *act_export;
    QAction *act_export_filtered;
    QAction *act_about;
    QAction *act_about_qt;
    QAction *act_licenses;
    QAction *act_connect;
    QAction *act_average_time;
    QAction *act_epot;
    QAction *act_channel_shifts;
    QAction *act_lifetime_fit;
    QMenu *menu_file;
    QMenu *menu_about;
    QMenu *menu_device;
    QMenu *menu_tools;
    QMenuBar *menu_bar;
    TdcIface *tdc;
    Mwidget *mwidget;
    LifetimeFitWindow *fit_window;
    QAction *act_remote;
    RemoteServer *remote;
    RecordControl *record_control = nullptr;
    QLabel *lb_remote;
    QLabel *lb_status = nullptr;
    RemoteControlDialog *remote_dialog = nullptr;
    ChannelSummaryWindow *summary_window = nullptr;
    RateHistoryWindow *rate_window = nullptr;
};

#endif // MAINWINDOW_H
