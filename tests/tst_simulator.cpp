// TdcIface and HistoPipe on the simulated device library, every event accounted for.

#include "device/oxtdc1.h"
#include "device/tdciface.h"
#include "simulator/oxsim.h"

#include <QScopeGuard>
#include <QtTest>
#include <atomic>
#include <clocale>
#include <cmath>
#include <numeric>

namespace {

// Counts complete_callback emissions, which arrive on the library's thread.
struct CompletionWaiter {
    std::atomic<int> count{0};
    explicit CompletionWaiter(TdcIface &tdc) {
        QObject::connect(
            &tdc, &TdcIface::complete_callback, &tdc, [this] { ++count; }, Qt::DirectConnection);
    }
    bool wait_for(int n) {
        return QTest::qWaitFor([&] { return count >= n; }, 20000);
    }
};

QString error_text(int code) {
    char buffer[OX_ERR_MSG_SIZE];
    ox_get_err_msg(code, buffer);
    return QString::fromUtf8(buffer);
}

template <class C> uint64_t sum(const C &c) {
    return std::accumulate(std::begin(c), std::end(c), uint64_t(0));
}
uint64_t counted(const PipeStatistics &s) { // the channels' words of the block
    return std::accumulate(s.words, s.words + 16, uint64_t(0));
}

struct Run { // what a series of exposures counted, per channel
    std::array<uint64_t, 16> lost{}, counted{};
    std::vector<double> last; // the last exposure's histograms, end to end
};
} // namespace

class TestSimulator : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString default_ini;
    QByteArray default_content;

    QString write_ini(const QString &name, const QByteArray &content) {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size() ? f.fileName()
                                                                                  : QString();
    }

    // Twelve exposures on the default file with `changes`: per channel the block counts the
    // deliveries plus the losses; inside the end callback the device is busy, not releasable.
    void run_default_file(const QList<QByteArrayList> &changes, Run &out,
                          bool interrupting = false) {
        QByteArray ini = default_content;
        for (const QByteArrayList &change : changes)
            ini.replace(change[0], change[1]);
        TdcIface tdc;
        int dev = -1, start_in_end = 1, release_in_end = 1;
        connect(
            &tdc, &TdcIface::complete_callback, this,
            [&] {
                start_in_end = ox_tdc_start_measure2(dev, 0);
                release_in_end = ox_tdc_deinit2(dev);
            },
            Qt::DirectConnection);
        CompletionWaiter done(tdc); // counts after the check above
        dev = tdc.init(write_ini("changed.ini", ini));
        QVERIFY2(dev >= 0, qPrintable(tdc.get_error_message()));
        tdc.set_histo_params({0.0, 1000.0, tdc.get_binsize(), 0, 16}); // one device bin per bin
        for (int run = 1; run <= 12; ++run) {
            const int ms = std::array<int, 4>{0, 1, 7, 60}[(run + 3) % 4]; // 60 ms last
            tdc.clear_histos();
            QCOMPARE(tdc.start_measure(ms), 0);
            if (interrupting && run % 5 == 0)
                tdc.interrupt(); // may end it early or find it finished
            QVERIFY(done.wait_for(run) && start_in_end == -11 && release_in_end == -39);
            const std::array<uint64_t, 16> delivered = tdc.get_delivered_counts();
            const PipeStatistics &stats = *tdc.get_pipe_statistics();
            QVERIFY(sum(stats.words) == counted(stats) && (ms > 0 || counted(stats) == 0));
            out.last.clear();
            for (int c = 0; c < 16; ++c) {
                const std::vector<double> &h = *tdc.get_channel_histo(c);
                QVERIFY(uint64_t(std::accumulate(h.begin(), h.end(), 0.0)) == delivered[c] &&
                        stats.words[c] >= delivered[c]);
                out.lost[c] += stats.words[c] - delivered[c];
                out.counted[c] += stats.words[c];
                out.last.insert(out.last.end(), h.begin(), h.end());
            }
            QCOMPARE(tdc.get_delivered_running(), sum(delivered));
        }
        QCOMPARE(uint64_t(oxsim_generated_events(dev)), sum(out.counted));
        QCOMPARE(sum(out.counted) - tdc.get_histo_stats()->nr_events, sum(out.lost));
    }

private slots:
    void initTestCase() {
        default_ini = QCoreApplication::applicationDirPath() + "/tdc_qv5.ini";
        QFile file(default_ini);
        QVERIFY2(dir.isValid() && file.open(QIODevice::ReadOnly), qPrintable(default_ini));
        default_content = file.readAll();
    }

    // A clear code and a text naming file, line and key; nothing stays open.
    void rejectsBadConfiguration() {
        const std::vector<std::tuple<const char *, int, QStringList>> table = {
            {"[device]\nchannels = 4\nno key here\n", -21, {":3:", "syntax"}},
            {"[device]\nseed = 3\n\n[detector]\nx = 1\n", -22, {":5:", "[detector]"}},
            {"[device]\nbinsize = 0.5\n", -23, {":2:", "binsize", "[device]"}},
            {"[channel3]\nrate_hz = fast\n", -24, {":2:", "rate_hz", "fast"}},
            {"[device]\nchannels = 17\n", -25, {":2:", "channels", "17"}},
            {"[device]\nchannels = 4\n[channel5]\nshape = flat\n", -26, {":4:", "[channel5]"}}};
        for (const auto &[content, code, mentions] : table) {
            const QString path = write_ini("bad.ini", content);
            TdcIface tdc;
            QCOMPARE(tdc.init(path), code);
            const QString text = error_text(code);
            for (const QString &m : mentions + QStringList{path})
                QVERIFY2(text.contains(m), qPrintable(text + " lacks " + m));
            QCOMPARE(tdc.get_error_message(), text);
            QVERIFY(tdc.init(default_ini) >= 0);
        }
    }

    // Calls the program never makes wrongly are refused all the same.
    void rejectsBadCalls() {
        const QByteArray ini = default_ini.toUtf8();
        const int dev = ox_tdc_init_inifile(ini.constData());
        unsigned char bytes[4] = {2, 0, 0, 0};
        // clang-format off
        const QList<int> answers{dev >= 0 ? ox_tdc_init_inifile(ini.constData()) : dev,
            ox_tdc_init_inifile(dir.filePath("no-such.ini").toUtf8().constData()),
            ox_tdc_start_measure2(dev + 1, 10), ox_tdc_get_binsize2(dev, nullptr),
            ox_twi_read2(dev, 0x20, bytes, -2, 1), ox_tdc_start_measure2(dev, -5),
            ox_pipe_open2(dev, 11, nullptr), ox_pipe_close2(dev, 0),
            ox_twi_write2(dev, 0x21, bytes, 2, 1), ox_twi_write2(dev, 0x20, bytes, 4, 1)};
        // clang-format on
        QCOMPARE(answers, (QList<int>{-30, -20, -31, -32, -33, -34, -35, -36, -40, -41}));
        QVERIFY(error_text(-31).contains(QString::number(dev + 1)));
        QCOMPARE(error_text(-77), QStringLiteral("unknown error code -77"));
        QCOMPARE(ox_tdc_deinit2(dev), 0);
    }

    // Injected busy answers are ridden over, an injected loss closes the interface; the running
    // count, read here while the library's thread writes it, ends at the total.
    void injectedFaultsAndLiveCount() {
        TdcIface tdc;
        const QString path = write_ini(
            "faults.ini", "[device]\nchannels = 2\n[channel1]\nshape = flat\nrate_hz = 100000\n"
                          "[faults]\nbusy_starts = 3\nlose_connection_at_start = 14\n");
        CompletionWaiter done(tdc);
        QSignalSpy lost(&tdc, &TdcIface::connection_lost);
        const int first = tdc.init(path);
        QVERIFY(first >= 0 && tdc.start_measure(60000) == 0); // after three busy answers
        QCOMPARE(ox_tdc_start_measure2(first, 10), -11);
        QVERIFY(tdc.start_measure(10) == -11 && tdc.get_error_message().contains("busy"));
        QTRY_VERIFY_WITH_TIMEOUT(tdc.get_delivered_running() > 0, 20000);
        const uint64_t seen = tdc.get_delivered_running();
        QTRY_VERIFY_WITH_TIMEOUT(tdc.get_delivered_running() > seen, 20000);
        QVERIFY(tdc.interrupt() == 0 && done.wait_for(1));
        QCOMPARE(tdc.get_delivered_running(), counted(*tdc.get_pipe_statistics()));
        QCOMPARE(tdc.start_measure(10), -90); // start 14: 3 busy, 1, 1 and 8 retries before
        QVERIFY(lost.count() == 1 && !tdc.is_initialized() &&
                tdc.get_error_message().contains("lost"));
        QCOMPARE(ox_tdc_start_measure2(first, 10), -90);
        const int second = tdc.init(path);
        QVERIFY2(second >= 0 && second != first && ox_tdc_start_measure2(first, 10) == -31,
                 qPrintable(tdc.get_error_message()));
    }

    // A correction moves a sharp peak's one bin by exactly that many bins; a threshold 100 steps
    // above the file's lets far fewer pulses pass.
    void correctionsAndThreshold() {
        const QString path =
            write_ini("peak.ini", "[device]\nbinsize_ns = 0.5\nchannels = 2\nrealtime = false\n"
                                  "threshold = 96\n[channel0]\nshape = peak\nrate_hz = 200000\n"
                                  "delay_ns = 100.25\nsigma_ns = 0\n");
        TdcIface tdc;
        CompletionWaiter done(tdc);
        QVERIFY(tdc.init(path) >= 0);
        tdc.set_histo_params({0.0, 1000.0, 0.5, 0, 16});
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
        for (auto [correction, bin] : {std::pair{37, 237L}, {-50, 150L}, {-32768, 0L}})
            QCOMPARE(peak_bin(correction), bin); // the last saturates at time 0
        uint8_t threshold[2] = {0x02, 196};
        QCOMPARE(tdc.twi_write(0x20, threshold, 2, 1), 0);
        QCOMPARE(peak_bin(0), 200L);
        QVERIFY(nominal > 1000 && tdc.get_pipe_statistics()->words[0] < nominal / 2);
        std::vector<int32_t> reopened;
        QVERIFY(tdc.set_corrections({5, 0}) == 0 && tdc.set_corrections({32768, 0}) == -38);
        QVERIFY(tdc.deinit() == 0 && tdc.init(path) >= 0 && tdc.get_corrections(reopened) == 0);
        QCOMPARE(reopened, std::vector<int32_t>({0, 0}));
    }

    // Released, pipe closed or lost mid-exposure: the pipe's owner may be freed at once.
    void closingWhileExposureRuns() {
        const QByteArray lossy =
            write_ini("lossy.ini", "[faults]\nlose_connection_at_start = 2\n").toUtf8();
        for (int ending = 0; ending < 3; ++ending) {
            const QByteArray ini = ending == 2 ? lossy : default_ini.toUtf8();
            int dev = ox_tdc_init_inifile(ini.constData());
            std::atomic<int> ends{0};
            auto pipe = std::make_unique<HistoPipe>();
            pipe->set_end_of_meas_action([&](uint64_t) { ++ends; });
            pipe->set_device(dev);
            QVERIFY(pipe->set_pipe_open(true) && ox_tdc_start_measure2(dev, 60000) == 0 &&
                    (ending != 1 || pipe->close_pipe() == 0));
            if (ending == 2) {
                QCOMPARE(ox_tdc_start_measure2(dev, 10), -90);
                dev = ox_tdc_init_inifile(ini.constData());
            }
            QVERIFY(ox_tdc_deinit2(dev) == 0 && ends == 0);
        }
    }

    // The default file loses nothing; a slow link loses the same events in real time as
    // without: a seed repeats a run exactly, whatever the scheduling.
    void exactAccountingAndLinkLimit() {
        Run plain, slow, slow_real_time, reseeded;
        run_default_file({}, plain, true);
        QVERIFY(sum(plain.lost) == 0 && sum(plain.counted) > 30000 && plain.counted[8] == 0);
        const auto peak = std::max_element(plain.last.begin(), plain.last.begin() + 8001);
        QVERIFY(peak - plain.last.begin() >= 40 / 0.125 && peak - plain.last.begin() <= 42 / 0.125);
        const QByteArrayList link{"realtime = true\n", "link_rate_hz = 8e5\n"};
        run_default_file({link}, slow_real_time);
        run_default_file({link, {"[device]\n", "[device]\nrealtime = false\n"}}, slow);
        run_default_file({link, {"seed = 20261206", "seed = 7"}}, reseeded);
        QCOMPARE(slow_real_time.lost, slow.lost);
        QVERIFY(sum(slow.lost) > 10000 && slow_real_time.last == slow.last &&
                reseeded.last != slow.last);
    }

    // The held histograms are read (their tallies added) while the library's thread fills the
    // live ones with the next exposure: each held exposure holds exactly what was delivered in it.
    void heldWhileTheNextExposureRuns() {
        TdcIface tdc;
        CompletionWaiter done(tdc);
        QVERIFY2(tdc.init(default_ini) >= 0, qPrintable(tdc.get_error_message()));
        tdc.set_histo_params({0.0, 8000.0, tdc.get_binsize(), 0, 16}); // 8 MB: tallied
        QCOMPARE(tdc.start_measure(30), 0);
        for (int n = 1; n <= 6; ++n) {
            QVERIFY(done.wait_for(n));
            const uint64_t delivered = sum(tdc.get_delivered_counts());
            QVERIFY(tdc.hold_completed(true) && delivered > 0);
            tdc.request_clear(true, true);
            QCOMPARE(tdc.start_measure(30), 0);
            tdc.clear_spare();
            tdc.fold_held();
            double held = 0.0;
            for (uint32_t c = 0; c < 16; ++c)
                held += std::accumulate(tdc.get_held_histo(c)->begin(),
                                        tdc.get_held_histo(c)->end(), 0.0);
            QCOMPARE(uint64_t(held), delivered);
        }
        QVERIFY(done.wait_for(7));
    }

    // A saturated link hands over its rate, also a fraction of an event per delivery interval,
    // to within the one event the last interval may hold back; each channel gets its share.
    void linkRateHoldsAtAnyValue() {
        const int ms = 4000;
        for (const double link_hz : {150.0, 300.0, 1000.0, 12345.0, 33333.3}) {
            const QString path =
                write_ini("link.ini",
                          QByteArray("[device]\nchannels = 2\nrealtime = false\nlink_rate_hz = ") +
                              QByteArray::number(link_hz, 'g', 10) +
                              "\n[channel0]\nshape = flat\nrate_hz = 600000\n"
                              "[channel1]\nshape = decay\nrate_hz = 200000\ndelay_ns = 50\n");
            TdcIface tdc;
            CompletionWaiter done(tdc);
            const int dev = tdc.init(path);
            QVERIFY2(dev >= 0, qPrintable(tdc.get_error_message()));
            tdc.set_histo_params({0.0, 1000.0, tdc.get_binsize(), 0, 16});
            QVERIFY(tdc.start_measure(ms) == 0 && done.wait_for(1));
            const uint64_t delivered = sum(tdc.get_delivered_counts());
            const uint64_t detected = counted(*tdc.get_pipe_statistics());
            const double configured = link_hz * ms / 1000;
            QVERIFY2(double(delivered) <= configured + 1e-6 && double(delivered) > configured - 1,
                     qPrintable(QString("%1 Hz: %2 events").arg(link_hz).arg(delivered)));
            QCOMPARE(uint64_t(oxsim_generated_events(dev)), detected);
            QCOMPARE(detected - delivered, detected - uint64_t(std::floor(configured + 1e-6)));
            const double share = double(tdc.get_pipe_statistics()->words[1]) / double(detected);
            QVERIFY(std::abs(double(tdc.get_delivered_counts()[1]) - share * double(delivered)) <=
                    2);
        }
    }

    // A comma-decimal locale (taken from the environment) changes no number read or written.
    void commaDecimalLocale() {
        const QByteArray before = std::setlocale(LC_NUMERIC, nullptr);
        if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8"))
            QSKIP("locale de_DE.UTF-8 is not installed (scripts/setup.sh generates it)");
        const auto restore = qScopeGuard([&] { std::setlocale(LC_NUMERIC, before.constData()); });
        QCOMPARE(*std::localeconv()->decimal_point, ',');
        const QString path = write_ini(
            "fractional.ini", "[device]\nbinsize_ns = 0.25\nrange_ns = 5.0e2\nchannels = 2\n"
                              "realtime = false\n[channel0]\nshape = flat\nrate_hz = 1.25e5\n"
                              "background_hz = +2500.5\n[channel1]\nshape = peak\n"
                              "rate_hz = 6E4\ndelay_ns = 100.25\nsigma_ns = 0.0\n");
        TdcIface tdc;
        CompletionWaiter done(tdc);
        QVERIFY2(tdc.init(path) >= 0, qPrintable(tdc.get_error_message()));
        QCOMPARE(tdc.get_binsize(), 0.25);
        tdc.set_histo_params({0.0, 1000.0, 0.25, 0, 16});
        QVERIFY(tdc.start_measure(100) == 0 && done.wait_for(1));
        for (const auto &[channel, rate_hz] : {std::pair{0, 127500.5}, {1, 60000.0}}) {
            const double expected = rate_hz / 10, seen = tdc.get_pipe_statistics()->words[channel];
            QVERIFY2(std::abs(seen - expected) <= 5 * std::sqrt(expected),
                     qPrintable(QString("channel %1: %2 events").arg(channel).arg(seen)));
        }
        const std::vector<double> &h = *tdc.get_channel_histo(1);
        QCOMPARE(long(std::max_element(h.begin(), h.end()) - h.begin()), 401L);
        const std::vector<std::tuple<const char *, int, const char *>> faults = {
            {"[device]\nbinsize_ns = 1000.5\n", -25, "1000.5 is out of range (0.001 ... 1000)"},
            {"[device]\nrange_ns = 1.25\nbinsize_ns = 2.5\n", -26, "bins, not 0.500000"}};
        for (const auto &[content, code, mention] : faults) {
            TdcIface refused;
            QCOMPARE(refused.init(write_ini("fault.ini", content)), code);
            QVERIFY2(refused.get_error_message().contains(mention),
                     qPrintable(refused.get_error_message()));
        }
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
