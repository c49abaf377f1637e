#include "app/mainwindow.h"

#include "app/aboutdialog.h"
#include "app/aboutlicensesdlg.h"
#include "app/framepacer.h"
#include "app/recordcontrol.h"
#include "device/tdciface.h"
#include "panel/exposureprogress.h"
#include "panel/mwidget.h"
#include "plots/mhisto.h"
#include "plots/ratehistorywindow.h"
#include "recording/eventrecorder.h"
#include "remote/remoteserver.h"
#include "run/runcontroller.h"
#include "tools/channelsummarywindow.h"
#include "tools/lifetimefitwindow.h"
#include "tools/panelchannelcorrections.h"
#include "tools/remotecontroldialog.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPoint>
#include <QScreen>
#include <QSettings>
#include <QSize>
#include <QStatusBar>

#include <cstdio>

namespace {
const char *const settings_prefix_panel = "mwidget/";
const char *const key_size = "size/size";
const char *const key_position = "size/position";
const char *const key_maximized = "size/maximized";
const char *const key_remote_enabled = "remote/enabled";
const char *const key_remote_port = "remote/port";
const char *const key_remote_allow_others = "remote/allow_others";
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent, Qt::WindowFlags()), org_name("Corvane"), app_name("VelmoraV2") {
    tdc = new TdcIface(this);
    setWindowTitle("Velmora");
    menu_bar = menuBar();
    create_menus();

    fit_window = new LifetimeFitWindow(tdc, org_name, app_name, nullptr);
    mwidget = new Mwidget(tdc, this);
    // Every exposure's record reaches the fit window before the next exposure
    // can start, whatever the order of the connections.
    connect(mwidget->run_controller(), &RunController::exposure_completed, fit_window,
            &LifetimeFitWindow::exposureRecorded);
    setCentralWidget(mwidget);
    // Created now rather than by the first message, so the panel does not
    // shift when the first state text arrives.
    statusBar();

    make_connections();
    add_plot_tools();
    add_run_status();
    record_control = new RecordControl(tdc, mwidget->run_controller(), this, org_name, app_name);
    menu_file->insertAction(act_quit, record_control->action());
    statusBar()->addPermanentWidget(record_control->status_label());
    connect(record_control, &RecordControl::show_this, this, &MainWindow::show_message);
    create_remote();
    restore_geometry_and_settings();
}

// The remote interface drives the panel's own run controller and device,
// and connects through the panel as the Connect action does, so windows and
// scripts never disagree.
void MainWindow::create_remote() {
    RemoteTarget target;
    target.run = mwidget->run_controller();
    target.tdc = tdc;
    target.version = QStringLiteral(VELMORA_VERSION);
    // Recording through the menu's own control, so the check mark and the
    // status bar follow a remote recording too.
    RecordControl *record = record_control;
    target.recording.start = [record](const QString &path) {
        return record->start_recording(path);
    };
    target.recording.stop = [record] { record->stop_recording(); };
    target.recording.is_on = [record] { return record->recorder()->is_recording(); };
    target.recording.file = [record] { return record->recorder()->file_name(); };
    target.recording.events_written = [record] { return record->recorder()->events_written(); };
    target.recording.events_missing = [record] { return record->recorder()->events_missing(); };
    target.set_connected = [this](bool on) {
        const int32_t rc = mwidget->open_device(on);
        act_connect->setChecked(tdc->is_initialized());
        return rc;
    };
    remote = new RemoteServer(target, this);
    lb_remote = new QLabel(this);
    lb_remote->setObjectName(QStringLiteral("lb_remote"));
    statusBar()->addPermanentWidget(lb_remote);
    connect(remote, &RemoteServer::clients_changed, this, [this](const QStringList &peers) {
        lb_remote->setText(peers.isEmpty()
                               ? QString()
                               : QStringLiteral("remote: ") + peers.join(QStringLiteral(", ")));
    });
}

// The dialog's choice is kept in the settings; what the interface then does
// is shown back in it.
void MainWindow::show_remote_dialog() {
    if (!remote_dialog) {
        remote_dialog = new RemoteControlDialog(this);
        QSettings settings(org_name, app_name);
        remote_dialog->set_values(
            settings.value(key_remote_enabled, false).toBool(),
            settings.value(key_remote_port, RemoteServer::default_port).toInt(),
            settings.value(key_remote_allow_others, false).toBool());
        auto show_state = [this] {
            remote_dialog->set_status(remote->is_listening()
                                          ? QStringLiteral("listening on ") + remote->endpoint()
                                      : remote->error_string().isEmpty()
                                          ? QStringLiteral("off")
                                          : QStringLiteral("off: ") + remote->error_string());
        };
        connect(remote, &RemoteServer::clients_changed, remote_dialog,
                &RemoteControlDialog::set_clients);
        connect(remote, &RemoteServer::listening_changed, remote_dialog, show_state);
        connect(remote_dialog, &RemoteControlDialog::apply_requested, this,
                [this, show_state](bool enabled, int port, bool allow_others) {
                    QSettings settings(org_name, app_name);
                    settings.setValue(key_remote_enabled, enabled);
                    settings.setValue(key_remote_port, port);
                    settings.setValue(key_remote_allow_others, allow_others);
                    if (enabled)
                        listen_remote(quint16(port), allow_others);
                    else
                        remote->close();
                    show_state();
                });
        show_state();
        remote_dialog->set_clients(remote->clients());
    }
    remote_dialog->show();
    remote_dialog->raise();
}

void MainWindow::start_remote(std::optional<quint16> session_port) {
    QSettings settings(org_name, app_name);
    const bool allow_others = settings.value(key_remote_allow_others, false).toBool();
    if (session_port) {
        listen_remote(*session_port, allow_others);
    } else if (settings.value(key_remote_enabled, false).toBool()) {
        listen_remote(quint16(settings.value(key_remote_port, RemoteServer::default_port).toUInt()),
                      allow_others);
    }
}

bool MainWindow::listen_remote(quint16 port, bool allow_others) {
    if (remote->listen(port, allow_others)) {
        const QString text = QStringLiteral("remote: listening on ") + remote->endpoint();
        std::printf("%s\n", qPrintable(text));
        std::fflush(stdout);
        show_message(text);
        return true;
    }
    const QString text = QStringLiteral("remote: cannot listen on port %1: %2")
                             .arg(port)
                             .arg(remote->error_string());
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
    show_message(text);
    return false;
}

// The exposure's progress and the lost-event warning sit at the right of the
// status bar, beside the panel's state texts.
void MainWindow::add_run_status() {
    auto *progress = new ExposureProgress(tdc, this);
    progress->setObjectName(QStringLiteral("exposure_progress"));
    auto *warning = new QLabel(this);
    warning->setObjectName(QStringLiteral("lb_loss_warning"));
    warning->setStyleSheet(QStringLiteral("QLabel { color: #b00000; font-weight: bold; }"));
    // The state text is a label of its own beside the warning: the status
    // bar's temporary message would be cut off by the permanent widgets, and
    // it hides and shows the bar's widgets, relayouting the bar at every text
    // of a run.
    lb_status = new QLabel(this);
    QLabel *status_text = lb_status;
    status_text->setObjectName(QStringLiteral("lb_status"));
    status_text->setMinimumWidth(120);
    status_text->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    statusBar()->addWidget(status_text, 1);
    // Messages shown through the bar itself land in the label as well.
    connect(statusBar(), &QStatusBar::messageChanged, status_text, [this, status_text] {
        const QString text = statusBar()->currentMessage();
        if (!text.isEmpty()) {
            status_text->setText(text);
            status_text->setToolTip(text);
            statusBar()->clearMessage();
        }
    });
    statusBar()->addPermanentWidget(progress);
    statusBar()->addPermanentWidget(warning);
    connect(mwidget, &Mwidget::exposure_started, progress, &ExposureProgress::exposure_started);
    connect(mwidget, &Mwidget::run_ended, progress, &ExposureProgress::run_ended);
    connect(mwidget, &Mwidget::loss_warning, warning, &QLabel::setText);
    new FramePacer(this, 20); // owned by the window
}

MainWindow::~MainWindow() {
    // The server stops listening as it goes; nothing of this window may hear
    // of it once the window is being taken apart.
    QObject::disconnect(remote, nullptr, nullptr, nullptr);
    delete remote;
    delete fit_window;
    delete summary_window;
    delete rate_window;
}

// Plot images in File, the channel summary and the rate history in Tools;
// both windows follow every exposure's record.
void MainWindow::add_plot_tools() {
    auto *save_image = new QAction("Save Plot Image...", this);
    menu_file->insertAction(act_quit, save_image);
    connect(save_image, &QAction::triggered, mwidget, &Mwidget::save_plot_image);

    summary_window = new ChannelSummaryWindow(tdc, nullptr);
    summary_window->set_histograms_readable([this] { return mwidget->get_run_state() == 0; });
    rate_window = new RateHistoryWindow(nullptr);
    RunController *run = mwidget->run_controller();
    connect(run, &RunController::exposure_completed, summary_window,
            &ChannelSummaryWindow::exposure_recorded);
    connect(run, &RunController::exposure_completed, rate_window,
            &RateHistoryWindow::exposure_recorded);
    auto *summary = new QAction("Channel Summary", this);
    auto *rates = new QAction("Count Rates", this);
    menu_tools->addAction(summary);
    menu_tools->addAction(rates);
    connect(summary, &QAction::triggered, summary_window, &ChannelSummaryWindow::show_and_raise);
    connect(rates, &QAction::triggered, rate_window, &RateHistoryWindow::show_and_raise);
    connect(this, &MainWindow::close_children, summary_window, &QWidget::close);
    connect(this, &MainWindow::close_children, rate_window, &QWidget::close);
}

void MainWindow::create_menus() {
    menu_file = new QMenu("&File", this);
    menu_device = new QMenu("&Device", this);
    menu_about = new QMenu("&About", this);
    menu_tools = new QMenu("&Tools", this);

    act_export = new QAction("&Export", this);
    act_export_filtered = new QAction("E&xport (filter zeros)", this);
    menu_file->addAction(act_export);
    menu_file->addAction(act_export_filtered);
    act_quit = new QAction("Quit", this);
    menu_file->addAction(act_quit);

    act_about = new QAction("About Velmora", this);
    act_about_qt = new QAction("About Qt", this);
    act_licenses = new QAction("Licenses", this);
    menu_about->addAction(act_about);
    menu_about->addAction(act_about_qt);
    menu_about->addAction(act_licenses);

    act_connect = new QAction("Connect", this);
    act_connect->setCheckable(true);
    menu_device->addAction(act_connect);

    act_average_time = new QAction("AverageTime", this);
    menu_tools->addAction(act_average_time);
    act_lifetime_fit = new QAction("Lifetime Fit...", this);
    menu_tools->addAction(act_lifetime_fit);

    act_epot = new QAction("Control DS3902 Potentiometer", this);
    act_channel_shifts = new QAction("Edit Channel Shifts", this);
    menu_device->addAction(act_epot);
    menu_device->addAction(act_channel_shifts);
    act_remote = new QAction("Remote Control...", this);
    menu_device->addAction(act_remote);

    menu_bar->addMenu(menu_file);
    menu_bar->addMenu(menu_device);
    menu_bar->addMenu(menu_tools);
    menu_bar->addMenu(menu_about);
}

void MainWindow::make_connections() {
    connect(mwidget, &Mwidget::show_this, this, &MainWindow::show_message);
    connect(act_export, &QAction::triggered, mwidget, &Mwidget::save_data);
    connect(act_export_filtered, &QAction::triggered, mwidget, &Mwidget::save_data_filter_zeros);
    connect(act_about, &QAction::triggered, this, &MainWindow::show_about);
    connect(act_about_qt, &QAction::triggered, qApp, &QApplication::aboutQt);
    connect(act_licenses, &QAction::triggered, this, &MainWindow::show_licenses);
    connect(act_average_time, &QAction::triggered, mwidget, &Mwidget::open_stats_window);
    connect(act_quit, &QAction::triggered, this, &MainWindow::close);
    // Through triggered(bool) only the user's choice opens or closes the
    // device; setting the check state from code does not.
    connect(act_connect, &QAction::triggered, mwidget, &Mwidget::slot_init_deinit);
    connect(this, &MainWindow::quit_requested, mwidget, &Mwidget::slot_init_deinit);
    connect(act_epot, &QAction::triggered, mwidget, &Mwidget::show_control_epot);
    connect(act_channel_shifts, &QAction::triggered, this, &MainWindow::slot_channel_corrections);
    connect(tdc, &TdcIface::connection_lost, this, &MainWindow::slot_connection_lost);
    connect(act_remote, &QAction::triggered, this, &MainWindow::show_remote_dialog);
    connect_lifetime_fit();
}

void MainWindow::connect_lifetime_fit() {
    connect(act_lifetime_fit, &QAction::triggered, fit_window, &LifetimeFitWindow::showAndRaise);
    connect(this, &MainWindow::close_children, fit_window, &QWidget::close);
    fit_window->setHistogramsReadable([this] { return mwidget->get_run_state() == 0; });
    Mhisto *histo = mwidget->findChild<Mhisto *>();
    connect(fit_window, &LifetimeFitWindow::zoomRangeRequested, this, [this, histo] {
        const QwtInterval shown = histo->axisInterval(QwtPlot::xBottom);
        fit_window->setFitRange(shown.minValue(), shown.maxValue());
    });
}

// A first start fills most of the screen, so the histograms get room; never
// less than the window needs.
QSize MainWindow::first_size() const {
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return sizeHint();
    const QSize available = screen->availableGeometry().size();
    return QSize(available.width() * 4 / 5, available.height() * 4 / 5)
        .expandedTo(minimumSizeHint());
}

void MainWindow::restore_geometry_and_settings() {
    QSettings settings(org_name, app_name);
    if (settings.value(key_maximized, false).toBool()) {
        showMaximized();
    } else {
        resize(settings.value(key_size, first_size()).toSize());
        move(settings.value(key_position, QPoint(200, 200)).toPoint());
    }
    mwidget->load_settings(settings, settings_prefix_panel);
}

void MainWindow::closeEvent(QCloseEvent *event) {
    {
        QSettings settings(org_name, app_name);
        settings.setValue(key_size, size());
        settings.setValue(key_position, pos());
        settings.setValue(key_maximized, isMaximized());
        mwidget->save_settings(settings, settings_prefix_panel);
    }
    // The panel stops a running measurement and closes the device at once,
    // before the window goes.
    if (act_connect->isChecked())
        emit quit_requested(false);
    emit close_children();
    // The event loop ends only once no parentless window is left on screen.
    mwidget->close_tool_windows();
    event->accept();
}

void MainWindow::show_message(QString text) {
    if (!lb_status)
        return statusBar()->showMessage(text, 0); // before the label exists
    lb_status->setText(text);
    lb_status->setToolTip(text);
}

void MainWindow::show_about() {
    AboutDialog about(nullptr);
    about.exec();
}

void MainWindow::show_licenses() {
    auto *licenses = new AboutLicensesDlg(nullptr);
    connect(this, &QObject::destroyed, licenses, &QObject::deleteLater);
    licenses->show();
}

void MainWindow::slot_connection_lost() {
    act_connect->setChecked(false);
}

void MainWindow::slot_channel_corrections() {
    auto *editor = new PanelChannelCorrections(tdc, org_name, app_name, nullptr);
    editor->setWindowTitle("Velmora: Edit Channel Shifts");
    connect(editor, &PanelChannelCorrections::show_this, this, &MainWindow::show_message);
    connect(this, &MainWindow::close_children, editor, &QObject::deleteLater);
    // An editor points at the device interface, which goes with this window;
    // it must not outlive it even when the window is destroyed unclosed.
    connect(this, &QObject::destroyed, editor, &QObject::deleteLater);
    editor->show();
}
