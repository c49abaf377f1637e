#include "fakeoxtdc.h"
#include "labeleditset.h"
#include "panelepot.h"
#include "tdciface.h"
#include "windowepot.h"

#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QToolButton>
#include <QtTest>

#include <memory>

// Every bus transfer as "w|r descriptor address length flag: bytes sent"; w or r is the
// eighth letter of ox_twi_write2 / ox_twi_read2.
static QStringList transfers() {
    QStringList out;
    for (const FakeCall &c : FakeOxTdc::instance().calls()) {
        if (c.name != "ox_twi_write2" && c.name != "ox_twi_read2")
            continue;
        QString t = QString::asprintf("%c %lld %llx %lld %lld:", c.name[7], c.args[0], c.args[1],
                                      c.args[2], c.args[3]);
        for (unsigned char b : c.bytes)
            t += QString::asprintf(" %02x", b);
        out << t;
    }
    return out;
}

class TstEpot : public QObject {
    Q_OBJECT
    std::unique_ptr<TdcIface> tdc;
    std::unique_ptr<WindowEpot> window;
    PanelEpot *panel = nullptr;
    QSpinBox *spin[2]; // threshold, zero
    QToolButton *setButton[2];
    QPushButton *readButton = nullptr;
    QLabel *result = nullptr;

    QString set(int row, int value, int libraryResult) {
        FakeOxTdc::instance().queue_result("ox_twi_write2", libraryResult);
        spin[row]->setValue(value);
        QTest::mouseClick(setButton[row], Qt::LeftButton);
        return result->text();
    }
    // 0 or 3: both rows and the read button always agree.
    int enabled() { return spin[0]->isEnabled() + spin[1]->isEnabled() + readButton->isEnabled(); }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() {
        window.reset(); // an old window goes before its interface
        FakeOxTdc::instance().reset();
        FakeOxTdc::instance().set_error_text(-5, "bus stuck");
        FakeOxTdc::instance().set_error_text(-6, "no acknowledge");
        tdc = std::make_unique<TdcIface>();
        window = std::make_unique<WindowEpot>(tdc.get(), nullptr);
        panel = qobject_cast<PanelEpot *>(window->centralWidget());
        for (int i : {0, 1}) {
            auto *row = panel->findChild<LabelEditSet *>(i == 0 ? "epot1r1" : "epot1r2");
            spin[i] = row->findChild<QSpinBox *>();
            setButton[i] = row->findChild<QToolButton *>();
        }
        readButton = panel->findChild<QPushButton *>("bu_read");
        result = panel->findChild<QLabel *>("lb_result");
    }

    void setSendsRegisterAndValueAndShowsResult() {
        QCOMPARE(tdc->init("x.ini"), 0);
        QCOMPARE(set(0, 200, -6), QString("failure\nno acknowledge"));
        // Any non-negative result is a success, whatever text an earlier failure left.
        QCOMPARE(set(1, 7, 2), QString("ok"));
        QCOMPARE(set(0, 0, -5), QString("failure\nbus stuck"));
        QCOMPARE(set(1, 255, 0), QString("ok"));
        // Values that do not fit a byte are never sent truncated.
        panel->slot_epot1r1(256);
        panel->slot_epot1r2(-1);
        QCOMPARE(transfers(), QStringList({"w 0 20 2 1: 02 c8", "w 0 20 2 1: 03 07",
                                           "w 0 20 2 1: 02 00", "w 0 20 2 1: 03 ff"}));
    }

    void read_data() {
        QTest::addColumn<QString>("failing"); // write or read, and which of its two calls
        QTest::addColumn<QString>("sequence");
        QTest::addColumn<int>("threshold");
        QTest::addColumn<int>("zero");
        // Spin boxes start at 3 and 4; the bus answers 0x80 0x11 then 0x7F 0x10,
        // and a failed read takes no bytes.
        auto row = [](const char *name, const char *failing, const char *sequence, int t, int z) {
            QTest::newRow(name) << QString(failing) << QString(sequence) << t << z;
        };
        row("ok", "", "wrwr", 0x80, 0x10);
        row("first pointer write", "w1", "wwr", 3, 0x11);
        row("first read", "r1", "wrwr", 3, 0x11);
        row("second pointer write", "w2", "wrw", 0x80, 4);
        row("second read", "r2", "wrwr", 0x80, 4);
    }
    void read() {
        QFETCH(QString, failing);
        QFETCH(QString, sequence);
        QCOMPARE(tdc->init("x.ini"), 0);
        spin[0]->setValue(3);
        spin[1]->setValue(4);
        if (!failing.isEmpty()) {
            const std::string name = failing[0] == 'w' ? "ox_twi_write2" : "ox_twi_read2";
            FakeOxTdc::instance().queue_result(name, 0, failing[1] == '2' ? 1 : 0);
            FakeOxTdc::instance().queue_result(name, -5);
        }
        FakeOxTdc::instance().queue_twi_read_bytes({0x80, 0x11, 0x7F, 0x10});
        QTest::mouseClick(readButton, Qt::LeftButton);
        // Pointer write then two-byte read, twice; showing the values writes nothing back.
        QStringList expected;
        for (QChar step : sequence)
            expected << (step == 'w' ? "w 0 20 1 0: 02" : "r 0 20 2 1:");
        QCOMPARE(transfers(), expected);
        QTEST(spin[0]->value(), "threshold");
        QTEST(spin[1]->value(), "zero");
        QCOMPARE(result->text(), QString(failing.isEmpty() ? "ok" : "failure\nbus stuck"));
    }

    // Usable only while a device is connected, a lost one included; closing
    // only hides the window, which keeps its values and result.
    void connectionStatesAndClosingOnlyHides() {
        QCOMPARE(enabled(), 0);
        QCOMPARE(tdc->init("x.ini"), 0);
        QCOMPARE(enabled(), 3);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        spin[0]->setValue(77);
        QCOMPARE(set(1, 9, -5), QString("failure\nbus stuck"));
        QVERIFY(window->grab().save(QDir::temp().filePath("velmora_epot.png")));
        window->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        window->show();
        QCOMPARE(spin[0]->value() + enabled(), 80);
        QCOMPARE(result->text(), QString("failure\nbus stuck"));

        QVERIFY(tdc->deinit() >= 0);
        QCOMPARE(enabled(), 0);
        QCOMPARE(result->text(), QString());
        QCOMPARE(tdc->init("x.ini"), 0);
        QCOMPARE(spin[0]->value() + enabled(), 80);
        FakeOxTdc::instance().queue_result("ox_tdc_start_measure2", -90); // the device is lost
        QCOMPARE(tdc->start_measure(10), -90);
        QCOMPARE(enabled(), 0);
        QCOMPARE(tdc->init("x.ini"), 0);
        QCOMPARE(enabled(), 3);
        QCOMPARE(FakeOxTdc::instance().count("ox_twi_read2"), 0); // nothing read on connection
    }
};

QTEST_MAIN(TstEpot)
#include "tst_epot.moc"
