#include "fakeoxtdc.h"
#include "labeleditset.h"
#include "panelepot.h"
#include "tdciface.h"
#include "windowepot.h"

#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStandardPaths>
#include <QToolButton>
#include <QtTest>

#include <memory>

namespace {

// A bus transfer as the library saw it: entry point, address, length, fifth
// argument and the bytes sent.
struct Transfer {
    std::string name;
    long long address;
    long long length;
    long long flag;
    std::vector<unsigned char> bytes;
    bool operator==(const Transfer &o) const {
        return name == o.name && address == o.address && length == o.length && flag == o.flag &&
               bytes == o.bytes;
    }
};

std::vector<Transfer> transfers() {
    std::vector<Transfer> out;
    for (const FakeCall &c : FakeOxTdc::instance().calls())
        if (c.name == "ox_twi_write2" || c.name == "ox_twi_read2")
            out.push_back(Transfer{c.name, c.args[1], c.args[2], c.args[3], c.bytes});
    return out;
}

const Transfer pointerWrite{"ox_twi_write2", 0x20, 1, 0, {0x02}};
const Transfer twoByteRead{"ox_twi_read2", 0x20, 2, 1, {}};

Transfer settingWrite(unsigned char reg, unsigned char value) {
    return Transfer{"ox_twi_write2", 0x20, 2, 1, {reg, value}};
}

} // namespace

namespace QTest {
template <> char *toString(const std::vector<Transfer> &list) {
    QByteArray text;
    for (const Transfer &t : list) {
        text += QByteArray::fromStdString(t.name) + "(" + QByteArray::number(t.address, 16) + "," +
                QByteArray::number(t.length) + "," + QByteArray::number(t.flag) + ")";
        for (unsigned char b : t.bytes)
            text += " " + QByteArray::number(b, 16);
        text += "; ";
    }
    return qstrdup(text.constData());
}
} // namespace QTest

class TstEpot : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TdcIface> tdc;
    std::unique_ptr<PanelEpot> panel;

    LabelEditSet *row(const char *name) { return panel->findChild<LabelEditSet *>(name); }
    QSpinBox *spin(const char *name) { return row(name)->findChild<QSpinBox *>(); }
    QString result() { return panel->findChild<QLabel *>("lb_result")->text(); }
    QPushButton *readButton() { return panel->findChild<QPushButton *>("bu_read"); }

    void press(const char *name, int value) {
        spin(name)->setValue(value);
        QTest::mouseClick(row(name)->findChild<QToolButton *>(), Qt::LeftButton);
    }
    void pressRead() { QTest::mouseClick(readButton(), Qt::LeftButton); }

    bool controlsEnabled() {
        const bool a = row("epot1r1")->isEnabled();
        const bool b = row("epot1r2")->isEnabled();
        const bool c = readButton()->isEnabled();
        if (a != b || b != c)
            qWarning("controls disagree: %d %d %d", a, b, c);
        return a && b && c;
    }

    void connectDevice() {
        QCOMPARE(tdc->init("x.ini"), 0);
        FakeOxTdc::instance().clear_calls();
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() {
        FakeOxTdc::instance().reset();
        FakeOxTdc::instance().set_error_text(-5, "bus stuck");
        FakeOxTdc::instance().set_error_text(-6, "no acknowledge");
        tdc = std::make_unique<TdcIface>();
        panel = std::make_unique<PanelEpot>(tdc.get(), nullptr);
    }

    void cleanup() {
        panel.reset();
        tdc.reset();
    }

    void labelEditSetEmitsOnlyOnButton() {
        LabelEditSet set("Caption", -3, 9, nullptr);
        QSignalSpy spy(&set, &LabelEditSet::newValueSet);
        auto *spinBox = set.findChild<QSpinBox *>();
        auto *button = set.findChild<QToolButton *>();
        QCOMPARE(set.findChild<QLabel *>()->text(), QString("Caption"));
        QCOMPARE(spinBox->minimum(), -3);
        QCOMPARE(spinBox->maximum(), 9);
        QCOMPARE(button->text(), QString("set"));

        set.setValue(7);
        spinBox->setValue(8);
        QCOMPARE(spy.count(), 0);
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), 8);
    }

    void startsDisconnectedEvenWithOpenDevice() {
        QVERIFY(!controlsEnabled());
        QVERIFY(result().isEmpty());
        QCOMPARE(spin("epot1r1")->maximum(), 255);
        QCOMPARE(spin("epot1r2")->minimum(), 0);

        QCOMPARE(tdc->init("x.ini"), 0);
        PanelEpot late(tdc.get(), nullptr);
        QVERIFY(!late.findChild<QPushButton *>("bu_read")->isEnabled());
        // Disabled or not, a read without a connection is refused.
        QVERIFY(QMetaObject::invokeMethod(&late, "bu_read_clicked", Q_ARG(bool, false)));
        QVERIFY(transfers().empty());
    }

    void setSendsRegisterAndValue() {
        connectDevice();
        QVERIFY(controlsEnabled());
        press("epot1r1", 200);
        press("epot1r2", 7);
        press("epot1r1", 0);
        press("epot1r2", 255);
        const std::vector<Transfer> expected = {settingWrite(0x02, 0xC8), settingWrite(0x03, 0x07),
                                                settingWrite(0x02, 0x00), settingWrite(0x03, 0xFF)};
        QCOMPARE(transfers(), expected);
        QCOMPARE(FakeOxTdc::instance().calls_of("ox_twi_write2")[0].args[0], 0LL);
        QCOMPARE(result(), QString("ok"));
    }

    void setResultTexts_data() {
        QTest::addColumn<int>("libraryResult");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0 << "ok";
        QTest::newRow("positive counts as success") << 2 << "ok";
        QTest::newRow("negative") << -5 << "failure\nbus stuck";
    }

    void setResultTexts() {
        QFETCH(int, libraryResult);
        QFETCH(QString, text);
        connectDevice();
        // An earlier failure leaves its text behind in the interface.
        FakeOxTdc::instance().queue_result("ox_twi_write2", -6);
        press("epot1r2", 1);
        QCOMPARE(result(), QString("failure\nno acknowledge"));

        FakeOxTdc::instance().queue_result("ox_twi_write2", libraryResult);
        press("epot1r2", 2);
        QCOMPARE(result(), text);
    }

    void outOfByteValuesAreNotSent() {
        connectDevice();
        press("epot1r1", 5);
        panel->slot_epot1r1(256);
        panel->slot_epot1r2(-1);
        QCOMPARE(transfers(), std::vector<Transfer>{settingWrite(0x02, 5)});
        QCOMPARE(result(), QString("ok"));
    }

    void readTakesThresholdFirstAndZeroSecond() {
        connectDevice();
        // The bytes of the two reads differ, so the source of each value shows.
        FakeOxTdc::instance().queue_twi_read_bytes({0x80, 0x11, 0x7F, 0x10});
        pressRead();
        const std::vector<Transfer> expected = {pointerWrite, twoByteRead, pointerWrite,
                                                twoByteRead};
        QCOMPARE(transfers(), expected);
        QCOMPARE(spin("epot1r1")->value(), 128);
        QCOMPARE(spin("epot1r2")->value(), 16);
        QCOMPARE(result(), QString("ok"));
        // Showing read values writes nothing back.
        QCOMPARE(FakeOxTdc::instance().count("ox_twi_write2"), 2);
    }

    void readFailures_data() {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<int>("failAt"); // 1-based call of that entry point
        QTest::addColumn<int>("threshold");
        QTest::addColumn<int>("zero");
        QTest::addColumn<int>("calls");
        // Spin boxes start at 3 and 4; the bus answers 0x80 0x11 then 0x7F 0x10.
        QTest::newRow("first pointer write") << "ox_twi_write2" << 1 << 3 << 0x11 << 3;
        QTest::newRow("first read") << "ox_twi_read2" << 1 << 3 << 0x11 << 4;
        QTest::newRow("second pointer write") << "ox_twi_write2" << 2 << 0x80 << 4 << 3;
        QTest::newRow("second read") << "ox_twi_read2" << 2 << 0x80 << 4 << 4;
    }

    void readFailures() {
        QFETCH(QString, failing);
        QFETCH(int, failAt);
        QFETCH(int, threshold);
        QFETCH(int, zero);
        QFETCH(int, calls);
        connectDevice();
        spin("epot1r1")->setValue(3);
        spin("epot1r2")->setValue(4);
        FakeOxTdc &fake = FakeOxTdc::instance();
        if (failAt == 2)
            fake.queue_result(failing.toStdString(), 0);
        fake.queue_result(failing.toStdString(), -5);
        // A failed read consumes no bytes, so queue only what the good reads take.
        if (failing == "ox_twi_read2")
            fake.queue_twi_read_bytes(failAt == 1 ? std::vector<unsigned char>{0x7F, 0x11}
                                                  : std::vector<unsigned char>{0x80, 0x11});
        else
            fake.queue_twi_read_bytes({0x80, 0x11});
        pressRead();
        QCOMPARE(int(transfers().size()), calls);
        QCOMPARE(spin("epot1r1")->value(), threshold);
        QCOMPARE(spin("epot1r2")->value(), zero);
        QCOMPARE(result(), QString("failure\nbus stuck"));
    }

    void disconnectAndReconnect() {
        connectDevice();
        FakeOxTdc::instance().queue_twi_read_bytes({9, 0, 0, 8});
        pressRead();
        QCOMPARE(result(), QString("ok"));

        QVERIFY(tdc->deinit() >= 0);
        QVERIFY(!controlsEnabled());
        QVERIFY(result().isEmpty());

        QCOMPARE(tdc->init("x.ini"), 0);
        QVERIFY(controlsEnabled());
        QCOMPARE(spin("epot1r1")->value(), 9);
        QCOMPARE(spin("epot1r2")->value(), 8);
        QVERIFY(result().isEmpty());
        // Nothing is read on connection.
        QCOMPARE(FakeOxTdc::instance().count("ox_twi_read2"), 2);
    }

    void windowClosesByHiding() {
        panel.reset();
        auto window = std::make_unique<WindowEpot>(tdc.get(), nullptr);
        auto *inside = qobject_cast<PanelEpot *>(window->centralWidget());
        QVERIFY(inside != nullptr);
        QVERIFY(window->windowTitle().isEmpty());
        QCOMPARE(qobject_cast<QLabel *>(inside->layout()->itemAt(0)->widget())->text(),
                 QString("Control DS3902 Potentiometer"));

        QCOMPARE(tdc->init("x.ini"), 0);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        inside->findChild<LabelEditSet *>("epot1r1")->findChild<QSpinBox *>()->setValue(77);
        FakeOxTdc::instance().queue_result("ox_twi_write2", -5);
        QTest::mouseClick(inside->findChild<LabelEditSet *>("epot1r2")->findChild<QToolButton *>(),
                          Qt::LeftButton);
        const QString shown = inside->findChild<QLabel *>("lb_result")->text();
        QCOMPARE(shown, QString("failure\nbus stuck"));
        QVERIFY(window->grab().save(QDir::temp().filePath("velmora_epot.png")));

        QPointer<WindowEpot> alive(window.get());
        window->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(alive);
        QVERIFY(!window->isVisible());
        window->show();
        QVERIFY(window->isVisible());
        QCOMPARE(window->centralWidget(), inside);
        QCOMPARE(inside->findChild<LabelEditSet *>("epot1r1")->findChild<QSpinBox *>()->value(),
                 77);
        QCOMPARE(inside->findChild<QLabel *>("lb_result")->text(), shown);
    }
};

QTEST_MAIN(TstEpot)
#include "tst_epot.moc"
