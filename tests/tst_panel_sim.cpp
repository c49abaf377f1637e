// The measurement panel on the simulated device: connect, an accumulating run
// of three exposures, the plots and the statistics window, disconnect. Runs in
// the folder that holds the simulator's default tdc_qv5.ini.

#include "mhisto.h"
#include "mrates.h"
#include "mwidget.h"
#include "oxsim.h"
#include "statswindow.h"
#include "tdciface.h"

#include <qwt_plot_curve.h>
#include <qwt_plot_intervalcurve.h>

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

    void lossesAndInfoFile_data() {
        QTest::addColumn<QByteArray>("link");
        QTest::newRow("default link") << QByteArray();
        QTest::newRow("slow link") << QByteArray("link_rate_hz = 6e5\n");
    }

    // Two accumulating exposures with corrections and a potentiometer setting:
    // the warning names the losses of the last exposure and of the run (none
    // on the default link) and clears when the next run starts; the rates plot
    // marks the lost part of each bar; the export's info file tells the run.
    void lossesAndInfoFile() {
        QFETCH(QByteArray, link);
        QTemporaryDir dir;
        QFile ini("tdc_qv5.ini"), copy(dir.filePath("tdc_qv5.ini"));
        QVERIFY(ini.open(QIODevice::ReadOnly) && copy.open(QIODevice::WriteOnly));
        copy.write(ini.readAll().replace("[device]\n", "[device]\n" + link));
        copy.close();
        const QString home = QDir::currentPath();
        TdcIface tdc;
        Mwidget panel(&tdc, nullptr);
        QSignalSpy warnings(&panel, &Mwidget::loss_warning);
        QDir::setCurrent(dir.path());
        panel.slot_init_deinit(true);
        QDir::setCurrent(home);
        int dev = 0; // the one open device
        while (oxsim_generated_events(dev) < 0 && dev < 1000)
            ++dev;
        const std::vector<int32_t> shifts{0, -3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -9};
        uint8_t pot[2] = {0x03, 77};
        QVERIFY(tdc.set_corrections(shifts) == 0 && tdc.twi_write(0x20, pot, 2, 1) >= 0);
        panel.findChild<QCheckBox *>("cb_accumulate")->setChecked(true);
        panel.findChild<QSpinBox *>("sb_iterations")->setValue(2);
        panel.findChild<QSpinBox *>("sb_exposure")->setValue(40);
        panel.findChild<QSpinBox *>("sb_event_threshold")->setValue(90000000);
        panel.findChild<QSpinBox *>("sb_histo_size")->setValue(1200);
        panel.findChild<QComboBox *>("cb_binning")->setCurrentIndex(2);
        const QDateTime before = QDateTime::currentDateTime();
        panel.findChild<QPushButton *>("bu_start")->click();
        QTRY_COMPARE_WITH_TIMEOUT(panel.get_run_state(), 0, 20000);

        // The losses from the device's own count of what it detected.
        const uint32_t *words = tdc.get_pipe_statistics()->words;
        const std::array<uint64_t, 16> delivered = tdc.get_delivered_counts();
        const uint64_t run_lost = oxsim_generated_events(dev) - tdc.get_histo_stats()->nr_events;
        uint64_t last_counted = 0, last_lost = 0;
        for (int c = 0; c < 16; ++c) {
            last_counted += words[c];
            last_lost += words[c] - delivered[c];
        }
        QCOMPARE(link.isEmpty(), run_lost == 0);
        const QLocale english(QLocale::English);
        QCOMPARE(warnings.last().at(0).toString(),
                 run_lost == 0
                     ? QString()
                     : QString("lost %1 events (%2 %) in the last exposure, %3 in this run")
                           .arg(english.toString(qulonglong(last_lost)))
                           .arg(100.0 * last_lost / last_counted, 0, 'f', 2)
                           .arg(english.toString(qulonglong(run_lost))));
        // One mark per channel that lost events, from the delivered count up.
        const auto marks =
            panel.findChild<Mrates *>()->itemList(QwtPlotItem::Rtti_PlotIntervalCurve);
        const auto *lost =
            marks.isEmpty() ? nullptr : static_cast<QwtPlotIntervalCurve *>(marks[0]);
        int lossy_channels = 0;
        for (int c = 0; c < 16; ++c)
            lossy_channels += words[c] > delivered[c];
        QCOMPARE(lost ? int(lost->dataSize()) : 0, lossy_channels);
        for (int i = 0; i < lossy_channels; ++i) {
            const QwtIntervalSample mark = lost->sample(i);
            const size_t c = size_t(mark.value) - 1;
            QCOMPARE(mark.interval, QwtInterval(double(delivered[c]), double(words[c])));
        }

        const QString prefix = dir.filePath("scan");
        QVERIFY(panel.findChild<Mhisto *>()->write_data(prefix + ".txt", true));
        QFile file(prefix + "_info.json");
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject info = QJsonDocument::fromJson(file.readAll()).object();
        const QDateTime written = QDateTime::fromString(info["written"].toString(), Qt::ISODate);
        QVERIFY(written >= before.addSecs(-1) && written <= QDateTime::currentDateTime());
        QCOMPARE(info["version"].toString(), QString(VELMORA_VERSION));
        const QJsonObject device = info["device"].toObject();
        QCOMPARE(device["binsize_ns"].toDouble(), tdc.get_binsize());
        QCOMPARE(device["corrections"].toArray(),
                 QJsonArray({0, -3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -9}));
        QCOMPARE(device["potentiometer"].toObject(), QJsonObject({{"zero", 77}}));
        QCOMPARE(info["histograms"].toObject(), QJsonObject({{"binning", 2},
                                                             {"binning_factor", 4},
                                                             {"bin_width_ns", 0.5},
                                                             {"start_offset_ns", 0},
                                                             {"window_size_ns", 1200},
                                                             {"channels", 16},
                                                             {"zero_bins_filtered", true}}));
        QCOMPARE(info["run"].toObject(), QJsonObject({{"exposure_ms", 40},
                                                      {"accumulate", true},
                                                      {"autorun", false},
                                                      {"iterations", 2},
                                                      {"event_threshold", 90000000},
                                                      {"exposures_completed", 2},
                                                      {"ended", "completed"}}));
        const QJsonArray channels = info["per_channel"].toArray();
        QCOMPARE(channels.size(), 16);
        double lost_in_file = 0;
        for (int c = 0; c < 16; ++c) {
            const QJsonObject ch = channels[c].toObject();
            const std::vector<double> &h = *tdc.get_channel_histo(uint32_t(c));
            QCOMPARE(ch["channel"].toInt(), c);
            QCOMPARE(ch["last_exposure_counts"].toDouble(), double(words[c]));
            QCOMPARE(ch["run_delivered"].toDouble(), std::accumulate(h.begin(), h.end(), 0.0));
            lost_in_file += ch["run_lost"].toDouble();
        }
        QCOMPARE(lost_in_file, double(run_lost));

        // The next run starts without the warning.
        warnings.clear();
        panel.findChild<QPushButton *>("bu_start")->click();
        QCOMPARE(warnings.value(0).value(0).toString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(panel.get_run_state(), 0, 20000);
    }
};

QTEST_MAIN(TestPanelSim)
#include "tst_panel_sim.moc"
