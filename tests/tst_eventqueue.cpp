// The bounded queue carrying events to the recorder, raced in the ThreadSanitizer stage.

#include "device/eventqueue.h"
#include "device/histopipe.h"
#include "tests/fakeoxtdc.h"

#include <QtTest>

#include <atomic>
#include <numeric>
#include <random>
#include <thread>

namespace {

FakeOxTdc &lib = FakeOxTdc::instance();
constexpr auto ev = &FakeOxTdc::make_event;

std::vector<TdcEvent> numbered(size_t count, uint64_t first) {
    std::vector<TdcEvent> events;
    for (size_t i = 0; i < count; ++i)
        events.push_back(ev(uint32_t((first + i) % 16), first + i));
    return events;
}

// Every waiting block's times, oldest first, handing the blocks back.
std::vector<uint64_t> drain_times(EventQueue &queue, std::vector<size_t> *sizes = nullptr) {
    std::vector<uint64_t> times;
    while (const EventQueue::Block *block = queue.front()) {
        times.insert(times.end(), block->time.get(), block->time.get() + block->count);
        if (sizes)
            sizes->push_back(block->count);
        queue.pop();
    }
    return times;
}

double histo_total(const HistoPipe &pipe) {
    double sum = 0.0;
    for (uint32_t c = 0; c < 16; ++c)
        if (const std::vector<double> *h = pipe.get_channel_histo(c))
            sum += std::accumulate(h->begin(), h->end(), 0.0);
    return sum;
}

} // namespace

class TestEventQueue : public QObject {
    Q_OBJECT
private slots:
    void init() { lib.reset(); }
    // Blocks go out when full or at the exposure's end; with none free, the rest is dropped.
    void fills_and_drops_whole_blocks_data() {
        QTest::addColumn<int>("blocks");
        QTest::addColumn<int>("per_block");
        QTest::addColumn<QVector<int>>("pushes");
        QTest::addColumn<QVector<int>>("kept_sizes");
        QTest::addColumn<int>("dropped");
        auto row = [](const char *name, int blocks, int per_block, QVector<int> pushes,
                      QVector<int> kept_sizes, int dropped) {
            QTest::newRow(name) << blocks << per_block << pushes << kept_sizes << dropped;
        };
        row("fits", 4, 10, {3, 10}, {10, 3}, 0);
        row("full mid-call", 4, 10, {25, 30}, {10, 10, 10, 10}, 15);
        row("full before a call", 2, 8, {1, 1, 7, 9, 4}, {8, 8}, 6);
        row("one slot", 1, 5, {0, 4, 4}, {5}, 3);
    }
    void fills_and_drops_whole_blocks() {
        QFETCH(int, blocks);
        QFETCH(int, per_block);
        QFETCH(QVector<int>, pushes);
        QFETCH(QVector<int>, kept_sizes);
        QFETCH(int, dropped);
        EventQueue queue{size_t(blocks), size_t(per_block)};
        queue.begin_exposure(7);
        uint64_t next = 0;
        for (int n : pushes) {
            const std::vector<TdcEvent> events = numbered(size_t(n), next);
            queue.push(events.data(), events.size());
            next += uint64_t(n);
        }
        std::vector<uint64_t> expected(size_t(next - uint64_t(dropped)));
        std::iota(expected.begin(), expected.end(), uint64_t(0));
        queue.end_exposure();
        std::vector<size_t> sizes;
        QCOMPARE(drain_times(queue, &sizes), expected);
        QCOMPARE(sizes, std::vector<size_t>(kept_sizes.begin(), kept_sizes.end()));
        EventQueue::ExposureEnd end;
        QVERIFY(queue.take_end(end) && end.exposure == 7);
        QCOMPARE(end.dropped, uint64_t(dropped));
        QVERIFY(!queue.take_end(end));
        // Freed blocks take events again, and a new exposure counts from zero.
        queue.begin_exposure(8);
        const std::vector<TdcEvent> more = numbered(size_t(per_block), 1000);
        queue.push(more.data(), more.size());
        queue.end_exposure();
        QCOMPARE(drain_times(queue).size(), size_t(per_block));
        QVERIFY(queue.take_end(end) && end.exposure == 8 && end.dropped == 0);
    }

    void full_end_record_is_counted() {
        EventQueue queue(1, 1, 2);
        for (uint64_t n = 1; n <= 3; ++n) {
            queue.begin_exposure(n);
            queue.end_exposure();
        }
        QCOMPARE(queue.lost_ends(), uint64_t(1));
        EventQueue::ExposureEnd end;
        QVERIFY(queue.take_end(end) && end.exposure == 1);
        QVERIFY(queue.take_end(end) && end.exposure == 2);
        QVERIFY(!queue.take_end(end));
    }

    // The accumulator takes a queue up at a start only, and ends its exposure before announcing it.
    void accumulator_hands_over_from_the_next_start() {
        HistoPipe pipe;
        pipe.set_params(HistoParams{0.0, 1000.0, 1.0, 0, 16});
        pipe.set_device(3);
        QVERIFY(pipe.set_pipe_open(true));
        EventQueue queue(8, 4);
        uint64_t ended_in_queue = 0;
        pipe.set_end_of_meas_action([&](uint64_t) {
            EventQueue::ExposureEnd end;
            while (queue.take_end(end))
                ended_in_queue = end.exposure;
        });
        lib.deliver_start();
        pipe.set_event_queue(&queue); // mid-exposure: not yet
        lib.deliver_events({ev(1, 10), ev(2, 20)});
        QVERIFY(queue.front() == nullptr);
        lib.deliver_end();
        QCOMPARE(ended_in_queue, uint64_t(0));
        lib.deliver_start();
        lib.deliver_events({ev(1, 11), ev(2, 21), ev(3, 31)});
        pipe.set_event_queue(nullptr); // the exposure under way keeps its queue
        lib.deliver_events({ev(4, 41)});
        lib.deliver_end();
        QCOMPARE(ended_in_queue, uint64_t(2));
        QCOMPARE(queue.front()->exposure, uint64_t(2));
        QCOMPARE(drain_times(queue), (std::vector<uint64_t>{11, 21, 31, 41}));
        lib.deliver_start();
        lib.deliver_events({ev(1, 12)});
        lib.deliver_end();
        QVERIFY(queue.front() == nullptr);
        QCOMPARE(histo_total(pipe), 7.0);
    }

    // A producer on its own thread against a lagging consumer: per exposure, arrived plus dropped
    // is pushed; the histograms hold every event.
    void producer_races_consumer() {
        HistoPipe pipe;
        pipe.set_params(HistoParams{0.0, 4096.0, 1.0, 0, 16});
        pipe.set_device(3);
        QVERIFY(pipe.set_pipe_open(true));
        EventQueue queue(4, 64, 64);
        pipe.set_event_queue(&queue);
        constexpr uint64_t exposures = 40;
        std::vector<uint64_t> pushed(exposures + 1, 0);
        std::atomic<bool> done{false};

        std::thread producer([&] {
            std::mt19937_64 rng(5);
            uint64_t stamp = 0;
            for (uint64_t x = 1; x <= exposures; ++x) {
                lib.deliver_start();
                const size_t calls = 1 + rng() % 30;
                for (size_t c = 0; c < calls; ++c) {
                    const size_t n = rng() % 200;
                    std::vector<TdcEvent> events = numbered(n, stamp);
                    for (TdcEvent &e : events)
                        e.time %= 4096;
                    stamp += n;
                    lib.deliver_events(events);
                    pushed[x] += n;
                }
                lib.deliver_end();
            }
            done.store(true);
        });

        std::vector<uint64_t> arrived(exposures + 1, 0), dropped(exposures + 1, 0);
        std::vector<bool> ended(exposures + 1, false);
        uint64_t last_exposure = 0;
        bool in_order = true, whole = true;
        std::mt19937 lag(9);
        auto consume = [&] {
            while (const EventQueue::Block *block = queue.front()) {
                in_order = in_order && block->exposure >= last_exposure;
                last_exposure = block->exposure;
                whole = whole && block->count > 0 && block->count <= 64;
                arrived[block->exposure] += block->count;
                queue.pop();
                if (lag() % 4 == 0)
                    std::this_thread::yield();
            }
            EventQueue::ExposureEnd end;
            while (queue.take_end(end)) {
                ended[end.exposure] = true;
                dropped[end.exposure] = end.dropped;
            }
        };
        while (!done.load())
            consume();
        producer.join();
        consume();
        QVERIFY(in_order && whole);
        for (uint64_t x = 1; x <= exposures; ++x) {
            QVERIFY2(ended[x], qPrintable(QString::number(x)));
            QCOMPARE(arrived[x] + dropped[x], pushed[x]);
        }
        const uint64_t total = std::accumulate(pushed.begin(), pushed.end(), uint64_t(0));
        QCOMPARE(queue.pushed_events() + queue.dropped_events(), total);
        QCOMPARE(histo_total(pipe), double(total));
    }
};

QTEST_GUILESS_MAIN(TestEventQueue)
#include "tst_eventqueue.moc"
