// TdcIface and HistoPipe on the simulated device library: bad files and calls,
// real-time exposures, injected faults, corrections and the potentiometer,
// closing while an exposure runs, and exact accounting of every event.

#include "oxsim.h"
#include "oxtdc1.h"
#include "tdciface.h"

#include <QtTest>

#include <condition_variable>
#include <mutex>
#include <numeric>

namespace {

// Counts complete_callback emissions, which arrive on the library's thread.
struct CompletionWaiter {
    std::mutex mutex;
    std::condition_variable cv;
    int count = 0;

    explicit CompletionWaiter(TdcIface &tdc) {
        QObject::connect(
            &tdc, &TdcIface::complete_callback, &tdc,
            [this] {
                std::lock_guard<std::mutex> lock(mutex);
                ++count;
                cv.notify_all();
            },
            Qt::DirectConnection);
    }
    // True once `n` completions have been seen in total.
    bool wait_for(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return count >= n; });
    }
};

QString error_text(int code) {
    char buffer[OX_ERR_MSG_SIZE];
    ox_get_err_msg(code, buffer);
    return QString::fromUtf8(buffer);
}

uint64_t counted(const PipeStatistics &s, int from = 0, int to = 16) {
    return std::accumulate(s.words + from, s.words + to, uint64_t(0));
}

// Histogram bins of one device bin over the default 0 ... 1000 ns window.
void use_device_bins(TdcIface &tdc) {
    HistoParams params = *tdc.get_histo_params();
    params.binsize = tdc.get_binsize();
    tdc.set_histo_params(params);
}

// What a series of exposures counted, per channel.
struct Run {
    std::array<uint64_t, 16> lost{}, counted{};
    std::vector<double> last; // the last exposure's histograms, end to end
};

} // namespace

class TestSimulator : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString default_ini;

    QString write_ini(const QString &name, const QByteArray &content) {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size() ? f.fileName()
                                                                                  : QString();
    }

    // Twelve exposures of 0 to 60 ms, every fifth interrupted if asked, on the
    // default file with `changes` made: each lasts its time in real time (a
    // lower bound only), and per exposure and channel the block counts the
    // deliveries (the accumulator's count, confirmed by the histogram) plus
    // the losses, which the link's rate bounds; the device's count of detected
    // events and nr_events agree. Inside the end callback the device is busy
    // and cannot be released.
    void run_default_file(const QList<QByteArrayList> &changes, Run &out,
                          bool interrupting = false) {
        QFile file(default_ini);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray ini = file.readAll();
        for (const QByteArrayList &change : changes)
            ini.replace(change[0], change[1]);
        const bool realtime = ini.contains("realtime = true");
        const double link_hz =
            QString(ini).section("link_rate_hz = ", 1).section('\n', 0, 0).toDouble();
        TdcIface tdc;
        int dev = -1, start_in_end = 1, release_in_end = 1;
        connect(
            &tdc, &TdcIface::complete_callback, this,
            [&] {
                start_in_end = ox_tdc_start_measure2(dev, 0);
                release_in_end = ox_tdc_deinit2(dev);
            },
            Qt::DirectConnection);
        CompletionWaiter done(tdc);
        dev = tdc.init(write_ini("changed.ini", ini));
        QVERIFY2(dev >= 0, qPrintable(tdc.get_error_message()));
        use_device_bins(tdc);
        for (int run = 1; run <= 12; ++run) {
            const int ms = std::array<int, 4>{0, 1, 7, 60}[(run + 3) % 4]; // 60 ms last
            const bool interrupted = interrupting && run % 5 == 0;
            tdc.clear_histos();
            QElapsedTimer timer;
            timer.start();
            QCOMPARE(tdc.start_measure(ms), 0);
            if (interrupted)
                tdc.interrupt(); // may end it early or find it finished
            QVERIFY(done.wait_for(run));
            QVERIFY(!realtime || interrupted || timer.elapsed() >= ms);
            QVERIFY(start_in_end == -11 && release_in_end == -39);
            const std::array<uint64_t, 16> delivered = tdc.get_delivered_counts();
            const PipeStatistics &stats = *tdc.get_pipe_statistics();
            QVERIFY(counted(stats, 16, 256) == 0 && (ms > 0 || counted(stats) == 0));
            out.last.clear();
            for (int c = 0; c < 16; ++c) {
                const std::vector<double> &h = *tdc.get_channel_histo(c);
                QCOMPARE(uint64_t(std::accumulate(h.begin(), h.end(), 0.0)), delivered[c]);
                QVERIFY(stats.words[c] >= delivered[c]);
                out.lost[c] += stats.words[c] - delivered[c];
                out.counted[c] += stats.words[c];
                out.last.insert(out.last.end(), h.begin(), h.end());
            }
            const uint64_t sum = std::accumulate(delivered.begin(), delivered.end(), uint64_t(0));
            QVERIFY(link_hz == 0 || sum <= link_hz * ms / 1000);
            QCOMPARE(tdc.get_delivered_running(), sum);
        }
        const uint64_t detected =
            std::accumulate(out.counted.begin(), out.counted.end(), uint64_t(0));
        QCOMPARE(uint64_t(oxsim_generated_events(dev)), detected);
        QCOMPARE(detected - tdc.get_histo_stats()->nr_events,
                 std::accumulate(out.lost.begin(), out.lost.end(), uint64_t(0)));
    }

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        default_ini = QCoreApplication::applicationDirPath() + "/tdc_qv5.ini";
        QVERIFY2(QFile::exists(default_ini), qPrintable(default_ini));
    }

    void rejectsBadConfiguration_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("mentions");
        auto row = [](const char *name, const char *ini, int code, const QStringList &mentions) {
            QTest::newRow(name) << QByteArray(ini) << code << mentions;
        };
        row("syntax", "[device]\nchannels = 4\nno key here\n", -21, {":3:", "syntax"});
        row("unknown section", "[device]\nseed = 3\n\n[detector]\nx = 1\n", -22,
            {":5:", "[detector]"});
        row("unknown key", "[device]\nbinsize = 0.5\n", -23, {":2:", "binsize", "[device]"});
        row("malformed number", "[channel3]\nrate_hz = fast\n", -24, {":2:", "rate_hz", "fast"});
        row("out of range", "[device]\nchannels = 17\n", -25, {":2:", "channels", "17"});
        row("section beyond channel count", "[device]\nchannels = 4\n[channel5]\nshape = flat\n",
            -26, {":4:", "[channel5]"});
    }

    // A clear code and a text naming file, line and key; nothing stays open.
    void rejectsBadConfiguration() {
        QFETCH(QByteArray, content);
        QFETCH(int, code);
        QFETCH(QStringList, mentions);
        const QString path = write_ini("bad.ini", content);
        TdcIface tdc;
        QSignalSpy connected(&tdc, &TdcIface::connected);
        QCOMPARE(tdc.init(path), code);
        QVERIFY(connected.isEmpty() && !tdc.is_initialized());
        const QString text = tdc.get_error_message();
        for (const QString &m : mentions + QStringList{path})
            QVERIFY2(text.contains(m), qPrintable(text + " lacks " + m));
        QCOMPARE(error_text(code), text);
        QVERIFY(tdc.init(default_ini) >= 0);
    }

    // Calls the program never makes wrongly are refused all the same.
    void rejectsBadCalls() {
        QCOMPARE(ox_tdc_init_inifile(dir.filePath("no-such.ini").toUtf8().constData()), -20);
        const int dev = ox_tdc_init_inifile(default_ini.toUtf8().constData());
        QVERIFY(dev >= 0);
        QCOMPARE(ox_tdc_init_inifile(default_ini.toUtf8().constData()), -30);
        unsigned char bytes[4] = {2, 0, 0, 0};
        QCOMPARE(ox_tdc_start_measure2(dev + 1, 10), -31);
        QVERIFY(error_text(-31).contains(QString::number(dev + 1)));
        QCOMPARE(ox_tdc_get_binsize2(dev, nullptr), -32);
        QCOMPARE(ox_twi_read2(dev, 0x20, bytes, -2, 1), -33);
        QCOMPARE(ox_tdc_start_measure2(dev, -5), -34);
        QCOMPARE(ox_pipe_open2(dev, 11, nullptr), -35);
        QCOMPARE(ox_pipe_close2(dev, 0), -36);
        QCOMPARE(ox_twi_write2(dev, 0x21, bytes, 2, 1), -40);
        QCOMPARE(ox_twi_write2(dev, 0x20, bytes, 4, 1), -41);
        QCOMPARE(error_text(-77), QStringLiteral("unknown error code -77"));
        QCOMPARE(ox_tdc_deinit2(dev), 0);
    }

    // Busy while an exposure runs until interrupted; injected busy answers are
    // ridden over by the retries; an injected loss closes the interface, the
    // lost device answers as such, and a new open works. Meanwhile the
    // running count is published and read here, on another thread, without
    // a lock, and ends at the exposure's total.
    void injectedFaultsAndLiveCount() {
        TdcIface tdc;
        const QString path = write_ini(
            "faults.ini", "[device]\nchannels = 2\n[channel1]\nshape = flat\nrate_hz = 100000\n"
                          "[faults]\nbusy_starts = 3\nlose_connection_at_start = 14\n");
        CompletionWaiter done(tdc);
        QSignalSpy lost(&tdc, &TdcIface::connection_lost);
        const int first = tdc.init(path);
        QVERIFY(first >= 0);

        QCOMPARE(tdc.start_measure(60000), 0); // after three busy answers
        QCOMPARE(ox_tdc_start_measure2(first, 10), -11);
        QCOMPARE(tdc.start_measure(10), -11); // eight attempts, all busy
        QVERIFY(tdc.get_error_message().contains("busy"));
        QTRY_VERIFY_WITH_TIMEOUT(tdc.get_delivered_running() > 0, 20000);
        const uint64_t seen = tdc.get_delivered_running();
        QTRY_VERIFY_WITH_TIMEOUT(tdc.get_delivered_running() > seen, 20000);
        QCOMPARE(tdc.interrupt(), 0);
        QVERIFY(done.wait_for(1));
        QCOMPARE(tdc.get_delivered_running(), counted(*tdc.get_pipe_statistics()));
        QCOMPARE(tdc.get_histo_stats()->nr_events, counted(*tdc.get_pipe_statistics()));
        QCOMPARE(uint64_t(oxsim_generated_events(first)), tdc.get_histo_stats()->nr_events);

        QCOMPARE(tdc.start_measure(10), -90); // start 14: 3 busy, 1, 1 and 8 retries before
        QVERIFY(lost.count() == 1 && !tdc.is_initialized());
        QVERIFY2(tdc.get_error_message().contains("lost"), qPrintable(tdc.get_error_message()));
        double binsize = 0;
        QCOMPARE(ox_tdc_get_binsize2(first, &binsize), -90);
        const int second = tdc.init(path);
        QVERIFY2(second >= 0 && second != first, qPrintable(tdc.get_error_message()));
        QCOMPARE(ox_tdc_start_measure2(first, 10), -31);
        QCOMPARE(tdc.start_measure(10), 0); // on a fresh pipe: its end arrives
        QVERIFY(done.wait_for(2));
        QVERIFY(tdc.get_pipe_statistics()->words[1] > 0);
    }

    // Every event of a sharp peak lands in one bin, which the channel's
    // correction moves by exactly that many bins; corrections are range
    // checked, kept while the device is open and start from the file's. A
    // potentiometer threshold 100 steps above the file's lets far fewer
    // pulses pass.
    void correctionsAndThreshold() {
        const QString path =
            write_ini("peak.ini", "[device]\nbinsize_ns = 0.5\nchannels = 2\nrealtime = false\n"
                                  "threshold = 96\n[channel0]\nshape = peak\nrate_hz = 200000\n"
                                  "delay_ns = 100.25\nsigma_ns = 0\n");
        TdcIface tdc;
        CompletionWaiter done(tdc);
        QVERIFY(tdc.init(path) >= 0);
        use_device_bins(tdc);
        int run = 0;
        auto peak_bin = [&](int32_t correction) -> long {
            tdc.clear_histos();
            if (tdc.set_corrections({correction, 0}) != 0 || tdc.start_measure(20) != 0 ||
                !done.wait_for(++run))
                return -1;
            const std::vector<double> &h = *tdc.get_channel_histo(0);
            const auto it = std::max_element(h.begin(), h.end());
            return *it == tdc.get_pipe_statistics()->words[0] ? long(it - h.begin()) : -1;
        };
        QCOMPARE(peak_bin(0), 200L); // 100.25 ns / 0.5 ns
        const uint64_t nominal = tdc.get_pipe_statistics()->words[0];
        QCOMPARE(peak_bin(37), 237L);
        QCOMPARE(peak_bin(-50), 150L);
        QCOMPARE(peak_bin(-32768), 0L); // saturates at time 0
        uint8_t threshold[2] = {0x02, 196};
        QCOMPARE(tdc.twi_write(0x20, threshold, 2, 1), 0);
        QCOMPARE(peak_bin(0), 200L);
        QVERIFY(nominal > 1000 && tdc.get_pipe_statistics()->words[0] < nominal / 2);

        std::vector<int32_t> read;
        QCOMPARE(tdc.set_corrections({32768, 0}), -38);
        QCOMPARE(tdc.get_corrections(read), 0);
        QCOMPARE(read, (std::vector<int32_t>{0, 0}));
        QCOMPARE(tdc.deinit(), 0);
        QVERIFY(tdc.init(path) >= 0);
        QCOMPARE(tdc.get_corrections(read), 0);
        QCOMPARE(read, (std::vector<int32_t>{0, 0}));
    }

    // Released, its pipe closed, or lost while an exposure runs: the pipe's
    // owner never hears of the exposure again, so it may be freed at once.
    void closingWhileExposureRuns() {
        const QByteArray lossy =
            write_ini("lossy.ini", "[faults]\nlose_connection_at_start = 2\n").toUtf8();
        for (int ending = 0; ending < 3; ++ending) {
            const QByteArray ini = ending == 2 ? lossy : default_ini.toUtf8();
            int dev = ox_tdc_init_inifile(ini.constData());
            std::atomic<int> ends{0};
            auto pipe = std::make_unique<HistoPipe>();
            pipe->set_end_of_meas_action([&] { ++ends; });
            pipe->set_device(dev);
            QVERIFY(pipe->set_pipe_open(true) && ox_tdc_start_measure2(dev, 60000) == 0);
            QVERIFY(ending != 1 || pipe->close_pipe() == 0);
            if (ending == 2) {
                QCOMPARE(ox_tdc_start_measure2(dev, 10), -90);
                dev = ox_tdc_init_inifile(ini.constData());
            }
            QVERIFY(ox_tdc_deinit2(dev) == 0 && ends == 0);
        }
    }

    // The default file in real time loses nothing, also when interrupted, with
    // quiet channel 8 empty and channel 0's decay right after 40 ns. A slow
    // link loses the same events in real time as without: a seed repeats a
    // run exactly, whatever the scheduling; another seed gives other events.
    void exactAccountingAndLinkLimit() {
        Run plain, slow, slow_real_time, reseeded;
        run_default_file({}, plain, true);
        QCOMPARE(plain.lost, (std::array<uint64_t, 16>{}));
        QVERIFY(std::accumulate(plain.counted.begin(), plain.counted.end(), 0.0) > 30000);
        QCOMPARE(plain.counted[8], uint64_t(0));
        const auto peak = std::max_element(plain.last.begin(), plain.last.begin() + 8001);
        QVERIFY(peak - plain.last.begin() >= 40 / 0.125 && peak - plain.last.begin() <= 42 / 0.125);
        const QByteArrayList link{"realtime = true\n", "link_rate_hz = 8e5\n"};
        run_default_file({link}, slow_real_time);
        run_default_file({link, {"[device]\n", "[device]\nrealtime = false\n"}}, slow);
        run_default_file({link, {"seed = 20261206", "seed = 7"}}, reseeded);
        QVERIFY(std::accumulate(slow.lost.begin(), slow.lost.end(), uint64_t(0)) > 10000);
        QCOMPARE(slow_real_time.lost, slow.lost);
        QVERIFY(slow_real_time.last == slow.last);
        QVERIFY(reseeded.last != slow.last);
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
