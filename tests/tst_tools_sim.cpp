// The tool windows on the simulated device: the potentiometer's threshold and
// the channel shifts must change what the next exposure delivers.
#include "labeleditset.h"
#include "panelchannelcorrections.h"
#include "panelepot.h"
#include "tdciface.h"

#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QToolButton>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <numeric>

namespace {
constexpr int exposureMs = 200;
// Channel 10 of the default device has a narrow peak near 620 ns.
constexpr uint32_t peakChannel = 10;
constexpr int shiftBins = 40;
} // namespace

class TstToolsSim : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TdcIface> tdc;
    int completed = 0;

    // Runs one exposure and waits for its end, as the panel does, through the
    // queued completion signal.
    void expose() {
        tdc->reset_histo_stats();
        tdc->clear_histos();
        const int before = completed;
        QVERIFY(tdc->start_measure(exposureMs) >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(completed, before + 1, 20000);
    }

    uint64_t eventsOfLastExposure() {
        const PipeStatistics *block = tdc->get_pipe_statistics();
        return std::accumulate(block->words, block->words + 16, uint64_t(0));
    }

    // Centre of mass and highest bin of the peak channel's histogram.
    std::pair<double, int> peakPosition() {
        const std::vector<double> *histo = tdc->get_channel_histo(peakChannel);
        double sum = 0, weighted = 0;
        for (size_t i = 0; i < histo->size(); ++i) {
            sum += (*histo)[i];
            weighted += (*histo)[i] * double(i);
        }
        const int highest = int(std::max_element(histo->begin(), histo->end()) - histo->begin());
        return {sum > 0 ? weighted / sum : -1.0, highest};
    }

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        tdc = std::make_unique<TdcIface>();
        connect(
            tdc.get(), &TdcIface::complete_callback, this, [this](int) { ++completed; },
            Qt::QueuedConnection);
        const QString ini = QCoreApplication::applicationDirPath() + "/tdc_qv5.ini";
        QVERIFY2(tdc->init(ini) >= 0, qPrintable(tdc->get_error_message()));
        // One histogram bin per device bin around the peak channel's peak.
        HistoParams params = *tdc->get_histo_params();
        params.start = 600.0;
        params.size = 40.0;
        params.binsize = tdc->get_binsize();
        params.binning = 0;
        tdc->set_histo_params(params);
    }

    void cleanupTestCase() {
        if (tdc->is_initialized())
            tdc->deinit();
        tdc.reset();
    }

    void thresholdChangesCounts() {
        PanelEpot panel(tdc.get(), nullptr);
        // The panel becomes usable on the next connection.
        QMetaObject::invokeMethod(&panel, "deviceConnected");
        auto *threshold = panel.findChild<LabelEditSet *>("epot1r1");
        auto *zero = panel.findChild<LabelEditSet *>("epot1r2");
        auto *result = panel.findChild<QLabel *>("lb_result");
        auto *read = panel.findChild<QPushButton *>("bu_read");

        QTest::mouseClick(read, Qt::LeftButton);
        QCOMPARE(result->text(), QString("ok"));
        const int nominal = threshold->findChild<QSpinBox *>()->value();
        const int zeroSetting = zero->findChild<QSpinBox *>()->value();
        expose();
        const uint64_t before = eventsOfLastExposure();
        QVERIFY(before > 1000);

        // A much higher threshold lets far fewer pulses through.
        const int raised = std::min(255, nominal + 100);
        threshold->findChild<QSpinBox *>()->setValue(raised);
        QTest::mouseClick(threshold->findChild<QToolButton *>(), Qt::LeftButton);
        QCOMPARE(result->text(), QString("ok"));

        threshold->setValue(0);
        QTest::mouseClick(read, Qt::LeftButton);
        QCOMPARE(result->text(), QString("ok"));
        QCOMPARE(threshold->findChild<QSpinBox *>()->value(), raised);
        QCOMPARE(zero->findChild<QSpinBox *>()->value(), zeroSetting);

        expose();
        const uint64_t after = eventsOfLastExposure();
        qInfo("events per exposure: %llu at threshold %d, %llu at %d",
              static_cast<unsigned long long>(before), nominal,
              static_cast<unsigned long long>(after), raised);
        QVERIFY(after < before / 2);

        // Back to the nominal setting for the next test.
        threshold->findChild<QSpinBox *>()->setValue(nominal);
        QTest::mouseClick(threshold->findChild<QToolButton *>(), Qt::LeftButton);
        QCOMPARE(result->text(), QString("ok"));
    }

    void correctionMovesPeak() {
        PanelChannelCorrections editor(tdc.get(), "VelmoraTests", "ToolsSim", nullptr);
        QLayout *rows = editor.findChild<QScrollArea *>()->widget()->layout();
        QCOMPARE(rows->count(), 16);
        auto *spinBox = rows->itemAt(int(peakChannel))->widget()->findChild<QSpinBox *>();
        const int original = spinBox->value();

        expose();
        const auto before = peakPosition();
        QVERIFY(before.first > 0);

        spinBox->setValue(original + shiftBins);
        std::vector<int32_t> onDevice;
        QCOMPARE(tdc->get_corrections(onDevice), 0);
        QCOMPARE(onDevice[peakChannel], original + shiftBins);

        expose();
        const auto after = peakPosition();
        qInfo("peak of channel %u: centre %.2f -> %.2f, highest bin %d -> %d", peakChannel,
              before.first, after.first, before.second, after.second);
        QVERIFY(qAbs(after.first - before.first - shiftBins) < 1.0);
        QVERIFY(qAbs(after.second - before.second - shiftBins) <= 4);

        spinBox->setValue(original);
    }
};

QTEST_MAIN(TstToolsSim)
#include "tst_tools_sim.moc"
