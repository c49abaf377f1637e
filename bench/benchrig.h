// A TdcIface on the simulated device for the plot benchmarks: one silent
// exposure sizes the accumulator's histograms, whose storage the benchmark
// then fills with shapes of its own (playing billions of events would only
// time the fill). The device configuration is written to a temporary folder,
// so the benchmarks never depend on the folder they are started from.
#ifndef BENCHRIG_H
#define BENCHRIG_H

#include "device/tdciface.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

class BenchRig {
public:
    // 16 channels without events; `extra` is appended to the [device] section.
    explicit BenchRig(const QByteArray &extra = QByteArray()) {
        QFile ini(dir.filePath(QStringLiteral("tdc_qv5.ini")));
        ini.open(QIODevice::WriteOnly);
        ini.write("[device]\nbinsize_ns = 0.5\nchannels = 16\nrealtime = false\n" + extra);
        ini.close();
        tdc = std::make_unique<TdcIface>();
        if (tdc->init(ini.fileName()) < 0) {
            std::fprintf(stderr, "cannot open the simulated device: %s\n",
                         qPrintable(tdc->get_error_message()));
            std::exit(1);
        }
    }

    void set_params(double start, double size, double binsize, uint32_t binning,
                    uint32_t channels) {
        tdc->set_histo_params({start, size, binsize, binning, channels});
    }

    // Runs one exposure of 0 ms, which applies the parameters and sizes the
    // histograms, then marks every channel as having events, the highest bin
    // holding `peak` and every channel `count` events in the statistics block.
    void size_histograms(uint64_t peak, uint32_t count = 1) {
        QEventLoop loop;
        QObject::connect(tdc.get(), &TdcIface::complete_callback, &loop, &QEventLoop::quit,
                         Qt::QueuedConnection);
        QTimer::singleShot(10000, &loop, [&loop]() { loop.exit(1); });
        if (tdc->start_measure(0) < 0 || loop.exec() != 0) {
            std::fprintf(stderr, "the sizing exposure failed\n");
            std::exit(1);
        }
        auto &stats = const_cast<HistoStats &>(*tdc->get_histo_stats());
        stats.channel_mask = 0xffff;
        stats.nr_events = 1;
        stats.max_count = peak;
        auto &block = const_cast<PipeStatistics &>(*tdc->get_pipe_statistics());
        for (uint32_t c = 0; c < 16; ++c)
            block.words[c] = count;
    }

    std::vector<double> *storage(uint32_t channel) {
        return const_cast<std::vector<double> *>(tdc->get_channel_histo(channel));
    }

    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/velmora-bench-XXXXXX")};
    std::unique_ptr<TdcIface> tdc;
};

#endif // BENCHRIG_H
