// TdcIface on the device library's double: opening, closing, failures, retries, a loss.

#include "device/tdciface.h"
#include "tests/fakeoxtdc.h"

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
    void init() {
        lib.reset();
        for (int code : {-5, -7, -8, -12, -21, OX_ERR_CONNECTION_LOST})
            lib.set_error_text(code, "Library says no");
    }

    // init announces after opening and reading; deinit announces before releasing, as does the
    // destructor; before any device, refusals call nothing.
    void openAndClose() {
        TdcIface tdc;
        QCOMPARE(tdc.deinit(), -10);
        QCOMPARE(tdc.get_error_message(), QString("No device initialized, cannot deinitialize."));
        QCOMPARE(tdc.interrupt() + tdc.start_measure(100), -20);
        QCOMPARE(tdc.get_error_message(), QString("No device initialized."));
        QVERIFY(lib.calls().empty() && tdc.get_binsize() == 1.0);
        lib.queue_result("ox_tdc_init_inifile", 4);
        lib.queue_result("ox_pipe_open2", 9);
        QStringList at_connected;
        connect(&tdc, &TdcIface::connected, this,
                [&] { at_connected = device_calls() << QString::number(tdc.get_binsize()); });
        const QByteArray utf8("m\xC3\xA9sures/tdc_qv5.ini");
        QCOMPARE(tdc.init(QString::fromUtf8(utf8)), 4);
        // The corrections are read before the device is announced (count, values).
        const QStringList settings_reads{"ox_tdc_get_corrections2", "ox_tdc_get_corrections2",
                                         "0.5"};
        QCOMPARE(at_connected, opening + settings_reads);
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
        QCOMPARE(tdc.deinit(), -5);
        QVERIFY(calls_at_disconnecting == 0 && !tdc.is_initialized());
        QCOMPARE(device_calls() << tdc.get_error_message(),
                 release + QStringList{"Library says no"});
        QCOMPARE(lib.calls_of("ox_pipe_close2")[0].args, (Args{4, 9}));
        auto *owner = new TdcIface;
        open(*owner, 5);
        QSignalSpy disconnecting(owner, &TdcIface::disconnecting);
        delete owner;
        QVERIFY(disconnecting.count() == 1 && device_calls() == release);
    }

    // A failing step of `opening` (-1: a NaN bin size) releases what was opened; a retry works.
    void failedInitReleasesAndCanBeRetried() {
        const QStringList all = opening + release;
        for (const auto &[failing, code, binsize, calls] :
             std::vector<std::tuple<int, int, double, QStringList>>{
                 {0, -7, 0.5, all.mid(0, 1)},
                 {1, -21, 0.5, all.mid(0, 2) + all.mid(4)},
                 {2, -8, 0.5, all},
                 {-1, 0, std::nan(""), all}}) {
            init();
            TdcIface tdc;
            QSignalSpy connected(&tdc, &TdcIface::connected);
            lib.queue_result(opening[0].toStdString(), failing ? 6 : code);
            if (failing > 0)
                lib.queue_result(opening[failing].toStdString(), code);
            lib.set_binsize(binsize);
            QCOMPARE(tdc.init("tdc_qv5.ini"), code ? code : int(TdcIface::ErrInvalidBinsize));
            // A file that is not there is named with the folder it was looked for in.
            const QString where = failing == 0 ? " (looked in " + QDir::currentPath() + ")" : "";
            QCOMPARE(tdc.get_error_message(),
                     code ? "Library says no" + where
                          : QString("The device reported an invalid bin size (nan ns)"));
            QCOMPARE(device_calls(), calls);
            QVERIFY(!tdc.is_initialized() && !lib.pipe_open && connected.isEmpty() &&
                    tdc.get_binsize() == 1.0);
            lib.set_binsize(0.5);
            open(tdc, 6);
            QVERIFY(connected.count() == 1 && lib.pipe_open && tdc.get_binsize() == 0.5);
        }
    }

    // Busy answers to a start are retried, eight attempts in all.
    void busyStartsRetried() {
        TdcIface tdc;
        open(tdc, 2);
        lib.queue_result("ox_tdc_start_measure2", OX_ERR_BUSY, 7);
        QCOMPARE(tdc.start_measure(250), 0);
        QCOMPARE(lib.count("ox_tdc_start_measure2"), 8);
        QCOMPARE(lib.calls_of("ox_tdc_start_measure2").back().args, (Args{2, 250}));
    }

    // Other failures are not retried. A lost connection from any call closes the interface once,
    // its text in place when that is told, forgetting the device's settings, never released again.
    void connectionLostFromAnyCall() {
        uint8_t bytes[2] = {0x02, 0};
        std::vector<int32_t> values, two{1, 2};
        const std::vector<std::pair<const char *, std::function<int32_t(TdcIface &)>>> calls = {
            {"ox_tdc_start_measure2", [](TdcIface &t) { return t.start_measure(100); }},
            {"ox_tdc_interrupt2", [](TdcIface &t) { return t.interrupt(); }},
            {"ox_tdc_get_corrections2", [&](TdcIface &t) { return t.get_corrections(values); }},
            {"ox_tdc_set_corrections2", [&](TdcIface &t) { return t.set_corrections(two); }},
            {"ox_twi_read2", [&](TdcIface &t) { return t.twi_read(0x20, bytes, 2, 1); }},
            {"ox_twi_write2", [&](TdcIface &t) { return t.twi_write(0x20, bytes, 1, 0); }},
        };
        for (const auto &[name, call] : calls) {
            for (const int code : {-12, int(OX_ERR_CONNECTION_LOST)}) {
                init();
                TdcIface tdc;
                open(tdc, 3);
                QVERIFY(tdc.device_snapshot().corrections_known);
                QStringList texts_at_signal;
                connect(&tdc, &TdcIface::connection_lost, this,
                        [&] { texts_at_signal << tdc.get_error_message(); });
                lib.queue_result(name, code);
                QCOMPARE(call(tdc), code);
                const bool is_lost = code == OX_ERR_CONNECTION_LOST;
                QVERIFY2(lib.count(name) == 1 && tdc.is_initialized() != is_lost, name);
                QCOMPARE(texts_at_signal, is_lost ? QStringList{"Library says no"} : QStringList());
                QCOMPARE(tdc.device_snapshot().corrections_known, !is_lost);
                QVERIFY(!is_lost || (tdc.deinit() == -10 && lib.count("ox_tdc_deinit2") == 0));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestTdcIface)
#include "tst_tdciface.moc"
