// Figures of the event recorder:
//  - the highest rate recorded without loss, at deflate level 1 and uncompressed: the
//    accumulator's callback fed at a steady rate on this thread, the writer draining;
//  - bytes per event on the simulated device's default configuration;
//  - the time the accumulator's callback takes with recording on against off, at a rate the
//    writer keeps up with.

#include "device/histopipe.h"
#include "device/oxtdc1.h"
#include "recording/eventrecorder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t block = 8192; // events per callback, as the simulated device delivers them
const HistoParams window{0.0, 1000.0, 0.125, 0, 16};

// Flat light: every channel, every time of the 1000 ns range equally likely.
std::vector<TdcEvent> flat_events(size_t count) {
    std::vector<TdcEvent> events(count);
    std::mt19937_64 rng(7);
    for (TdcEvent &e : events) {
        const uint64_t r = rng();
        e.channel = uint32_t(r & 15u);
        e.time = (r >> 8) % 8000;
    }
    return events;
}

ExposureResult result_of(uint64_t number, uint64_t events) {
    ExposureResult result;
    result.number = number;
    result.started = QDateTime::currentDateTime();
    result.params = window;
    result.device.binsize_ns = 0.125;
    result.delivered[0] = events;
    return result;
}

struct Paced {
    uint64_t sent = 0;
    double callback_seconds = 0.0; // inside the events callback
};

// Feeds the accumulator at `rate` events per second for `seconds`.
Paced feed(HistoPipe &pipe, const std::vector<TdcEvent> &events, double rate, double seconds) {
    Paced out;
    HistoPipe::on_start_of_meas(&pipe);
    const auto t0 = Clock::now();
    size_t at = 0;
    const uint64_t total = uint64_t(rate * seconds);
    while (out.sent < total) {
        const auto due = t0 + std::chrono::nanoseconds(int64_t(double(out.sent) / rate * 1e9));
        while (Clock::now() < due) {
        }
        if (at + block > events.size())
            at = 0;
        const auto before = Clock::now();
        HistoPipe::on_tdc_events(&pipe, events.data() + at, block);
        out.callback_seconds += std::chrono::duration<double>(Clock::now() - before).count();
        at += block;
        out.sent += block;
    }
    HistoPipe::on_end_of_meas(&pipe);
    return out;
}

struct Recorded {
    uint64_t sent = 0, written = 0, missing = 0;
    double bytes_per_event = 0.0;
    double callback_ns = 0.0;
};

Recorded record_at(const QString &path, int level, const std::vector<TdcEvent> &events, double rate,
                   double seconds) {
    EventRecorder recorder([](EventQueue *) { return uint64_t(1); });
    Recorded r;
    if (!recorder.start(path, RecordingHeader{"bench", "", "", ""}, level).isEmpty())
        return r;
    HistoPipe pipe;
    pipe.set_params(window);
    pipe.set_event_queue(&recorder.queue());
    const Paced paced = feed(pipe, events, rate, seconds);
    recorder.add_exposure(result_of(1, paced.sent));
    while (recorder.events_written() + recorder.events_missing() < paced.sent)
        QThread::msleep(1);
    recorder.stop();
    r.sent = paced.sent;
    r.written = recorder.events_written();
    r.missing = recorder.events_missing();
    r.bytes_per_event = double(QFileInfo(path).size()) / double(std::max<uint64_t>(r.written, 1));
    r.callback_ns = paced.callback_seconds * 1e9 / double(paced.sent);
    QFile::remove(path);
    return r;
}

void lossless_rates(const QTemporaryDir &dir, const std::vector<TdcEvent> &events) {
    for (int level : {1, 0}) {
        double best = 0.0;
        for (double mega : {2.0, 5.0, 10.0, 15.0, 20.0, 30.0, 40.0, 60.0, 80.0, 120.0}) {
            const Recorded r = record_at(dir.filePath("rate.h5"), level, events, mega * 1e6, 2.0);
            std::printf("  level %d, %5.1f M events/s for 2 s: %llu missing of %llu (%.2f bytes "
                        "per event)\n",
                        level, mega, (unsigned long long)r.missing, (unsigned long long)r.sent,
                        r.bytes_per_event);
            if (r.missing > 0)
                break;
            best = mega;
        }
        std::printf("deflate level %d: lossless up to %.0f M events/s (flat light)\n", level, best);
    }
}

// Three exposures of one second of the default configuration, in real time (drawn as fast as
// possible, the simulated device outruns the writer at level 1).
void default_configuration(const QTemporaryDir &dir) {
    QFile shipped(VELMORA_DEFAULT_INI);
    QFile ini(dir.filePath("tdc_qv5.ini"));
    if (!shipped.open(QIODevice::ReadOnly) || !ini.open(QIODevice::WriteOnly))
        return;
    ini.write(shipped.readAll());
    ini.close();
    const int dev = ox_tdc_init_inifile(ini.fileName().toUtf8().constData());
    if (dev < 0)
        return;
    const QString path = dir.filePath("default.h5");
    EventRecorder recorder([](EventQueue *) { return uint64_t(1); });
    recorder.start(path, RecordingHeader{"bench", "", "", ""}, 1);
    HistoPipe pipe;
    pipe.set_params(window);
    pipe.set_device(dev);
    pipe.set_pipe_open(true);
    pipe.set_event_queue(&recorder.queue());
    std::atomic<uint64_t> ended{0};
    pipe.set_end_of_meas_action([&](uint64_t number) { ended.store(number); });
    uint64_t sent = 0;
    for (uint64_t n = 1; n <= 3; ++n) {
        ox_tdc_start_measure2(dev, 1000);
        while (ended.load() < n)
            QThread::msleep(1);
        const uint64_t delivered = pipe.get_delivered_running();
        sent += delivered;
        recorder.add_exposure(result_of(n, delivered));
    }
    while (recorder.events_written() + recorder.events_missing() < sent)
        QThread::msleep(1);
    recorder.stop();
    pipe.set_pipe_open(false);
    ox_tdc_deinit2(dev);
    std::printf("default configuration, level 1: %.2f bytes per event (%llu events, %llu "
                "missing)\n",
                double(QFileInfo(path).size()) /
                    double(std::max<uint64_t>(recorder.events_written(), 1)),
                (unsigned long long)recorder.events_written(),
                (unsigned long long)recorder.events_missing());
}

void accumulator_cost(const QTemporaryDir &dir, const std::vector<TdcEvent> &events) {
    constexpr double rate = 5e6;
    HistoPipe pipe;
    pipe.set_params(window);
    feed(pipe, events, rate, 0.5); // warms the histograms
    double off = 1e30, on = 1e30;
    for (int round = 0; round < 3; ++round) {
        const Paced plain = feed(pipe, events, rate, 2.0);
        off = std::min(off, plain.callback_seconds * 1e9 / double(plain.sent));
        const Recorded r = record_at(dir.filePath("cost.h5"), 1, events, rate, 2.0);
        if (r.missing == 0)
            on = std::min(on, r.callback_ns);
    }
    std::printf("accumulator at 5 M events/s: %.2f ns per event recording off, %.2f on "
                "(%+.1f %%)\n",
                off, on, (on / off - 1.0) * 100.0);
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const std::vector<TdcEvent> events = flat_events(size_t(4) << 20);
    std::printf("recording benchmark (%d cores)\n", QThread::idealThreadCount());
    lossless_rates(dir, events);
    default_configuration(dir);
    accumulator_cost(dir, events);
    return 0;
}
