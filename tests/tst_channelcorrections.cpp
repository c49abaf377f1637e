#include "fakeoxtdc.h"
#include "panelchannelcorrections.h"
#include "tdciface.h"

#include <QLabel>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QtTest>

#include <memory>

namespace {
const char *const org = "VelmoraTests";
const char *const app = "ChannelCorrections";
using Sets = std::vector<std::vector<int>>;

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

QString expectedText(const std::vector<int> &values, const QString &suffix = "") {
    QStringList text;
    for (size_t i = 0; i < values.size(); ++i)
        text << QString("ch%1=%2").arg(i).arg(values[i]) + suffix;
    return text.join(", ");
}

// The corrections of every set-corrections call, decoded from the sent bytes.
Sets writes() {
    Sets all;
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
        FakeOxTdc::instance().set_error_text(-7, "device busy");
        tdc = std::make_unique<TdcIface>();
    }

    void fillingWritesNothingAndEditsWriteAll_data() {
        QTest::addColumn<int>("readResult"); // 1: no device
        QTest::addColumn<std::vector<int>>("device");
        QTest::addColumn<int>("rows");
        QTest::newRow("no device: placeholder") << 1 << std::vector<int>{} << 1;
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
        QCOMPARE(panel.findChild<QLabel *>("lb_read_failure")->text(),
                 QString(readResult < 0 ? "The channel shifts could not be read from the "
                                          "device: device busy"
                                        : ""));
        if (rows > 0)
            rowsOf(panel).back()->setValue(99);
        // Filling wrote nothing; the user's change writes the whole set once,
        // channels beyond the rows included.
        Sets expected;
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
        reconnect(ramp(20, 100, 2));
        QCOMPARE(rowsText(first), expectedText(ramp(20, 100, 2)));
        const QList<QSpinBox *> three = rowsOf(first).mid(0, 3);
        reconnect(ramp(5, -1, -1)); // fewer channels drop rows from the end only
        QCOMPARE(rowsOf(first).mid(0, 3), three);
        QVERIFY(tdc->deinit() >= 0);
        QCOMPARE(rowsText(first), expectedText(ramp(5, -1, -1), " off"));
        reconnect(ramp(5, -1, -1));
        FakeOxTdc::instance().queue_result("ox_tdc_start_measure2", -90);
        QCOMPARE(tdc->start_measure(10), -90);
        QCOMPARE(rowsText(second), expectedText(ramp(5, -1, -1), " off"));

        reconnect({40000, -50000, 5, 32767});
        const QString tip(" !The device holds %1, which lies outside -32768 ... 32767; it is "
                          "shown clamped and kept unless you change this channel.");
        const QString marked = "ch0=32767" + tip.arg(40000) + ", ch1=-32768" + tip.arg(-50000);
        QCOMPARE(rowsText(second), marked + ", ch2=5, ch3=32767");
        rowsOf(first)[2]->setValue(6);
        rowsOf(second)[0]->setValue(100);
        QCOMPARE(writes(), (Sets{{40000, -50000, 6, 32767}, {100, -50000, 6, 32767}}));
        for (PanelChannelCorrections *editor : {&first, &second})
            QCOMPARE(rowsText(*editor),
                     "ch0=100, ch1=-32768" + tip.arg(-50000) + ", ch2=6, ch3=32767");
    }

    // A refused write puts the row back to the device's value, marked with the
    // library's text, and never leaks into a later write; a failed re-read
    // after a reconnection leaves the rows disabled with the reason shown.
    void refusedWriteAndFailedReread() {
        FakeOxTdc::instance().set_error_text(-38, "correction out of range");
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
        FakeOxTdc::instance().queue_result("ox_tdc_get_corrections2", -7); // no write unread
        rowsOf(editor)[2]->setValue(8);
        QCOMPARE(status.takeFirst(),
                 QVariantList{"ch2: 8 was not written, the channel shifts "
                              "could not be read from the device: device busy"});
        rowsOf(editor)[1]->setValue(9);
        QCOMPARE(rowsText(editor), expectedText({1, 9, 3, 4}));
        QCOMPARE(writes(), (Sets{{500, 2, 3, 4}, {1, 9, 3, 4}}));

        FakeOxTdc::instance().queue_result("ox_tdc_get_corrections2", -7);
        reconnect({5, 6, 7, 8});
        const QString reason(
            " offThe channel shifts could not be read from the device: device busy");
        QCOMPARE(rowsText(editor), expectedText({1, 9, 3, 4}, reason));
        QCOMPARE(status.count(), 0);
    }

    // Only a closed editor stores its geometry; the next one opens with it.
    void geometryIsStoredOnClose() {
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
    }
};

QTEST_MAIN(TstChannelCorrections)
#include "tst_channelcorrections.moc"
