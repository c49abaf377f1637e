// TdcIface against the device library's double: opening and closing with every
// failure path, busy retries, loss and reconnection, ends crossing threads.

#include "fakeoxtdc.h"
#include "tdciface.h"

#include <QtTest>

#include <chrono>
#include <cmath>
#include <thread>

namespace {

FakeOxTdc &lib = FakeOxTdc::instance();

// The library calls made so far, error texts left out.
QStringList device_calls() {
    QStringList names;
    for (const FakeCall &c : lib.calls())
        if (c.name != "ox_get_err_msg")
            names << QString::fromStdString(c.name);
    return names;
}

using Args = std::vector<long long>;
Args args(const char *name) {
    return lib.calls_of(name).at(0).args;
}

const QStringList release{"ox_pipe_close2", "ox_tdc_deinit2"};

} // namespace

class TstTdcIface : public QObject {
    Q_OBJECT

    void open(TdcIface &tdc, int dev) {
        lib.queue_result("ox_tdc_init_inifile", dev);
        QCOMPARE(tdc.init("tdc_qv5.ini"), dev);
        lib.clear_calls();
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { lib.reset(); }

    // Before any device: a bin size that keeps displays finite and refusals
    // that reach no library call. init opens the device and the pipe and reads
    // the bin size before it announces; a second init is refused; deinit
    // announces before it closes pipe and device and reports a failed release
    // with that failure's text; the destructor releases an open device too.
    void openAndClose() {
        TdcIface tdc;
        QCOMPARE(tdc.get_binsize(), 1.0);
        QCOMPARE(tdc.deinit(), -10);
        QCOMPARE(tdc.get_error_message(), QString("No device initialized, cannot deinitialize."));
        QCOMPARE(tdc.interrupt(), -10);
        QCOMPARE(tdc.start_measure(100), -10);
        QCOMPARE(tdc.get_error_message(), QString("No device initialized."));
        QVERIFY(lib.calls().empty());

        lib.queue_result("ox_tdc_init_inifile", 4);
        lib.queue_result("ox_pipe_open2", 9);
        QStringList at_connected;
        connect(&tdc, &TdcIface::connected, this,
                [&] { at_connected = device_calls() << QString::number(tdc.get_binsize()); });
        const QString path = QString::fromUtf8("m\xC3\xA9sures/tdc_qv5.ini");
        QCOMPARE(tdc.init(path), 4);
        QCOMPARE(at_connected, (QStringList{"ox_tdc_init_inifile", "ox_pipe_open2",
                                            "ox_tdc_get_binsize2", "0.5"}));
        const QByteArray utf8 = path.toUtf8();
        QCOMPARE(lib.calls_of("ox_tdc_init_inifile")[0].bytes,
                 std::vector<unsigned char>(utf8.begin(), utf8.end()));
        QCOMPARE(args("ox_pipe_open2"), (Args{4, OX_PIPE_TYPE_USER_CALLBACKS}));
        QCOMPARE(tdc.bins_to_time(3, 2), 6.0);

        lib.clear_calls();
        QCOMPARE(tdc.init("other.ini"), -3);
        QCOMPARE(tdc.get_error_message(), QString("TdcIface instance can only open one device"));
        QVERIFY(lib.calls().empty() && tdc.is_initialized());

        int calls_at_disconnecting = -1;
        connect(&tdc, &TdcIface::disconnecting, this,
                [&] { calls_at_disconnecting = int(lib.calls().size()); });
        lib.queue_result("ox_tdc_deinit2", -5);
        lib.set_error_text(-5, "device refused to let go");
        QCOMPARE(tdc.deinit(), -5);
        QCOMPARE(calls_at_disconnecting, 0);
        QCOMPARE(device_calls(), release);
        QCOMPARE(args("ox_pipe_close2"), (Args{4, 9}));
        QVERIFY(!tdc.is_initialized());
        QCOMPARE(tdc.get_error_message(), QString("device refused to let go"));

        auto *owner = new TdcIface;
        open(*owner, 5);
        QSignalSpy disconnecting(owner, &TdcIface::disconnecting);
        delete owner;
        QCOMPARE(disconnecting.count(), 1);
        QCOMPARE(device_calls(), release);
    }

    void failedInitReleasesAndCanBeRetried_data() {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<int>("code");
        QTest::addColumn<double>("binsize");
        QTest::addColumn<QStringList>("calls");
        const QStringList all =
            QStringList{"ox_tdc_init_inifile", "ox_pipe_open2", "ox_tdc_get_binsize2"} + release;
        QTest::newRow("device") << "ox_tdc_init_inifile" << -7 << 0.5 << QStringList{all[0]};
        QTest::newRow("pipe") << "ox_pipe_open2" << -21 << 0.5
                              << QStringList{all[0], all[1], all[4]};
        QTest::newRow("bin size read") << "ox_tdc_get_binsize2" << -8 << 0.5 << all;
        QTest::newRow("bin size NaN") << QString() << 0 << std::nan("") << all;
    }

    // A failing step releases what was opened, keeps the library's text (or
    // says what was wrong with the bin size), announces nothing and leaves the
    // starting bin size; a later init opens device and pipe afresh.
    void failedInitReleasesAndCanBeRetried() {
        QFETCH(QString, failing);
        QFETCH(int, code);
        QFETCH(double, binsize);
        QFETCH(QStringList, calls);
        TdcIface tdc;
        QSignalSpy connected(&tdc, &TdcIface::connected);
        if (failing != "ox_tdc_init_inifile")
            lib.queue_result("ox_tdc_init_inifile", 6);
        lib.queue_result(failing.toStdString(), code);
        lib.set_error_text(code, "Library says no");
        lib.set_binsize(binsize);
        QCOMPARE(tdc.init("tdc_qv5.ini"), code ? code : int(TdcIface::ErrInvalidBinsize));
        QCOMPARE(tdc.get_error_message(),
                 code ? QString("Library says no")
                      : QString("The device reported an invalid bin size (%1 ns)").arg(binsize));
        QCOMPARE(device_calls(), calls);
        QVERIFY(!tdc.is_initialized() && !lib.pipe_is_open() && connected.isEmpty());
        QCOMPARE(tdc.get_binsize(), 1.0);

        lib.set_binsize(0.5);
        open(tdc, 6);
        QVERIFY(connected.count() == 1 && lib.pipe_is_open() && tdc.get_binsize() == 0.5);
    }

    void startIsRetriedWhileBusy_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("times");
        QTest::newRow("free on the eighth attempt") << int(OX_ERR_BUSY) << 7;
        QTest::newRow("busy every time") << int(OX_ERR_BUSY) << 8;
        QTest::newRow("other failure") << -12 << 1;
    }

    // Eight attempts in all, with a pause of at least 5 ms after every busy
    // answer, the last one included; other failures are not retried.
    void startIsRetriedWhileBusy() {
        QFETCH(int, code);
        QFETCH(int, times);
        const int result = times < 8 && code == OX_ERR_BUSY ? 0 : code;
        TdcIface tdc;
        open(tdc, 2);
        lib.queue_result("ox_tdc_start_measure2", code, times);
        lib.set_error_text(code, "Start refused");
        QCOMPARE(tdc.start_measure(250), result);
        const auto returned = std::chrono::steady_clock::now();
        const std::vector<FakeCall> starts = lib.calls_of("ox_tdc_start_measure2");
        QCOMPARE(int(starts.size()), code == OX_ERR_BUSY ? 8 : 1);
        for (size_t i = 0; i < starts.size(); ++i) {
            QCOMPARE(starts[i].args, (Args{2, 250}));
            const auto next = i + 1 < starts.size() ? starts[i + 1].when : returned;
            if (code == OX_ERR_BUSY && int(i) < times)
                QVERIFY(next - starts[i].when >= std::chrono::milliseconds(5));
        }
        QCOMPARE(tdc.get_error_message(), QString(result ? "Start refused" : ""));
        QVERIFY(tdc.is_initialized());
    }

    // A lost device closes the interface with the library's text in place
    // when connection_lost() arrives; the next init opens a fresh pipe, and
    // events arrive again. The end of an exposure is emitted on the library's
    // thread and reaches a receiver here through the event loop; unusable
    // parameters are reported afterwards, not thrown.
    void lossReconnectAndExposures() {
        TdcIface tdc;
        open(tdc, 8);
        lib.queue_result("ox_tdc_start_measure2", OX_ERR_CONNECTION_LOST);
        lib.set_error_text(OX_ERR_CONNECTION_LOST, "Connection lost");
        QStringList texts_at_signal;
        connect(&tdc, &TdcIface::connection_lost, this,
                [&] { texts_at_signal << tdc.get_error_message(); });
        QCOMPARE(tdc.start_measure(100), OX_ERR_CONNECTION_LOST);
        QCOMPARE(texts_at_signal, QStringList{"Connection lost"});
        QVERIFY(!tdc.is_initialized());
        QCOMPARE(tdc.deinit(), -10);
        lib.queue_result("ox_tdc_init_inifile", 2);
        QCOMPARE(tdc.init("tdc_qv5.ini"), 2);
        QCOMPARE(device_calls(), (QStringList{"ox_tdc_start_measure2", "ox_tdc_init_inifile",
                                              "ox_pipe_open2", "ox_tdc_get_binsize2"}));

        lib.set_auto_exposure([] {
            lib.play_exposure({FakeOxTdc::make_event(0, 10), FakeOxTdc::make_event(0, 10)},
                              PipeStatistics{});
        });
        std::thread::id emitted_on;
        connect(
            &tdc, &TdcIface::complete_callback, this,
            [&] { emitted_on = std::this_thread::get_id(); }, Qt::DirectConnection);
        QList<int> received; // an automatic connection to this thread, as the panel makes
        connect(&tdc, &TdcIface::complete_callback, this, [&](int code) { received << code; });
        QCOMPARE(tdc.start_measure(100), 0);
        QVERIFY(emitted_on != std::thread::id() && emitted_on != std::this_thread::get_id());
        QCOMPARE((*tdc.get_channel_histo(0))[10], 2.0);

        tdc.set_histo_params(HistoParams{0.0, 1000.0, 0.0, 0, 16});
        QCOMPARE(tdc.start_measure(50), 0);
        QVERIFY(tdc.histos_unavailable());
        QCOMPARE(tdc.get_histo_stats()->nr_events, uint64_t(4));
        QVERIFY(received.isEmpty());
        QCoreApplication::processEvents();
        QCOMPARE(received, (QList<int>{1, 1}));
    }
};

QTEST_GUILESS_MAIN(TstTdcIface)
#include "tst_tdciface.moc"
