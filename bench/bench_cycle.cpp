// Cycle cost of an automatic run on the simulated device, the panel shown in a
// 1280 x 800 window.
//
// First what the device sees: automatic runs without accumulation of 16 flat
// channels at 2 M events/s each, times spread over the histogram window, in
// real time, driven through the panel's own buttons. For each run: exposures
// completed, their summed exposure time over the wall time (the duty cycle:
// between exposures the device is idle and its events are lost), and the
// longest gap of a 10 ms timer on the GUI thread (how long the window froze).
// Beside each, the same run with both plots hidden: the ceiling.
//
// Then the cost of one cycle: 0 ms exposures, 16 channels x 1001 bins, the
// exposures per second and the GUI time per exposure (completion handling:
// both plot refreshes and the start of the next exposure). That part uses the
// build's tdc_qv5.ini (the bin folder), found from the program's own folder.

#include "device/tdciface.h"
#include "panel/mwidget.h"
#include "plots/mhisto.h"
#include "plots/mrates.h"

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

struct DeviceView {
    int exposures = 0;
    double wall_s = 0.0;
    double duty = 0.0;           // summed exposure time / wall time
    double longest_gap_ms = 0.0; // of a 10 ms timer on the GUI thread
};

// One automatic run of about `seconds`, through the panel's own handler: the
// first press of stop ends the repetition and the exposure under way ends it.
DeviceView device_run(TdcIface &tdc, Mwidget *panel, int exposure_ms, double seconds) {
    panel->findChild<QSpinBox *>("sb_exposure")->setValue(exposure_ms);
    DeviceView v;
    const QMetaObject::Connection counting = QObject::connect(
        &tdc, &TdcIface::complete_callback, panel, [&v](int) { ++v.exposures; },
        Qt::QueuedConnection);
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
    v.duty = v.exposures * exposure_ms * 1e-3 / v.wall_s;
    return v;
}

void print_device_view(const char *title, const DeviceView &shown, const DeviceView &hidden) {
    std::printf("%-36s %4d in %5.2f s  %5.1f %%  %7.1f ms | %4d in %5.2f s  %5.1f %%  %7.1f ms\n",
                title, shown.exposures, shown.wall_s, 100.0 * shown.duty, shown.longest_gap_ms,
                hidden.exposures, hidden.wall_s, 100.0 * hidden.duty, hidden.longest_gap_ms);
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
    const Row rows[] = {{100, 1000, 3.0, 0.0, 0.0},
                        {100, 12500, 3.0, 0.95, 100.0},
                        {1000, 12500, 4.0, 0.0, 100.0},
                        {1000, 125000, 4.0, 0.90, 300.0}};
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
    QApplication app(argc, argv);
    const QString start_folder = QDir::currentPath();

    TdcIface tdc;
    QMainWindow window;
    auto *panel = new Mwidget(&tdc, &window);
    window.setCentralWidget(panel);
    window.resize(1280, 800);
    window.show();
    QCoreApplication::processEvents();

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
    std::printf("  rest of the handler  %.1f us (median cycle minus both refreshes: "
                "statistics, decisions, clearing, next start)\n",
                filled.median_us - refresh_us - rates_us);

    panel->slot_init_deinit(false);
    return 0;
}
