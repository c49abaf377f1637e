// The potentiometer on the simulated device: its threshold must change what
// the next exposure delivers. (Shifts typed into the editor reaching the
// device are shown by the end-to-end walkthrough.)
#include "labeleditset.h"
#include "panelepot.h"
#include "tdciface.h"

#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QToolButton>
#include <QtTest>

#include <numeric>

class TstToolsSim : public QObject {
    Q_OBJECT
    TdcIface tdc;
    int completed = 0;

    // One exposure, awaited as the panel does: through the queued completion signal.
    uint64_t expose() {
        tdc.reset_histo_stats();
        tdc.clear_histos();
        const int before = completed;
        if (tdc.start_measure(200) < 0 ||
            !QTest::qWaitFor([&] { return completed > before; }, 20000))
            return 0;
        const PipeStatistics *block = tdc.get_pipe_statistics();
        return std::accumulate(block->words, block->words + 16, uint64_t(0));
    }

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        connect(
            &tdc, &TdcIface::complete_callback, this, [this](int) { ++completed; },
            Qt::QueuedConnection);
        QVERIFY2(tdc.init(QCoreApplication::applicationDirPath() + "/tdc_qv5.ini") >= 0,
                 qPrintable(tdc.get_error_message()));
    }

    // A higher threshold, set through the panel, lets far fewer pulses pass.
    void thresholdChangesCounts() {
        PanelEpot panel(&tdc, nullptr);
        QMetaObject::invokeMethod(&panel, "deviceConnected"); // as on the next connection
        auto *threshold = panel.findChild<LabelEditSet *>("epot1r1");
        auto *spin = threshold->findChild<QSpinBox *>();
        QTest::mouseClick(panel.findChild<QPushButton *>("bu_read"), Qt::LeftButton);
        const int nominal = spin->value();
        const uint64_t before = expose();
        spin->setValue(std::min(255, nominal + 100));
        QTest::mouseClick(threshold->findChild<QToolButton *>(), Qt::LeftButton);
        QCOMPARE(panel.findChild<QLabel *>("lb_result")->text(), QString("ok"));
        const uint64_t after = expose();
        qInfo("events per exposure: %llu at threshold %d, %llu at %d", (unsigned long long)before,
              nominal, (unsigned long long)after, spin->value());
        QVERIFY(before > 1000 && after > 0 && after < before / 2);
    }
};

QTEST_MAIN(TstToolsSim)
#include "tst_tools_sim.moc"
