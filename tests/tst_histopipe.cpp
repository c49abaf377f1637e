// HistoPipe against the device library's double: the pipe's life cycle, the
// parameter hand-over, the accumulator checked against a plain model, and the
// hand-over racing a running library thread.

#include "fakeoxtdc.h"
#include "histopipe.h"

#include <QtTest>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>

namespace {

FakeOxTdc &fake() {
    return FakeOxTdc::instance();
}

constexpr uint64_t all_bits = std::numeric_limits<uint64_t>::max();
const HistoParams default16{0.0, 1000.0, 1.0, 0, 16};

// The accumulator written the plain way: one event at a time, divisions
// instead of shifts, bin counts from floor().
struct Model {
    uint64_t start_bins = 0;
    uint64_t bin_width = 1;
    std::vector<std::vector<double>> histos;
    HistoStats stats{0, all_bits, 0, 0, 0, 0};
    unsigned __int128 wide_sum = 0; // the time sum without wrapping

    explicit Model(const HistoParams &p) {
        start_bins = static_cast<uint64_t>(static_cast<int64_t>(std::trunc(p.start / p.binsize)));
        bin_width = uint64_t(1) << (p.binning % 64);
        const double n = std::floor(p.size / (p.binsize * double(bin_width)) + 1.0);
        histos.assign(p.channels, std::vector<double>(static_cast<size_t>(n), 0.0));
    }

    void add(const TdcEvent &e) {
        stats.nr_events += 1;
        wide_sum += e.time;
        stats.sum_time = static_cast<uint64_t>(wide_sum);
        stats.min_time = std::min(stats.min_time, e.time);
        stats.max_time = std::max(stats.max_time, e.time);
        if (e.channel >= histos.size())
            return;
        const uint64_t offset = e.time - start_bins; // an early event wraps to a huge offset
        const uint64_t idx = offset / bin_width;
        std::vector<double> &h = histos[e.channel];
        if (idx >= h.size())
            return;
        h[idx] += 1.0;
        stats.max_count = std::max(stats.max_count, static_cast<uint64_t>(h[idx]));
        stats.channel_mask |= uint32_t(1) << (e.channel % 32);
    }
};

// Random events around the window of `model`: inside, before, after, far
// beyond (near 2^64, so the time sum wraps), on channels with and without a
// histogram, and on absurd channel numbers.
std::vector<TdcEvent> random_events(const Model &model, size_t count, std::mt19937_64 &rng) {
    const uint64_t channels = model.histos.size();
    const uint64_t window = model.histos.empty() ? 1 : model.histos[0].size() * model.bin_width;
    std::vector<TdcEvent> events;
    events.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const uint64_t r = rng();
        const uint32_t channel = r % 10 == 0 ? uint32_t(channels + rng() % 24)
                                 : r % 10 == 1
                                     ? std::numeric_limits<uint32_t>::max() - uint32_t(rng() % 4)
                                     : uint32_t(rng() % std::max<uint64_t>(channels, 1));
        // Before the window, after it, near the top (the sum wraps), in the
        // last bins, and four times in eight anywhere inside.
        const uint64_t jitter = rng() % 1000;
        const uint64_t start = model.start_bins;
        const uint64_t edges[] = {start - 1 - jitter, start + window + jitter, all_bits - jitter,
                                  start + window - 1 - jitter % 3};
        const uint64_t kind = (r >> 8) % 8;
        const uint64_t time = kind < 4 ? edges[kind] : start + rng() % window;
        events.push_back(FakeOxTdc::make_event(channel, time));
    }
    return events;
}

void compare_stats(const HistoStats &actual, const HistoStats &expected) {
    QCOMPARE(actual.nr_events, expected.nr_events);
    QCOMPARE(actual.sum_time, expected.sum_time);
    QCOMPARE(actual.min_time, expected.min_time);
    QCOMPARE(actual.max_time, expected.max_time);
    QCOMPARE(actual.max_count, expected.max_count);
    QCOMPARE(actual.channel_mask, expected.channel_mask);
}

bool is_reset(const HistoStats &s) {
    return s.max_time == 0 && s.min_time == all_bits && s.max_count == 0 && s.sum_time == 0 &&
           s.nr_events == 0 && s.channel_mask == 0;
}

double histo_sum(const HistoPipe &pipe, uint32_t channels) {
    double sum = 0.0;
    for (uint32_t c = 0; c < channels; ++c)
        if (const std::vector<double> *h = pipe.get_channel_histo(c))
            for (double v : *h)
                sum += v;
    return sum;
}

} // namespace

class TstHistoPipe : public QObject {
    Q_OBJECT

private:
    // A pipe opened on device 5 through the double; the double's table then
    // reaches this object from its library thread.
    void open(HistoPipe &pipe) {
        pipe.set_device(5);
        QVERIFY(pipe.set_pipe_open(true));
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { fake().reset(); }

    void initialState() {
        HistoPipe pipe;
        const HistoParams *p = pipe.get_params();
        QVERIFY(p->start == 0.0 && p->size == 1000.0 && p->binsize == 1.0 && p->binning == 0 &&
                p->channels == 0);
        QVERIFY(is_reset(*pipe.get_stats()));
        QVERIFY(pipe.get_channel_histo(0) == nullptr);
        QVERIFY(!pipe.histos_unavailable());
        pipe.clear_histos(); // nothing to clear yet
    }

    // --- opening and closing the pipe -----------------------------------

    void pipeOpensOnceWithTheCallbackTable() {
        HistoPipe pipe;
        QVERIFY(!pipe.set_pipe_open(true)); // no device yet
        QCOMPARE(fake().count("ox_pipe_open2"), 0);

        pipe.set_device(7);
        QVERIFY(pipe.set_pipe_open(true));
        QVERIFY(pipe.set_pipe_open(true));
        const std::vector<FakeCall> opens = fake().calls_of("ox_pipe_open2");
        QCOMPARE(opens.size(), size_t(1));
        QCOMPARE(opens[0].args, (std::vector<long long>{7, OX_PIPE_TYPE_USER_CALLBACKS}));

        const PipeCallbacks cb = fake().callbacks();
        QVERIFY(cb.priv != nullptr);
        QVERIFY(cb.start_of_meas == &HistoPipe::on_start_of_meas);
        QVERIFY(cb.end_of_meas == &HistoPipe::on_end_of_meas);
        QVERIFY(cb.statistics == &HistoPipe::on_statistics);
        QVERIFY(cb.events == &HistoPipe::on_tdc_events);
        QVERIFY(cb.slot3 != nullptr);
        QVERIFY(cb.slot6 != nullptr);
        cb.slot3();
        cb.slot6();

        // The table reaches this very object.
        pipe.set_params(default16);
        fake().deliver_start();
        QVERIFY(pipe.get_channel_histo(15) != nullptr);

        QVERIFY(!pipe.set_pipe_open(false));
        const std::vector<FakeCall> closes = fake().calls_of("ox_pipe_close2");
        QCOMPARE(closes.size(), size_t(1));
        QCOMPARE(closes[0].args, (std::vector<long long>{7, 3}));
        QVERIFY(!pipe.set_pipe_open(false));
        QCOMPARE(pipe.close_pipe(), -1);
        QCOMPARE(fake().count("ox_pipe_close2"), 1);

        // close_pipe passes the library's result on and forgets the pipe.
        QVERIFY(pipe.set_pipe_open(true));
        fake().queue_result("ox_pipe_close2", -17);
        QCOMPARE(pipe.close_pipe(), -17);
        QCOMPARE(pipe.close_pipe(), -1);
        QCOMPARE(fake().count("ox_pipe_close2"), 2);
    }

    void failedOrForgottenPipeIsOpenedAgain() {
        HistoPipe pipe;
        pipe.set_device(2);
        fake().queue_result("ox_pipe_open2", -33);
        QVERIFY(!pipe.set_pipe_open(true));
        QCOMPARE(pipe.get_pipe_open_result(), -33);
        QVERIFY(pipe.set_pipe_open(true));
        QCOMPARE(fake().count("ox_pipe_open2"), 2);

        // A pipe forgotten after a lost connection is opened afresh.
        pipe.forget_pipe();
        QCOMPARE(pipe.close_pipe(), -1);
        pipe.set_device(6);
        QVERIFY(pipe.set_pipe_open(true));
        QCOMPARE(fake().count("ox_pipe_open2"), 3);
        QCOMPARE(fake().calls_of("ox_pipe_open2")[2].args[0], 6LL);
        QCOMPARE(fake().count("ox_pipe_close2"), 0);
    }

    // --- parameter hand-over and rebuild --------------------------------

    void changeDuringMeasurementWaitsForNextStart() {
        HistoPipe pipe;
        open(pipe);
        pipe.set_params(default16);
        QVERIFY(pipe.get_channel_histo(0) == nullptr); // nothing applied before a start
        fake().deliver_start();
        for (uint32_t c = 0; c < 16; ++c)
            QCOMPARE(pipe.get_channel_histo(c)->size(), size_t(1001));
        QVERIFY(pipe.get_channel_histo(16) == nullptr);

        HistoParams p = default16;
        p.binning = 1;
        p.start = 100.0;
        pipe.set_params(p);
        fake().deliver_events({FakeOxTdc::make_event(0, 6)});
        QCOMPARE(pipe.get_channel_histo(0)->size(), size_t(1001));
        QCOMPARE((*pipe.get_channel_histo(0))[6], 1.0); // still the old window
        QCOMPARE(pipe.get_params()->binning, 1u);       // pending shows the new record

        fake().deliver_start();
        QCOMPARE(pipe.get_channel_histo(0)->size(), size_t(501));
        QCOMPARE(histo_sum(pipe, 16), 0.0); // rebuilt empty
        fake().deliver_events({FakeOxTdc::make_event(0, 106)});
        QCOMPARE((*pipe.get_channel_histo(0))[3], 1.0);
    }

    // Several records between two starts collapse into one application; a
    // size change on the way still rebuilds even when the last record
    // matches the active one again.
    void changesBetweenStartsCollapseAndRebuild() {
        HistoPipe pipe;
        open(pipe);
        pipe.set_params(default16);
        fake().deliver_start();
        fake().deliver_events({FakeOxTdc::make_event(2, 20)});
        const std::vector<double> *kept = pipe.get_channel_histo(2);

        HistoParams a = default16;
        a.start = 3.0;
        HistoParams b = a;
        b.start = 7.0;
        pipe.set_params(a);
        pipe.set_params(b);
        fake().deliver_start();
        QCOMPARE(pipe.get_channel_histo(2), kept);
        QCOMPARE((*kept)[20], 1.0);
        fake().deliver_events({FakeOxTdc::make_event(2, 20)});
        QCOMPARE((*kept)[13], 1.0); // b's offset is in force

        HistoParams wider = b;
        wider.size = 2000.0;
        pipe.set_params(wider);
        pipe.set_params(b);
        fake().deliver_start();
        QCOMPARE(pipe.get_channel_histo(2)->size(), size_t(1001));
        QCOMPARE(histo_sum(pipe, 16), 0.0);

        // A new channel count rebuilds too.
        HistoParams four = b;
        four.channels = 4;
        pipe.set_params(four);
        fake().deliver_start();
        pipe.reset_stats();
        QVERIFY(pipe.get_channel_histo(3) != nullptr);
        QVERIFY(pipe.get_channel_histo(4) == nullptr);
        fake().deliver_events({FakeOxTdc::make_event(5, 9)}); // counted, never binned
        compare_stats(*pipe.get_stats(), HistoStats{9, 9, 0, 9, 1, 0});
    }

    // --- accumulation and statistics ------------------------------------

    void randomStreamsMatchTheModel_data() {
        QTest::addColumn<double>("start");
        QTest::addColumn<double>("size");
        QTest::addColumn<double>("binsize");
        QTest::addColumn<uint>("binning");
        QTest::addColumn<uint>("channels");
        QTest::newRow("default window") << 0.0 << 1000.0 << 1.0 << 0u << 16u;
        QTest::newRow("offset, binning 2") << 100.0 << 1000.0 << 0.5 << 2u << 16u;
        QTest::newRow("negative start") << -50.0 << 300.0 << 1.0 << 1u << 16u;
        QTest::newRow("40 channels, far start") << 1e6 << 5e4 << 0.25 << 3u << 40u;
        QTest::newRow("fractional start") << 10.7 << 63.9 << 0.3 << 0u << 3u;
        QTest::newRow("binning taken modulo 64") << 20.0 << 800.0 << 1.0 << 65u << 16u;
        QTest::newRow("one huge bin") << 0.0 << 64.0 << 1.0 << 63u << 16u;
    }

    void randomStreamsMatchTheModel() {
        QFETCH(double, start);
        QFETCH(double, size);
        QFETCH(double, binsize);
        QFETCH(uint, binning);
        QFETCH(uint, channels);
        const HistoParams params{start, size, binsize, binning, channels};

        HistoPipe pipe;
        open(pipe);
        pipe.set_params(params);
        fake().deliver_start();
        Model model(params);
        QCOMPARE(pipe.get_channel_histo(0)->size(), model.histos[0].size());

        std::mt19937_64 rng(binning * 1000003u + channels);
        // Two measurements without clearing: counts and statistics carry over.
        for (int meas = 0; meas < 2; ++meas) {
            if (meas > 0)
                fake().deliver_start();
            for (int block = 0; block < 40; ++block) {
                const size_t n = block % 7 == 0 ? 0 : rng() % 97; // any remainder modulo 4
                const std::vector<TdcEvent> events = random_events(model, n, rng);
                for (const TdcEvent &e : events)
                    model.add(e);
                fake().deliver_events(events);
            }
        }
        QVERIFY(model.wide_sum > all_bits); // the stream makes the sum wrap
        QVERIFY(model.stats.nr_events > 2000);

        compare_stats(*pipe.get_stats(), model.stats);
        for (uint32_t c = 0; c < channels; ++c)
            QVERIFY2(*pipe.get_channel_histo(c) == model.histos[c],
                     qPrintable(QStringLiteral("channel %1").arg(c)));
        QVERIFY(pipe.get_channel_histo(channels) == nullptr);
    }

    void emptyCallbackChangesNothing() {
        HistoPipe pipe;
        open(pipe);
        pipe.set_params(default16);
        fake().deliver_start();
        fake().deliver_events({});
        HistoPipe::on_tdc_events(fake().callbacks().priv, nullptr, 5);
        QVERIFY(is_reset(*pipe.get_stats()));
        QCOMPARE(histo_sum(pipe, 16), 0.0);
    }

    void resetAndClear() {
        HistoPipe pipe;
        open(pipe);
        pipe.set_params(default16);
        fake().deliver_start();
        fake().deliver_events({FakeOxTdc::make_event(0, 1), FakeOxTdc::make_event(15, 1000)});

        pipe.clear_histos();
        QCOMPARE(histo_sum(pipe, 16), 0.0);
        QCOMPARE(pipe.get_channel_histo(15)->size(), size_t(1001));
        QCOMPARE(pipe.get_stats()->nr_events, uint64_t(2)); // clearing leaves the statistics

        pipe.reset_stats();
        QVERIFY(is_reset(*pipe.get_stats()));
        // After both, the fullest bin is found afresh.
        fake().deliver_events({FakeOxTdc::make_event(8, 43)});
        QCOMPARE(pipe.get_stats()->max_count, uint64_t(1));
    }

    void statisticsBlockIsCopied() {
        HistoPipe pipe;
        open(pipe);
        PipeStatistics block{};
        for (uint32_t i = 0; i < 256; ++i)
            block.words[i] = i * 2654435761u;
        fake().deliver_statistics(block);
        QCOMPARE(std::memcmp(pipe.get_pipe_statistics(), &block, sizeof block), 0);
        block.words[0] = 1;
        QVERIFY(pipe.get_pipe_statistics()->words[0] != 1u); // a copy, not the caller's block
        HistoPipe::on_statistics(fake().callbacks().priv, nullptr);
    }

    // --- end of measurement ---------------------------------------------

    void endOfMeasurementRunsTheActionOnTheLibraryThread() {
        HistoPipe pipe;
        open(pipe);
        fake().deliver_end(); // no action installed: nothing happens, nothing escapes

        std::thread::id ran_on;
        int calls = 0;
        pipe.set_end_of_meas_action([&] {
            ++calls;
            ran_on = std::this_thread::get_id();
        });
        fake().deliver_end();
        QCOMPARE(calls, 1);
        QVERIFY(ran_on != std::this_thread::get_id());

        int replaced = 0;
        pipe.set_end_of_meas_action([&] { ++replaced; });
        fake().deliver_end();
        QCOMPARE(calls, 1);
        QCOMPARE(replaced, 1);

        pipe.set_end_of_meas_action([] { throw 7; });
        fake().deliver_end(); // would terminate if it escaped the callback
    }

    // --- histograms that cannot be sized --------------------------------

    void unsizeableHistogramsAreReported_data() {
        QTest::addColumn<double>("size");
        QTest::addColumn<double>("binsize");
        QTest::addColumn<uint>("channels");
        const double inf = std::numeric_limits<double>::infinity();
        QTest::newRow("bin size 0") << 1000.0 << 0.0 << 16u;
        QTest::newRow("size NaN") << std::nan("") << 1.0 << 16u;
        QTest::newRow("size infinite") << inf << 1.0 << 16u;
        QTest::newRow("size 1e300") << 1e300 << 1.0 << 16u;
        QTest::newRow("negative size") << -5000.0 << 1.0 << 16u;
        QTest::newRow("terabytes of bins") << 1e12 << 1.0 << 16u;
        QTest::newRow("billions of channels") << 1000.0 << 1.0 << 4000000000u;
    }

    void unsizeableHistogramsAreReported() {
        QFETCH(double, size);
        QFETCH(double, binsize);
        QFETCH(uint, channels);
        HistoPipe pipe;
        open(pipe);
        pipe.set_params(default16);
        fake().deliver_start();

        pipe.set_params(HistoParams{0.0, size, binsize, 0, channels});
        fake().deliver_start(); // must neither throw nor abort
        QVERIFY(pipe.histos_unavailable());
        for (uint32_t c = 0; c < 16; ++c) {
            const std::vector<double> *h = pipe.get_channel_histo(c);
            QVERIFY(h == nullptr || h->empty());
        }
        pipe.clear_histos();
        fake().deliver_events({FakeOxTdc::make_event(0, 0), FakeOxTdc::make_event(3, 5)});
        QCOMPARE(pipe.get_stats()->nr_events, uint64_t(2));
        QCOMPARE(pipe.get_stats()->channel_mask, 0u);

        pipe.set_params(default16);
        fake().deliver_start();
        QVERIFY(!pipe.histos_unavailable());
        QCOMPARE(pipe.get_channel_histo(15)->size(), size_t(1001));
    }

    void tinyWindowHasNoBins() {
        HistoPipe pipe;
        open(pipe);
        pipe.set_params(HistoParams{0.0, -1.5, 1.0, 0, 2}); // quotient -0.5 truncates to 0
        fake().deliver_start();
        QVERIFY(!pipe.histos_unavailable());
        QCOMPARE(pipe.get_channel_histo(1)->size(), size_t(0));
        fake().deliver_events({FakeOxTdc::make_event(1, 0)});
        QCOMPARE(pipe.get_stats()->nr_events, uint64_t(1));
    }

    // --- hand-over racing the library thread -----------------------------

    // The library thread runs measurements back to back while this thread
    // keeps handing over records of two sizes. Every measurement must see one
    // consistent record: all of its in-window events land in a bin.
    void handOverWhileTheLibraryRuns() {
        HistoPipe pipe;
        open(pipe);
        const HistoParams narrow = default16;
        HistoParams coarse = default16;
        coarse.binning = 1;
        pipe.set_params(narrow);
        const PipeCallbacks cb = fake().callbacks();

        std::vector<TdcEvent> events;
        for (uint32_t i = 0; i < 64; ++i)
            events.push_back(FakeOxTdc::make_event(i % 16, (i * 37) % 1000));

        std::atomic<bool> done{false};
        std::atomic<int> measurements{0};
        std::atomic<int> inconsistent{0};
        pipe.set_end_of_meas_action([&] { measurements.fetch_add(1); });

        std::thread library([&] {
            for (int m = 0; m < 400; ++m) {
                cb.start_of_meas(cb.priv);
                const size_t bins = pipe.get_channel_histo(0)->size();
                if (bins != 1001 && bins != 501)
                    inconsistent.fetch_add(1);
                const double before = histo_sum(pipe, 16);
                cb.events(cb.priv, events.data(), events.size());
                if (histo_sum(pipe, 16) != before + double(events.size()))
                    inconsistent.fetch_add(1);
                cb.end_of_meas(cb.priv);
            }
            done = true;
        });
        uint64_t handed = 0;
        int pending_mismatch = 0;
        while (!done) {
            pipe.set_params(handed % 2 ? coarse : narrow);
            if (pipe.get_params()->binning != uint32_t(handed % 2))
                ++pending_mismatch;
            ++handed;
            std::this_thread::yield();
        }
        library.join();
        QCOMPARE(pending_mismatch, 0);

        QCOMPARE(inconsistent.load(), 0);
        QCOMPARE(measurements.load(), 400);
        QCOMPARE(pipe.get_stats()->nr_events, uint64_t(400 * events.size()));
        QVERIFY(handed > 0);

        // The last record handed over is the one the next start applies.
        fake().deliver_start();
        QCOMPARE(pipe.get_channel_histo(0)->size(),
                 size_t(pipe.get_params()->binning ? 501 : 1001));
    }
};

QTEST_GUILESS_MAIN(TstHistoPipe)
#include "tst_histopipe.moc"
