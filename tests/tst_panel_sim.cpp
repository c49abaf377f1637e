// The measurement panel on the simulated device: connect, an accumulating run
// of three exposures, the plots and the statistics window, disconnect. Runs in
// the folder that holds the simulator's default tdc_qv5.ini.

#include "mhisto.h"
#include "mrates.h"
#include "mwidget.h"
#include "statswindow.h"
#include "tdciface.h"

#include <qwt_plot_curve.h>

#include <QtTest>
#include <QtWidgets>

#include <numeric>

class TestPanelSim : public QObject {
    Q_OBJECT

private slots:
    void accumulatingRunOfThreeExposures() {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY2(QFile::exists("tdc_qv5.ini"), "run in the folder of the device configuration");
        TdcIface tdc;
        Mwidget panel(&tdc, nullptr);
        panel.slot_init_deinit(true);
        QVERIFY2(tdc.is_initialized(), qPrintable(tdc.get_error_message()));
        panel.findChild<QCheckBox *>("cb_accumulate")->setChecked(true);
        panel.findChild<QSpinBox *>("sb_iterations")->setValue(3);
        panel.findChild<QSpinBox *>("sb_exposure")->setValue(30);
        panel.findChild<QPushButton *>("bu_start")->click();
        QCOMPARE(panel.get_run_state(), 2);
        // Three completions count the iterations down and end the run.
        QTRY_COMPARE_WITH_TIMEOUT(panel.get_run_state(), 0, 20000);
        QCOMPARE(panel.findChild<QSpinBox *>("sb_iterations_left")->value(), 0);

        // The statistics count every event of the three exposures; the
        // histograms hold those inside the window.
        const HistoStats stats = *tdc.get_histo_stats();
        const double total = panel.get_event_total();
        QVERIFY(total > 1000);
        QCOMPARE(double(stats.nr_events), total);
        double in_window = 0.0;
        for (uint32_t c = 0; c < 16; ++c)
            in_window += std::accumulate(tdc.get_channel_histo(c)->begin(),
                                         tdc.get_channel_histo(c)->end(), 0.0);
        QVERIFY2(in_window > 0.9 * total && in_window <= total,
                 qPrintable(QString::number(in_window)));

        // A curve per channel, empty for the dark channel 8; the rates show the
        // last exposure's counts.
        const auto curves = panel.findChild<Mhisto *>()->itemList(QwtPlotItem::Rtti_PlotCurve);
        QCOMPARE(curves.size(), 16);
        for (int c : {0, 8, 15})
            QCOMPARE(static_cast<QwtPlotCurve *>(curves.at(c))->dataSize() > 10, c != 8);
        const auto *bars = static_cast<QwtPlotCurve *>(
            panel.findChild<Mrates *>()->itemList(QwtPlotItem::Rtti_PlotCurve).at(0));
        for (int c = 0; c < 16; ++c)
            QCOMPARE(bars->sample(c).y(), double(tdc.get_pipe_statistics()->words[c]));

        // The statistics window shows the accumulated average and maximum.
        QStringList texts;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (qobject_cast<StatsWindow *>(w))
                for (QLabel *l : w->findChildren<QLabel *>())
                    texts << l->text();
        const double average = tdc.bins_to_time(stats.sum_time / stats.nr_events, 0);
        QVERIFY2(texts.contains(StatsWindow::formatValue(average)), qPrintable(texts.join('|')));
        QVERIFY(texts.contains(StatsWindow::formatValue(tdc.bins_to_time(stats.max_time, 0))));

        panel.slot_init_deinit(false);
        QVERIFY(!tdc.is_initialized());
        QVERIFY(!panel.findChild<QPushButton *>("bu_start")->isEnabled());
    }
};

QTEST_MAIN(TestPanelSim)
#include "tst_panel_sim.moc"
