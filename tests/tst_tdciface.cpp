// TdcIface against the device library's double: opening and closing with
// every failure path, busy retries, connection loss, the library calls it
// passes through, and the end of a measurement crossing threads.

#include "fakeoxtdc.h"
#include "tdciface.h"

#include <QtTest>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

namespace {

FakeOxTdc &fake() {
    return FakeOxTdc::instance();
}

std::vector<std::string> call_names() {
    std::vector<std::string> names;
    for (const FakeCall &c : fake().calls())
        names.push_back(c.name);
    return names;
}

std::vector<std::string> device_calls() {
    std::vector<std::string> names;
    for (const std::string &n : call_names())
        if (n != "ox_get_err_msg")
            names.push_back(n);
    return names;
}

constexpr auto min_pause = std::chrono::milliseconds(5);

} // namespace

class TstTdcIface : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { fake().reset(); }

    // --- construction ----------------------------------------------------

    void startsClosedAndCallsNothingWithoutDevice() {
        TdcIface tdc;
        QVERIFY(!tdc.is_initialized());
        QVERIFY(tdc.get_error_message().isEmpty());
        const HistoParams *p = tdc.get_histo_params();
        QVERIFY(p->start == 0.0 && p->size == 1000.0 && p->binsize == 1.0 && p->binning == 0 &&
                p->channels == 16);
        // Displays read the bin size before any device is open.
        QVERIFY(std::isfinite(tdc.get_binsize()) && tdc.get_binsize() > 0.0);
        QVERIFY(std::isfinite(tdc.bins_to_time(std::numeric_limits<uint64_t>::max(), 63)));
        QVERIFY(tdc.get_channel_histo(0) == nullptr);

        // Without a device nothing reaches the library.
        QCOMPARE(tdc.deinit(), -10);
        QCOMPARE(tdc.get_error_message(), QString("No device initialized, cannot deinitialize."));
        QCOMPARE(tdc.start_measure(100), -10);
        QCOMPARE(tdc.get_error_message(), QString("No device initialized."));
        tdc.deinit();
        QCOMPARE(tdc.interrupt(), -10);
        QCOMPARE(tdc.get_error_message(), QString("No device initialized."));
        QVERIFY(fake().calls().empty());
    }

    // --- open/close and codes -------------------------------------------

    void initOpensPipeReadsBinsizeThenAnnounces() {
        TdcIface tdc;
        fake().queue_result("ox_tdc_init_inifile", 4);
        fake().set_binsize(0.5);
        QSignalSpy connected(&tdc, &TdcIface::connected);
        std::vector<std::string> seen_at_connected;
        double binsize_at_connected = 0.0;
        connect(&tdc, &TdcIface::connected, this, [&] {
            seen_at_connected = call_names();
            binsize_at_connected = tdc.get_binsize();
        });

        const QString path = QString::fromUtf8("m\xC3\xA9sures/tdc_qv5.ini");
        QCOMPARE(tdc.init(path), 4);
        QCOMPARE(connected.count(), 1);
        QVERIFY(tdc.is_initialized());
        QCOMPARE(seen_at_connected,
                 (std::vector<std::string>{"ox_tdc_init_inifile", "ox_pipe_open2",
                                           "ox_tdc_get_binsize2"}));
        QCOMPARE(binsize_at_connected, 0.5);
        const QByteArray utf8 = path.toUtf8();
        QCOMPARE(fake().calls_of("ox_tdc_init_inifile")[0].bytes,
                 std::vector<unsigned char>(utf8.begin(), utf8.end()));
        QCOMPARE(fake().calls_of("ox_pipe_open2")[0].args,
                 (std::vector<long long>{4, OX_PIPE_TYPE_USER_CALLBACKS}));
        QCOMPARE(fake().calls_of("ox_tdc_get_binsize2")[0].args, std::vector<long long>{4});
        QVERIFY(fake().pipe_is_open());
        QCOMPARE(tdc.bins_to_time(3, 2), 6.0);
    }

    void secondInitIsRefused() {
        TdcIface tdc;
        fake().queue_result("ox_tdc_init_inifile", 2);
        QCOMPARE(tdc.init("tdc_qv5.ini"), 2);
        fake().clear_calls();
        QSignalSpy connected(&tdc, &TdcIface::connected);
        QCOMPARE(tdc.init("other.ini"), -3);
        QCOMPARE(tdc.get_error_message(), QString("TdcIface instance can only open one device"));
        QVERIFY(fake().calls().empty());
        QCOMPARE(connected.count(), 0);
        QVERIFY(tdc.is_initialized());
        QCOMPARE(tdc.deinit(), 0);
        QCOMPARE(fake().calls_of("ox_tdc_deinit2")[0].args, std::vector<long long>{2});
    }

    // Any failing step of init is a failure: what was opened is released,
    // the library's text kept, the starting bin size stays and nothing is
    // announced; a later init then opens device and pipe afresh.
    void failedInitReleasesAndCanBeRetried_data() {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<int>("code");
        QTest::addColumn<double>("binsize");
        QTest::addColumn<QStringList>("calls");
        const QStringList all{"ox_tdc_init_inifile", "ox_pipe_open2", "ox_tdc_get_binsize2",
                              "ox_pipe_close2", "ox_tdc_deinit2"};
        QTest::newRow("device") << "ox_tdc_init_inifile" << -7 << 0.5 << QStringList{all[0]};
        QTest::newRow("pipe") << "ox_pipe_open2" << -21 << 0.5
                              << QStringList{all[0], all[1], all[4]};
        QTest::newRow("bin size read") << "ox_tdc_get_binsize2" << -8 << 0.5 << all;
        QTest::newRow("bin size zero") << QString() << 0 << 0.0 << all;
        QTest::newRow("bin size negative") << QString() << 0 << -0.5 << all;
        QTest::newRow("bin size NaN") << QString() << 0 << std::nan("") << all;
        QTest::newRow("bin size infinite")
            << QString() << 0 << std::numeric_limits<double>::infinity() << all;
    }

    void failedInitReleasesAndCanBeRetried() {
        QFETCH(QString, failing);
        QFETCH(int, code);
        QFETCH(double, binsize);
        QFETCH(QStringList, calls);
        TdcIface tdc;
        QSignalSpy connected(&tdc, &TdcIface::connected);
        if (failing != "ox_tdc_init_inifile")
            fake().queue_result("ox_tdc_init_inifile", 6);
        if (code != 0) {
            fake().queue_result(failing.toStdString(), code);
            fake().set_error_text(code, "Library says no");
        }
        fake().set_binsize(binsize);
        const int result = tdc.init("tdc_qv5.ini");
        QVERIFY(result < 0);
        if (code != 0) {
            QCOMPARE(result, code);
            QCOMPARE(tdc.get_error_message(), QString("Library says no"));
        }
        QVERIFY(!tdc.get_error_message().isEmpty());
        QVERIFY(!tdc.is_initialized());
        QCOMPARE(connected.count(), 0);
        QCOMPARE(tdc.get_binsize(), 1.0);
        QStringList made;
        for (const std::string &name : device_calls())
            made << QString::fromStdString(name);
        QCOMPARE(made, calls);
        if (calls.contains("ox_tdc_deinit2"))
            QCOMPARE(fake().calls_of("ox_tdc_deinit2")[0].args, std::vector<long long>{6});
        QVERIFY(!fake().pipe_is_open());
        QCOMPARE(tdc.deinit(), -10);

        fake().set_binsize(0.5);
        fake().queue_result("ox_tdc_init_inifile", 6);
        QCOMPARE(tdc.init("tdc_qv5.ini"), 6);
        QCOMPARE(connected.count(), 1);
        QVERIFY(fake().pipe_is_open());
        QCOMPARE(tdc.get_binsize(), 0.5);
    }

    void deinitAnnouncesThenClosesPipeAndDevice() {
        TdcIface tdc;
        fake().queue_result("ox_tdc_init_inifile", 3);
        fake().queue_result("ox_pipe_open2", 9);
        QCOMPARE(tdc.init("tdc_qv5.ini"), 3);
        fake().clear_calls();
        bool open_at_signal = false;
        int library_calls_at_signal = -1;
        connect(&tdc, &TdcIface::disconnecting, this, [&] {
            open_at_signal = tdc.is_initialized();
            library_calls_at_signal = int(fake().calls().size());
        });
        fake().queue_result("ox_tdc_deinit2", -5);
        fake().set_error_text(-5, "device refused to let go");
        QCOMPARE(tdc.deinit(), -5);
        QVERIFY(open_at_signal);
        QCOMPARE(library_calls_at_signal, 0);
        QCOMPARE(device_calls(), (std::vector<std::string>{"ox_pipe_close2", "ox_tdc_deinit2"}));
        QCOMPARE(fake().calls_of("ox_pipe_close2")[0].args, (std::vector<long long>{3, 9}));
        QVERIFY(!tdc.is_initialized()); // even though the library failed
        // The failure is reported with its own text, not a stale one.
        QCOMPARE(tdc.get_error_message(), QString("device refused to let go"));
    }

    void destructorReleasesAnOpenDevice() {
        auto *tdc = new TdcIface;
        fake().queue_result("ox_tdc_init_inifile", 5);
        tdc->init("tdc_qv5.ini");
        fake().clear_calls();
        int disconnecting = 0;
        connect(tdc, &TdcIface::disconnecting, this, [&] { ++disconnecting; });
        delete tdc;
        QCOMPARE(disconnecting, 1);
        QCOMPARE(device_calls(), (std::vector<std::string>{"ox_pipe_close2", "ox_tdc_deinit2"}));

        fake().clear_calls();
        delete new TdcIface; // never opened: nothing to release
        QVERIFY(fake().calls().empty());
    }

    // --- busy retry --------------------------------------------------------

    // Busy answers are retried up to eight attempts in all, with a pause
    // after each busy answer, the last one included; other failures are not.
    void startIsRetriedWhileBusy_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("times");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("attempts");
        QTest::newRow("free on the eighth attempt") << int(OX_ERR_BUSY) << 7 << 0 << 8;
        QTest::newRow("busy every time") << int(OX_ERR_BUSY) << 8 << int(OX_ERR_BUSY) << 8;
        QTest::newRow("other failure") << -12 << 1 << -12 << 1;
    }

    void startIsRetriedWhileBusy() {
        QFETCH(int, code);
        QFETCH(int, times);
        QFETCH(int, result);
        QFETCH(int, attempts);
        TdcIface tdc;
        fake().queue_result("ox_tdc_init_inifile", 2);
        tdc.init("tdc_qv5.ini");
        fake().queue_result("ox_tdc_start_measure2", code, times);
        fake().set_error_text(code, "Start refused");
        QSignalSpy lost(&tdc, &TdcIface::connection_lost);
        QCOMPARE(tdc.start_measure(250), result);
        const auto returned = std::chrono::steady_clock::now();
        const std::vector<FakeCall> starts = fake().calls_of("ox_tdc_start_measure2");
        QCOMPARE(starts.size(), size_t(attempts));
        for (size_t i = 0; i < starts.size(); ++i) {
            QCOMPARE(starts[i].args, (std::vector<long long>{2, 250}));
            if (i > 0)
                QVERIFY2(starts[i].when - starts[i - 1].when >= min_pause,
                         qPrintable(QStringLiteral("pause before attempt %1").arg(i + 1)));
        }
        if (result != 0)
            QCOMPARE(tdc.get_error_message(), QString("Start refused"));
        if (result == OX_ERR_BUSY)
            QVERIFY(returned - starts.back().when >= min_pause); // the eighth pause too
        QVERIFY(tdc.is_initialized());
        QCOMPARE(lost.count(), 0);
    }

    // --- connection loss -------------------------------------------------

    void lostConnectionClosesAndReconnectWorks() {
        TdcIface tdc;
        fake().queue_result("ox_tdc_init_inifile", 8);
        tdc.init("tdc_qv5.ini");
        fake().clear_calls();
        fake().queue_result("ox_tdc_start_measure2", OX_ERR_CONNECTION_LOST);
        fake().set_error_text(OX_ERR_CONNECTION_LOST, "Connection lost");
        QString text_at_signal;
        int lost = 0;
        connect(&tdc, &TdcIface::connection_lost, this, [&] {
            ++lost;
            text_at_signal = tdc.get_error_message();
        });
        QCOMPARE(tdc.start_measure(100), OX_ERR_CONNECTION_LOST);
        QCOMPARE(lost, 1);
        QCOMPARE(text_at_signal, QString("Connection lost"));
        QVERIFY(!tdc.is_initialized());
        QCOMPARE(device_calls(), std::vector<std::string>{"ox_tdc_start_measure2"});
        QCOMPARE(tdc.deinit(), -10);
        QCOMPARE(fake().count("ox_tdc_deinit2"), 0);

        // The next init opens a fresh pipe, and events arrive again.
        fake().queue_result("ox_tdc_init_inifile", 2);
        QCOMPARE(tdc.init("tdc_qv5.ini"), 2);
        QCOMPARE(fake().calls_of("ox_pipe_open2").size(), size_t(1));
        QCOMPARE(fake().calls_of("ox_pipe_open2")[0].args[0], 2LL);

        const std::vector<TdcEvent> events{FakeOxTdc::make_event(0, 10),
                                           FakeOxTdc::make_event(0, 10)};
        const PipeStatistics block = FakeOxTdc::make_statistics({2});
        fake().set_auto_exposure([&] { fake().play_exposure(events, block); });
        QCOMPARE(tdc.start_measure(100), 0);
        QCOMPARE((*tdc.get_channel_histo(0))[10], 2.0);
        QCOMPARE(tdc.get_histo_stats()->nr_events, uint64_t(2));
        QCOMPARE(tdc.deinit(), 0);
        QCOMPARE(fake().calls_of("ox_pipe_close2").back().args[0], 2LL);
    }

    // --- calls passed through ----------------------------------------------

    void correctionsAreReadInTwoSteps() {
        TdcIface tdc;
        fake().queue_result("ox_tdc_init_inifile", 3);
        tdc.init("tdc_qv5.ini");
        fake().set_corrections({4, -2, 0, 17});
        fake().clear_calls();
        std::vector<int32_t> out{9, 9};
        QCOMPARE(tdc.get_corrections(out), 0);
        QCOMPARE(out, (std::vector<int32_t>{4, -2, 0, 17}));
        const std::vector<FakeCall> calls = fake().calls_of("ox_tdc_get_corrections2");
        QCOMPARE(calls.size(), size_t(2));
        QCOMPARE(calls[0].args, (std::vector<long long>{3, 0, 0})); // count only
        QCOMPARE(calls[1].args, (std::vector<long long>{3, 4, 1})); // then the values

        fake().set_corrections({});
        QCOMPARE(tdc.get_corrections(out), 0);
        QVERIFY(out.empty());

        // A failure in either step leaves the vector as it was.
        fake().set_corrections({1, 2});
        out = {5};
        fake().queue_result("ox_tdc_get_corrections2", -6);
        QCOMPARE(tdc.get_corrections(out), -6);
        QCOMPARE(out, std::vector<int32_t>{5});
        fake().queue_result("ox_tdc_get_corrections2", 0);
        fake().queue_result("ox_tdc_get_corrections2", -9);
        QCOMPARE(tdc.get_corrections(out), -9);
        QCOMPARE(out, std::vector<int32_t>{5});
        QVERIFY(tdc.get_error_message().isEmpty());
    }

    void correctionsAreWrittenAsGiven() {
        TdcIface tdc;
        const std::vector<int32_t> values{3, -1, 8};
        fake().queue_result("ox_tdc_set_corrections2", -4);
        QCOMPARE(tdc.set_corrections(values), -4); // no device: the library answers
        fake().queue_result("ox_tdc_init_inifile", 7);
        tdc.init("tdc_qv5.ini");
        QCOMPARE(tdc.set_corrections(values), 0);
        const std::vector<FakeCall> calls = fake().calls_of("ox_tdc_set_corrections2");
        QCOMPARE(calls[0].args, (std::vector<long long>{-1, 3, 0}));
        QCOMPARE(calls[1].args, (std::vector<long long>{7, 3, 0}));
        QCOMPARE(fake().corrections(), (std::vector<int>{3, -1, 8}));
        QVERIFY(tdc.get_error_message().isEmpty());
    }

    void interruptAndTwoWireTransfersPassThrough() {
        TdcIface tdc;
        fake().queue_result("ox_tdc_init_inifile", 2);
        tdc.init("tdc_qv5.ini");
        QCOMPARE(tdc.interrupt(), 0);
        QCOMPARE(fake().calls_of("ox_tdc_interrupt2")[0].args, std::vector<long long>{2});
        fake().queue_result("ox_tdc_interrupt2", -30);
        QCOMPARE(tdc.interrupt(), -30);

        uint8_t pointer = 0x02;
        QCOMPARE(tdc.twi_write(0x20, &pointer, 1, 0), 0);
        fake().queue_twi_read_bytes({0xAB, 0x3C});
        uint8_t reply[2] = {0, 0};
        QCOMPARE(tdc.twi_read(0x20, reply, 2, 1), 0);
        QCOMPARE(reply[0], uint8_t(0xAB));
        QCOMPARE(reply[1], uint8_t(0x3C));
        const FakeCall write = fake().calls_of("ox_twi_write2")[0];
        QCOMPARE(write.args, (std::vector<long long>{2, 0x20, 1, 0}));
        QCOMPARE(write.bytes, std::vector<unsigned char>{0x02});
        QCOMPARE(fake().calls_of("ox_twi_read2")[0].args, (std::vector<long long>{2, 0x20, 2, 1}));

        fake().queue_result("ox_twi_read2", -40);
        fake().set_error_text(-40, "No acknowledge from 0x21");
        QCOMPARE(tdc.twi_read(0x21, reply, 2, 1), -40);
        QCOMPARE(tdc.get_error_message(), QString("No acknowledge from 0x21"));
        fake().queue_result("ox_twi_write2", -41);
        QCOMPARE(tdc.twi_write(0x21, &pointer, 1, 1), -41);
    }

    // --- parameter hand-over and the measurement -----------------------

    void exposureFillsHistogramsAndStatistics() {
        TdcIface tdc;
        tdc.init("tdc_qv5.ini");
        HistoParams p = *tdc.get_histo_params();
        p.binsize = tdc.get_binsize();
        p.start = 10.0;
        tdc.set_histo_params(p);
        QCOMPARE(tdc.get_histo_params()->start, 10.0);

        const std::vector<TdcEvent> events{
            FakeOxTdc::make_event(2, 20), FakeOxTdc::make_event(2, 21),
            FakeOxTdc::make_event(2, 19), FakeOxTdc::make_event(17, 30)};
        std::vector<uint32_t> counts(256);
        for (uint32_t i = 0; i < 256; ++i)
            counts[i] = 1000 + i;
        const PipeStatistics block = FakeOxTdc::make_statistics(counts);
        fake().set_auto_exposure([&] { fake().play_exposure(events, block); });
        QCOMPARE(tdc.start_measure(50), 0);

        // Bin size 0.5 ns from the double: the window starts at device bin 20.
        const std::vector<double> &h = *tdc.get_channel_histo(2);
        QCOMPARE(h.size(), size_t(2001));
        QCOMPARE(h[0], 1.0);
        QCOMPARE(h[1], 1.0);
        QCOMPARE(tdc.get_histo_stats()->sum_time, uint64_t(90));
        QCOMPARE(tdc.get_histo_stats()->channel_mask, 1u << 2);
        QCOMPARE(std::memcmp(tdc.get_pipe_statistics(), &block, sizeof block), 0);
        QVERIFY(tdc.get_channel_histo(16) == nullptr);

        tdc.clear_histos();
        tdc.reset_histo_stats();
        QCOMPARE(h[0], 0.0);
        QCOMPARE(tdc.get_histo_stats()->nr_events, uint64_t(0));

        // Unusable parameters are reported, not thrown; events still count.
        p.binsize = 0.0;
        tdc.set_histo_params(p);
        QCOMPARE(tdc.start_measure(50), 0);
        QVERIFY(tdc.histos_unavailable());
        QVERIFY(tdc.get_channel_histo(2) == nullptr || tdc.get_channel_histo(2)->empty());
        QCOMPARE(tdc.get_histo_stats()->nr_events, uint64_t(4));
    }

    // --- end of measurement ----------------------------------------------

    void endOfMeasurementIsSignalledFromTheLibraryThread() {
        TdcIface tdc;
        tdc.init("tdc_qv5.ini");
        const std::thread::id gui = std::this_thread::get_id();
        std::thread::id emitted_on;
        connect(
            &tdc, &TdcIface::complete_callback, this,
            [&](int) { emitted_on = std::this_thread::get_id(); }, Qt::DirectConnection);
        QList<int> received;
        std::thread::id received_on;
        connect(
            &tdc, &TdcIface::complete_callback, this,
            [&](int code) {
                received << code;
                received_on = std::this_thread::get_id();
            },
            Qt::QueuedConnection);

        fake().set_auto_exposure([] { fake().play_exposure({}, PipeStatistics{}); });
        QCOMPARE(tdc.start_measure(20), 0);
        QVERIFY(emitted_on != std::thread::id());
        QVERIFY(emitted_on != gui);
        QVERIFY(received.isEmpty()); // queued: not before the event loop runs
        QCoreApplication::processEvents();
        QCOMPARE(received, QList<int>{1});
        QVERIFY(received_on == gui);

        fake().deliver_start(); // start and events alone announce nothing
        QCoreApplication::processEvents();
        QCOMPARE(received.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TstTdcIface)
#include "tst_tdciface.moc"
