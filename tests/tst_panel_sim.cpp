// The measurement panel on the simulated device: connect, an accumulating
// run of three exposures, the plots and the statistics window, disconnect.
// Runs in the folder that holds the simulator's default tdc_qv5.ini.

#include "mhisto.h"
#include "mrates.h"
#include "mwidget.h"
#include "statswindow.h"
#include "tdciface.h"

#include <qwt_plot_curve.h>

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStandardPaths>
#include <QtTest>

#include <memory>
#include <numeric>

class TestPanelSim : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY2(QFile::exists("tdc_qv5.ini"), "run in the folder of the device configuration");
    }

    void accumulatingRunOfThreeExposures() {
        TdcIface tdc;
        QMainWindow window;
        auto *panel = new Mwidget(&tdc, &window);
        window.setCentralWidget(panel);
        window.resize(1280, 800);
        window.show();

        QSignalSpy status(panel, &Mwidget::show_this);
        panel->slot_init_deinit(true);
        QVERIFY2(tdc.is_initialized(), qPrintable(tdc.get_error_message()));
        QCOMPARE(status.last().at(0).toString(), QStringLiteral("Device is initialized"));
        QCOMPARE(panel->findChild<QLineEdit *>("le_binsize")->text(), QStringLiteral("125 ps"));
        QCOMPARE(panel->findChild<QLineEdit *>("le_histo_points")->text(), QStringLiteral("8 k"));

        panel->findChild<QCheckBox *>("cb_accumulate")->setChecked(true);
        panel->findChild<QSpinBox *>("sb_iterations")->setValue(3);
        panel->findChild<QSpinBox *>("sb_exposure")->setValue(30);
        panel->findChild<QSpinBox *>("sb_event_threshold")->setValue(0);

        // Recorded after the panel has handled each completion.
        QList<int> left_after;
        auto *left = panel->findChild<QSpinBox *>("sb_iterations_left");
        connect(
            &tdc, &TdcIface::complete_callback, this, [&](int) { left_after << left->value(); },
            Qt::QueuedConnection);

        auto *start = panel->findChild<QPushButton *>("bu_start");
        QVERIFY(start->isEnabled());
        start->click();
        QCOMPARE(panel->get_run_state(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(panel->get_run_state(), 0, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(left_after.size(), 3, 5000);
        QCOMPARE(left_after, (QList<int>{2, 1, 0}));
        QVERIFY(start->isEnabled());

        // The statistics count every event of the three exposures; the
        // accumulated histograms hold those inside the window.
        const HistoStats stats = *tdc.get_histo_stats();
        QVERIFY(panel->get_event_total() > 1000);
        QCOMPARE(qint64(stats.nr_events), qint64(panel->get_event_total()));
        double in_window = 0.0;
        for (uint32_t c = 0; c < 16; ++c) {
            const std::vector<double> *h = tdc.get_channel_histo(c);
            QVERIFY(h);
            in_window += std::accumulate(h->begin(), h->end(), 0.0);
        }
        QVERIFY(in_window > 0.9 * panel->get_event_total());
        QVERIFY(in_window <= panel->get_event_total());

        // Curves of the channels that saw events, none for the dark one.
        auto *histo = panel->findChild<Mhisto *>();
        const auto curves = histo->itemList(QwtPlotItem::Rtti_PlotCurve);
        QCOMPARE(curves.size(), 16);
        QVERIFY(static_cast<QwtPlotCurve *>(curves.at(0))->dataSize() > 10);
        QVERIFY(static_cast<QwtPlotCurve *>(curves.at(15))->dataSize() > 10);
        QCOMPARE(static_cast<QwtPlotCurve *>(curves.at(8))->dataSize(), size_t(0));

        // The rates plot shows the last exposure's counts.
        const PipeStatistics *block = tdc.get_pipe_statistics();
        auto *bars = static_cast<QwtPlotCurve *>(
            panel->findChild<Mrates *>()->itemList(QwtPlotItem::Rtti_PlotCurve).at(0));
        for (int c = 0; c < 16; ++c)
            QCOMPARE(bars->sample(c).y(), double(block->words[c]));

        // The statistics window shows the accumulated average.
        StatsWindow *stats_window = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *s = qobject_cast<StatsWindow *>(w))
                stats_window = s;
        QVERIFY(stats_window);
        QStringList texts;
        for (QLabel *l : stats_window->findChildren<QLabel *>())
            texts << l->text();
        QVERIFY(!texts.contains("no data yet"));
        const double average = tdc.bins_to_time(stats.sum_time / stats.nr_events, 0);
        QVERIFY2(texts.contains(StatsWindow::formatValue(average)), qPrintable(texts.join('|')));
        QVERIFY(texts.contains(StatsWindow::formatValue(tdc.bins_to_time(stats.max_time, 0))));

        const QString grab_to = qEnvironmentVariable("VELMORA_PANEL_GRAB");
        if (!grab_to.isEmpty()) {
            QMetaObject::invokeMethod(panel, "open_stats_window");
            window.grab().save(grab_to);
            stats_window->grab().save(grab_to + ".stats.png");
        }

        panel->slot_init_deinit(false);
        QVERIFY(!tdc.is_initialized());
        QCOMPARE(status.last().at(0).toString(), QStringLiteral("Device is deinitialized"));
        QVERIFY(!start->isEnabled());
        QVERIFY(!panel->findChild<QPushButton *>("bu_stop")->isEnabled());
    }
};

QTEST_MAIN(TestPanelSim)
#include "tst_panel_sim.moc"
