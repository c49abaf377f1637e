// The simulated device replaying a recording through the C API, one exposure per start.

#include "device/oxtdc1.h"
#include "recording/eventfile.h"

#include <QScopeGuard>
#include <QtTest>

#include <array>
#include <atomic>
#include <mutex>

namespace {

// What the callbacks saw of one exposure; the vectors under the mutex.
struct Seen {
    std::atomic<int> starts{0}, ends{0}, statistics{0};
    std::mutex mutex;
    std::vector<size_t> blocks;
    std::vector<uint32_t> channel;
    std::vector<uint64_t> time;
    std::array<uint32_t, 16> counts{};
};

template <std::atomic<int> Seen::*counter> void count(void *p) {
    ++(static_cast<Seen *>(p)->*counter);
}
void on_nothing() {}
void on_statistics(void *p, const PipeStatistics *block) {
    auto *s = static_cast<Seen *>(p);
    std::lock_guard<std::mutex> lock(s->mutex);
    ++s->statistics;
    std::copy_n(block->words, 16, s->counts.begin());
}
void on_events(void *p, const TdcEvent *events, size_t count) {
    auto *s = static_cast<Seen *>(p);
    std::lock_guard<std::mutex> lock(s->mutex);
    s->blocks.push_back(count);
    for (size_t i = 0; i < count; ++i) {
        s->channel.push_back(events[i].channel);
        s->time.push_back(events[i].time);
    }
}

void write_file(const QString &path, const QByteArray &content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

QString error_text(int code) {
    char buffer[OX_ERR_MSG_SIZE];
    ox_get_err_msg(code, buffer);
    return QString::fromUtf8(buffer);
}

} // namespace

class TestReplay : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    // Two exposures: 7 events and none; bin size 0.25 ns; channel 3 recorded at time 1.
    void initTestCase() {
        QVERIFY(QDir(dir.path()).mkpath("recordings"));
        EventFile file;
        QVERIFY(file.create(dir.filePath("recordings/run.h5").toStdString(),
                            RecordingHeader{"Velmora", "3.0.8", "now", ""}, 1));
        DeviceSnapshot device;
        device.binsize_ns = 0.25;
        QVERIFY(file.write_device(device));
        const uint8_t channel[] = {0, 1, 2, 3, 0, 1, 2};
        const uint64_t time[] = {100, 200, 300, 1, 500, 600, 700};
        QVERIFY(file.append_events(channel, time, 7));
        ExposureRow first;
        first.number = 1;
        first.event_count = 7;
        first.actual_ms = 20.0;
        first.device_counts[0] = 2;
        first.device_counts[1] = 9; // the device counted events the link lost
        ExposureRow second;
        second.number = 2;
        second.first_event = 7;
        second.actual_ms = 5.0;
        QVERIFY(file.append_row(first) && file.append_row(second) && file.close());
    }

    void replays_exposure_by_exposure_data() {
        QTest::addColumn<QByteArray>("device_keys");
        QTest::addColumn<QByteArray>("channel_keys");
        QTest::addColumn<QVector<int>>("blocks");
        QTest::addColumn<qulonglong>("channel3_time");
        QTest::newRow("real time") << QByteArray("block_events = 3\n") << QByteArray()
                                   << QVector<int>{3, 3, 1} << qulonglong(1);
        QTest::newRow("fast, corrected")
            << QByteArray("block_events = 3\nrealtime = false\n")
            << QByteArray("[channel3]\nshape = off\ncorrection = -5\n[channel1]\ncorrection = 4\n")
            << QVector<int>{3, 3, 1} << qulonglong(0);
        QTest::newRow("one block") << QByteArray("block_events = 100\nrealtime = false\n")
                                   << QByteArray() << QVector<int>{7} << qulonglong(1);
    }
    void replays_exposure_by_exposure() {
        QFETCH(QByteArray, device_keys);
        QFETCH(QByteArray, channel_keys);
        QFETCH(QVector<int>, blocks);
        QFETCH(qulonglong, channel3_time);
        const QString ini = dir.filePath("replay.ini");
        write_file(ini, "[device]\nbinsize_ns = 1\nreplay = recordings/run.h5\n" + device_keys +
                            channel_keys);

        const int dev = ox_tdc_init_inifile(ini.toUtf8().constData());
        QVERIFY2(dev >= 0, qPrintable(error_text(dev)));
        const auto release = qScopeGuard([dev] { ox_tdc_deinit2(dev); });
        double binsize = 0.0;
        QCOMPARE(ox_tdc_get_binsize2(dev, &binsize), 0);
        QCOMPARE(binsize, 0.25);
        Seen seen;
        PipeCallbacks table{&seen,      count<&Seen::starts>, count<&Seen::ends>,
                            on_nothing, on_statistics,        on_events,
                            on_nothing};
        PipeCallbackArgs args{&table};
        QVERIFY(ox_pipe_open2(dev, OX_PIPE_TYPE_USER_CALLBACKS, &args) >= 0);

        QCOMPARE(ox_tdc_start_measure2(dev, 1), 0); // whatever time is asked for
        QTRY_COMPARE(seen.ends.load(), 1);
        {
            std::lock_guard<std::mutex> lock(seen.mutex);
            QCOMPARE(seen.starts.load(), 1);
            QCOMPARE(seen.statistics.load(), 1);
            QCOMPARE(seen.blocks, std::vector<size_t>(blocks.begin(), blocks.end()));
            QCOMPARE(seen.channel, (std::vector<uint32_t>{0, 1, 2, 3, 0, 1, 2}));
            const uint64_t one_shift = channel_keys.isEmpty() ? 0 : 4;
            QCOMPARE(seen.time, (std::vector<uint64_t>{100, 200 + one_shift, 300, channel3_time,
                                                       500, 600 + one_shift, 700}));
            QCOMPARE(seen.counts[1], 9u);
            QCOMPARE(seen.counts[2], 0u);
        }
        QCOMPARE(ox_tdc_start_measure2(dev, 1000), 0);
        QTRY_COMPARE(seen.ends.load(), 2);
        QCOMPARE(seen.time.size(), size_t(7));
        const int exhausted = ox_tdc_start_measure2(dev, 1000);
        QCOMPARE(exhausted, -45);
        QVERIFY(error_text(exhausted).contains("exhausted"));
    }

    void unreadable_recording_refuses_the_device_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("missing file") << QByteArray();
        QTest::newRow("not HDF5") << QByteArray("plain text");
    }
    void unreadable_recording_refuses_the_device() {
        QFETCH(QByteArray, content);
        const QString recording = dir.filePath("bad.h5");
        QFile::remove(recording);
        if (!content.isEmpty())
            write_file(recording, content);
        const QString ini = dir.filePath("bad.ini");
        write_file(ini, "[device]\nreplay = bad.h5\n");
        const int dev = ox_tdc_init_inifile(ini.toUtf8().constData());
        QCOMPARE(dev, -46);
        QVERIFY(error_text(dev).contains(recording));
    }
};

QTEST_GUILESS_MAIN(TestReplay)
#include "tst_replay.moc"
