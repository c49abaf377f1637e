#include "mwidget.h"

#include "mhisto.h"
#include "mhistotoolbar.h"
#include "mrates.h"
#include "statswindow.h"
#include "tdciface.h"
#include "windowepot.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr int binning_items = 21;
constexpr int spin_max = 1000000000;
constexpr int exposure_max = 10000000;
constexpr double bytes_per_point = sizeof(double);

const char *const ini_file = "tdc_qv5.ini";
// The device answers an interrupt with "busy" when the exposure is already
// ending; the completion still follows.
constexpr int device_busy = -11;

// "12.3 GiB" and the like, for texts that name an amount of memory.
QString format_bytes(double bytes) {
    static const char *const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 6) {
        bytes /= 1024.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(bytes, 0, 'g', unit == 0 ? 20 : 3).arg(units[unit]);
}

// A field of /proc/meminfo in bytes; negative when the file or the field is
// missing.
double read_meminfo_field(const QByteArray &name) {
    QFile file(QStringLiteral("/proc/meminfo"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1.0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!line.startsWith(name + ':'))
            continue;
        const QList<QByteArray> parts = line.mid(name.size() + 1).simplified().split(' ');
        bool ok = false;
        const double value = parts.value(0).toDouble(&ok);
        if (!ok)
            return -1.0;
        return parts.value(1) == "kB" ? value * 1024.0 : value;
    }
    return -1.0;
}

double read_number_file(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1.0;
    bool ok = false;
    const double value = file.readAll().trimmed().toDouble(&ok);
    return ok ? value : -1.0;
}

} // namespace

Mwidget::Mwidget(TdcIface *tdc, QWidget *parent)
    : QWidget(parent), tdc(tdc), run_state(0), autorun_active(false), params_changed(true),
      event_total(0) {
    create_widgets();
    build_layout();
    make_connections();
}

Mwidget::~Mwidget() {
    epot_window->deleteLater();
    // The statistics dialog has no parent, so nothing else would free it.
    delete stats_window;
}

void Mwidget::create_widgets() {
    sb_exposure = new QSpinBox(this);
    sb_iterations = new QSpinBox(this);
    sb_iterations_left = new QSpinBox(this);
    sb_iterations_left->setEnabled(false);
    sb_event_threshold = new QSpinBox(this);

    le_binsize = new QLineEdit(this);
    le_histo_points = new QLineEdit(this);
    for (QLineEdit *display : {le_binsize, le_histo_points}) {
        display->setReadOnly(true);
        display->setEnabled(false);
        display->setFocusPolicy(Qt::NoFocus);
        display->setAlignment(Qt::AlignCenter);
    }

    sb_histo_start = new QSpinBox(this);
    sb_histo_size = new QSpinBox(this);
    cb_binning = new QComboBox(this);

    bu_start = new QPushButton(QStringLiteral("start"), this);
    bu_start->setEnabled(false);
    bu_stop = new QPushButton(QStringLiteral("stop"), this);
    bu_stop->setEnabled(false);

    histo = new Mhisto(tdc, this);
    histo_toolbar = new MhistoToolbar(this);
    rates = new Mrates(tdc, this);
    rates->setMinimumWidth(300);
    stats_window = new StatsWindow(nullptr);

    lb_autorun = new QLabel(QStringLiteral("autorun:"), this);
    lb_exposure = new QLabel(QStringLiteral("meas. time [ms]:"), this);
    lb_accumulate = new QLabel(QStringLiteral("accumulate:"), this);
    lb_iterations = new QLabel(QStringLiteral("iterations:"), this);
    lb_iterations_left = new QLabel(QStringLiteral("iterations left:"), this);
    lb_event_threshold = new QLabel(QStringLiteral("event threshold:"), this);
    lb_binsize = new QLabel(QStringLiteral("binsize:"), this);
    lb_histo_start = new QLabel(QStringLiteral("histogram start offset [ns]:"), this);
    lb_histo_size = new QLabel(QStringLiteral("histogram window size [ns]:"), this);
    lb_binning = new QLabel(QStringLiteral("binning:"), this);

    cb_autorun = new QCheckBox(this);
    cb_accumulate = new QCheckBox(this);
    epot_window = new WindowEpot(tdc, this);

    // Names let the main window's tests and style sheets reach the controls.
    sb_exposure->setObjectName(QStringLiteral("sb_exposure"));
    sb_iterations->setObjectName(QStringLiteral("sb_iterations"));
    sb_iterations_left->setObjectName(QStringLiteral("sb_iterations_left"));
    sb_event_threshold->setObjectName(QStringLiteral("sb_event_threshold"));
    le_binsize->setObjectName(QStringLiteral("le_binsize"));
    le_histo_points->setObjectName(QStringLiteral("le_histo_points"));
    sb_histo_start->setObjectName(QStringLiteral("sb_histo_start"));
    sb_histo_size->setObjectName(QStringLiteral("sb_histo_size"));
    cb_binning->setObjectName(QStringLiteral("cb_binning"));
    bu_start->setObjectName(QStringLiteral("bu_start"));
    bu_stop->setObjectName(QStringLiteral("bu_stop"));
    cb_autorun->setObjectName(QStringLiteral("cb_autorun"));
    cb_accumulate->setObjectName(QStringLiteral("cb_accumulate"));

    // The parameter slots must not run while the controls are set up: the
    // displays they update do not exist in their final form yet.
    const QSignalBlocker block_size(sb_histo_size);
    const QSignalBlocker block_start(sb_histo_start);
    const QSignalBlocker block_binning(cb_binning);
    sb_exposure->setMaximum(exposure_max);
    sb_exposure->setValue(100);
    sb_event_threshold->setRange(0, spin_max);
    sb_iterations->setRange(1, spin_max);
    sb_iterations_left->setRange(0, spin_max);
    sb_histo_start->setRange(0, spin_max);
    sb_histo_start->setValue(0);
    sb_histo_size->setRange(0, spin_max);
    sb_histo_size->setValue(1000);
    for (int i = 0; i < binning_items; ++i) {
        const uint factor = 1u << i;
        cb_binning->insertItem(cb_binning->count(), QIcon(), QString::number(factor),
                               QVariant(factor));
    }
    cb_binning->setEnabled(false);
}

void Mwidget::build_layout() {
    auto *plot_column = new QVBoxLayout;
    plot_column->addWidget(histo_toolbar);
    plot_column->addWidget(histo);

    auto *form = new QFormLayout;
    form->addRow(lb_exposure, sb_exposure);
    form->addRow(lb_autorun, cb_autorun);
    form->addRow(lb_accumulate, cb_accumulate);
    form->addRow(lb_iterations, sb_iterations);
    form->addRow(lb_event_threshold, sb_event_threshold);
    form->addRow(lb_binning, cb_binning);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(bu_start);
    buttons->addWidget(bu_stop);
    form->addRow(buttons);
    form->addRow(lb_iterations_left, sb_iterations_left);
    form->addRow(lb_binsize, le_binsize);
    form->addRow(lb_histo_start, sb_histo_start);
    form->addRow(lb_histo_size, sb_histo_size);
    form->addRow(new QLabel(QStringLiteral("# histo points:")), le_histo_points);

    auto *control_column = new QVBoxLayout;
    control_column->addLayout(form);
    control_column->addSpacing(10);
    control_column->addWidget(rates);

    auto *top = new QHBoxLayout;
    top->addLayout(plot_column, 2);
    top->addLayout(control_column);
    setLayout(top);
}

void Mwidget::make_connections() {
    connect(sb_histo_start, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &Mwidget::histowindow_start_changed);
    connect(sb_histo_size, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &Mwidget::histowindow_size_changed);
    connect(cb_binning, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &Mwidget::binning_changed);
    connect(cb_autorun, &QCheckBox::clicked, this, &Mwidget::autorun_changed);
    connect(bu_start, &QPushButton::clicked, this, &Mwidget::start);
    connect(bu_stop, &QPushButton::clicked, this, &Mwidget::stop);
    connect(histo, &Mhisto::newAverage, stats_window, &StatsWindow::updateAverage);
    connect(histo, &Mhisto::newMinMax, stats_window, &StatsWindow::updateMinMax);
    connect(histo_toolbar, &MhistoToolbar::auto_scaling_y_changed, histo,
            &Mhisto::slot_auto_scaling_y);
    connect(histo_toolbar, &MhistoToolbar::linewidth_changed, histo,
            &Mhisto::slot_linewidth_changed);
    connect(tdc, &TdcIface::connected, this, &Mwidget::slot_device_connected);
    connect(tdc, &TdcIface::connection_lost, this, &Mwidget::slot_connection_lost);
    // The device reports the end of an exposure from its own thread.
    connect(tdc, &TdcIface::complete_callback, this, &Mwidget::handle_completed_meas,
            Qt::QueuedConnection);
    // Every export also records how its data was taken.
    histo->set_run_info_source(
        [this](bool filter_zeros) { return collect_run_info(filter_zeros); });
}

// ---- parameters ------------------------------------------------------------

double Mwidget::binning_factor() const {
    return cb_binning->currentText().toDouble();
}

void Mwidget::apply_histo_params() {
    HistoParams params = *tdc->get_histo_params();
    params.binning = static_cast<uint32_t>(cb_binning->currentIndex());
    params.binsize = tdc->get_binsize();
    params.start = static_cast<double>(sb_histo_start->value());
    params.size = static_cast<double>(sb_histo_size->value());
    tdc->set_histo_params(params);
    params_changed = false;
}

void Mwidget::histowindow_start_changed(int) {
    params_changed = true;
    update_histo_points_display();
}

void Mwidget::histowindow_size_changed(int) {
    params_changed = true;
    update_histo_points_display();
}

void Mwidget::binning_changed(int index) {
    const double factor = cb_binning->itemText(index).toDouble();
    if (device_binsize_known)
        update_binsize_display(tdc->get_binsize() * factor);
    update_histo_points_display();
    params_changed = true;
}

void Mwidget::autorun_changed(bool checked) {
    autorun_active = checked;
}

void Mwidget::update_binsize_display(double binsize_ns) {
    const double b = binsize_ns;
    QString text;
    if (b < 1.0)
        text = QStringLiteral("%1 ps").arg(b * 1000.0);
    else if (b < 1000.0)
        text = QStringLiteral("%1 ns").arg(b);
    else if (b < 1000000.0)
        text = QStringLiteral("%1 us").arg(b * 0.001);
    else if (b < 1000000000.0)
        text = QStringLiteral("%1 ms").arg(b * 0.000001);
    else
        text = QStringLiteral("%1 s").arg(b * 0.000000001);
    le_binsize->setText(text);
}

void Mwidget::update_histo_points_display() {
    if (!device_binsize_known)
        return;
    const double factor = binning_factor();
    const double b = tdc->get_binsize();
    const double n = static_cast<double>(sb_histo_size->value()) / (b * factor);

    QString text;
    if (n < 1000.0)
        text = QString::number(static_cast<qulonglong>(n + 0.5));
    else if (n < 1000000.0)
        text = QStringLiteral("%1 k").arg(n * 0.001);
    else if (n < 1000000000.0)
        text = QStringLiteral("%1 M").arg(n * 0.000001);
    else
        text = QStringLiteral("%1 G").arg(n * 0.000000001);

    QString style;
    if (n < 20000.0)
        style = QStringLiteral("QLineEdit { color: #000000; }");
    else if (n < 100000.0)
        style = QStringLiteral("QLineEdit { color: #402000; }");
    else if (n < 2000000.0)
        style = QStringLiteral("QLineEdit { color: #A04000; background-color: #FFF8E0; }");
    else
        style = QStringLiteral("QLineEdit { color: #C00000; background-color: #F8E8E0; }");
    QFont display_font = font();
    if (n >= 20000.0)
        display_font.setWeight(QFont::Bold);

    le_histo_points->setStyleSheet(style);
    le_histo_points->setFont(display_font);
    le_histo_points->setText(text);
}

// ---- settings --------------------------------------------------------------

void Mwidget::save_settings(QSettings &settings, const QString &prefix) {
    settings.setValue(prefix + QStringLiteral("exposure"), sb_exposure->value());
    settings.setValue(prefix + QStringLiteral("binning"),
                      cb_binning->currentData(Qt::UserRole).toLongLong());
    settings.setValue(prefix + QStringLiteral("histo_start"), sb_histo_start->value());
    settings.setValue(prefix + QStringLiteral("histo_size"), sb_histo_size->value());
    settings.setValue(prefix + QStringLiteral("autostart"), cb_autorun->isChecked());
    settings.setValue(prefix + QStringLiteral("accumulate"), cb_accumulate->isChecked());
    settings.setValue(prefix + QStringLiteral("iterations"), sb_iterations->value());
    settings.setValue(prefix + QStringLiteral("event_threshold"), sb_event_threshold->value());
}

void Mwidget::load_settings(QSettings &settings, const QString &prefix) {
    sb_exposure->setValue(settings.value(prefix + QStringLiteral("exposure"), 100).toInt());

    const qlonglong factor =
        settings.value(prefix + QStringLiteral("binning"), qlonglong(1)).toLongLong();
    int index = -1;
    if (factor >= 0 && factor <= qlonglong(std::numeric_limits<uint>::max()))
        index = cb_binning->findData(QVariant(static_cast<uint>(factor)), Qt::UserRole,
                                     Qt::MatchExactly);
    cb_binning->setCurrentIndex(index >= 0 ? index : 0);

    sb_histo_start->setValue(settings.value(prefix + QStringLiteral("histo_start"), 0).toInt());
    sb_histo_size->setValue(settings.value(prefix + QStringLiteral("histo_size"), 1000).toInt());
    cb_autorun->setChecked(settings.value(prefix + QStringLiteral("autostart"), false).toBool());
    cb_accumulate->setChecked(
        settings.value(prefix + QStringLiteral("accumulate"), false).toBool());
    sb_iterations->setValue(settings.value(prefix + QStringLiteral("iterations"), 1000).toInt());
    sb_event_threshold->setValue(
        settings.value(prefix + QStringLiteral("event_threshold"), 10000000).toInt());
}

// ---- device connection -----------------------------------------------------

void Mwidget::slot_init_deinit(bool init) {
    if (init) {
        const int rc = tdc->init(QString::fromLatin1(ini_file));
        if (rc < 0) {
            show_error_message(rc);
            if (auto *action = qobject_cast<QAction *>(sender()))
                action->setChecked(false);
            return;
        }
        update_binsize_display(tdc->get_binsize() * binning_factor());
        update_histo_points_display();
        params_changed = true;
        cb_binning->setEnabled(true);
        emit show_this(QStringLiteral("Device is initialized"));
        return;
    }

    if (run_state == 2) {
        autorun_active = false;
        interrupt_exposure();
    }
    const int rc = tdc->deinit();
    if (rc < 0) {
        // The interface lets go of the device even when the library fails to
        // release it, so an exposure cut off here reports no completion: the
        // run ends now, or its data could never be exported.
        if (run_state != 0 && !tdc->is_initialized()) {
            run_state = 0;
            autorun_active = false;
            record_run_end(QStringLiteral("device closed")); // run record hook
        }
        show_error_message(rc);
        return;
    }
    bu_start->setEnabled(false);
    cb_binning->setEnabled(false);
    // A closed device reports no further completion, so a run cut off here
    // would otherwise never end and its data could not be exported.
    if (run_state != 0) {
        return_to_idle_without_device();
        record_run_end(QStringLiteral("device closed")); // run record hook
    }
    emit show_this(QStringLiteral("Device is deinitialized"));
}

void Mwidget::slot_device_connected() {
    device_binsize_known = true;
    bu_start->setEnabled(true);
    le_binsize->setEnabled(true);
    le_histo_points->setEnabled(true);
}

void Mwidget::slot_connection_lost() {
    bu_start->setEnabled(false);
    cb_binning->setEnabled(false);
    // The lost device will not report the exposure under way.
    if (run_state != 0) {
        return_to_idle_without_device();
        record_run_end(QStringLiteral("connection lost")); // run record hook
    }
}

void Mwidget::return_to_idle_without_device() {
    run_state = 0;
    autorun_active = false;
    bu_stop->setEnabled(false);
    bu_start->setEnabled(false);
}

// ---- run control -----------------------------------------------------------

double Mwidget::required_histo_bytes() const {
    HistoParams params = *tdc->get_histo_params();
    params.binning = static_cast<uint32_t>(std::max(0, cb_binning->currentIndex()));
    params.binsize = tdc->get_binsize();
    params.start = static_cast<double>(sb_histo_start->value());
    params.size = static_cast<double>(sb_histo_size->value());
    uint64_t points = 0;
    if (!HistoPipe::compute_nbins(params, points))
        return -1.0;
    return static_cast<double>(points) * params.channels * bytes_per_point;
}

double Mwidget::available_memory_bytes() {
    double available = read_meminfo_field("MemAvailable");
#ifdef Q_OS_UNIX
    if (available < 0.0) {
        const long pages = sysconf(_SC_AVPHYS_PAGES);
        const long page_size = sysconf(_SC_PAGESIZE);
        if (pages > 0 && page_size > 0)
            available = static_cast<double>(pages) * static_cast<double>(page_size);
    }
#endif
    // A memory limit of the control group the program runs in counts as well.
    const double limit = read_number_file(QStringLiteral("/sys/fs/cgroup/memory.max"));
    const double used = read_number_file(QStringLiteral("/sys/fs/cgroup/memory.current"));
    if (limit >= 0.0 && used >= 0.0) {
        const double left = std::max(0.0, limit - used);
        available = available < 0.0 ? left : std::min(available, left);
    }
    return available;
}

// The accumulator frees its histograms before it sizes new ones, so what it
// holds now is available to the new ones too.
bool Mwidget::histos_fit_in_memory() {
    const uint32_t channels = tdc->get_histo_params()->channels;
    const double required = required_histo_bytes();
    double held = 0.0;
    for (uint32_t c = 0; c < channels; ++c) {
        if (const std::vector<double> *h = tdc->get_channel_histo(c))
            held += static_cast<double>(h->size()) * bytes_per_point;
    }
    if (required >= 0.0 && required <= held)
        return true;
    const double available = available_memory_bytes();
    if (required >= 0.0 && (available < 0.0 || required <= held + available))
        return true;

    QString text;
    if (required < 0.0) {
        text = QStringLiteral("The histograms cannot be created: the number of points per "
                              "channel is too large to count.");
    } else {
        const double points = required / (bytes_per_point * std::max<uint32_t>(channels, 1));
        text = QStringLiteral("The histograms would need %1 of memory (%2 channels x %3 points x "
                              "8 bytes), more than the %4 available.")
                   .arg(format_bytes(required))
                   .arg(channels)
                   .arg(points, 0, 'f', 0)
                   .arg(format_bytes(held + available));
    }
    QMessageBox::critical(this, QStringLiteral("Error"), text, QMessageBox::Ok);
    return false;
}

void Mwidget::start() {
    if (!histos_fit_in_memory())
        return;
    tdc->reset_histo_stats();
    if (params_changed)
        apply_histo_params();
    sb_iterations_left->setValue(sb_iterations->value());
    tdc->clear_histos();
    event_total = 0;
    emit show_this(QStringLiteral("exposure running"));
    const int rc = tdc->start_measure(sb_exposure->value());
    if (rc < 0) {
        show_error_message(rc);
        return;
    }
    run_state = 2;
    bu_start->setEnabled(false);
    bu_stop->setEnabled(true);
    autorun_active = cb_autorun->isChecked();
    record_run_start(); // run record hook
}

void Mwidget::stop() {
    // A first press during an automatic run only ends the repetition; the
    // exposure under way finishes and is drawn.
    run_stop_requested = true; // run record hook
    if (autorun_active) {
        autorun_active = false;
        return;
    }
    interrupt_exposure();
}

// Ends the exposure under way early. The completion that follows ends the
// run: one iteration is left, so an accumulating run counts down to 0. A busy
// answer means the device is already finishing, which is as good.
void Mwidget::interrupt_exposure() {
    sb_iterations_left->setValue(1);
    bu_start->setEnabled(true);
    bu_stop->setEnabled(false);
    const int rc = tdc->interrupt();
    if (rc >= 0 || rc == device_busy)
        run_state = 1;
    else
        show_error_message(rc);
}

void Mwidget::count_events() {
    const PipeStatistics *block = tdc->get_pipe_statistics();
    constexpr int64_t most = std::numeric_limits<int32_t>::max();
    for (int c = 0; c < 16; ++c) {
        const int64_t sum = int64_t(event_total) + int64_t(block->words[c]);
        event_total = static_cast<int32_t>(std::min(sum, most));
    }
}

void Mwidget::end_run() {
    run_state = 0;
    bu_start->setText(QStringLiteral("start"));
    bu_start->setEnabled(true);
    bu_stop->setEnabled(false);
}

void Mwidget::handle_completed_meas(int code) {
    if (code == 4)
        return;
    account_exposure(); // lost-event hook: before the rates plot marks the losses
    histo->refresh();
    rates->plotRates();

    // A completion that arrives after its run was abandoned (the device was
    // closed or lost meanwhile) is drawn, but belongs to no run.
    if (run_state == 0)
        return;

    if (tdc->histos_unavailable()) {
        autorun_active = false;
        end_run();
        record_run_end(QStringLiteral("histograms unavailable")); // run record hook
        QMessageBox::critical(this, QStringLiteral("Error"),
                              QStringLiteral("The histograms could not be allocated; the run "
                                             "was ended. Choose a smaller window or a larger "
                                             "binning."),
                              QMessageBox::Ok);
        return;
    }

    const bool accumulate = cb_accumulate->isChecked();
    bool go_on = false;
    bool clear_for_next = false;
    bool reset_stats_for_next = false;
    if (accumulate && autorun_active) {
        const int left = sb_iterations_left->value() - 1;
        if (left > 0) {
            sb_iterations_left->setValue(left);
        } else {
            sb_iterations_left->setValue(sb_iterations->value());
            clear_for_next = true;
        }
        go_on = true;
    } else if (accumulate) {
        const int left = sb_iterations_left->value() - 1;
        sb_iterations_left->setValue(left);
        go_on = left > 0;
    } else if (autorun_active) {
        clear_for_next = true;
        reset_stats_for_next = true;
        go_on = true;
    }

    count_events();
    const int threshold = sb_event_threshold->value();
    const bool threshold_reached = accumulate && threshold != 0 && event_total > threshold;
    if (threshold_reached)
        go_on = false;

    if (!go_on) {
        // The accumulator keeps what the plots show, ready for export.
        end_run();
        record_run_end(threshold_reached    ? QStringLiteral("event threshold reached")
                       : run_stop_requested ? QStringLiteral("stopped")
                                            : QStringLiteral("completed")); // run record hook
        return;
    }

    if (params_changed && !histos_fit_in_memory()) {
        emit run_ended(); // progress hook: no exposure runs any more
        return;
    }
    if (clear_for_next)
        tdc->clear_histos();
    if (reset_stats_for_next)
        tdc->reset_histo_stats();
    if (params_changed)
        apply_histo_params();
    const int rc = tdc->start_measure(sb_exposure->value());
    if (rc < 0) {
        emit run_ended(); // progress hook: no exposure runs any more
        show_error_message(rc);
        return;
    }
    announce_exposure(); // progress hook
}

void Mwidget::show_error_message(int code) {
    if (code >= 0)
        return;
    QMessageBox::critical(this, QStringLiteral("Error"), tdc->get_error_message(), QMessageBox::Ok);
}

// ---- export and windows ----------------------------------------------------

void Mwidget::save_data_body(bool filter_zeros) {
    // The device may still be adding events to the histograms.
    if (run_state != 0)
        return;
    if (histo->save_data(filter_zeros))
        return;
    QMessageBox::critical(this, QStringLiteral("Error"), QStringLiteral("Could not save data"),
                          QMessageBox::Ok, QMessageBox::NoButton);
}

void Mwidget::save_data() {
    save_data_body(false);
}

void Mwidget::save_data_filter_zeros() {
    save_data_body(true);
}

void Mwidget::show_control_epot() {
    epot_window->show();
}

void Mwidget::open_stats_window() {
    stats_window->show();
}

void Mwidget::close_tool_windows() {
    stats_window->close();
    epot_window->close();
}

// ---- run record, lost events and progress ----------------------------------

void Mwidget::record_run_start() {
    run_record = RunInfo::Run{};
    run_record.exposure_ms = sb_exposure->value();
    run_record.accumulate = cb_accumulate->isChecked();
    run_record.autorun = autorun_active;
    run_record.iterations = sb_iterations->value();
    run_record.event_threshold = sb_event_threshold->value();
    run_record.ended = QStringLiteral("running");
    run_stop_requested = false;
    losses.start_run();
    emit loss_warning(QString());
    announce_exposure();
}

void Mwidget::announce_exposure() {
    const bool accumulating = cb_accumulate->isChecked();
    const int of = accumulating ? sb_iterations->value() : 0;
    const int number = accumulating ? of - sb_iterations_left->value() + 1 : losses.exposures() + 1;
    emit exposure_started(sb_exposure->value(), number, of);
}

void Mwidget::account_exposure() {
    losses.add_exposure(tdc->get_pipe_statistics()->words, tdc->get_delivered_counts());
    run_record.exposures_completed = losses.exposures();
    rates->set_lost_counts(losses.last_lost());
    emit loss_warning(losses.warning_text());
}

void Mwidget::record_run_end(const QString &how) {
    run_record.ended = how;
    emit run_ended();
}

RunInfo Mwidget::collect_run_info(bool filter_zeros) {
    RunInfo info = device_run_info(*tdc);
    info.run = run_record;
    info.run_delivered = losses.run_delivered();
    info.run_lost = losses.run_lost();
    info.zeros_filtered = filter_zeros;
    return info;
}
