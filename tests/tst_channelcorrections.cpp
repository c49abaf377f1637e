#include "fakeoxtdc.h"
#include "panelchannelcorrections.h"
#include "tdciface.h"

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QProcess>
#include <QScrollArea>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QtTest>

#include <cstring>
#include <memory>
#include <numeric>

namespace {

const char *const org = "VelmoraTests";
const char *const app = "ChannelCorrections";
const char *const childEnv = "TST_CHCORR_GEOMETRY_CHILD";

struct Row {
    QString label;
    QSpinBox *spinBox;
};

// The rows as the user sees them: the widgets of the scroll area's layout, top to bottom.
QVector<Row> rowsOf(PanelChannelCorrections &panel) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVector<Row> rows;
    auto *area = panel.findChild<QScrollArea *>();
    QLayout *layout = area->widget()->layout();
    for (int i = 0; i < layout->count(); ++i) {
        QWidget *rowWidget = layout->itemAt(i)->widget();
        if (rowWidget == nullptr)
            continue;
        rows.append(
            Row{rowWidget->findChild<QLabel *>()->text(), rowWidget->findChild<QSpinBox *>()});
    }
    return rows;
}

// The corrections of every set-corrections call, decoded from the sent bytes.
std::vector<std::vector<int>> writes() {
    std::vector<std::vector<int>> all;
    for (const FakeCall &call : FakeOxTdc::instance().calls_of("ox_tdc_set_corrections2")) {
        std::vector<int> values(static_cast<size_t>(call.args[1]));
        if (!values.empty())
            std::memcpy(values.data(), call.bytes.data(), values.size() * sizeof(int));
        all.push_back(values);
    }
    return all;
}

std::vector<int> ramp(int count, int first, int step) {
    std::vector<int> values(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        values[static_cast<size_t>(i)] = first + i * step;
    return values;
}

// The user typing a new value into a spin box.
void userSets(QSpinBox *spinBox, int value) {
    spinBox->setValue(value);
}

} // namespace

class TstChannelCorrections : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TdcIface> tdc;

    void openDevice(const std::vector<int> &corrections) {
        FakeOxTdc::instance().set_corrections(corrections);
        QCOMPARE(tdc->init("x.ini"), 0);
    }

    // Closes and reopens the device with new corrections; the editors' re-read
    // is queued, so it runs once the event loop gets control.
    void reconnect(const std::vector<int> &corrections) {
        QVERIFY(tdc->deinit() >= 0);
        openDevice(corrections);
        QCoreApplication::processEvents();
    }

    static void checkRows(PanelChannelCorrections &panel, const std::vector<int> &values) {
        const QVector<Row> rows = rowsOf(panel);
        QCOMPARE(rows.size(), int(values.size()));
        for (int i = 0; i < rows.size(); ++i) {
            QCOMPARE(rows[i].label, QString("ch%1").arg(i));
            QCOMPARE(rows[i].spinBox->value(), values[size_t(i)]);
            QVERIFY(rows[i].spinBox->isEnabled());
        }
    }

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QSettings(org, app).clear();
    }

    void init() {
        FakeOxTdc::instance().reset();
        tdc = std::make_unique<TdcIface>();
    }

    void cleanup() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        tdc.reset();
    }

    void placeholderWithoutDevice() {
        PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
        checkRows(panel, {0});
        QCOMPARE(panel.minimumHeight(), 200);
        userSets(rowsOf(panel)[0].spinBox, 12);
        QCOMPARE(FakeOxTdc::instance().count("ox_tdc_set_corrections2"), 0);
        QCOMPARE(FakeOxTdc::instance().count("ox_tdc_get_corrections2"), 0);
    }

    void buildingWritesNothing_data() {
        QTest::addColumn<std::vector<int>>("device");
        QTest::newRow("16 zeros") << std::vector<int>(16, 0);
        QTest::newRow("16 shifts") << ramp(16, -40, 7);
    }

    void buildingWritesNothing() {
        QFETCH(std::vector<int>, device);
        openDevice(device);
        FakeOxTdc::instance().clear_calls();
        PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
        QCoreApplication::processEvents(); // the queued connected() of init is already gone
        checkRows(panel, device);
        QCOMPARE(FakeOxTdc::instance().count("ox_tdc_set_corrections2"), 0);

        // One user change writes the whole set once.
        userSets(rowsOf(panel)[3].spinBox, 99);
        std::vector<int> expected = device;
        expected[3] = 99;
        QCOMPARE(writes(), std::vector<std::vector<int>>{expected});
        QCOMPARE(FakeOxTdc::instance().calls_of("ox_tdc_set_corrections2")[0].args,
                 (std::vector<long long>{0, 16, 0}));
    }

    void moreChannelsThanRows() {
        const std::vector<int> device = ramp(600, 0, 3);
        openDevice(device);
        PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
        const QVector<Row> rows = rowsOf(panel);
        QCOMPARE(rows.size(), 512);
        QCOMPARE(rows.first().label, QString("ch0"));
        QCOMPARE(rows.last().label, QString("ch511"));
        QCOMPARE(rows.last().spinBox->value(), 511 * 3);
        QCOMPARE(FakeOxTdc::instance().count("ox_tdc_set_corrections2"), 0);

        userSets(rows[0].spinBox, -5);
        std::vector<int> expected = device;
        expected[0] = -5;
        QCOMPARE(writes(), std::vector<std::vector<int>>{expected});
        QCOMPARE(FakeOxTdc::instance().corrections()[599], 599 * 3);
    }

    void noRowsWhenNothingToShow_data() {
        QTest::addColumn<int>("readResult");
        QTest::newRow("0 channels") << 0;
        QTest::newRow("read fails") << -7;
    }

    void noRowsWhenNothingToShow() {
        QFETCH(int, readResult);
        openDevice(readResult == 0 ? std::vector<int>{} : ramp(4, 1, 1));
        if (readResult < 0)
            FakeOxTdc::instance().queue_result("ox_tdc_get_corrections2", readResult);
        PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
        QVERIFY(rowsOf(panel).isEmpty());
        QCOMPARE(FakeOxTdc::instance().count("ox_tdc_set_corrections2"), 0);
    }

    void connectedIsHandledQueued() {
        PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
        openDevice(ramp(3, 10, 10));
        checkRows(panel, {0}); // not yet: init is still running when connected() fires
        QCoreApplication::processEvents();
        checkRows(panel, {10, 20, 30});
        QCOMPARE(FakeOxTdc::instance().count("ox_tdc_set_corrections2"), 0);
    }

    void reconnectionResizesRows() {
        openDevice(ramp(16, 1, 1));
        PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
        const QVector<Row> before = rowsOf(panel);

        reconnect(ramp(5, -1, -1));
        checkRows(panel, ramp(5, -1, -1));
        // Fewer channels drop rows from the end and keep the first ones.
        const QVector<Row> fewer = rowsOf(panel);
        for (int i = 0; i < fewer.size(); ++i)
            QCOMPARE(fewer[i].spinBox, before[i].spinBox);

        reconnect(ramp(20, 100, 2));
        checkRows(panel, ramp(20, 100, 2));
        const QVector<Row> more = rowsOf(panel);
        for (int i = 0; i < fewer.size(); ++i)
            QCOMPARE(more[i].spinBox, fewer[i].spinBox);
        // Re-reading the device never writes back.
        QCOMPARE(FakeOxTdc::instance().count("ox_tdc_set_corrections2"), 0);
    }

    void disconnectionDisablesRows() {
        openDevice(ramp(4, 0, 1));
        PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
        QVERIFY(tdc->deinit() >= 0);
        for (const Row &row : rowsOf(panel))
            QVERIFY(!row.spinBox->isEnabled());

        openDevice(ramp(4, 0, 1));
        QCoreApplication::processEvents();
        checkRows(panel, ramp(4, 0, 1));

        // A lost connection disables them too.
        FakeOxTdc::instance().queue_result("ox_tdc_start_measure2", -90);
        QCOMPARE(tdc->start_measure(10), -90);
        for (const Row &row : rowsOf(panel))
            QVERIFY(!row.spinBox->isEnabled());
        QCOMPARE(FakeOxTdc::instance().count("ox_tdc_set_corrections2"), 0);
    }

    void outOfRangeValuesAreShownClampedAndKept() {
        std::vector<int> device = {40000, -50000, 5, 32767};
        openDevice(device);
        PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
        QVector<Row> rows = rowsOf(panel);
        QCOMPARE(rows[0].spinBox->value(), 32767);
        QCOMPARE(rows[1].spinBox->value(), -32768);
        QVERIFY(rows[0].spinBox->toolTip().contains("40000"));
        QVERIFY(rows[1].spinBox->toolTip().contains("-50000"));
        QVERIFY(!rows[0].spinBox->styleSheet().isEmpty());
        QVERIFY(!rows[1].spinBox->styleSheet().isEmpty());
        // In range, even at the limit: unmarked.
        QVERIFY(rows[2].spinBox->toolTip().isEmpty());
        QVERIFY(rows[3].spinBox->toolTip().isEmpty());
        QVERIFY(rows[3].spinBox->styleSheet().isEmpty());
        QCOMPARE(FakeOxTdc::instance().count("ox_tdc_set_corrections2"), 0);

        const QString path = QDir::temp().filePath("velmora_channelcorrections.png");
        panel.resize(260, 240);
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QVERIFY(panel.grab().save(path));

        // Another row's write carries the device's true values.
        userSets(rows[2].spinBox, 6);
        device[2] = 6;
        QCOMPARE(writes().back(), device);

        // Editing the marked row itself writes the new value and clears the mark.
        userSets(rows[0].spinBox, 100);
        device[0] = 100;
        QCOMPARE(writes().back(), device);
        QVERIFY(rows[0].spinBox->toolTip().isEmpty());
        QVERIFY(rows[0].spinBox->styleSheet().isEmpty());
        QVERIFY(!rows[1].spinBox->toolTip().isEmpty());

        // A re-read finding the value in range again clears the mark on the reused row.
        reconnect({1, 2, 3, 4});
        rows = rowsOf(panel);
        QVERIFY(rows[1].spinBox->toolTip().isEmpty());
        QVERIFY(rows[1].spinBox->styleSheet().isEmpty());
        QCOMPARE(FakeOxTdc::instance().count("ox_tdc_set_corrections2"), 2);
    }

    void twoEditorsShareTheDevice() {
        openDevice(ramp(8, 0, 0));
        PanelChannelCorrections first(tdc.get(), org, app, nullptr);
        PanelChannelCorrections second(tdc.get(), org, app, nullptr);
        QVERIFY(&first != &second);
        userSets(rowsOf(first)[1].spinBox, 11);
        userSets(rowsOf(second)[2].spinBox, 22);
        const auto all = writes();
        QCOMPARE(all.size(), size_t(2));
        QCOMPARE(all[0][1], 11);
        // Each editor writes the set it last read plus its own change.
        QCOMPARE(all[1][1], 0);
        QCOMPARE(all[1][2], 22);

        // Both follow a reconnection.
        reconnect(ramp(8, 3, 0));
        checkRows(first, ramp(8, 3, 0));
        checkRows(second, ramp(8, 3, 0));
    }

    void geometryIsStoredOnlyOnClose() {
        QSettings(org, app).clear();
        {
            PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
            panel.show();
        }
        QVERIFY(!QSettings(org, app).contains("panelchcorr/geometry"));
    }

    void geometrySurvivesRestart() {
        QSettings(org, app).clear();
        {
            PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
            panel.setGeometry(140, 90, 333, 456);
            panel.show();
            QVERIFY(QTest::qWaitForWindowExposed(&panel));
            QVERIFY(panel.close());
            QVERIFY(!panel.isVisible());
        }
        QSettings(org, app).sync();
        QVERIFY(QSettings(org, app).contains("panelchcorr/geometry"));

        // A later editor of this run takes the size...
        {
            PanelChannelCorrections panel(tdc.get(), org, app, nullptr);
            QCOMPARE(panel.size(), QSize(333, 456));
        }
        // ...and so does one of a new process reading the same settings.
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(childEnv, "1");
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).trimmed(), QString("333x456"));
    }
};

// The second process of geometrySurvivesRestart: builds one editor and prints its size.
static int geometryChild(int argc, char **argv) {
    QApplication application(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    TdcIface tdc;
    PanelChannelCorrections panel(&tdc, org, app, nullptr);
    printf("%dx%d\n", panel.width(), panel.height());
    return 0;
}

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsSet(childEnv))
        return geometryChild(argc, argv);
    QApplication application(argc, argv);
    TstChannelCorrections test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_channelcorrections.moc"
