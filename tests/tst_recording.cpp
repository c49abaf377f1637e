// The event recorder fed straight through its queue, its file read back with libhdf5 by field name.

#include "recording/eventrecorder.h"
#include "tests/fakeoxtdc.h"

#include <QtTest>

#include <hdf5.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

namespace {

struct Row {
    uint64_t number, first_event, event_count, missing;
    uint64_t delivered[16];
};

struct Recording {
    bool ok = false;
    std::vector<uint64_t> time;
    std::vector<Row> rows;
    int version = 0;
    std::vector<int> corrections;
};

template <class T> std::vector<T> read_column(hid_t file, const char *name, hid_t type) {
    const hid_t set = H5Dopen2(file, name, H5P_DEFAULT);
    const hid_t space = H5Dget_space(set);
    std::vector<T> out(size_t(H5Sget_simple_extent_npoints(space)));
    if (!out.empty())
        H5Dread(set, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, out.data());
    H5Sclose(space);
    H5Dclose(set);
    return out;
}

Recording read_recording(const QString &path) {
    Recording r;
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    const hid_t file = H5Fopen(path.toUtf8().constData(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0)
        return r;
    r.time = read_column<uint64_t>(file, "/events/time", H5T_NATIVE_UINT64);
    const hsize_t sixteen = 16;
    const hid_t counts = H5Tarray_create2(H5T_NATIVE_UINT64, 1, &sixteen);
    const hid_t row = H5Tcreate(H5T_COMPOUND, sizeof(Row));
    H5Tinsert(row, "number", HOFFSET(Row, number), H5T_NATIVE_UINT64);
    H5Tinsert(row, "first_event", HOFFSET(Row, first_event), H5T_NATIVE_UINT64);
    H5Tinsert(row, "event_count", HOFFSET(Row, event_count), H5T_NATIVE_UINT64);
    H5Tinsert(row, "missing_from_recording", HOFFSET(Row, missing), H5T_NATIVE_UINT64);
    H5Tinsert(row, "delivered", HOFFSET(Row, delivered), counts);
    r.rows = read_column<Row>(file, "/exposures", row);
    H5Tclose(row);
    H5Tclose(counts);
    const hid_t version = H5Aopen(file, "format_version", H5P_DEFAULT);
    H5Aread(version, H5T_NATIVE_INT, &r.version);
    H5Aclose(version);
    const hid_t corr = H5Aopen(file, "corrections", H5P_DEFAULT);
    const hid_t space = H5Aget_space(corr);
    r.corrections.resize(size_t(std::max<hssize_t>(H5Sget_simple_extent_npoints(space), 0)));
    H5Aread(corr, H5T_NATIVE_INT, r.corrections.data());
    H5Sclose(space);
    H5Aclose(corr);
    r.ok = H5Fclose(file) >= 0;
    return r;
}

// One exposure played into the queue in blocks of `block` events; answers its record.
ExposureResult play(EventQueue &queue, uint64_t number, size_t events, size_t block,
                    std::vector<uint64_t> &all_times) {
    queue.begin_exposure(number);
    ExposureResult result;
    result.number = number;
    result.device.binsize_ns = 0.125;
    result.device.corrections_known = true;
    result.device.corrections.assign(16, 3);
    std::vector<TdcEvent> buffer;
    for (size_t i = 0; i < events; ++i) {
        const uint32_t channel = uint32_t((i * 7 + number) % 16);
        const uint64_t time = number * 100000 + i;
        buffer.push_back(FakeOxTdc::make_event(channel, time));
        all_times.push_back(time);
        result.delivered[channel] += 1;
        if (buffer.size() == block || i + 1 == events) {
            queue.push(buffer.data(), buffer.size());
            buffer.clear();
        }
    }
    queue.end_exposure();
    return result;
}

} // namespace

class TestRecording : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    uint64_t next_number = 1;
    EventQueue *attached = nullptr;

    std::unique_ptr<EventRecorder> make_recorder(size_t blocks, size_t block_events) {
        return std::make_unique<EventRecorder>(
            [this](EventQueue *queue) {
                attached = queue;
                return next_number;
            },
            nullptr, blocks, block_events);
    }
    static RecordingHeader header() { return RecordingHeader{"Velmora", "3.0.8", "now", "[x]"}; }

private slots:
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        next_number = 1;
    }

    // A writer held back while the exposures play keeps the first four blocks, counts the rest.
    void records_every_exposure_data() {
        QTest::addColumn<QVector<int>>("sizes");
        QTest::addColumn<bool>("held");
        QTest::addColumn<QVector<int>>("kept");
        QTest::newRow("three exposures")
            << QVector<int>{1000, 0, 2500} << false << QVector<int>{1000, 0, 2500};
        QTest::newRow("beyond a chunk")
            << QVector<int>{70000, 3} << false << QVector<int>{70000, 3};
        QTest::newRow("writer held back")
            << QVector<int>{250, 300} << true << QVector<int>{250, 100};
    }
    void records_every_exposure() {
        QFETCH(QVector<int>, sizes);
        QFETCH(bool, held);
        QFETCH(QVector<int>, kept);
        auto recorder = make_recorder(held ? 4 : 1024, 100);
        const QString path = dir->filePath("run.h5");
        QVERIFY(recorder->start(path, header(), 1).isEmpty());
        QCOMPARE(attached, &recorder->queue());
        QSignalSpy progress(recorder.get(), &EventRecorder::progress);
        recorder->hold_writer(held);
        std::vector<uint64_t> times;
        std::vector<ExposureResult> results;
        for (int n : sizes)
            results.push_back(play(recorder->queue(), next_number++, size_t(n), 100, times));
        recorder->hold_writer(false);
        for (const ExposureResult &result : results)
            recorder->add_exposure(result);
        QTRY_COMPARE(progress.count(), sizes.size());
        recorder->stop();
        QCOMPARE(attached, nullptr);

        const Recording r = read_recording(path);
        QVERIFY(r.ok);
        QCOMPARE(r.version, 1);
        QCOMPARE(r.corrections, std::vector<int>(16, 3));
        QCOMPARE(r.rows.size(), size_t(sizes.size()));
        std::vector<uint64_t> expected_times;
        uint64_t first = 0, played = 0;
        for (int i = 0; i < sizes.size(); ++i) {
            const Row &row = r.rows[size_t(i)];
            QCOMPARE(row.number, uint64_t(i + 1));
            QCOMPARE(row.first_event, first);
            QCOMPARE(row.event_count, uint64_t(kept[i]));
            QCOMPARE(row.missing, uint64_t(sizes[i] - kept[i]));
            QCOMPARE(row.delivered[(7 + uint64_t(i) + 1) % 16] > 0, sizes[i] > 1);
            expected_times.insert(expected_times.end(), times.begin() + long(played),
                                  times.begin() + long(played) + kept[i]);
            first += uint64_t(kept[i]);
            played += uint64_t(sizes[i]);
        }
        QCOMPARE(recorder->events_missing(), played - first);
        QCOMPARE(progress.last().at(1).toULongLong(), played - first);
        QCOMPARE(r.time, expected_times);
    }

    void existing_file_is_never_touched() {
        const QString path = dir->filePath("taken.h5");
        QFile taken(path);
        QVERIFY(taken.open(QIODevice::WriteOnly));
        taken.write("keep me");
        taken.close();
        auto recorder = make_recorder(4, 100);
        QVERIFY(recorder->start(path, header(), 1).contains("exists"));
        QVERIFY(!recorder->is_recording() && attached == nullptr);
        QVERIFY(taken.open(QIODevice::ReadOnly));
        QCOMPARE(taken.readAll(), QByteArray("keep me"));
        QVERIFY(!recorder->start(dir->filePath("no/such/folder.h5"), header(), 1).isEmpty());
    }

    // Exposures begun before the recording, and the events of one never completed, are left out.
    void only_completed_exposures_after_the_start() {
        auto recorder = make_recorder(1024, 100);
        next_number = 5;
        const QString path = dir->filePath("part.h5");
        QVERIFY(recorder->start(path, header(), 0).isEmpty());
        QSignalSpy progress(recorder.get(), &EventRecorder::progress);
        std::vector<uint64_t> times;
        const ExposureResult early = play(recorder->queue(), 4, 50, 100, times);
        const ExposureResult done = play(recorder->queue(), 5, 120, 100, times);
        recorder->add_exposure(early);
        recorder->add_exposure(done);
        QTRY_COMPARE(progress.count(), 1);
        recorder->queue().begin_exposure(6);
        // More than the writer stages, so part of it reaches the file before the stop.
        std::vector<TdcEvent> unfinished(70000, FakeOxTdc::make_event(2, 9));
        for (size_t at = 0; at < unfinished.size(); at += 100)
            recorder->queue().push(unfinished.data() + at, 100);
        QTRY_VERIFY(recorder->queue().front() == nullptr);
        recorder->stop();
        recorder->add_exposure(play(recorder->queue(), 6, 10, 100, times));
        const Recording r = read_recording(path);
        QCOMPARE(r.rows.size(), size_t(1));
        QCOMPARE(r.rows[0].number, uint64_t(5));
        QCOMPARE(r.rows[0].first_event, uint64_t(0));
        QCOMPARE(r.time, std::vector<uint64_t>(times.begin() + 50, times.begin() + 170));
    }

    // A writer killed after writing its exposures leaves a file that reads.
    void killed_between_exposures() {
        const QString path = dir->filePath("killed.h5");
        // Started and reaped by hand: no SIGCHLD handler runs in this process.
        const QByteArray program = QCoreApplication::applicationFilePath().toLocal8Bit();
        const QByteArray variable = "RECORD_AND_WAIT=" + path.toLocal8Bit();
        char *child_argv[] = {const_cast<char *>(program.constData()), nullptr};
        char *child_env[] = {const_cast<char *>(variable.constData()), nullptr};
        pid_t child = 0;
        QCOMPARE(posix_spawn(&child, child_argv[0], nullptr, nullptr, child_argv, child_env), 0);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(path + ".written"), 60000);
        ::kill(child, SIGKILL);
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFSIGNALED(status));
        const Recording r = read_recording(path);
        QVERIFY(r.ok);
        QCOMPARE(r.rows.size(), size_t(3));
        QCOMPARE(r.rows[2].first_event + r.rows[2].event_count, uint64_t(1200));
        QVERIFY(r.time.size() >= 1200);
        QCOMPARE(r.time[1199], uint64_t(300000 + 399));
    }
};

// The child of killed_between_exposures: three exposures written, a fourth on its way.
int record_and_wait(const QString &path) {
    EventRecorder recorder([](EventQueue *) { return uint64_t(1); }, nullptr, 16, 100);
    if (!recorder.start(path, RecordingHeader{"Velmora", "3.0.8", "now", ""}, 1).isEmpty())
        return 2;
    std::vector<uint64_t> times;
    for (uint64_t n = 1; n <= 3; ++n)
        recorder.add_exposure(play(recorder.queue(), n, 400, 100, times));
    while (recorder.events_written() < 1200)
        QThread::yieldCurrentThread();
    play(recorder.queue(), 4, 50, 100, times);
    QFile(path + ".written").open(QIODevice::WriteOnly);
    for (;;)
        QThread::sleep(1);
}

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsSet("RECORD_AND_WAIT"))
        return record_and_wait(qEnvironmentVariable("RECORD_AND_WAIT"));
    QCoreApplication app(argc, argv);
    TestRecording test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_recording.moc"
