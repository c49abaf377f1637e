#include "fakeoxtdc.h"
#include "panelchannelcorrections.h"
#include "tdciface.h"

#include <QApplication>
#include <QLabel>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStandardPaths>
#include <QtTest>

#include <memory>

namespace {
const char *const org = "VelmoraTests";
const char *const app = "ChannelCorrections";
const char *const childEnv = "TST_CHCORR_GEOMETRY_CHILD";

// Rows are only ever added and removed at the end, so creation order is display order.
QList<QSpinBox *> rowsOf(PanelChannelCorrections &panel) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return panel.findChildren<QSpinBox *>();
}

// "label=value" per row; " off" for a disabled row, " !" for a styled one, then its tooltip.
QString rowsText(PanelChannelCorrections &panel) {
    QStringList text;
    for (QSpinBox *s : rowsOf(panel))
        text << s->parentWidget()->findChild<QLabel *>()->text() + "=" +
                    QString::number(s->value()) + (s->isEnabled() ? "" : " off") +
                    (s->styleSheet().isEmpty() ? "" : " !") + s->toolTip();
    return text.join(", ");
}

QString expectedText(const std::vector<int> &values, bool enabled = true) {
    QStringList text;
    for (size_t i = 0; i < values.size(); ++i)
        text << QString("ch%1=%2").arg(i).arg(values[i]) + (enabled ? "" : " off");
    return text.join(", ");
}

// The corrections of every set-corrections call, decoded from the sent bytes.
std::vector<std::vector<int>> writes() {
    std::vector<std::vector<int>> all;
    for (const FakeCall &call : FakeOxTdc::instance().calls_of("ox_tdc_set_corrections2")) {
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
} // namespace

class TstChannelCorrections : public QObject {
    Q_OBJECT
    std::unique_ptr<TdcIface> tdc;

    // The editors' re-read after connected() is queued: let the event loop run it.
    void reconnect(const std::vector<int> &corrections) {
        if (tdc->is_initialized())
            QVERIFY(tdc->deinit() >= 0);
        FakeOxTdc::instance().set_corrections(corrections);
        QCOMPARE(tdc->init("x.ini"), 0);
        QCoreApplication::processEvents();
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        FakeOxTdc::instance().reset();
        tdc = std::make_unique<TdcIface>();
    }

    void fillingWritesNothingAndEditsWriteAll_data() {
        QTest::addColumn<int>("readResult"); // 1: no device
        QTest::addColumn<std::vector<int>>("device");
        QTest::addColumn<int>("rows");
        QTest::newRow("no device: placeholder") << 1 << std::vector<int>{} << 1;
        QTest::newRow("16 zeros") << 0 << std::vector<int>(16, 0) << 16;
        QTest::newRow("16 shifts") << 0 << ramp(16, -40, 7) << 16;
        QTest::newRow("600 channels") << 0 << ramp(600, 0, 3) << 512;
        QTest::newRow("0 channels") << 0 << std::vector<int>{} << 0;
        QTest::newRow("read fails") << -7 << ramp(4, 1, 1) << 0;
    }
    void fillingWritesNothingAndEditsWriteAll() {
        QFETCH(int, readResult);
        QFETCH(std::vector<int>, device);
        QFETCH(int, rows);
        if (readResult <= 0)
            reconnect(device);
        FakeOxTdc::instance().queue_result("ox_tdc_get_corrections2", std::min(readResult, 0));
        PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
        QCoreApplication::processEvents(); // anything the editor queued runs first
        std::vector<int> shown = device;
        shown.resize(size_t(rows), 0);
        QCOMPARE(rowsText(panel), expectedText(shown));
        if (rows > 0)
            rowsOf(panel).back()->setValue(99);
        // Filling wrote nothing; the user's change writes the whole set once,
        // channels beyond the rows included.
        std::vector<std::vector<int>> expected;
        if (readResult == 0 && rows > 0) {
            expected.push_back(device);
            expected[0][size_t(rows - 1)] = 99;
        }
        QCOMPARE(writes(), expected);
    }

    // Rows follow the connection; every editor shows what the device holds
    // after any editor's write, so a change never undoes another editor's.
    void connectionChangesAndEditorsInStep() {
        PanelChannelCorrections first(tdc.get(), org, app, nullptr);
        PanelChannelCorrections second(tdc.get(), org, app, nullptr);
        FakeOxTdc::instance().set_corrections(ramp(3, 10, 10));
        QCOMPARE(tdc->init("x.ini"), 0);
        QCOMPARE(rowsText(first), QString("ch0=0")); // init still runs when connected() fires
        QCoreApplication::processEvents();
        QCOMPARE(rowsText(first), expectedText(ramp(3, 10, 10)));
        const QList<QSpinBox *> three = rowsOf(first);
        QVERIFY(tdc->deinit() >= 0);
        QCOMPARE(rowsText(first), expectedText(ramp(3, 10, 10), false));
        reconnect(ramp(20, 100, 2));
        QCOMPARE(rowsText(first), expectedText(ramp(20, 100, 2)));
        reconnect(ramp(5, -1, -1)); // fewer channels drop rows from the end only
        QCOMPARE(rowsOf(first).mid(0, 3), three);
        FakeOxTdc::instance().queue_result("ox_tdc_start_measure2", -90);
        QCOMPARE(tdc->start_measure(10), -90);
        QCOMPARE(rowsText(second), expectedText(ramp(5, -1, -1), false));

        reconnect({40000, -50000, 5, 32767});
        const QString tip(" !The device holds %1, which lies outside -32768 ... 32767; it is "
                          "shown clamped and kept unless you change this channel.");
        const QString marked = "ch0=32767" + tip.arg(40000) + ", ch1=-32768" + tip.arg(-50000);
        QCOMPARE(rowsText(second), marked + ", ch2=5, ch3=32767");
        QCOMPARE(FakeOxTdc::instance().count("ox_tdc_set_corrections2"), 0);
        rowsOf(first)[2]->setValue(6);
        rowsOf(second)[0]->setValue(100);
        QCOMPARE(writes(), (std::vector<std::vector<int>>{{40000, -50000, 6, 32767},
                                                          {100, -50000, 6, 32767}}));
        for (PanelChannelCorrections *editor : {&first, &second})
            QCOMPARE(rowsText(*editor),
                     "ch0=100, ch1=-32768" + tip.arg(-50000) + ", ch2=6, ch3=32767");
    }

    // A refused write puts the row back to the device's value, marked with the
    // library's text, and never leaks into a later write; a failed re-read
    // after a reconnection leaves the rows disabled with the reason shown.
    void refusedWriteAndFailedReread() {
        FakeOxTdc::instance().set_error_text(-38, "correction out of range");
        FakeOxTdc::instance().set_error_text(-7, "device busy");
        reconnect({1, 2, 3, 4});
        PanelChannelCorrections editor(tdc.get(), org, app, nullptr);
        QSignalSpy status(&editor, &PanelChannelCorrections::show_this);
        FakeOxTdc::instance().queue_result("ox_tdc_set_corrections2", -38);
        rowsOf(editor)[0]->setValue(500);
        const QString refused("ch0: the device refused 500 and keeps 1: correction out of range");
        QCOMPARE(rowsText(editor), "ch0=1 !" + refused + ", ch1=2, ch2=3, ch3=4");
        QCOMPARE(status.takeFirst(), QVariantList{refused});
        editor.resize(420, 240);
        editor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&editor));
        QVERIFY(editor.grab().save(QDir::temp().filePath("velmora_channelcorrections.png")));
        rowsOf(editor)[1]->setValue(9);
        QCOMPARE(rowsText(editor), expectedText({1, 9, 3, 4}));
        QCOMPARE(writes(), (std::vector<std::vector<int>>{{500, 2, 3, 4}, {1, 9, 3, 4}}));

        FakeOxTdc::instance().queue_result("ox_tdc_get_corrections2", -7);
        reconnect({5, 6, 7, 8});
        const QString reason("The channel shifts could not be read from the device: device busy");
        QCOMPARE(rowsText(editor),
                 QString("ch0=1 off%1, ch1=9 off%1, ch2=3 off%1, ch3=4 off%1").arg(reason));
        QCOMPARE(editor.findChild<QLabel *>("lb_read_failure")->text(), reason);
        QCOMPARE(status.count(), 0);
    }

    void geometryIsStoredOnCloseAndSurvivesRestart() {
        QSettings(org, app).clear();
        PanelChannelCorrections(tdc.get(), org, app, nullptr).show(); // destroyed, never closed
        QVERIFY(!QSettings(org, app).contains("panelchcorr/geometry"));
        {
            PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
            panel.setGeometry(140, 90, 333, 456);
            panel.show();
            QVERIFY(QTest::qWaitForWindowExposed(&panel));
            QVERIFY(panel.close());
        }
        QCOMPARE(PanelChannelCorrections(tdc.get(), org, app, nullptr).size(), QSize(333, 456));
        qputenv(childEnv, "1");
        const int restarted = QProcess::execute(QCoreApplication::applicationFilePath(), {});
        qunsetenv(childEnv);
        QCOMPARE(restarted, 0);
    }
};

int main(int argc, char **argv) {
    QApplication application(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    if (qEnvironmentVariableIsSet(childEnv)) { // the restarted program of the geometry test
        TdcIface tdc;
        return PanelChannelCorrections(&tdc, org, app, nullptr).size() == QSize(333, 456) ? 0 : 1;
    }
    TstChannelCorrections test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_channelcorrections.moc"
