// TdcIface against the device library's double: opening and closing with every
// failure path, busy retries and a lost device.

#include "fakeoxtdc.h"
#include "tdciface.h"

#include <QtTest>

#include <cmath>

namespace {

FakeOxTdc &lib = FakeOxTdc::instance();
using Args = std::vector<long long>;
const QStringList opening{"ox_tdc_init_inifile", "ox_pipe_open2", "ox_tdc_get_binsize2"};
const QStringList release{"ox_pipe_close2", "ox_tdc_deinit2"};

// The library calls made so far, error texts left out.
QStringList device_calls() {
    QStringList names;
    for (const FakeCall &c : lib.calls())
        if (c.name != "ox_get_err_msg")
            names << QString::fromStdString(c.name);
    return names;
}

} // namespace

class TestTdcIface : public QObject {
    Q_OBJECT

    void open(TdcIface &tdc, int dev) {
        lib.queue_result("ox_tdc_init_inifile", dev);
        QCOMPARE(tdc.init("tdc_qv5.ini"), dev);
        lib.clear_calls();
    }

private slots:
    void init() { lib.reset(); }

    // Before any device: a bin size that keeps displays finite and refusals
    // that reach no library call. init opens device and pipe and reads the
    // bin size before it announces; a second init is refused; deinit
    // announces before it closes pipe and device and reports a failed release
    // with that failure's text; the destructor releases an open device too.
    void openAndClose() {
        TdcIface tdc;
        QCOMPARE(tdc.get_binsize(), 1.0);
        QCOMPARE(tdc.deinit(), -10);
        QCOMPARE(tdc.get_error_message(), QString("No device initialized, cannot deinitialize."));
        QCOMPARE(tdc.interrupt() + tdc.start_measure(100), -20);
        QCOMPARE(tdc.get_error_message(), QString("No device initialized."));
        QVERIFY(lib.calls().empty());

        lib.queue_result("ox_tdc_init_inifile", 4);
        lib.queue_result("ox_pipe_open2", 9);
        QStringList at_connected;
        connect(&tdc, &TdcIface::connected, this,
                [&] { at_connected = device_calls() << QString::number(tdc.get_binsize()); });
        const QString path = QString::fromUtf8("m\xC3\xA9sures/tdc_qv5.ini");
        QCOMPARE(tdc.init(path), 4);
        QCOMPARE(at_connected, opening + QStringList{"0.5"});
        const QByteArray utf8 = path.toUtf8();
        QCOMPARE(lib.calls_of("ox_tdc_init_inifile")[0].bytes,
                 std::vector<unsigned char>(utf8.begin(), utf8.end()));
        QCOMPARE(lib.calls_of("ox_pipe_open2")[0].args, (Args{4, OX_PIPE_TYPE_USER_CALLBACKS}));
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
        QCOMPARE(lib.calls_of("ox_pipe_close2")[0].args, (Args{4, 9}));
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
        QTest::addColumn<int>("failing"); // the step of `opening` that fails
        QTest::addColumn<int>("code");
        QTest::addColumn<double>("binsize");
        QTest::addColumn<QStringList>("calls");
        const QStringList all = opening + release;
        QTest::newRow("device") << 0 << -7 << 0.5 << QStringList(all.mid(0, 1));
        QTest::newRow("pipe") << 1 << -21 << 0.5 << QStringList(all.mid(0, 2) + all.mid(4));
        QTest::newRow("bin size read") << 2 << -8 << 0.5 << all;
        QTest::newRow("bin size NaN") << -1 << 0 << std::nan("") << all;
    }

    // A failing step releases what was opened, keeps the library's text (or
    // says what was wrong with the bin size), announces nothing and leaves the
    // starting bin size; a later init opens device and pipe afresh.
    void failedInitReleasesAndCanBeRetried() {
        QFETCH(int, failing);
        QFETCH(int, code);
        QFETCH(double, binsize);
        TdcIface tdc;
        QSignalSpy connected(&tdc, &TdcIface::connected);
        lib.queue_result(opening[0].toStdString(), failing ? 6 : code);
        if (failing > 0)
            lib.queue_result(opening[failing].toStdString(), code);
        lib.set_error_text(code, "Library says no");
        lib.set_binsize(binsize);
        QCOMPARE(tdc.init("tdc_qv5.ini"), code ? code : int(TdcIface::ErrInvalidBinsize));
        QCOMPARE(tdc.get_error_message(),
                 code ? QString("Library says no")
                      : QString("The device reported an invalid bin size (nan ns)"));
        QTEST(device_calls(), "calls");
        QVERIFY(!tdc.is_initialized() && !lib.pipe_is_open() && connected.isEmpty());
        QCOMPARE(tdc.get_binsize(), 1.0);
        lib.set_binsize(0.5);
        open(tdc, 6);
        QVERIFY(connected.count() == 1 && lib.pipe_is_open() && tdc.get_binsize() == 0.5);
    }

    // Busy answers are retried, eight attempts in all, each after a pause (of
    // at least 5 ms: a lower bound that no slow machine breaks); other
    // failures are not retried. (The simulator suite's busy starts show that
    // a start busy every time gives up after eight attempts.) A lost device
    // closes the interface with the library's text in place when
    // connection_lost() arrives, and is not released again.
    void startRetriesAndLoss() {
        TdcIface tdc;
        open(tdc, 2);
        lib.queue_result("ox_tdc_start_measure2", OX_ERR_BUSY, 7);
        QCOMPARE(tdc.start_measure(250), 0);
        const std::vector<FakeCall> starts = lib.calls_of("ox_tdc_start_measure2");
        QCOMPARE(starts.size(), size_t(8));
        for (size_t i = 1; i < starts.size(); ++i)
            QVERIFY(starts[i].when - starts[i - 1].when >= std::chrono::milliseconds(5));
        QCOMPARE(starts.back().args, (Args{2, 250}));
        lib.queue_result("ox_tdc_start_measure2", -12);
        lib.set_error_text(-12, "Start refused");
        QCOMPARE(tdc.start_measure(250), -12);
        QCOMPARE(lib.count("ox_tdc_start_measure2"), 9);
        QVERIFY(tdc.get_error_message() == "Start refused" && tdc.is_initialized());

        lib.queue_result("ox_tdc_start_measure2", OX_ERR_CONNECTION_LOST);
        lib.set_error_text(OX_ERR_CONNECTION_LOST, "Connection lost");
        QStringList texts_at_signal;
        connect(&tdc, &TdcIface::connection_lost, this,
                [&] { texts_at_signal << tdc.get_error_message(); });
        QCOMPARE(tdc.start_measure(100), OX_ERR_CONNECTION_LOST);
        QCOMPARE(texts_at_signal, QStringList{"Connection lost"});
        QCOMPARE(tdc.deinit(), -10);
        QCOMPARE(lib.count("ox_pipe_close2") + lib.count("ox_tdc_deinit2"), 0);
    }
};

QTEST_GUILESS_MAIN(TestTdcIface)
#include "tst_tdciface.moc"
