// Times Mhisto::write_data() for 16 channels of 1,000,000 bins without the
// filter, and the same lines written with std::ostream formatting (precision
// 10, setw, classic locale) as a reference for speed and bytes.

#include "bench/benchrig.h"
#include "device/tdciface.h"
#include "plots/mhisto.h"
#include "run/exposureresult.h"
#include "run/runrecord.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <locale>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t channels = 16;
constexpr uint32_t bins = 1000000;
// A device bin of 82.3 ps makes nearly every time a fraction, the slower
// case of the number formatting.
constexpr double binsize = 0.0823;
constexpr double start = 12.5;

// Sizes the histograms with one exposure, then writes decay-shaped counts
// straight into the accumulator's storage (16 x 10^6 bins of events would
// only time the fill).
void fill(BenchRig &rig) {
    rig.set_params(start, (bins - 1) * binsize, binsize, 0, channels);
    rig.size_histograms(5030);
    QRandomGenerator random(5);
    for (uint32_t c = 0; c < channels; ++c) {
        std::vector<double> &h = *rig.storage(c);
        for (uint32_t i = 0; i < bins; ++i)
            h[i] = std::floor(5000.0 * std::exp(-double(i) / (40000.0 * (c + 1))) +
                              random.bounded(30));
    }
}

// The reference: the same channel file through std::ostream formatting.
void write_with_stream(const std::string &path, uint32_t channel, const std::vector<double> &t,
                       const std::vector<double> &h) {
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    out.imbue(std::locale::classic());
    out << "# Channel " << channel << " (Time[ns] vs Countrate):\n";
    out.precision(10);
    for (size_t i = 0; i < h.size(); ++i)
        out << std::setw(20) << t[i] << ' ' << std::setw(10) << h[i] << '\n';
}

QByteArray read_all(const QString &path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    BenchRig rig;
    fill(rig);
    Mhisto plot(rig.tdc.get(), nullptr);
    // The record the run controller would hand over for the sizing exposure.
    ExposureResult last;
    last.number = 1;
    last.params = rig.tdc->get_active_histo_params();
    last.device.binsize_ns = binsize;
    last.statistics_arrived = true;
    for (uint32_t c = 0; c < channels; ++c) {
        last.device_counts[c] = 1;
        last.histos.push_back(rig.tdc->get_channel_histo(c));
    }
    RunRecord run;
    run.exposures_completed = run.exposures_in_histograms = run.first_exposure_in_histograms = 1;
    plot.set_export_source([&] { return HistoExport::snapshot(last, run); });

    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/bench_export-XXXXXX"));
    const QString name = dir.filePath(QStringLiteral("export.txt"));
    const double lines = double(channels) * bins;

    std::printf("export of %u channels x %u bins, no filter, into %s\n", channels, bins,
                qPrintable(dir.path()));
    double best = 1e300;
    for (int round = 0; round < 3; ++round) {
        // The previous round's half gigabyte would still be on its way to the
        // disk and throttle this one's writing.
        ::sync();
        QElapsedTimer timer;
        timer.start();
        const std::clock_t cpu_start = std::clock();
        const bool ok = plot.write_data(name, false);
        const double cpu = double(std::clock() - cpu_start) / CLOCKS_PER_SEC;
        const double seconds = timer.nsecsElapsed() / 1e9;
        best = std::min(best, seconds);
        std::printf("  write_data: %.3f s wall (%.3f s CPU incl. the kernel's copying), "
                    "%.2f M lines/s%s%s\n",
                    seconds, cpu, lines / seconds / 1e6,
                    ok ? "" : "  FAILED: ", qPrintable(plot.export_error()));
        std::fflush(stdout);
    }

    // The stream reference on two channels (its speed per line is the same
    // for all), and a byte comparison of those files.
    std::vector<double> t;
    plot.compute_time_axis(t);
    QElapsedTimer timer;
    timer.start();
    for (uint32_t c = 0; c < 2; ++c) {
        const QString path = dir.filePath(QStringLiteral("stream_ch%1.txt").arg(c));
        write_with_stream(path.toStdString(), c, t, *rig.tdc->get_channel_histo(c));
    }
    const double stream_seconds = timer.nsecsElapsed() / 1e9;
    const double stream_rate = 2.0 * bins / stream_seconds;
    std::printf("  std::ostream reference: %.2f M lines/s (16 channels would take %.1f s)\n",
                stream_rate / 1e6, lines / stream_rate);
    std::printf("  speed-up of write_data over the stream: %.1fx\n", (lines / best) / stream_rate);
    bool same = true;
    for (uint32_t c = 0; c < 2; ++c) {
        same = same && read_all(dir.filePath(QStringLiteral("export_ch%1.txt").arg(c))) ==
                           read_all(dir.filePath(QStringLiteral("stream_ch%1.txt").arg(c)));
    }
    std::printf("  bytes identical to the stream's: %s\n", same ? "yes" : "NO");
    return same ? 0 : 1;
}
