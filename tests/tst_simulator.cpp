// Integration of TdcIface and HistoPipe with the simulated device library.

#include "oxsim.h"
#include "oxtdc1.h"
#include "tdciface.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <numeric>

namespace {

// Counts complete_callback emissions, which arrive on the library's thread.
class CompletionWaiter {
public:
    explicit CompletionWaiter(TdcIface &tdc) {
        QObject::connect(
            &tdc, &TdcIface::complete_callback, &tdc,
            [this](int) {
                std::lock_guard<std::mutex> lock(mutex);
                ++count;
                cv.notify_all();
            },
            Qt::DirectConnection);
    }
    // Waits until `n` completions have been seen in total.
    bool wait_for(int n, int timeout_ms = 20000) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return count >= n; });
    }

private:
    std::mutex mutex;
    std::condition_variable cv;
    int count = 0;
};

// A raw pipe client with its own callback table, to watch the callbacks
// themselves. On request it tries, inside the end callback, to start again and
// to release the device, as a careless client might.
struct RawClient {
    std::mutex mutex;
    std::condition_variable cv;
    int starts = 0;
    int ends = 0;
    uint64_t events = 0;
    PipeStatistics last{};
    int dev = -1;
    bool try_inside_end = false;
    int start_in_end = 1;
    int deinit_in_end = 1;

    template <class F> static void locked(void *p, F change) {
        auto *c = static_cast<RawClient *>(p);
        std::lock_guard<std::mutex> lock(c->mutex);
        change(*c);
        c->cv.notify_all();
    }
    static void on_start(void *p) {
        locked(p, [](RawClient &c) { ++c.starts; });
    }
    static void on_end(void *p) {
        auto *c = static_cast<RawClient *>(p);
        if (c->try_inside_end) {
            c->start_in_end = ox_tdc_start_measure2(c->dev, 0);
            c->deinit_in_end = ox_tdc_deinit2(c->dev);
        }
        locked(p, [](RawClient &c) { ++c.ends; });
    }
    static void on_stats(void *p, const PipeStatistics *s) {
        locked(p, [s](RawClient &c) { c.last = *s; });
    }
    static void on_events(void *p, const TdcEvent *, size_t n) {
        locked(p, [n](RawClient &c) { c.events += n; });
    }
    static void nothing() {}

    int open_pipe(int device) {
        dev = device;
        PipeCallbacks table{this, on_start, on_end, nothing, on_stats, on_events, nothing};
        PipeCallbackArgs args{&table};
        return ox_pipe_open2(device, OX_PIPE_TYPE_USER_CALLBACKS, &args);
    }
    // Waits for the first events or the end; true when events came first.
    bool events_before_end() {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(20), [&] { return events > 0 || ends > 0; });
        return events > 0 && ends == 0;
    }
    bool wait_end() {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return ends > 0; });
    }
    int ends_seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return ends;
    }
};

QString error_text(int code) {
    char buffer[OX_ERR_MSG_SIZE];
    ox_get_err_msg(code, buffer);
    return QString::fromUtf8(buffer);
}

uint64_t sum_words(const PipeStatistics &s, int from, int to) {
    return std::accumulate(s.words + from, s.words + to, uint64_t(0));
}

// A device with one channel whose events all fall into one device bin.
const char *sharp_peak_ini =
    "[device]\nbinsize_ns = 0.5\nchannels = 2\nseed = 7\nrealtime = false\n"
    "[channel0]\nshape = peak\nrate_hz = 200000\ndelay_ns = 100.25\n"
    "sigma_ns = 0\n";

// Histogram bins of one device bin over the default 0 ... 1000 ns window.
void use_device_bins(TdcIface &tdc) {
    HistoParams params = *tdc.get_histo_params();
    params.binsize = tdc.get_binsize();
    tdc.set_histo_params(params);
}

} // namespace

class TestSimulator : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void rejectsBadConfiguration_data();
    void rejectsBadConfiguration();
    void rejectsBadCalls();
    void exposuresOfSeveralLengths();
    void busyAndInterrupt();
    void callbacksOfRawClient();
    void injectedBusyAndConnectionLoss();
    void injectedPipeAndBusFailures();
    void correctionsShiftPeak();
    void busRoundTripAndThreshold();
    void closingWhileExposureRuns();
    void exactAccountingOverManyExposures();
    void sameSeedSameEvents();

private:
    QString write_ini(const QString &name, const QByteArray &content);

    QTemporaryDir dir;
    QString default_ini;
};

void TestSimulator::initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(dir.isValid());
    default_ini = QCoreApplication::applicationDirPath() + "/tdc_qv5.ini";
    QVERIFY2(QFile::exists(default_ini), qPrintable(default_ini));
}

QString TestSimulator::write_ini(const QString &name, const QByteArray &content) {
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    f.write(content);
    return path;
}

void TestSimulator::rejectsBadConfiguration_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("mentions");
    auto row = [](const char *name, const char *ini, int code, const QStringList &mentions) {
        QTest::newRow(name) << QByteArray(ini) << code << mentions;
    };
    row("syntax", "[device]\nchannels = 4\nthis line is no key\n", -21, {":3:", "syntax"});
    row("unterminated section", "[device\nchannels = 4\n", -21, {":1:"});
    row("unknown section", "[device]\nseed = 3\n\n[detector]\nx = 1\n", -22, {":5:", "[detector]"});
    row("channel number beyond 15", "[channel16]\nshape = flat\n", -22, {"[channel16]"});
    row("key outside a section", "seed = 3\n", -22, {":1:", "seed"});
    row("unknown key", "[device]\nbinsize = 0.5\n", -23, {":2:", "binsize", "[device]"});
    row("unknown fault key", "[faults]\nfail_everything = true\n", -23,
        {"fail_everything", "[faults]"});
    row("malformed number", "[channel3]\nshape = decay\nrate_hz = fast\n", -24,
        {":3:", "rate_hz", "fast"});
    row("trailing junk", "[device]\nchannels = 4x\n", -24, {"channels", "4x"});
    row("unknown shape", "[channel0]\nshape = square\n", -24, {"shape", "square"});
    row("malformed boolean", "[device]\nrealtime = maybe\n", -24, {"realtime", "maybe"});
    row("negative seed", "[device]\nseed = -1\n", -24, {"seed"});
    row("too many channels", "[device]\nchannels = 17\n", -25, {":2:", "channels", "17"});
    row("zero bin size", "[device]\nbinsize_ns = 0\n", -25, {"binsize_ns"});
    row("negative lifetime", "[channel2]\nshape = decay\nlifetime_ns = -4\n", -25,
        {":3:", "lifetime_ns", "[channel2]"});
    row("correction beyond 16 bits", "[channel0]\ncorrection = 40000\n", -25, {"correction"});
    row("threshold beyond 255", "[device]\nthreshold = 256\n", -25, {"threshold"});
    row("key given twice", "[device]\nseed = 1\nseed = 2\n", -26, {":3:", "seed"});
    row("section beyond channel count", "[device]\nchannels = 4\n\n[channel5]\nshape = flat\n", -26,
        {":5:", "[channel5]"});
    row("too many bins", "[device]\nbinsize_ns = 0.001\nrange_ns = 100000\n", -26, {"range_ns"});
}

void TestSimulator::rejectsBadConfiguration() {
    QFETCH(QByteArray, content);
    QFETCH(int, code);
    QFETCH(QStringList, mentions);

    const QString path = write_ini("bad.ini", content);
    QVERIFY(!path.isEmpty());
    TdcIface tdc;
    QSignalSpy connected(&tdc, &TdcIface::connected);
    QCOMPARE(tdc.init(path), code);
    QCOMPARE(connected.count(), 0);
    QVERIFY(!tdc.is_initialized());
    const QString text = tdc.get_error_message();
    QVERIFY2(text.contains(path), qPrintable(text));
    for (const QString &m : mentions)
        QVERIFY2(text.contains(m), qPrintable(text + " lacks " + m));
    // The same text stays available for the code until the next such failure.
    QCOMPARE(error_text(code), text);
    // Nothing is left open: a good file opens right after.
    QVERIFY(tdc.init(default_ini) >= 0);
}

void TestSimulator::rejectsBadCalls() {
    // Files that cannot be read.
    const QString missing = dir.filePath("no-such.ini");
    QCOMPARE(ox_tdc_init_inifile(missing.toUtf8().constData()), -20);
    QVERIFY(error_text(-20).contains(missing));
    QCOMPARE(ox_tdc_init_inifile(dir.path().toUtf8().constData()), -20);
    QVERIFY(error_text(-20).contains("not a regular file"));
    QCOMPARE(ox_tdc_init_inifile(nullptr), -32);

    const int dev = ox_tdc_init_inifile(default_ini.toUtf8().constData());
    QVERIFY(dev >= 0);
    const int second = ox_tdc_init_inifile(default_ini.toUtf8().constData());
    QCOMPARE(second, -30);
    QVERIFY(error_text(-30).contains(QString::number(dev)));

    // Descriptors that are not open.
    double binsize = 0;
    int count = 0;
    unsigned char bytes[2] = {2, 0};
    for (int bad : {dev + 1, -1}) {
        QCOMPARE(ox_tdc_get_binsize2(bad, &binsize), -31);
        QCOMPARE(ox_tdc_start_measure2(bad, 10), -31);
        QCOMPARE(ox_tdc_interrupt2(bad), -31);
        QCOMPARE(ox_tdc_get_corrections2(bad, &count, nullptr), -31);
        QCOMPARE(ox_twi_read2(bad, 0x20, bytes, 2, 1), -31);
        QCOMPARE(ox_pipe_close2(bad, 0), -31);
        QCOMPARE(ox_tdc_deinit2(bad), -31);
        QVERIFY(error_text(-31).contains(QString::number(bad)));
    }

    // Null pointers, negative lengths, wrong pipe types.
    QCOMPARE(ox_tdc_get_binsize2(dev, nullptr), -32);
    QCOMPARE(ox_tdc_get_corrections2(dev, nullptr, nullptr), -32);
    QCOMPARE(ox_tdc_set_corrections2(dev, 16, nullptr, 0), -32);
    QCOMPARE(ox_twi_write2(dev, 0x20, nullptr, 1, 0), -32);
    QCOMPARE(ox_twi_read2(dev, 0x20, bytes, -2, 1), -33);
    QCOMPARE(ox_twi_write2(dev, 0x20, bytes, -1, 1), -33);
    QCOMPARE(ox_tdc_set_corrections2(dev, -1, nullptr, 0), -33);
    count = 4; // a buffer too small for 16 channels
    int small[4] = {};
    QCOMPARE(ox_tdc_get_corrections2(dev, &count, small), -33);
    QCOMPARE(ox_tdc_start_measure2(dev, -5), -34);
    QCOMPARE(ox_pipe_open2(dev, 11, nullptr), -35);
    QCOMPARE(ox_pipe_open2(dev, OX_PIPE_TYPE_USER_CALLBACKS, nullptr), -32);
    PipeCallbacks holes{};
    PipeCallbackArgs args{&holes};
    QCOMPARE(ox_pipe_open2(dev, OX_PIPE_TYPE_USER_CALLBACKS, &args), -32);
    QCOMPARE(ox_pipe_close2(dev, 0), -36);

    RawClient client;
    const int pipe = client.open_pipe(dev);
    QVERIFY(pipe >= 0);
    QCOMPARE(client.open_pipe(dev), -37);
    QCOMPARE(ox_pipe_close2(dev, pipe + 1), -36);
    QCOMPARE(ox_pipe_close2(dev, pipe), 0);

    // Every code has a text; unknown ones say so, with the number.
    for (int code : {-11, -20, -21, -22, -23, -24, -25, -26, -30, -31, -32, -33,
                     -34, -35, -36, -37, -38, -39, -40, -41, -42, -43, -44, -90})
        QVERIFY2(!error_text(code).contains("unknown error code"),
                 qPrintable(QString::number(code)));
    QCOMPARE(error_text(-77), QStringLiteral("unknown error code -77"));
    QCOMPARE(error_text(12345), QStringLiteral("unknown error code 12345"));
    QCOMPARE(ox_get_err_msg(-11, nullptr), -32);

    QCOMPARE(ox_tdc_deinit2(dev), 0);
    QCOMPARE(ox_tdc_deinit2(dev), -31);
}

void TestSimulator::exposuresOfSeveralLengths() {
    TdcIface tdc;
    CompletionWaiter done(tdc);
    QSignalSpy connected(&tdc, &TdcIface::connected);
    const int dev = tdc.init(default_ini);
    QVERIFY2(dev >= 0, qPrintable(tdc.get_error_message()));
    QCOMPARE(connected.count(), 1);
    // The default device: 0.125 ns bins, 16 channels without corrections.
    QCOMPARE(tdc.get_binsize(), 0.125);
    std::vector<int32_t> corrections{5, 5};
    QCOMPARE(tdc.get_corrections(corrections), 0);
    QCOMPARE(corrections, std::vector<int32_t>(16, 0));
    use_device_bins(tdc);

    int expected = 0;
    for (int ms : {0, 1, 60, 250}) {
        tdc.reset_histo_stats();
        tdc.clear_histos();
        const long long before = oxsim_generated_events(dev);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(tdc.start_measure(ms), 0);
        QVERIFY(done.wait_for(++expected));
        const qint64 took = timer.elapsed();
        // An exposure lasts its time: the device runs in real time.
        QVERIFY2(took >= ms,
                 qPrintable(QString("%1 ms exposure ended after %2 ms").arg(ms).arg(took)));

        const PipeStatistics &stats = *tdc.get_pipe_statistics();
        const uint64_t counted = sum_words(stats, 0, 16);
        QCOMPARE(sum_words(stats, 16, 256), uint64_t(0));
        QCOMPARE(tdc.get_histo_stats()->nr_events, counted);
        QCOMPARE(uint64_t(oxsim_generated_events(dev) - before), counted);
        QCOMPARE(stats.words[8], 0u); // the quiet channel
        if (ms == 0) {
            QCOMPARE(counted, uint64_t(0));
        } else if (ms == 250) {
            // About 1.6 M events/s in total with the nominal threshold.
            QVERIFY2(counted > 300000 && counted < 500000, qPrintable(QString::number(counted)));
            // Channel 0 decays right after 40 ns: its histogram peaks there.
            const std::vector<double> &h = *tdc.get_channel_histo(0);
            const auto peak = std::max_element(h.begin(), h.end()) - h.begin();
            QVERIFY2(peak >= 40 / 0.125 && peak <= 42 / 0.125, qPrintable(QString::number(peak)));
        }
    }
    QCOMPARE(tdc.deinit(), 0);
}

void TestSimulator::busyAndInterrupt() {
    TdcIface tdc;
    CompletionWaiter done(tdc);
    const int dev = tdc.init(default_ini);
    QVERIFY(dev >= 0);

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(tdc.start_measure(60000), 0);
    QCOMPARE(ox_tdc_start_measure2(dev, 10), -11);
    // TdcIface retries a busy device, then gives up with the library's text.
    QCOMPARE(tdc.start_measure(10), -11);
    QVERIFY(tdc.get_error_message().contains("busy"));
    QCOMPARE(tdc.interrupt(), 0);
    QVERIFY(done.wait_for(1));
    QVERIFY(timer.elapsed() < 30000);

    // The interrupted exposure's counts still add up.
    const uint64_t counted = sum_words(*tdc.get_pipe_statistics(), 0, 16);
    QCOMPARE(tdc.get_histo_stats()->nr_events, counted);
    QCOMPARE(uint64_t(oxsim_generated_events(dev)), counted);

    // Right after the end a new exposure starts, and an interrupt when idle is harmless.
    QCOMPARE(ox_tdc_start_measure2(dev, 0), 0);
    QVERIFY(done.wait_for(2));
    QCOMPARE(tdc.interrupt(), 0);
    QCOMPARE(tdc.deinit(), 0);
}

void TestSimulator::callbacksOfRawClient() {
    const int dev = ox_tdc_init_inifile(default_ini.toUtf8().constData());
    QVERIFY(dev >= 0);
    RawClient client;
    client.try_inside_end = true;
    QVERIFY(client.open_pipe(dev) >= 0);
    QCOMPARE(ox_tdc_start_measure2(dev, 1500), 0);
    // A real-time exposure hands its events over as they are detected, not
    // all at its end.
    QVERIFY(client.events_before_end());
    QVERIFY(client.wait_end());
    QCOMPARE(client.starts, 1);
    QCOMPARE(sum_words(client.last, 0, 16), client.events);
    QVERIFY(client.events > 1500000);
    // Inside the end callback the exposure has not ended yet, and the device
    // cannot be released by the thread that runs its callbacks.
    QCOMPARE(client.start_in_end, -11);
    QCOMPARE(client.deinit_in_end, -39);
    QCOMPARE(ox_tdc_deinit2(dev), 0);
}

void TestSimulator::injectedBusyAndConnectionLoss() {
    const QString busy = write_ini("busy.ini", "[device]\nchannels = 2\n[channel0]\nshape = flat\n"
                                               "rate_hz = 1000\n[faults]\nbusy_starts = 3\n");
    const int dev = ox_tdc_init_inifile(busy.toUtf8().constData());
    QVERIFY(dev >= 0);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(ox_tdc_start_measure2(dev, 0), -11);
    QCOMPARE(ox_tdc_start_measure2(dev, 0), 0);
    QCOMPARE(ox_tdc_deinit2(dev), 0);

    // TdcIface's retries ride over a few busy answers.
    {
        TdcIface tdc;
        CompletionWaiter done(tdc);
        QVERIFY(tdc.init(busy) >= 0);
        QCOMPARE(tdc.start_measure(0), 0);
        QVERIFY(done.wait_for(1));
    }

    const QString lossy = write_ini(
        "lossy.ini", "[device]\nchannels = 2\nrealtime = false\n[channel1]\nshape = flat\n"
                     "rate_hz = 100000\n[faults]\nlose_connection_at_start = 2\n");
    TdcIface tdc;
    CompletionWaiter done(tdc);
    QSignalSpy lost(&tdc, &TdcIface::connection_lost);
    const int first = tdc.init(lossy);
    QVERIFY(first >= 0);
    QCOMPARE(tdc.start_measure(10), 0);
    QVERIFY(done.wait_for(1));
    QCOMPARE(tdc.start_measure(10), -90);
    QCOMPARE(lost.count(), 1);
    QVERIFY(!tdc.is_initialized());
    QVERIFY2(tdc.get_error_message().contains("lost"), qPrintable(tdc.get_error_message()));

    // The lost device answers as disconnected ...
    double binsize = 0;
    unsigned char bytes[2] = {2, 0};
    QCOMPARE(ox_tdc_start_measure2(first, 10), -90);
    QCOMPARE(ox_tdc_get_binsize2(first, &binsize), -90);
    QCOMPARE(ox_twi_write2(first, 0x20, bytes, 1, 0), -90);
    QCOMPARE(ox_pipe_close2(first, 0), -90);

    // ... and a new open succeeds without releasing it; the lost descriptor is gone then.
    const int second = tdc.init(lossy);
    QVERIFY2(second >= 0, qPrintable(tdc.get_error_message()));
    QVERIFY(second != first);
    QCOMPARE(ox_tdc_start_measure2(first, 10), -31);
    QCOMPARE(tdc.start_measure(10), 0);
    QVERIFY(done.wait_for(2));
    QVERIFY(tdc.get_pipe_statistics()->words[1] > 0);
    QCOMPARE(tdc.deinit(), 0);

    // Releasing a lost device is allowed too.
    const int third = ox_tdc_init_inifile(lossy.toUtf8().constData());
    QCOMPARE(ox_tdc_start_measure2(third, 0), 0);
    QCOMPARE(ox_tdc_start_measure2(third, 0), -90);
    QCOMPARE(ox_tdc_deinit2(third), 0);
}

void TestSimulator::injectedPipeAndBusFailures() {
    const QString nopipe = write_ini("nopipe.ini", "[faults]\nfail_pipe_open = yes\n");
    const int dev = ox_tdc_init_inifile(nopipe.toUtf8().constData());
    QVERIFY(dev >= 0);
    RawClient client;
    QCOMPARE(client.open_pipe(dev), -43);
    QVERIFY(error_text(-43).contains("pipe"));
    // Without a pipe the device still measures; nobody hears of it.
    QCOMPARE(ox_tdc_start_measure2(dev, 0), 0);
    QCOMPARE(ox_tdc_deinit2(dev), 0);
    QCOMPARE(client.starts, 0);

    TdcIface tdc;

    const QString nobus = write_ini("nobus.ini", "[faults]\nfail_bus = on\n");
    QVERIFY(tdc.init(nobus) >= 0);
    unsigned char bytes[2] = {0x02, 0x10};
    QCOMPARE(tdc.twi_write(0x20, bytes, 2, 1), -42);
    QVERIFY(tdc.get_error_message().contains("bus"));
    QCOMPARE(tdc.twi_read(0x20, bytes, 2, 1), -42);
    QCOMPARE(tdc.deinit(), 0);
}

void TestSimulator::correctionsShiftPeak() {
    const QString path = write_ini("peak.ini", sharp_peak_ini);
    TdcIface tdc;
    CompletionWaiter done(tdc);
    QVERIFY(tdc.init(path) >= 0);
    use_device_bins(tdc);

    auto peak_bin = [&](int run) -> long {
        tdc.reset_histo_stats();
        tdc.clear_histos();
        if (tdc.start_measure(20) != 0 || !done.wait_for(run))
            return -1;
        const std::vector<double> &h = *tdc.get_channel_histo(0);
        const auto it = std::max_element(h.begin(), h.end());
        // Every event of the channel lands in that one bin.
        if (*it != double(tdc.get_pipe_statistics()->words[0]))
            return -2;
        return long(it - h.begin());
    };

    QCOMPARE(peak_bin(1), 200L); // 100.25 ns / 0.5 ns
    std::vector<int32_t> corrections{37, 0};
    QCOMPARE(tdc.set_corrections(corrections), 0);
    QCOMPARE(peak_bin(2), 237L);
    corrections[0] = -50;
    QCOMPARE(tdc.set_corrections(corrections), 0);
    QCOMPARE(peak_bin(3), 150L);
    // A shift before the start of the range saturates at time 0.
    corrections[0] = -32768;
    QCOMPARE(tdc.set_corrections(corrections), 0);
    QCOMPARE(peak_bin(4), 0L);

    std::vector<int32_t> read;
    QCOMPARE(tdc.get_corrections(read), 0);
    QCOMPARE(read, (std::vector<int32_t>{-32768, 0}));

    // Out of range or of the wrong size: rejected, the old values stay.
    QCOMPARE(tdc.set_corrections({32768, 0}), -38);
    QVERIFY(error_text(-38).contains("32768"));
    QCOMPARE(tdc.set_corrections({1, 2, 3}), -33);
    QCOMPARE(tdc.get_corrections(read), 0);
    QCOMPARE(read, (std::vector<int32_t>{-32768, 0}));
    QCOMPARE(tdc.deinit(), 0);

    // Corrections start from the file's values at each open.
    QVERIFY(tdc.init(path) >= 0);
    QCOMPARE(tdc.get_corrections(read), 0);
    QCOMPARE(read, (std::vector<int32_t>{0, 0}));
}

void TestSimulator::busRoundTripAndThreshold() {
    const QString path =
        write_ini("bus.ini", "[device]\nchannels = 1\nrealtime = false\nthreshold = 96\n"
                             "[channel0]\nshape = flat\nrate_hz = 1000000\n");
    TdcIface tdc;
    CompletionWaiter done(tdc);
    QVERIFY(tdc.init(path) >= 0);

    auto read_both = [&](unsigned char out[2]) {
        unsigned char pointer = 0x02;
        if (tdc.twi_write(0x20, &pointer, 1, 0) < 0)
            return false;
        return tdc.twi_read(0x20, out, 2, 1) >= 0;
    };
    unsigned char regs[2] = {0, 0};
    QVERIFY(read_both(regs));
    QCOMPARE(int(regs[0]), 96);
    QCOMPARE(int(regs[1]), 128);

    unsigned char zero[2] = {0x03, 0x07};
    QCOMPARE(tdc.twi_write(0x20, zero, 2, 1), 0);
    QVERIFY(read_both(regs));
    QCOMPARE(int(regs[1]), 7);
    QCOMPARE(int(regs[0]), 96);

    // Malformed transfers and other addresses.
    unsigned char bytes[4] = {0x02, 1, 2, 3};
    QCOMPARE(tdc.twi_write(0x21, bytes, 2, 1), -40);
    QVERIFY(tdc.get_error_message().contains("0x21"));
    QCOMPARE(tdc.twi_write(0x20, bytes, 0, 1), -41);
    QCOMPARE(tdc.twi_write(0x20, bytes, 4, 1), -41);
    bytes[0] = 0x04;
    QCOMPARE(tdc.twi_write(0x20, bytes, 2, 1), -41);
    QVERIFY(tdc.get_error_message().contains("0x04"));
    bytes[0] = 0x03;
    QCOMPARE(tdc.twi_write(0x20, bytes, 1, 0), 0);
    QCOMPARE(tdc.twi_read(0x20, regs, 2, 1), -41); // runs past register 0x03
    QCOMPARE(tdc.twi_read(0x20, regs, 1, 1), 0);
    QCOMPARE(int(regs[0]), 7);
    QCOMPARE(tdc.twi_read(0x20, regs, 2, 5), -41);

    // A higher threshold lets fewer pulses through.
    auto events_at = [&](unsigned char threshold, int run) -> uint64_t {
        unsigned char set[2] = {0x02, threshold};
        if (tdc.twi_write(0x20, set, 2, 1) != 0)
            return 0;
        tdc.reset_histo_stats();
        if (tdc.start_measure(100) != 0 || !done.wait_for(run))
            return 0;
        return tdc.get_histo_stats()->nr_events;
    };
    const uint64_t nominal = events_at(96, 1);
    const uint64_t high = events_at(200, 2);
    const uint64_t low = events_at(20, 3);
    QVERIFY2(nominal > 90000 && nominal < 110000, qPrintable(QString::number(nominal)));
    QVERIFY2(high < nominal / 10, qPrintable(QString("%1 vs %2").arg(high).arg(nominal)));
    QVERIFY2(low > nominal, qPrintable(QString("%1 vs %2").arg(low).arg(nominal)));
    QCOMPARE(tdc.deinit(), 0);
}

void TestSimulator::closingWhileExposureRuns() {
    // A callback after the release would touch the freed client. A device lost
    // while an exposure runs ends it without another callback too, at the
    // latest when the next open has replaced the lost device.
    const QString lossy = write_ini("running.ini", "[channel0]\nshape = flat\nrate_hz = 100000\n"
                                                   "[faults]\nlose_connection_at_start = 2\n");
    enum Ending { release, close_pipe_then_release, lose_then_reopen };
    for (Ending ending : {release, close_pipe_then_release, lose_then_reopen}) {
        const QByteArray ini = (ending == lose_then_reopen ? lossy : default_ini).toUtf8();
        int dev = ox_tdc_init_inifile(ini.constData());
        QVERIFY(dev >= 0);
        auto *client = new RawClient;
        const int pipe = client->open_pipe(dev);
        QVERIFY(pipe >= 0);
        QCOMPARE(ox_tdc_start_measure2(dev, 60000), 0);
        if (ending == close_pipe_then_release)
            QCOMPARE(ox_pipe_close2(dev, pipe), 0);
        if (ending == lose_then_reopen) {
            QCOMPARE(ox_tdc_start_measure2(dev, 10), -90);
            dev = ox_tdc_init_inifile(ini.constData());
            QVERIFY(dev >= 0);
        } else {
            QCOMPARE(ox_tdc_deinit2(dev), 0);
        }
        QCOMPARE(client->ends_seen(), 0);
        delete client;
        if (ending == lose_then_reopen)
            QCOMPARE(ox_tdc_deinit2(dev), 0);
    }

    // The same through TdcIface, which closes its pipe before releasing.
    TdcIface tdc;
    QVERIFY(tdc.init(default_ini) >= 0);
    QCOMPARE(tdc.start_measure(60000), 0);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(tdc.deinit(), 0);
    QVERIFY(timer.elapsed() < 30000);
}

void TestSimulator::exactAccountingOverManyExposures() {
    const QString path = write_ini("many.ini", "[device]\nchannels = 16\nrealtime = false\n"
                                               "block_events = 1000\n"
                                               "[channel0]\nshape = decay\nrate_hz = 3000000\n"
                                               "delay_ns = 100\nlifetime_ns = 20\nsigma_ns = 1\n"
                                               "[channel9]\nshape = flat\nrate_hz = 500000\n"
                                               "[channel15]\nshape = peak\nrate_hz = 800000\n"
                                               "delay_ns = 900\nsigma_ns = 40\n"
                                               "background_hz = 100000\n");
    TdcIface tdc;
    CompletionWaiter done(tdc);
    const int dev = tdc.init(path);
    QVERIFY(dev >= 0);
    use_device_bins(tdc);
    tdc.reset_histo_stats();
    tdc.clear_histos();
    uint64_t summed = 0;
    std::array<uint64_t, 16> per_channel{};
    for (int run = 1; run <= 40; ++run) {
        QCOMPARE(tdc.start_measure(1 + run % 7), 0);
        if (run % 5 == 0)
            tdc.interrupt(); // may end it early or find it finished
        QVERIFY(done.wait_for(run));
        const PipeStatistics &s = *tdc.get_pipe_statistics();
        summed += sum_words(s, 0, 16);
        for (int c = 0; c < 16; ++c)
            per_channel[size_t(c)] += s.words[c];
    }
    QVERIFY(summed > 100000);
    QCOMPARE(tdc.get_histo_stats()->nr_events, summed);
    QCOMPARE(uint64_t(oxsim_generated_events(dev)), summed);
    // Channels without a source stay empty; the histograms hold every event
    // inside the window.
    double in_histos = 0;
    for (uint32_t c = 0; c < 16; ++c) {
        const std::vector<double> &h = *tdc.get_channel_histo(c);
        const double sum = std::accumulate(h.begin(), h.end(), 0.0);
        QCOMPARE(uint64_t(sum), per_channel[c]);
        in_histos += sum;
        if (c != 0 && c != 9 && c != 15)
            QCOMPARE(per_channel[c], uint64_t(0));
    }
    QCOMPARE(uint64_t(in_histos), summed);
    QCOMPARE(tdc.deinit(), 0);
}

void TestSimulator::sameSeedSameEvents() {
    auto histogram_of = [&](const QByteArray &seed) {
        const QString path = write_ini("seeded.ini", "[device]\nrealtime = false\nseed = " + seed +
                                                         "\n[channel4]\nshape = decay\n"
                                                         "rate_hz = 2000000\ndelay_ns = 300\n"
                                                         "lifetime_ns = 50\nsigma_ns = 2\n");
        TdcIface tdc;
        CompletionWaiter done(tdc);
        std::vector<double> result;
        if (tdc.init(path) < 0)
            return result;
        use_device_bins(tdc);
        for (int run = 1; run <= 2; ++run) {
            if (tdc.start_measure(10) != 0 || !done.wait_for(run))
                return result;
        }
        result = *tdc.get_channel_histo(4);
        return result;
    };
    const std::vector<double> a = histogram_of("99");
    const std::vector<double> b = histogram_of("99");
    const std::vector<double> c = histogram_of("100");
    QVERIFY(!a.empty());
    QVERIFY(std::accumulate(a.begin(), a.end(), 0.0) > 10000);
    QVERIFY(a == b);
    QVERIFY(a != c);
}

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
