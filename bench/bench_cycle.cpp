// Cycle cost of an automatic run on the simulated device, the panel shown in a
// 1280 x 800 window.
//
// First what the device sees: automatic runs without accumulation of 16 flat
// channels at 2 M events/s each, times spread over the histogram window, in
// real time, driven through the panel's own buttons. For each run: exposures
// completed, their summed exposure time over the wall time (the duty cycle:
// between exposures the device is idle and its events are lost), and the
// longest gap of a 10 ms timer on the GUI thread (how long the window froze).
// Beside each, the same run with both plots hidden: the ceiling. Each row is
// measured after a first run of one exposure with its window, which
// allocates the histograms (its time is printed too). Below each row, where
// a cycle's wall time goes besides the exposure: the library thread's
// overrun past the exposure time, the hand-over to the GUI thread, the way
// to the next start (the dead time ends there), then the time from there
// until the record is drawn (the fold of large histograms and the plots'
// samples, while the device measures) with the repaints in the handler, and
// the repaints that happen while the device measures.
//
// Then the cost of one cycle: 0 ms exposures, 16 channels x 1001 bins, the
// exposures per second and the GUI time per exposure in the completion
// handler (statistics, decisions, holding the histograms and the start of the
// next exposure; the plots are refreshed in the turn after it, timed apart on
// the last exposure's data). That part uses the
// build's tdc_qv5.ini (the bin folder), found from the program's own folder.

#include "device/tdciface.h"
#include "panel/mwidget.h"
#include "plots/mhisto.h"
#include "plots/mrates.h"
#include "run/runcontroller.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMainWindow>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Starts an automatic run with the panel's start button, presses stop after
// `seconds` (the first press ends the repetition; the exposure under way
// finishes) and returns once the panel is idle, checked every `poll_ms`.
void run_for(Mwidget *panel, double seconds, int poll_ms) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        if (panel->get_run_state() == 0)
            loop.quit();
    });
    auto *stop = panel->findChild<QPushButton *>("bu_stop");
    QTimer::singleShot(int(seconds * 1000), Qt::PreciseTimer, stop, &QPushButton::click);
    panel->findChild<QPushButton *>("bu_start")->click();
    poll.start(poll_ms);
    loop.exec();
}

struct RunFigures {
    int exposures = 0;
    double wall_s = 0.0;
    double gui_s = 0.0;
    double gui_max_s = 0.0;
    double median_us = 0.0;
    int slow = 0; // cycles of 4 ms or more
};

// One automatic run of `seconds`, the completions timed around the panel's
// own handler.
RunFigures timed_run(TdcIface &tdc, Mwidget *panel, int exposure_ms, double seconds) {
    panel->findChild<QSpinBox *>("sb_exposure")->setValue(exposure_ms);
    RunFigures f;
    std::vector<double> each;
    each.reserve(100000);
    QElapsedTimer clock;
    const QMetaObject::Connection timing = QObject::connect(
        &tdc, &TdcIface::complete_callback, panel,
        [&](int code) {
            QElapsedTimer t;
            t.start();
            QMetaObject::invokeMethod(panel, "handle_completed_meas", Qt::DirectConnection,
                                      Q_ARG(int, code));
            const double s = t.nsecsElapsed() * 1e-9;
            f.gui_s += s;
            f.gui_max_s = std::max(f.gui_max_s, s);
            each.push_back(s);
            ++f.exposures;
        },
        Qt::QueuedConnection);

    clock.start();
    run_for(panel, seconds, 1);
    f.wall_s = clock.nsecsElapsed() * 1e-9;
    QObject::disconnect(timing);
    f.slow = int(std::count_if(each.begin(), each.end(), [](double s) { return s >= 0.004; }));
    if (!each.empty()) {
        std::nth_element(each.begin(), each.begin() + each.size() / 2, each.end());
        f.median_us = each[each.size() / 2] * 1e6;
    }
    return f;
}

// The simulated device of the duty-cycle runs: 16 flat channels at 2 M
// events/s each, event times spread over `range_ns`.
QByteArray flat_device_ini(int range_ns) {
    QByteArray ini = "[device]\nbinsize_ns = 0.125\nchannels = 16\nseed = 7\nrealtime = true\n"
                     "range_ns = " +
                     QByteArray::number(range_ns) + "\n";
    for (int c = 0; c < 16; ++c)
        ini += "[channel" + QByteArray::number(c) + "]\nshape = flat\nrate_hz = 2000000\n";
    return ini;
}

// Opens the device of `ini` through the panel, from a folder of its own.
bool connect_device(TdcIface &tdc, Mwidget *panel, const QTemporaryDir &dir,
                    const QByteArray &ini) {
    if (tdc.is_initialized())
        panel->slot_init_deinit(false);
    QFile file(dir.filePath(QStringLiteral("tdc_qv5.ini")));
    if (!file.open(QIODevice::WriteOnly) || file.write(ini) != ini.size())
        return false;
    file.close();
    QDir::setCurrent(dir.path());
    panel->slot_init_deinit(true);
    return tdc.is_initialized();
}

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Times the events the GUI thread spends a cycle on: the queued calls into the
// run controller (the completion handling among them) and the paints of the
// plots' widgets, inside those calls or between them.
class TimingApplication : public QApplication {
public:
    using QApplication::QApplication;

    void watch(QObject *run_controller, QList<QWidget *> plots) {
        run = run_controller;
        plot_widgets = std::move(plots);
    }
    bool notify(QObject *receiver, QEvent *event) override {
        const bool call = run != nullptr && receiver == run && event->type() == QEvent::MetaCall;
        const bool paint = run != nullptr && event->type() == QEvent::Paint && paint_depth == 0 &&
                           in_plot(receiver);
        if (!call && !paint)
            return QApplication::notify(receiver, event);
        const int64_t begin = now_ns();
        if (call) {
            call_begin = begin;
            paint_in_call = 0;
            ++call_depth;
        } else {
            ++paint_depth;
        }
        const bool done = QApplication::notify(receiver, event);
        const int64_t spent = now_ns() - begin;
        if (call) {
            --call_depth;
        } else {
            --paint_depth;
            (call_depth > 0 ? paint_in_call : paint_outside) += spent;
        }
        return done;
    }

    int64_t call_begin = 0;    // of the call into the run controller under way
    int64_t paint_in_call = 0; // painting inside it so far
    int64_t paint_outside = 0; // painting between calls, summed
private:
    bool in_plot(QObject *object) const {
        for (QObject *o = object; o != nullptr; o = o->parent())
            if (plot_widgets.contains(qobject_cast<QWidget *>(o)))
                return true;
        return false;
    }

    QObject *run = nullptr;
    QList<QWidget *> plot_widgets;
    int call_depth = 0;
    int paint_depth = 0;
};

TimingApplication *timing_app() {
    return static_cast<TimingApplication *>(QCoreApplication::instance());
}

// Where a cycle's wall time goes, as means over the cycles of a run. The
// dead time between two exposures is the overrun, the hand-over and the way
// to the next start; the record and the plots' samples and repaints in the
// handler add to it only when they come before that start.
struct Breakdown {
    double overrun_ms = 0;       // library thread past the exposure time
    double handover_ms = 0;      // from the library's end until the GUI thread takes it
    double start_ms = 0;         // from there to the next exposure's start
    double samples_ms = 0;       // to the record drawn (folded, samples built)
    double paint_ms = 0;         // repaints in the handler
    double paint_outside_ms = 0; // repaints while the device measures
    int cycles = 0;
    int drawn = 0;       // records drawn
    int drawn_after = 0; // of them, drawn while the next exposure ran
};

struct DeviceView {
    int exposures = 0;
    double wall_s = 0.0;
    double duty = 0.0;           // summed exposure time / wall time
    double longest_gap_ms = 0.0; // of a 10 ms timer on the GUI thread
    Breakdown parts;
};

// Stamps of the cycle under way; the library thread writes only `ended`.
struct CycleClock {
    int64_t started = 0;
    std::atomic<int64_t> ended{0};
    Breakdown sum;

    // At every exposure_starting: the cycle that ends here counts when all
    // its stamps were taken, in order, within one completion handler.
    void starting(double exposure_ms, int64_t handled) {
        const int64_t now = now_ns();
        const int64_t end = ended.load(std::memory_order_acquire);
        if (started != 0 && started < end && end <= handled) {
            const double ms = 1e-6;
            sum.overrun_ms += (end - started) * ms - exposure_ms;
            sum.handover_ms += (handled - end) * ms;
            sum.start_ms += (now - handled) * ms;
            ++sum.cycles;
        }
        started = now;
    }
    // After the plots have taken a record, inside the handler begun at
    // `handled`; a start within the same handler came before the drawing.
    void drawn(int64_t handled, int64_t painted) {
        const int64_t from = std::max(handled, started);
        sum.samples_ms += (now_ns() - from - painted) * 1e-6;
        sum.paint_ms += painted * 1e-6;
        ++sum.drawn;
        if (started > handled)
            ++sum.drawn_after;
    }
    Breakdown mean() const {
        Breakdown b = sum;
        const double n = std::max(1, sum.cycles), d = std::max(1, sum.drawn);
        for (double *part : {&b.overrun_ms, &b.handover_ms, &b.start_ms, &b.paint_outside_ms})
            *part /= n;
        b.samples_ms /= d;
        b.paint_ms /= d;
        return b;
    }
};

// One automatic run of about `seconds`, through the panel's own handler: the
// first press of stop ends the repetition and the exposure under way ends it.
DeviceView device_run(TdcIface &tdc, Mwidget *panel, int exposure_ms, double seconds) {
    panel->findChild<QSpinBox *>("sb_exposure")->setValue(exposure_ms);
    DeviceView v;
    const QMetaObject::Connection counting = QObject::connect(
        &tdc, &TdcIface::complete_callback, panel, [&v](int) { ++v.exposures; },
        Qt::QueuedConnection);
    CycleClock cycle;
    RunController *run = panel->run_controller();
    TimingApplication *app = timing_app();
    const int64_t paint_outside_before = app->paint_outside;
    const QMetaObject::Connection stamps[] = {
        QObject::connect(run, &RunController::exposure_starting, panel,
                         [&] { cycle.starting(exposure_ms, app->call_begin); }),
        // On the signal the library's thread sends before the one the run
        // controller takes: stamped after that, the end could come after the
        // next start on a busy machine.
        QObject::connect(
            &tdc, &TdcIface::complete_callback, panel,
            [&](int) { cycle.ended.store(now_ns(), std::memory_order_release); },
            Qt::DirectConnection),
        // Connected after the panel: runs once the plots have taken the record.
        QObject::connect(run, &RunController::exposure_completed, panel,
                         [&] { cycle.drawn(app->call_begin, app->paint_in_call); })};
    QElapsedTimer clock;
    QElapsedTimer since_tick;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&]() {
        v.longest_gap_ms = std::max(v.longest_gap_ms, since_tick.nsecsElapsed() * 1e-6);
        since_tick.start();
    });
    clock.start();
    since_tick.start();
    ticker.start(10);
    run_for(panel, seconds, 5);
    v.wall_s = clock.nsecsElapsed() * 1e-9;
    QObject::disconnect(counting);
    for (const QMetaObject::Connection &stamp : stamps)
        QObject::disconnect(stamp);
    v.duty = v.exposures * exposure_ms * 1e-3 / v.wall_s;
    v.parts = cycle.mean();
    v.parts.paint_outside_ms =
        (app->paint_outside - paint_outside_before) * 1e-6 / std::max(1, v.parts.cycles);
    return v;
}

void print_device_view(const char *title, const DeviceView &shown, const DeviceView &hidden) {
    std::printf("%-36s %4d in %5.2f s  %5.1f %%  %7.1f ms | %4d in %5.2f s  %5.1f %%  %7.1f ms\n",
                title, shown.exposures, shown.wall_s, 100.0 * shown.duty, shown.longest_gap_ms,
                hidden.exposures, hidden.wall_s, 100.0 * hidden.duty, hidden.longest_gap_ms);
    for (const auto &[what, view] : {std::pair{"shown", &shown}, std::pair{"hidden", &hidden}}) {
        const Breakdown &b = view->parts;
        std::printf("  cycle, plots %-6s overrun %6.2f  hand-over %6.2f  to next start %6.2f ms"
                    " | record drawn %6.2f  paint %6.2f ms in the handler, %s the start;"
                    " painting while measuring %6.2f ms\n",
                    what, b.overrun_ms, b.handover_ms, b.start_ms, b.samples_ms, b.paint_ms,
                    b.drawn_after * 2 > b.drawn ? "after" : "before", b.paint_outside_ms);
    }
    std::fflush(stdout);
}

// The duty-cycle runs; false when the simulated device cannot be opened.
bool device_views(TdcIface &tdc, Mwidget *panel) {
    struct Row {
        int exposure_ms;
        int window_ns;
        double seconds;
        double duty_goal;  // 0: none
        double stall_goal; // ms, 0: none
    };
    const Row rows[] = {{100, 1000, 3.0, 0.98, 0.0},
                        {100, 12500, 3.0, 0.97, 100.0},
                        {1000, 12500, 4.0, 0.0, 100.0},
                        {1000, 125000, 6.0, 0.97, 100.0}};
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/bench_cycle-XXXXXX"));
    panel->findChild<QSpinBox *>("sb_histo_start")->setValue(0);
    panel->findChild<QCheckBox *>("cb_accumulate")->setChecked(false);
    panel->findChild<QCheckBox *>("cb_autorun")->setChecked(true);
    auto *histo = panel->findChild<Mhisto *>();
    auto *rates = panel->findChild<Mrates *>();
    std::printf("what the device sees: automatic runs, 16 flat channels at 2 M events/s each,\n"
                "real time; exposures completed, duty cycle (exposure time / wall time) and\n"
                "the longest gap of a 10 ms GUI timer, with the plots shown | hidden (ceiling)\n");
    std::printf("%-36s %-32s | %s\n", "exposure, bins per channel", "plots shown", "plots hidden");
    int range_ns = -1;
    for (const Row &row : rows) {
        if (row.window_ns != range_ns) {
            range_ns = row.window_ns;
            if (!connect_device(tdc, panel, dir, flat_device_ini(range_ns)))
                return false;
            panel->findChild<QSpinBox *>("sb_histo_size")->setValue(row.window_ns);
        }
        histo->show();
        rates->show();
        // The first run after a change of window allocates the histograms
        // (page faults of fresh memory, once); the rows show the steady state.
        const DeviceView first = device_run(tdc, panel, row.exposure_ms, 0.001);
        const DeviceView shown = device_run(tdc, panel, row.exposure_ms, row.seconds);
        histo->hide();
        rates->hide();
        const DeviceView hidden = device_run(tdc, panel, row.exposure_ms, row.seconds);
        histo->show();
        rates->show();
        char title[64];
        std::snprintf(title, sizeof title, "%d ms, 16 x %zu", row.exposure_ms,
                      tdc.get_channel_histo(0)->size());
        print_device_view(title, shown, hidden);
        std::printf("  first run of one exposure, allocating: %.1f ms\n", first.wall_s * 1e3);
        if (row.duty_goal > 0.0)
            std::printf("  goal duty cycle >= %.0f %%: %s\n", 100.0 * row.duty_goal,
                        shown.duty >= row.duty_goal ? "met" : "NOT met");
        if (row.stall_goal > 0.0)
            std::printf("  goal longest gap <= %.0f ms: %s\n", row.stall_goal,
                        shown.longest_gap_ms <= row.stall_goal ? "met" : "NOT met");
    }
    panel->slot_init_deinit(false);
    return true;
}

template <typename F> double mean_us(int repeats, F &&work) {
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < repeats; ++i)
        work();
    return t.nsecsElapsed() * 1e-3 / repeats;
}

void print_run(const char *title, const RunFigures &f) {
    std::printf("%s\n", title);
    std::printf("  exposures            %d in %.3f s\n", f.exposures, f.wall_s);
    std::printf("  exposures per second %.0f\n", f.exposures / f.wall_s);
    std::printf("  GUI time / exposure  mean %.1f us, median %.1f us, max %.1f us\n",
                f.exposures ? f.gui_s / f.exposures * 1e6 : 0.0, f.median_us, f.gui_max_s * 1e6);
    std::printf("  GUI share of wall    %.0f %%\n", 100.0 * f.gui_s / f.wall_s);
    std::printf("  cycles of >= 4 ms    %d\n", f.slow);
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TimingApplication app(argc, argv);
    const QString start_folder = QDir::currentPath();

    TdcIface tdc;
    QMainWindow window;
    auto *panel = new Mwidget(&tdc, &window);
    window.setCentralWidget(panel);
    window.resize(1280, 800);
    window.show();
    QCoreApplication::processEvents();
    app.watch(panel->run_controller(),
              {panel->findChild<Mhisto *>(), panel->findChild<Mrates *>()});

    if (!(argc > 1 && std::strcmp(argv[1], "nodevice") == 0) && !device_views(tdc, panel)) {
        std::fprintf(stderr, "cannot open the simulated device: %s\n",
                     qPrintable(tdc.get_error_message()));
        return 1;
    }
    std::printf("\n");
    QDir::setCurrent(start_folder);
    if (!QFile::exists("tdc_qv5.ini"))
        QDir::setCurrent(QCoreApplication::applicationDirPath());
    panel->slot_init_deinit(true);
    if (!tdc.is_initialized()) {
        std::fprintf(stderr, "cannot open the simulated device: %s\n",
                     qPrintable(tdc.get_error_message()));
        return 1;
    }
    // 1000 device bins plus the closing one: 1001 bins per channel.
    const double binsize = tdc.get_binsize();
    const int window_ns = int(1000 * binsize + 0.5);
    if (std::abs(window_ns - 1000 * binsize) > 1e-9) {
        std::fprintf(stderr, "device bin size %g ns gives no whole window of 1000 bins\n", binsize);
        return 1;
    }
    // The timed handler replaces the panel's own queued connection.
    QObject::disconnect(&tdc, &TdcIface::complete_callback, panel, nullptr);
    panel->findChild<QSpinBox *>("sb_histo_start")->setValue(0);
    panel->findChild<QSpinBox *>("sb_histo_size")->setValue(window_ns);
    panel->findChild<QCheckBox *>("cb_accumulate")->setChecked(false);
    panel->findChild<QCheckBox *>("cb_autorun")->setChecked(true);

    std::printf("panel cycle on the simulated device, %d channels x %zu bins, window 1280x800\n",
                int(tdc.get_histo_params()->channels), size_t(window_ns / binsize + 1.0));

    timed_run(tdc, panel, 0, 0.5); // warm-up: fonts, caches, first allocation
    const RunFigures empty = timed_run(tdc, panel, 0, 3.0);
    std::printf("bins per channel      %zu\n", tdc.get_channel_histo(0)->size());
    print_run("automatic run, 0 ms exposures", empty);
    std::printf("  goal >= 2000 exposures/s: %s\n",
                empty.exposures / empty.wall_s >= 2000.0 ? "met" : "NOT met");

    // The same cycle with data in every curve: 2 ms exposures of the default
    // device give a few thousand events each.
    const RunFigures filled = timed_run(tdc, panel, 2, 3.0);
    print_run("automatic run, 2 ms exposures (curves with data; rate bound by exposure time)",
              filled);

    // Where the GUI time goes, on the data of the last exposure.
    auto *histo = panel->findChild<Mhisto *>();
    auto *rates = panel->findChild<Mrates *>();
    const double refresh_us = mean_us(200, [&]() { histo->refresh(); });
    const double rates_us = mean_us(200, [&]() { rates->plotRates(); });
    std::printf("parts, on the last exposure's data\n");
    std::printf("  histogram refresh    %.1f us\n", refresh_us);
    std::printf("  rates plot           %.1f us\n", rates_us);
    std::printf("  completion handler   %.1f us (median: statistics, decisions, holding the "
                "histograms, next start; the refreshes follow in the next turn)\n",
                filled.median_us);

    panel->slot_init_deinit(false);
    return 0;
}
