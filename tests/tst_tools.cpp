// The tool windows on the device library's double: statistics, channel shifts, potentiometer.

#include "device/tdciface.h"
#include "tests/fakeoxtdc.h"
#include "tests/histogramrig.h"
#include "tools/channelsummarywindow.h"
#include "tools/panelchannelcorrections.h"
#include "tools/panelepot.h"
#include "tools/statswindow.h"
#include "tools/windowepot.h"

#include <QtTest>
#include <QtWidgets>
#include <cmath>
#include <limits>

namespace {

FakeOxTdc &lib = FakeOxTdc::instance();
const char *const org = "VelmoraTests";
const char *const app = "Tools";
const char *const geometry = "panelchcorr/geometry";
const QString unread("The channel shifts could not be read from the device: device busy");
using Sets = std::vector<std::vector<int>>;

QString texts_of(QWidget &w) {
    QStringList t;
    for (QLabel *label : w.findChildren<QLabel *>())
        t << label->text();
    return t.join('|');
}

// Rows are only ever added and removed at the end, so creation order is display order.
QList<QSpinBox *> rows_of(PanelChannelCorrections &panel) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return panel.findChildren<QSpinBox *>();
}

// "label=value" per row; " off" for a disabled row, " !" for a styled one, then its tooltip,
// then the note beside the row in brackets.
QString rows_text(PanelChannelCorrections &panel) {
    QStringList text;
    for (QSpinBox *s : rows_of(panel)) {
        const QString note = s->parentWidget()->findChild<QLabel *>("lb_note")->text();
        text << s->parentWidget()->findChild<QLabel *>()->text() + "=" +
                    QString::number(s->value()) + (s->isEnabled() ? "" : " off") +
                    (s->styleSheet().isEmpty() ? "" : " !") + s->toolTip() +
                    (note.isEmpty() ? "" : " [" + note + "]");
    }
    return text.join(", ");
}

QString expected_text(const std::vector<int> &values, const QString &suffix = "") {
    QStringList text;
    for (size_t i = 0; i < values.size(); ++i)
        text << QString("ch%1=%2").arg(i).arg(values[i]) + suffix;
    return text.join(", ");
}

// The corrections of every set-corrections call, decoded from the sent bytes.
Sets writes() {
    Sets all;
    for (const FakeCall &call : lib.calls_of("ox_tdc_set_corrections2")) {
        const int *values = reinterpret_cast<const int *>(call.bytes.data());
        all.emplace_back(values, values + call.bytes.size() / sizeof(int));
    }
    return all;
}

std::vector<int> ramp(int count, int first, int step) {
    std::vector<int> values;
    for (int i = 0; i < count; ++i)
        values.push_back(first + i * step);
    return values;
}

// Every bus transfer at the DS3902's address as "w|r length flag: bytes sent".
QStringList transfers() {
    QStringList out;
    for (const FakeCall &c : lib.calls())
        if (c.name.rfind("ox_twi_", 0) == 0 && c.args[1] == 0x20)
            out << QString::asprintf("%c %lld %lld:", c.name[7], c.args[2], c.args[3]) +
                       QByteArray(reinterpret_cast<const char *>(c.bytes.data()),
                                  int(c.bytes.size()))
                           .toHex(' ');
    return out;
}
} // namespace

class TestTools : public QObject {
    Q_OBJECT
    std::unique_ptr<TdcIface> tdc;

    // Opens the device afresh with these corrections and runs the editors' queued re-read.
    void reconnect(const std::vector<int> &corrections) {
        QVERIFY(!tdc->is_initialized() || tdc->deinit() >= 0);
        lib.set_corrections(corrections);
        QCOMPARE(tdc->init("x.ini"), 0);
        QCoreApplication::processEvents();
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    // The histograms are summarized only while shown, readable and still the record's.
    void channelSummary() {
        HistogramRig rig;
        rig.set_window(100.0, 8); // 0.5 ns bins from 100 ns
        rig.expose({{}, {}, {0, 2, 4, 6, 4, 2, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 9}});
        ChannelSummaryWindow window(rig.tdc.get(), nullptr);
        bool readable = false;
        window.set_histograms_readable([&readable] { return readable; });
        ExposureResult result = rig.result();
        result.lost[2] = 3;
        window.exposure_recorded(result);
        auto row = [&window](int channel) {
            return window.table_text().split('\n').value(channel + 1);
        };
        window.show(); // not readable now: nothing from the histograms
        QCOMPARE(row(2), QStringLiteral("2\t18\t\t\t\t\t3"));
        window.hide();
        readable = true;
        window.show();
        QCOMPARE(row(2), QStringLiteral("2\t18\t18\t101.75\t1.5\t101.75\t3"));
        QCOMPARE(row(3), QStringLiteral("3\t9\t9\t103.75\t\t103.75\t0")); // peak at the edge
        QCOMPARE(row(0), QStringLiteral("0\t0\t0\t\t\t\t0"));
        // Histograms rebuilt since the record are not read.
        rig.set_window(0.0, 4);
        rig.expose({});
        window.exposure_recorded(result);
        QCOMPARE(row(2), QStringLiteral("2\t18\t\t\t\t\t3"));
    }
    void init() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        lib.reset();
        lib.set_error_text(-5, "bus stuck");
        lib.set_error_text(-7, "device busy");
        QSettings(org, app).clear();
        tdc = std::make_unique<TdcIface>();
    }

    // "INF", "NAN" and C-locale numbers; each update touches only its own fields; an exposure
    // without events (minimum above the maximum) shows a dash in all three.
    void statsWindow() {
        const QList<QPair<double, QString>> table = {
            {2.0004999, "       2.000"},   {9.9996, "      10.000"},
            {-98765.4321, "  -98765.432"}, {123456789.0, "123456789.000"},
            {HUGE_VAL, "         INF"},    {std::nan(""), "         NAN"}};
        for (const auto &row : table)
            QCOMPARE(StatsWindow::formatValue(row.first), row.second);
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        StatsWindow w(nullptr);
        w.updateMinMax(2.5, 17.125);
        QCOMPARE(texts_of(w), QString("       2.500|min time [ns]|      17.125|max time [ns]|"
                                      "no data yet|average [ns]"));
        w.updateMinMax(double(std::numeric_limits<uint64_t>::max()) * 0.5, 0.0);
        w.updateAverage(0.0);
        QCOMPARE(texts_of(w), QString::fromUtf8("\u2014|min time [ns]|\u2014|max time [ns]|"
                                                "\u2014|average [ns]"));
        w.updateMinMax(0.0, 0.0); // one event at time 0
        w.updateAverage(0.0);
        QCOMPARE(texts_of(w).section('|', 4, 4), QString("       0.000"));
        QLocale::setDefault(QLocale::c());
    }

    // Filling writes nothing; a change writes the whole set once. A read result of 1: no device.
    void shiftsFillAndWrite() {
        using Case = std::tuple<int, std::vector<int>, int>;
        for (const auto &[read_result, device, rows] :
             {Case{1, {}, 1}, Case{0, ramp(600, 0, 3), 512}, Case{0, {}, 0},
              Case{-7, ramp(4, 1, 1), 0}}) {
            QVERIFY(!QSettings(org, app).contains(geometry)); // none from unclosed editors
            init();
            if (read_result <= 0)
                reconnect(device);
            lib.queue_result("ox_tdc_get_corrections2", std::min(read_result, 0));
            PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
            QCoreApplication::processEvents(); // anything the editor queued runs first
            std::vector<int> shown = device;
            shown.resize(size_t(rows), 0);
            QCOMPARE(rows_text(panel), expected_text(shown, read_result == 1 ? " off" : ""));
            QCOMPARE(panel.findChild<QLabel *>("lb_read_failure")->text(),
                     read_result < 0 ? unread : QString());
            Sets expected{device};
            if (rows > 0)
                rows_of(panel).back()->setValue(99);
            if (rows > 0 && read_result == 0)
                expected[0][size_t(rows - 1)] = 99;
            QCOMPARE(writes(), rows > 0 && read_result == 0 ? expected : Sets{});
        }
    }

    // Every editor shows the device's set after any editor's write, so none undoes another's;
    // opened before or after the device, 16 rows show unscrolled at the default size on a laptop.
    void shiftEditorsInStep() {
        PanelChannelCorrections first(tdc.get(), org, app, nullptr);
        reconnect(ramp(16, -8000, 1001));
        PanelChannelCorrections second(tdc.get(), org, app, nullptr);
        for (PanelChannelCorrections *editor : {&first, &second}) {
            QCOMPARE(rows_text(*editor), expected_text(ramp(16, -8000, 1001)));
            editor->show();
            QVERIFY(QTest::qWaitForWindowExposed(editor));
            auto *area = editor->findChild<QScrollArea *>();
            QVERIFY2(area->verticalScrollBar()->maximum() == 0 &&
                         area->horizontalScrollBar()->maximum() == 0 && editor->height() <= 728,
                     qPrintable(QString("%1x%2").arg(editor->width()).arg(editor->height())));
        }
        const QList<QSpinBox *> three = rows_of(first).mid(0, 3);
        reconnect(ramp(5, -1, -1)); // fewer channels drop rows from the end only
        QCOMPARE(rows_of(first).mid(0, 3), three);
        QVERIFY(tdc->deinit() >= 0);
        QCOMPARE(rows_text(first), expected_text(ramp(5, -1, -1), " off"));
        reconnect(ramp(5, -1, -1));
        lib.queue_result("ox_tdc_start_measure2", -90); // the device is lost
        QCOMPARE(tdc->start_measure(10), -90);
        QCOMPARE(rows_text(second), expected_text(ramp(5, -1, -1), " off"));
        reconnect({40000, -50000, 5, 32767});
        const QString tip(" !The device holds %1, which lies outside -32768 ... 32767; it is "
                          "shown clamped and kept unless you change this channel.");
        const QString marked = "ch0=32767" + tip.arg(40000) + " [device holds 40000], ch1=-32768" +
                               tip.arg(-50000) + " [device holds -50000]";
        QCOMPARE(rows_text(second), marked + ", ch2=5, ch3=32767");
        rows_of(first)[2]->setValue(6);
        rows_of(second)[0]->setValue(100);
        QCOMPARE(writes(), (Sets{{40000, -50000, 6, 32767}, {100, -50000, 6, 32767}}));
        for (PanelChannelCorrections *editor : {&first, &second})
            QCOMPARE(rows_text(*editor), "ch0=100, ch1=-32768" + tip.arg(-50000) +
                                             " [device holds -50000], ch2=6, ch3=32767");
    }

    // A refused or unread write leaves the row at the device's value, saying why; a failed
    // re-read after a reconnection disables the rows.
    void shiftRefusedUnreadAndGeometry() {
        lib.set_error_text(-38, "correction out of range");
        reconnect({1, 2, 3, 4});
        PanelChannelCorrections editor(tdc.get(), org, app, nullptr);
        QSignalSpy status(&editor, &PanelChannelCorrections::show_this);
        lib.queue_result("ox_tdc_set_corrections2", -38);
        rows_of(editor)[0]->setValue(500);
        const QString refused("ch0: the device refused 500 and keeps 1: correction out of range");
        QCOMPARE(rows_text(editor), "ch0=1 !" + refused + ", ch1=2, ch2=3, ch3=4");
        QCOMPARE(status.takeFirst(), QVariantList{refused});
        lib.queue_result("ox_tdc_get_corrections2", -7); // no write unread
        rows_of(editor)[2]->setValue(8);
        QCOMPARE(status.takeFirst(), QVariantList{"ch2: 8 was not written, " + unread.toLower()});
        rows_of(editor)[1]->setValue(9);
        QCOMPARE(rows_text(editor), expected_text({1, 9, 3, 4}));
        QCOMPARE(writes(), (Sets{{500, 2, 3, 4}, {1, 9, 3, 4}}));
        // The interface's own read at connect fails first, then the editor's.
        lib.queue_result("ox_tdc_get_corrections2", -7, 2);
        reconnect({5, 6, 7, 8});
        QCOMPARE(rows_text(editor), expected_text({1, 9, 3, 4}, " off" + unread));
        QCOMPARE(status.count(), 0);
        // Only a closed editor stores its geometry; the next one opens with it.
        editor.setGeometry(140, 90, 333, 456);
        editor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&editor) && !QSettings(org, app).contains(geometry));
        QVERIFY(editor.close());
        QCOMPARE(PanelChannelCorrections(tdc.get(), org, app, nullptr).size(), QSize(333, 456));
    }

    // "set" sends register and value (a non-negative result is a success), never a value cut to
    // a byte; "read" reads both settings, a failed transfer stopping none of the others.
    void potentiometer() {
        PanelEpot panel(tdc.get(), nullptr);
        const QList<QSpinBox *> box = panel.findChildren<QSpinBox *>(); // threshold, zero
        const QList<QToolButton *> set = panel.findChildren<QToolButton *>();
        auto *read = panel.findChild<QPushButton *>("bu_read");
        auto *result = panel.findChild<QLabel *>("lb_result");
        // Usable only while a device is connected, a lost one not.
        auto usable = [&] { return box[0]->isEnabled() + box[1]->isEnabled() + read->isEnabled(); };
        QCOMPARE(usable(), 0);
        reconnect({});
        lib.queue_result("ox_tdc_start_measure2", -90); // the device is lost
        QCOMPARE(tdc->start_measure(10), -90);
        QCOMPARE(usable(), 0);
        reconnect({});
        QCOMPARE(usable(), 3);
        lib.clear_calls(); // the interface's read of the device's settings at connect
        for (auto [row, value, answer, said] :
             {std::tuple{0, 200, -5, "failure\nbus stuck"}, {1, 7, 2, "ok"}, {1, 255, 0, "ok"}}) {
            lib.queue_result("ox_twi_write2", answer);
            box[row]->setValue(value);
            QTest::mouseClick(set[row], Qt::LeftButton);
            QCOMPARE(result->text(), QString(said));
        }
        panel.slot_epot1r1(256);
        panel.slot_epot1r2(-1);
        QCOMPARE(transfers(), QStringList({"w 2 1:02 c8", "w 2 1:03 07", "w 2 1:03 ff"}));
        // "read" replaces what the boxes hold, a setting it failed to read by no value (-1).
        lib.queue_result("ox_twi_read2", -5);
        lib.queue_twi_read_bytes({0x80, 0x11});
        QTest::mouseClick(read, Qt::LeftButton);
        QVERIFY(!set[0]->isEnabled());
        QCOMPARE(QList<int>({box[0]->value(), box[1]->value()}), QList<int>({-1, 0x11}));
        // A setting without a value can be set once the user enters one; the entry is sent.
        lib.clear_calls();
        QTest::mouseClick(set[0], Qt::LeftButton);
        box[0]->selectAll();
        QTest::keyClicks(box[0], "77");
        QVERIFY(set[0]->isEnabled() && set[1]->isEnabled());
        QTest::mouseClick(set[0], Qt::LeftButton);
        QCOMPARE(transfers(), QStringList{"w 2 1:02 4d"});
        // A write from elsewhere (the remote interface) shows at once, register by register.
        uint8_t both[3] = {0x02, 0x30, 0x31};
        QVERIFY(tdc->twi_write(0x20, both, 3, 1) >= 0);
        QCOMPARE(QList<int>({box[0]->value(), box[1]->value()}), QList<int>({0x30, 0x31}));
    }

    // The window reads the device when it opens and when a device connects; "set" only for a
    // value read. Steps: c connect, d disconnect, s show, h close; "r1" fails the first bus read,
    // "w2" the second pointer write. Read k answers 96 + k, 17, 15, 128 - k: the threshold from
    // the first read, the zero setting from the second.
    void potentiometerShowsTheDevice() {
        using Case = std::tuple<bool, QString, QString, QString, QList<int>, QString, QString>;
        const QString failure("failure\nbus stuck");
        for (const auto &[open_before, steps, failing, bus, shown, set_enabled, result] :
             {Case{false, "s", "", "", {-1, -1}, "00", ""},
              Case{false, "cs", "", "wrwrwrwr", {97, 127}, "11", "ok"},
              Case{true, "shs", "", "wrwrwrwr", {97, 127}, "11", "ok"},
              Case{false, "cdc", "", "wrwrwrwr", {97, 127}, "11", "ok"},
              Case{false, "cd", "", "wrwr", {96, 128}, "00", ""},
              Case{false, "c", "r1", "wrwr", {-1, 17}, "01", failure},
              Case{false, "c", "w1", "wwr", {-1, 17}, "01", failure},
              Case{true, "s", "w2", "wrw", {96, -1}, "10", failure},
              Case{true, "s", "r2", "wrwr", {96, -1}, "10", failure}}) {
            init();
            if (open_before)
                reconnect({});
            for (int k = 0; k < 4; ++k)
                lib.queue_twi_read_bytes({uint8_t(96 + k), 17, 15, uint8_t(128 - k)});
            for (int call = 1; call <= 2 && !failing.isEmpty(); ++call)
                lib.queue_result(failing[0] == 'w' ? "ox_twi_write2" : "ox_twi_read2",
                                 failing.contains(QString::number(call)) ? -5 : 0);
            WindowEpot window(tdc.get(), nullptr);
            for (QChar step : steps) {
                if (step == 'c')
                    reconnect({});
                else if (step == 'd')
                    QVERIFY(tdc->deinit() >= 0);
                else if (step == 's')
                    window.show();
                else
                    QVERIFY(window.close());
            }
            const QList<QSpinBox *> box = window.findChildren<QSpinBox *>();
            const QList<QToolButton *> set = window.findChildren<QToolButton *>();
            QStringList expected; // nothing read is written back
            for (QChar step : bus)
                expected << (step == 'w' ? "w 1 0:02" : "r 2 1:");
            QCOMPARE(transfers(), expected);
            QCOMPARE(QList<int>({box[0]->value(), box[1]->value()}), shown);
            QCOMPARE(QString::number(set[0]->isEnabled()) + QString::number(set[1]->isEnabled()),
                     set_enabled);
            QCOMPARE(window.findChild<QLabel *>("lb_result")->text(), result);
        }
    }

    // The time beside a row is the device's value's; a value typed beyond the range is written
    // clamped, once, and says so. Channel 1 of {7, device, 9}.
    void shiftUnitAndClamp() {
        using Case = std::tuple<double, int, QString, int, QString, QString>;
        for (const auto &[binsize, device, typed, shown, note, time] :
             {Case{0.5, -3, "", -3, "", "-1.5 ns"},
              Case{0.125, 40000, "", 32767, "device holds 40000", "5000 ns"},
              Case{0.125, 0, "800", 800, "", "100 ns"},
              Case{0.5, 0, "32767", 32767, "", "16383.5 ns"},
              Case{0.125, 0, "40000", 32767, "clamped from 40000", "4095.875 ns"},
              Case{0.125, 5, "-40000", -32768, "clamped from -40000", "-4096 ns"}}) {
            init();
            lib.set_binsize(binsize);
            reconnect({7, device, 9});
            PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
            QSpinBox *box = rows_of(panel)[1];
            if (!typed.isEmpty()) {
                box->selectAll();
                QTest::keyClicks(box, typed);
                QTest::keyClick(box, Qt::Key_Return);
            }
            QCOMPARE(writes(), (typed.isEmpty() ? Sets{} : Sets{{7, shown, 9}}));
            QCOMPARE(box->value(), shown);
            QCOMPARE(box->parentWidget()->findChild<QLabel *>("lb_note")->text(), note);
            QCOMPARE(box->parentWidget()->findChild<QLabel *>("lb_time")->text(), time);
            QVERIFY(panel.findChild<QLabel *>("lb_unit")->text().contains(
                QString("1 bin = %1 ns").arg(binsize)));
        }
    }
};

QTEST_MAIN(TestTools)
#include "tst_tools.moc"
