// The lifetime fit against the simulated device, whose configured lifetimes
// are the ground truth, and the fit window on the same device.
#include "lifetimefit.h"
#include "lifetimefitwindow.h"
#include "tdciface.h"

#include <qwt_plot.h>
#include <qwt_plot_curve.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <numeric>

namespace {
struct Decay {
    int channel;
    double delay, lifetime;
};
} // namespace

class TstLifetimeFitSim : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    TdcIface tdc;
    QList<Decay> decays;
    int completed = 0;

    bool expose(int ms) {
        const int before = completed;
        return tdc.start_measure(ms) >= 0 &&
               QTest::qWaitFor([&] { return completed > before; }, 60000);
    }
    double total(int channel) {
        const std::vector<double> &h = *tdc.get_channel_histo(uint32_t(channel));
        return std::accumulate(h.begin(), h.end(), 0.0);
    }
    // The row of the results table whose quantity starts with name.
    static double resultValue(QTableWidget *table, const QString &name, int column = 1) {
        for (int r = 0; r < table->rowCount(); ++r)
            if (table->item(r, 0)->text().startsWith(name))
                return table->item(r, column)->text().toDouble();
        return qQNaN();
    }

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        // The default configuration, generated as fast as possible.
        QFile in(QCoreApplication::applicationDirPath() + "/tdc_qv5.ini");
        QVERIFY(in.open(QIODevice::ReadOnly));
        QByteArray text = in.readAll();
        QVERIFY(text.contains("realtime = true"));
        text.replace("realtime = true", "realtime = false");
        QFile out(dir.filePath("tdc_qv5.ini"));
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(text) == text.size());
        out.close();

        QSettings ini(out.fileName(), QSettings::IniFormat);
        for (int c = 0; c < 16; ++c) {
            ini.beginGroup(QString("channel%1").arg(c));
            if (ini.value("shape").toString() == "decay")
                decays.append(
                    {c, ini.value("delay_ns").toDouble(), ini.value("lifetime_ns").toDouble()});
            ini.endGroup();
        }
        QVERIFY(!decays.isEmpty());

        connect(
            &tdc, &TdcIface::complete_callback, this, [this](int) { ++completed; },
            Qt::QueuedConnection);
        QVERIFY2(tdc.init(out.fileName()) >= 0, qPrintable(tdc.get_error_message()));
        HistoParams params = *tdc.get_histo_params();
        params.start = 0.0;
        params.size = 1000.0;
        params.binsize = tdc.get_binsize();
        params.binning = 0;
        tdc.set_histo_params(params);
        tdc.clear_histos();
        tdc.reset_histo_stats();
        auto least = [&] {
            double fewest = HUGE_VAL;
            for (const Decay &d : decays)
                fewest = std::min(fewest, total(d.channel));
            return fewest;
        };
        for (int i = 0; i < 10 && (i == 0 || least() < 1e5); ++i)
            QVERIFY(expose(1000));
        QVERIFY(least() >= 1e5);
    }

    // Every decay channel, Gaussian response, one component, over its decay:
    // the configured lifetime within 3 standard errors and within 2 %.
    void groundTruth() {
        const HistoParams params = *tdc.get_histo_params();
        bool all = true;
        for (const Decay &d : decays) {
            FitRequest request;
            request.counts = *tdc.get_channel_histo(uint32_t(d.channel));
            request.bin_width = params.binsize;
            request.range_from = d.delay - 5.0;
            request.range_to = std::min(d.delay + 10.0 * d.lifetime, 1000.0);
            const FitResult fit = LifetimeFit::fit(request);
            QVERIFY2(fit.ok, fit.message.c_str());
            const FitValue tau = fit.lifetimes[0];
            const double pull = (tau.value - d.lifetime) / tau.error;
            qInfo("ch%-2d %8.0f counts: configured %6.2f ns, fitted %8.4f +- %.4f ns (%+.2f %%, "
                  "%+.2f sd), sigma %.3f ns, deviance/dof %.3f",
                  d.channel, fit.counts, d.lifetime, tau.value, tau.error,
                  100.0 * (tau.value / d.lifetime - 1.0), pull, fit.irf_width.value, fit.goodness);
            all = all && std::fabs(pull) < 3.0 && std::fabs(tau.value / d.lifetime - 1.0) < 0.02;
        }
        QVERIFY(all);
    }

    // Open, pick a channel, fit, see results and curves; a bad IRF channel
    // gives a message and no numbers; live refits after each exposure.
    void window() {
        LifetimeFitWindow w(&tdc, "VelmoraTests", "LifetimeFitSim", nullptr);
        connect(&tdc, &TdcIface::complete_callback, &w, &LifetimeFitWindow::exposureCompleted,
                Qt::QueuedConnection);
        QSignalSpy done(&w, &LifetimeFitWindow::fitFinished);
        w.show();
        auto *channel = w.findChild<QComboBox *>("cb_channel");
        auto *table = w.findChild<QTableWidget *>("results");
        auto *message = w.findChild<QLabel *>("lb_message");
        QCOMPARE(channel->count(), 15); // ch8 sees nothing
        channel->setCurrentIndex(channel->findText("ch1"));
        w.setFitRange(100.0, 230.0);
        QTest::mouseClick(w.findChild<QPushButton *>("bu_fit"), Qt::LeftButton);
        QVERIFY(done.wait(20000));
        QCOMPARE(done.last().at(0).toBool(), true);
        QVERIFY(std::fabs(resultValue(table, "lifetime") / 12.0 - 1.0) < 0.02);
        QVERIFY(resultValue(table, "lifetime", 2) > 0.0);
        for (QwtPlot *plot : w.findChildren<QwtPlot *>())
            for (QwtPlotItem *item : plot->itemList(QwtPlotItem::Rtti_PlotCurve))
                QVERIFY(static_cast<QwtPlotCurve *>(item)->dataSize() > 100);
        const QStringList copied = w.resultText().split('\n');
        QCOMPARE(copied[0], QString("quantity\tvalue\tstd. error"));
        QVERIFY(copied[1].startsWith("lifetime [ns]\t1"));
        if (qEnvironmentVariableIsSet("LIFETIMEFIT_PNG"))
            w.grab().save(qEnvironmentVariable("LIFETIMEFIT_PNG"));
        const double counts = resultValue(table, "counts in range");

        auto *irf = w.findChild<QComboBox *>("cb_irf");
        auto *irfChannel = w.findChild<QComboBox *>("cb_irf_channel");
        irf->setCurrentIndex(irf->findText("measured"));
        irfChannel->setCurrentIndex(irfChannel->findText("ch7")); // flat light only
        QTest::mouseClick(w.findChild<QPushButton *>("bu_fit"), Qt::LeftButton);
        QVERIFY(done.wait(20000));
        QCOMPARE(done.last().at(0).toBool(), false);
        QCOMPARE(table->rowCount(), 0);
        QVERIFY(message->text().startsWith("The IRF channel shows no peak"));

        irf->setCurrentIndex(irf->findText("Gaussian"));
        w.findChild<QCheckBox *>("cb_live")->setChecked(true);
        const int fits = done.count();
        QVERIFY(expose(200));
        QTRY_VERIFY_WITH_TIMEOUT(done.count() > fits, 20000);
        QCOMPARE(done.last().at(0).toBool(), true);
        QVERIFY(resultValue(table, "counts in range") > counts);

        // During an exposure a channel not read yet waits for its completion;
        // a device closed meanwhile sends none, and the window says so.
        w.setHistogramsReadable([] { return false; });
        channel->setCurrentIndex(channel->findText("ch2"));
        QTest::mouseClick(w.findChild<QPushButton *>("bu_fit"), Qt::LeftButton);
        QVERIFY(message->text().startsWith("An exposure is running"));
        QVERIFY(tdc.deinit() >= 0);
        QVERIFY(message->text().startsWith("The exposure ended without completing"));
    }
};

QTEST_MAIN(TstLifetimeFitSim)
#include "tst_lifetimefit_sim.moc"
