#ifndef MWIDGET_H
#define MWIDGET_H

#include "run/exposureresult.h"

#include <QString>
#include <QWidget>

#include <cstdint>

struct HistoParams;
struct RunSettings;

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSettings;
class QSpinBox;
class Mhisto;
class MhistoToolbar;
class Mrates;
class RunController;
class StatsWindow;
class TdcIface;
class WindowEpot;

// The measurement panel: parameters, start and stop, and the plots of the
// accumulated histograms and of the last rates. The run itself is
// RunController's; the panel shows it and reports what it announces.
class Mwidget : public QWidget {
    Q_OBJECT
    // The main window connects its "AverageTime" action to the private slot
    // open_stats_window() by member pointer, so the compiler checks it.
    friend class MainWindow;

public:
    Mwidget(TdcIface *tdc, QWidget *parent);
    ~Mwidget() override;

    void apply_histo_params();
    void save_settings(QSettings &settings, const QString &prefix);
    void load_settings(QSettings &settings, const QString &prefix);
    void update_binsize_display(double binsize_ns);
    void update_histo_points_display();
    // Closes the panel's own top-level windows; the statistics dialog has no
    // parent and would otherwise keep the program running.
    void close_tool_windows();

    // Read-only views of the run state, for the main window and for tests.
    int32_t get_run_state() const { return run_state; }
    bool is_autorun_active() const { return autorun_active; }
    bool histo_params_changed() const;
    uint64_t get_event_total() const { return event_total; }

    // The run controller, for the main window and for tests.
    RunController *run_controller() const { return run_control; }
    // Device -> Connect without its message box, for callers that report a
    // failure themselves (the remote interface); the device's result.
    int32_t open_device(bool init);

signals:
    void show_this(QString text);
    // The run as the status bar follows it: each exposure's start (`number`
    // of `of` in an accumulating run, `of` 0 otherwise), the end of the run,
    // and the lost-event warning (empty: nothing lost in this run).
    void exposure_started(int exposure_ms, int number, int of);
    void run_ended();
    void loss_warning(QString text);

public slots:
    void save_data();
    void save_data_filter_zeros();
    // Asks for an image file and the plot, and saves the plot as it looks.
    void save_plot_image();
    void slot_init_deinit(bool init);
    void show_control_epot();

private slots:
    void slot_device_connected();
    void slot_connection_lost();
    // The end of the exposure under way (the one the accumulator numbered
    // last); the run controller takes every end itself, with its number.
    void handle_completed_meas(int code);
    void start();
    void stop();
    void show_error_message(int code);
    void histowindow_start_changed(int);
    void histowindow_size_changed(int);
    void binning_changed(int index);
    void open_stats_window();
    void autorun_changed(bool checked);

private:
    void create_widgets();
    void build_layout();
    void make_connections();
    void save_data_body(bool filter_zeros);
    void bind_fields_to_model();
    void show_model();
    HistoParams panel_histo_params() const;
    void show_run_state();
    void show_refusal(const QString &text);
    void exposure_completed(const ExposureResult &result);
    void announce_exposure();
    void announce_run_start();

    TdcIface *tdc;
    RunController *run_control;
    QSpinBox *sb_exposure;
    QSpinBox *sb_iterations;
    QSpinBox *sb_iterations_left;
    QSpinBox *sb_event_threshold;
    QSpinBox *sb_histo_start;
    QSpinBox *sb_histo_size;
    QComboBox *cb_binning;
    QLineEdit *le_binsize;
    QLineEdit *le_histo_points;
    QPushButton *bu_start;
    QPushButton *bu_stop;
    QLabel *lb_autorun;
    QLabel *lb_exposure;
    QLabel *lb_accumulate;
    QLabel *lb_iterations;
    QLabel *lb_iterations_left;
    QLabel *lb_event_threshold;
    QLabel *lb_binsize;
    QLabel *lb_histo_start;
    QLabel *lb_histo_size;
    QLabel *lb_binning;
    Mhisto *histo;
    MhistoToolbar *histo_toolbar;
    Mrates *rates;
    StatsWindow *stats_window;
    QCheckBox *cb_autorun;
    QCheckBox *cb_accumulate;
    WindowEpot *epot_window;
    // Copies of the run controller's state, renewed whenever it changes.
    int32_t run_state;
    bool autorun_active;
    uint64_t event_total;
    // The displays derive from the device bin size, which exists only once a
    // device has been initialised; until then they stay empty.
    bool device_binsize_known = false;
    int image_dpi = 300;
};

#endif // MWIDGET_H
