// Cycle cost of an automatic run on the simulated device: 0 ms exposures,
// 16 channels x 1001 bins, the panel shown in a 1280 x 800 window.
// Prints the exposures per second and the GUI time per exposure (completion
// handling: both plot refreshes and the start of the next exposure).
// Run it from the folder that holds tdc_qv5.ini (the build's bin folder); it
// changes there itself when started from elsewhere.

#include "mhisto.h"
#include "mrates.h"
#include "mwidget.h"
#include "tdciface.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMainWindow>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

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

    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        if (panel->get_run_state() == 0)
            loop.quit();
    });
    auto *stop = panel->findChild<QPushButton *>("bu_stop");
    // The first press ends the repetition; the exposure under way finishes.
    QTimer::singleShot(int(seconds * 1000), Qt::PreciseTimer, stop, &QPushButton::click);

    clock.start();
    panel->findChild<QPushButton *>("bu_start")->click();
    poll.start(1);
    loop.exec();
    f.wall_s = clock.nsecsElapsed() * 1e-9;
    QObject::disconnect(timing);
    f.slow = int(std::count_if(each.begin(), each.end(), [](double s) { return s >= 0.004; }));
    if (!each.empty()) {
        std::nth_element(each.begin(), each.begin() + each.size() / 2, each.end());
        f.median_us = each[each.size() / 2] * 1e6;
    }
    return f;
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
    if (!QFile::exists("tdc_qv5.ini"))
        QDir::setCurrent(QCoreApplication::applicationDirPath());

    TdcIface tdc;
    QMainWindow window;
    auto *panel = new Mwidget(&tdc, &window);
    window.setCentralWidget(panel);
    window.resize(1280, 800);
    window.show();
    QCoreApplication::processEvents();

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
    std::printf("  goal >= 200 exposures/s: %s\n",
                empty.exposures / empty.wall_s >= 200.0 ? "met" : "NOT met");

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
