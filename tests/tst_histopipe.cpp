// HistoPipe on the device library's double, the accumulator against a plain model.

#include "device/histopipe.h"
#include "tests/fakeoxtdc.h"

#include <QtTest>

#include <atomic>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <thread>

namespace {

FakeOxTdc &lib = FakeOxTdc::instance();
constexpr auto ev = &FakeOxTdc::make_event;
constexpr uint64_t all_bits = std::numeric_limits<uint64_t>::max();
const HistoParams default16{0.0, 1000.0, 1.0, 0, 16};

std::vector<uint64_t> fields(const HistoStats &s) {
    return {s.nr_events, s.sum_time, s.min_time, s.max_time, s.max_count, s.channel_mask};
}

// Total count in the first `channels` histograms (may run on the library's thread).
double histo_sum(const HistoPipe &pipe, uint32_t channels = 16) {
    double sum = 0.0;
    for (uint32_t c = 0; c < channels; ++c)
        if (const std::vector<double> *h = pipe.get_channel_histo(c))
            sum += std::accumulate(h->begin(), h->end(), 0.0);
    return sum;
}

// The accumulator the plain way: divisions instead of shifts, the time sum without wrapping.
struct Model {
    uint64_t start_bins, bin_width, channels;
    std::vector<std::vector<double>> histos;
    HistoStats stats{0, all_bits, 0, 0, 0, 0};
    unsigned __int128 wide_sum = 0;
    std::array<uint64_t, 16> delivered{}; // per channel since the last start
    uint64_t running = 0;                 // all events since the last start
    Model(const HistoParams &p, bool unavailable)
        : start_bins(uint64_t(int64_t(std::trunc(p.start / p.binsize)))),
          bin_width(uint64_t(1) << (p.binning % 64)), channels(p.channels) {
        const double n = std::floor(p.size / (p.binsize * double(bin_width)) + 1.0);
        if (!unavailable)
            histos.assign(p.channels, std::vector<double>(size_t(std::max(n, 0.0)), 0.0));
    }
    void add(const TdcEvent &e) {
        delivered[std::min<uint32_t>(e.channel, 15)] += e.channel < 16;
        running += 1;
        stats.nr_events += 1;
        wide_sum += e.time;
        stats.sum_time = uint64_t(wide_sum);
        stats.min_time = std::min(stats.min_time, e.time);
        stats.max_time = std::max(stats.max_time, e.time);
        const uint64_t idx = (e.time - start_bins) / bin_width; // early events wrap far out
        if (e.channel >= histos.size() || idx >= histos[e.channel].size())
            return;
        stats.max_count = std::max(stats.max_count, uint64_t(histos[e.channel][idx] += 1.0));
        stats.channel_mask |= uint32_t(1) << (e.channel % 32);
    }
};

// Events in, just around and at the end of the window, near 2^64, on channels without histograms.
std::vector<TdcEvent> random_events(const Model &m, size_t count, std::mt19937_64 &rng) {
    const uint64_t start = m.start_bins,
                   window = std::max<uint64_t>(
                       m.histos.empty() ? 1 : m.histos[0].size() * m.bin_width, 1);
    std::vector<TdcEvent> events;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t r = rng(), jitter = rng() % 1000, kind = (r >> 8) % 8;
        const uint32_t channel = r % 10 == 0   ? uint32_t(m.channels + rng() % 24)
                                 : r % 10 == 1 ? ~uint32_t(rng() % 4)
                                               : uint32_t(rng() % m.channels);
        const uint64_t edges[] = {start - 1 - jitter, start + window + jitter, all_bits - jitter,
                                  start + window - 1 - jitter % 3};
        events.push_back(ev(channel, kind < 4 ? edges[kind] : start + rng() % window));
    }
    return events;
}

} // namespace

Q_DECLARE_METATYPE(HistoParams)

class TestHistoPipe : public QObject {
    Q_OBJECT

private slots:
    void init() { lib.reset(); }
    // A record applies at the next start, never mid-measurement; histograms are rebuilt empty only
    // when the bin or channel count changed.
    void pipeAndHandOver() {
        HistoPipe pipe;
        pipe.set_device(7);
        QVERIFY(pipe.set_pipe_open(true) && pipe.set_pipe_open(true));
        QCOMPARE(lib.count("ox_pipe_open2"), 1);
        pipe.set_params(default16);
        QVERIFY(pipe.get_channel_histo(0) == nullptr);
        lib.deliver_start();
        const std::vector<double> *kept = pipe.get_channel_histo(2);
        QCOMPARE(kept->size(), size_t(1001));
        for (double start : {3.0, 7.0})
            pipe.set_params({start, 1000.0, 1.0, 0, 16});
        lib.deliver_events({ev(2, 20)});
        lib.deliver_start();
        lib.deliver_events({ev(2, 20)});
        QCOMPARE(pipe.get_channel_histo(2), kept);
        QCOMPARE((*kept)[20], 1.0); // before the start: the old window
        QCOMPARE((*kept)[13], 1.0); // after it: the last record's, counts kept
        for (double size : {2000.0, 1000.0})
            pipe.set_params({7.0, size, 1.0, 0, 16});
        lib.deliver_start();
        QCOMPARE(histo_sum(pipe), 0.0);
        pipe.set_params(HistoParams{7.0, 1000.0, 1.0, 1, 4});
        lib.deliver_start();
        QCOMPARE(pipe.get_channel_histo(3)->size(), size_t(501));
        QVERIFY(pipe.get_channel_histo(4) == nullptr);
        // A clear request takes effect at the next start only; the record in force is readable.
        lib.deliver_events({ev(3, 20)});
        pipe.request_clear(true, false);
        pipe.set_params(HistoParams{9.0, 1000.0, 1.0, 1, 4});
        QCOMPARE(histo_sum(pipe, 4) + pipe.get_active_params().start, 1.0 + 7.0);
        lib.deliver_start();
        QCOMPARE(histo_sum(pipe, 4), 0.0);
        QCOMPARE(pipe.get_stats()->nr_events, 3u); // the statistics were not asked for
        pipe.request_clear(false, true);
        lib.deliver_start();
        QCOMPARE(pipe.get_stats()->nr_events, 0u);
        lib.deliver_end(); // neither a missing nor a throwing action unwinds into the library
        pipe.set_end_of_meas_action([](uint64_t) { throw 7; });
        lib.deliver_end();
    }

    void randomStreamsMatchTheModel_data() {
        QTest::addColumn<HistoParams>("params");
        QTest::addColumn<bool>("unavailable");
        auto row = [](const char *name, HistoParams p, bool unavailable = false) {
            QTest::newRow(name) << p << unavailable;
        };
        row("offset, binning 2", {100.0, 1000.0, 0.5, 2, 16});
        row("negative start", {-50.5, 300.0, 1.0, 1, 16});
        row("40 channels, far start", {1e6, 5e4, 0.25, 3, 40});
        row("fractional start, 3 channels", {10.7, 63.9, 0.3, 0, 3});
        row("binning taken modulo 64", {20.0, 800.0, 1.0, 65, 16});
        row("one huge bin", {0.0, 64.0, 1.0, 63, 16});
        row("below one bin", {0, -1.5, 1.0, 0, 2});
        row("bin size 0", {0, 1000.0, 0.0, 0, 16}, true);
        row("size NaN", {0, std::nan(""), 1.0, 0, 16}, true);
        row("size infinite", {0, HUGE_VAL, 1.0, 0, 16}, true);
        row("terabytes of bins", {0, 1e12, 1.0, 0, 16}, true);
        row("billions of channels", {0, 1000.0, 1.0, 0, 4000000000u}, true);
    }

    // Two measurements without clearing; unsizable histograms are reported, not thrown.
    void randomStreamsMatchTheModel() {
        QFETCH(HistoParams, params);
        QFETCH(bool, unavailable);
        HistoPipe pipe;
        pipe.set_device(5);
        QVERIFY(pipe.set_pipe_open(true));
        pipe.set_params(params);
        lib.deliver_start();
        QCOMPARE(pipe.histos_unavailable(), unavailable);
        Model model(params, unavailable);
        std::mt19937_64 rng(params.binning * 1000003u + params.channels);
        for (int block = 0; block < 80; ++block) {
            if (block == 40) {
                lib.deliver_start();
                model.delivered.fill(0);
                model.running = 0;
            }
            const std::vector<TdcEvent> events =
                random_events(model, block % 7 ? rng() % 97 : 0, rng);
            for (const TdcEvent &e : events)
                model.add(e);
            lib.deliver_events(events);
        }
        HistoPipe::on_tdc_events(lib.table.priv, nullptr, 5);
        pipe.fold_live();
        QVERIFY(model.wide_sum > all_bits && model.stats.nr_events > 2000);
        QCOMPARE(fields(*pipe.get_stats()), fields(model.stats));
        QCOMPARE(pipe.get_delivered_counts(), model.delivered);
        QCOMPARE(pipe.get_delivered_running(), model.running);
        for (uint32_t c = 0; c < params.channels && c < 64; ++c) {
            const std::vector<double> *h = pipe.get_channel_histo(c);
            QVERIFY2(unavailable ? !h || h->empty() : *h == model.histos[c],
                     qPrintable(QString::number(c)));
        }
        // Clearing and resetting leave nothing behind, not even the fullest bin.
        pipe.clear_histos();
        pipe.reset_stats();
        const uint64_t t = model.start_bins, binned = !unavailable && !model.histos[0].empty();
        lib.deliver_events({ev(0, t)});
        pipe.fold_live();
        QCOMPARE(fields(*pipe.get_stats()), (std::vector<uint64_t>{1, t, t, t, binned, binned}));
        QCOMPARE(histo_sum(pipe, std::min(params.channels, 64u)), double(binned));
    }

    // The completed exposure stays whole while the next one fills the live set: rotated through a
    // cleared spare set, exchanged while the spare still holds old counts, or copied when the next
    // exposure accumulates; a release after a failed start gives the live set its counts back.
    void holdKeepsTheCompletedExposure_data() {
        QTest::addColumn<bool>("clears");
        QTest::addColumn<bool>("spare_cleared");
        QTest::addColumn<bool>("start_fails");
        QTest::addColumn<HistoParams>("params");
        const HistoParams tallied{0.0, 40000.0, 1.0, 0, 16}; // 5 MB of bins: counted in tallies
        for (const HistoParams &p : {default16, tallied}) {
            const char *size = &p == &default16 ? "" : ", tallied";
            const auto row = [&](const char *name, bool clears, bool spare_cleared, bool fails) {
                QTest::addRow("%s%s", name, size) << clears << spare_cleared << fails << p;
            };
            row("rotated", true, true, false);
            row("exchanged after the first", true, false, false);
            row("copied", false, false, false);
            row("rotated, start failed", true, true, true);
            row("exchanged, start failed", true, false, true);
            row("copied, start failed", false, true, true);
        }
    }
    void holdKeepsTheCompletedExposure() {
        QFETCH(bool, clears);
        QFETCH(bool, spare_cleared);
        QFETCH(bool, start_fails);
        QFETCH(HistoParams, params);
        HistoPipe pipe;
        pipe.set_device(7);
        QVERIFY(pipe.set_pipe_open(true));
        pipe.set_params(params);
        std::mt19937_64 rng(11);
        Model model(params, false);
        const auto compare = [&](auto histo, const std::vector<std::vector<double>> &want) {
            for (uint32_t c = 0; c < 16; ++c)
                if (*(pipe.*histo)(c) != want[c])
                    return false;
            return true;
        };
        lib.deliver_start();
        std::vector<std::vector<double>> completed;
        for (int exposure = 0; exposure < 4; ++exposure) {
            const std::vector<TdcEvent> events = random_events(model, 400, rng);
            for (const TdcEvent &e : events)
                model.add(e);
            lib.deliver_events(events);
            if (exposure > 0) // the events went to the live set only
                QVERIFY(compare(&HistoPipe::get_held_histo, completed));
            lib.deliver_end();
            const uint64_t generation = pipe.histo_generation();
            QVERIFY(pipe.hold_completed(clears));
            QVERIFY(pipe.histo_generation() != generation);
            completed = model.histos;
            if (start_fails) {
                pipe.release_hold();
                pipe.fold_live();
                QVERIFY(compare(&HistoPipe::get_channel_histo, completed));
                QCOMPARE(pipe.get_stats()->max_count, model.stats.max_count);
                QVERIFY(pipe.hold_completed(clears)); // the start is tried again
            }
            const uint64_t held_fullest = std::max(pipe.get_stats()->max_count, pipe.fold_held());
            QCOMPARE(held_fullest, model.stats.max_count);
            QVERIFY(compare(&HistoPipe::get_held_histo, completed));
            if (spare_cleared)
                pipe.clear_spare();
            pipe.request_clear(clears, clears);
            lib.deliver_start();
            if (clears)
                model = Model(params, false);
            pipe.fold_live();
            QVERIFY(compare(&HistoPipe::get_channel_histo, model.histos));
            QVERIFY(compare(&HistoPipe::get_held_histo, completed));
        }
        QCOMPARE(fields(*pipe.get_stats()), fields(model.stats));
    }

    // A tally wraps every 256 events; its bin and the fullest bin stay exact, before the fold (a
    // wrapped bin) and after it.
    void talliesWrapExactly() {
        HistoPipe pipe;
        pipe.set_device(7);
        QVERIFY(pipe.set_pipe_open(true));
        const HistoParams tallied{0.0, 40000.0, 1.0, 0, 16};
        pipe.set_params(tallied);
        lib.deliver_start();
        Model model(tallied, false);
        const struct {
            uint32_t channel;
            uint64_t time;
            int events;
        } hits[] = {{3, 5, 70000}, {0, 9, 300}, {15, 40000, 256}, {7, 12, 255}, {3, 6, 512}};
        for (const auto &hit : hits) {
            const std::vector<TdcEvent> block(size_t(hit.events), ev(hit.channel, hit.time));
            for (const TdcEvent &e : block)
                model.add(e);
            for (size_t at = 0; at < block.size(); at += 4096)
                lib.deliver_events(
                    std::vector<TdcEvent>(block.begin() + long(at),
                                          block.begin() + long(std::min(at + 4096, block.size()))));
        }
        QCOMPARE(pipe.get_stats()->max_count, uint64_t(69888)); // 273 wraps of channel 3, bin 5
        QCOMPARE((*pipe.get_channel_histo(15))[40000], 256.0);
        pipe.fold_live();
        QCOMPARE(fields(*pipe.get_stats()), fields(model.stats));
        for (uint32_t c = 0; c < 16; ++c)
            QVERIFY2(*pipe.get_channel_histo(c) == model.histos[c], qPrintable(QString::number(c)));
    }

    // Records handed over while the library's thread measures: each start sees one whole record.
    void handOverWhileTheLibraryRuns() {
        HistoPipe pipe;
        pipe.set_device(5);
        QVERIFY(pipe.set_pipe_open(true));
        pipe.set_params(default16);
        const PipeCallbacks cb = lib.table;
        std::vector<TdcEvent> events;
        for (uint32_t i = 0; i < 64; ++i)
            events.push_back(ev(i % 16, (i * 37) % 1000));
        std::atomic<bool> done{false};
        std::atomic<int> inconsistent{0};
        std::thread library([&] {
            for (int m = 0; m < 400; ++m) {
                cb.start_of_meas(cb.priv);
                const size_t bins = pipe.get_channel_histo(0)->size();
                const double before = histo_sum(pipe);
                cb.events(cb.priv, events.data(), events.size());
                if ((bins != 1001 && bins != 501) || histo_sum(pipe) != before + events.size())
                    ++inconsistent;
            }
            done = true;
        });
        for (uint64_t handed = 0; !done; ++handed) {
            pipe.set_params(HistoParams{0.0, 1000.0, 1.0, uint32_t(handed % 2), 16});
            pipe.request_clear(false, false); // under the same lock as the hand-over
            std::this_thread::yield();
        }
        library.join();
        QCOMPARE(inconsistent.load(), 0);
        QCOMPARE(pipe.get_stats()->nr_events, uint64_t(400 * events.size()));
    }
};

QTEST_GUILESS_MAIN(TestHistoPipe)
#include "tst_histopipe.moc"
