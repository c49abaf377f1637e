// The tool windows on the simulated device: the channel shifts and the
// potentiometer's threshold must change what the next exposure delivers.
#include "labeleditset.h"
#include "panelchannelcorrections.h"
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

    // Centre of mass of channel 10's histogram, in bins.
    double centre() {
        const std::vector<double> &histo = *tdc.get_channel_histo(10);
        double sum = 0, weighted = 0;
        for (size_t i = 0; i < histo.size(); ++i)
            sum += histo[i], weighted += histo[i] * double(i);
        return weighted / sum;
    }

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        connect(
            &tdc, &TdcIface::complete_callback, this, [this](int) { ++completed; },
            Qt::QueuedConnection);
        QVERIFY2(tdc.init(QCoreApplication::applicationDirPath() + "/tdc_qv5.ini") >= 0,
                 qPrintable(tdc.get_error_message()));
        // One histogram bin per device bin around channel 10's narrow peak near 620 ns.
        HistoParams params = *tdc.get_histo_params();
        params.start = 600.0;
        params.size = 40.0;
        params.binsize = tdc.get_binsize();
        params.binning = 0;
        tdc.set_histo_params(params);
    }

    // Two editors: the second one's change of another channel keeps the
    // first one's shift, which moves channel 10's peak by as many bins.
    void correctionsOfTwoEditorsMovePeak() {
        PanelChannelCorrections first(&tdc, "VelmoraTests", "ToolsSim", nullptr);
        PanelChannelCorrections second(&tdc, "VelmoraTests", "ToolsSim", nullptr);
        const QList<QSpinBox *> rows = first.findChildren<QSpinBox *>();
        QCOMPARE(rows.size(), 16);
        const int original = rows[10]->value();
        QVERIFY(expose() > 0);
        const double before = centre();
        rows[10]->setValue(original + 40);
        QSpinBox *other = second.findChildren<QSpinBox *>()[3];
        other->setValue(other->value() + 1);
        QCOMPARE(second.findChildren<QSpinBox *>()[10]->value(), original + 40);
        QVERIFY(expose() > 0);
        qInfo("centre of channel 10: bin %.2f -> %.2f", before, centre());
        QVERIFY(qAbs(centre() - before - 40) < 1.0);
    }

    void thresholdChangesCounts() {
        PanelEpot panel(&tdc, nullptr);
        QMetaObject::invokeMethod(&panel, "deviceConnected"); // as on the next connection
        auto *threshold = panel.findChild<LabelEditSet *>("epot1r1");
        auto *spin = threshold->findChild<QSpinBox *>();
        auto *zero = panel.findChild<LabelEditSet *>("epot1r2")->findChild<QSpinBox *>();
        auto *result = panel.findChild<QLabel *>("lb_result");
        auto *read = panel.findChild<QPushButton *>("bu_read");
        QTest::mouseClick(read, Qt::LeftButton);
        QCOMPARE(result->text(), QString("ok"));
        const int nominal = spin->value(), zeroSetting = zero->value();
        const uint64_t before = expose();

        spin->setValue(std::min(255, nominal + 100));
        QTest::mouseClick(threshold->findChild<QToolButton *>(), Qt::LeftButton);
        QCOMPARE(result->text(), QString("ok"));
        spin->setValue(0);
        QTest::mouseClick(read, Qt::LeftButton);
        QCOMPARE(result->text(), QString("ok"));
        QCOMPARE(spin->value(), std::min(255, nominal + 100));
        QCOMPARE(zero->value(), zeroSetting);
        const uint64_t after = expose();
        qInfo("events per exposure: %llu at threshold %d, %llu at %d", (unsigned long long)before,
              nominal, (unsigned long long)after, spin->value());
        QVERIFY(before > 1000 && after > 0 && after < before / 2); // far fewer pulses pass
    }
};

QTEST_MAIN(TstToolsSim)
#include "tst_tools_sim.moc"
