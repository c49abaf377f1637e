// Histogram plot, rates plot and histogram toolbar, driven through a TdcIface
// whose accumulator is filled by the device library's test double.

#include "histogramrig.h"
#include "mhisto.h"
#include "mhistotoolbar.h"
#include "mrates.h"

#include <qwt_plot_curve.h>
#include <qwt_plot_panner.h>
#include <qwt_plot_zoomer.h>
#include <qwt_scale_div.h>

#include <QComboBox>
#include <QLabel>
#include <QSpinBox>
#include <QtTest>

#include <cmath>
#include <vector>

namespace {

QwtPlotCurve *curve_of(const QwtPlot &plot, int channel) {
    const QString title = QStringLiteral("curve%1").arg(channel + 1);
    for (QwtPlotItem *item : plot.itemList(QwtPlotItem::Rtti_PlotCurve)) {
        if (item->title().text() == title)
            return static_cast<QwtPlotCurve *>(item);
    }
    return nullptr;
}

QVector<QPointF> samples(const QwtPlot &plot, int channel) {
    QVector<QPointF> points;
    const QwtPlotCurve *curve = curve_of(plot, channel);
    for (size_t i = 0; i < curve->dataSize(); ++i)
        points << curve->sample(static_cast<int>(i));
    return points;
}

QPair<double, double> axis_range(const QwtPlot &plot, int axis) {
    const QwtScaleDiv &div = plot.axisScaleDiv(axis);
    return {div.lowerBound(), div.upperBound()};
}

QList<int> ints(const QSignalSpy &spy) {
    QList<int> values;
    for (const QList<QVariant> &args : spy)
        values << args[0].toInt();
    return values;
}

QwtPlotZoomer *zoomer_of(const QwtPlot &plot) {
    return plot.canvas()->findChild<QwtPlotZoomer *>();
}

Histogram single_peak(uint32_t bins, uint32_t at, uint32_t count) {
    Histogram h(bins, 0);
    h[at] = count;
    return h;
}

// Checks the drawn samples of one histogram against the whole histogram:
// every drawn point is a bin (not the last one), every non-empty bin is
// drawn, every drawn empty bin touches a non-empty one, and the step
// function of the drawn points has the value of every bin up to the last.
void check_thinning(const QVector<QPointF> &drawn, const Histogram &h, double start, double step) {
    const int n = static_cast<int>(h.size());
    if (n < 2) {
        QCOMPARE(drawn.size(), n);
        if (n == 1)
            QCOMPARE(drawn[0], QPointF(start, h[0]));
        return;
    }
    std::vector<int> kept;
    for (const QPointF &p : drawn) {
        const double index = (p.x() - start) / step;
        QCOMPARE(index, std::round(index));
        const int i = static_cast<int>(index);
        QVERIFY2(i >= 0 && i <= n - 2, "point outside the drawable bins");
        QVERIFY2(kept.empty() || i > kept.back(), "points not in increasing order");
        QCOMPARE(p.y(), double(h[i]));
        kept.push_back(i);
    }
    std::vector<bool> is_kept(n, false);
    for (int i : kept)
        is_kept[i] = true;
    int last_kept = -1;
    for (int i = 0; i <= n - 2; ++i) {
        if (h[i] != 0)
            QVERIFY2(is_kept[i], qPrintable(QStringLiteral("non-empty bin %1 dropped").arg(i)));
        if (is_kept[i] && h[i] == 0)
            QVERIFY2((i > 0 && h[i - 1] != 0) || h[i + 1] != 0,
                     qPrintable(QStringLiteral("empty bin %1 kept needlessly").arg(i)));
        if (is_kept[i])
            last_kept = i;
        const uint32_t drawn_value = last_kept < 0 ? 0 : h[last_kept];
        QVERIFY2(drawn_value == h[i], qPrintable(QStringLiteral("step differs at bin %1").arg(i)));
    }
}

} // namespace

class TestPlots : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void construction_and_pens() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        QCOMPARE(plot.axisTitle(QwtPlot::xBottom).text(), QStringLiteral("Time [ns]"));
        QCOMPARE(plot.axisTitle(QwtPlot::yLeft).text(), QStringLiteral("Counts"));
        QCOMPARE(plot.itemList(QwtPlotItem::Rtti_PlotGrid).size(), 1);

        for (int c = 0; c < 16; ++c) {
            QVERIFY(curve_colors[c].isValid());
            const QwtPlotCurve *curve = curve_of(plot, c);
            QVERIFY(curve);
            QCOMPARE(curve->style(), QwtPlotCurve::Steps);
            QCOMPARE(curve->pen().color(), curve_colors[c]);
            QCOMPARE(curve->pen().widthF(), 0.0);
        }
        QCOMPARE(curve_colors[0], QColor(0, 255, 0));      // "lime"
        QCOMPARE(curve_colors[15], QColor(255, 192, 203)); // "pink"
        QCOMPARE(curve_colors[13], curve_colors[4]);       // "aqua" is Qt's other name of "cyan"

        plot.slot_linewidth_changed(3);
        for (int c = 0; c < 16; ++c) {
            QCOMPARE(curve_of(plot, c)->pen().widthF(), 3.0);
            QCOMPARE(curve_of(plot, c)->pen().color(), curve_colors[c]);
        }
        plot.slot_linewidth_changed(1);
        for (int c = 0; c < 16; ++c)
            QCOMPARE(curve_of(plot, c)->pen().widthF(), 0.0);

        auto *panner = plot.canvas()->findChild<QwtPlotPanner *>();
        QVERIFY(panner);
        Qt::MouseButton pan_button;
        Qt::KeyboardModifiers pan_modifiers;
        panner->getMouseButton(pan_button, pan_modifiers);
        QCOMPARE(pan_button, Qt::MiddleButton);
        QCOMPARE(pan_modifiers, Qt::KeyboardModifiers(Qt::NoModifier));

        QVERIFY(zoomer_of(plot));
        const auto patterns = zoomer_of(plot)->mousePattern();
        QCOMPARE(int(patterns[QwtEventPattern::MouseSelect2].button), int(Qt::RightButton));
        QCOMPARE(int(patterns[QwtEventPattern::MouseSelect2].modifiers), int(Qt::ControlModifier));
        QCOMPARE(int(patterns[QwtEventPattern::MouseSelect3].button), int(Qt::RightButton));
        QCOMPARE(int(patterns[QwtEventPattern::MouseSelect3].modifiers), int(Qt::NoModifier));
    }

    void thinning_examples_data() {
        QTest::addColumn<QVector<uint32_t>>("histogram");
        QTest::addColumn<QVector<int>>("drawn_bins");
        QTest::newRow("peak in the middle")
            << QVector<uint32_t>{0, 0, 0, 5, 0, 0, 0, 0} << QVector<int>{2, 3, 4};
        QTest::newRow("last bin not drawn")
            << QVector<uint32_t>{3, 0, 0, 0, 0, 2} << QVector<int>{0, 1, 4};
        QTest::newRow("all empty") << QVector<uint32_t>{0, 0, 0, 0} << QVector<int>{};
        QTest::newRow("single bin") << QVector<uint32_t>{7} << QVector<int>{0};
        QTest::newRow("two bins") << QVector<uint32_t>{0, 4} << QVector<int>{0};
        QTest::newRow("dense") << QVector<uint32_t>{1, 2, 3, 4} << QVector<int>{0, 1, 2};
        QTest::newRow("zero between")
            << QVector<uint32_t>{1, 0, 1, 0, 0, 1, 1} << QVector<int>{0, 1, 2, 3, 4, 5};
    }

    void thinning_examples() {
        QFETCH(QVector<uint32_t>, histogram);
        QFETCH(QVector<int>, drawn_bins);
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        const Histogram h(histogram.begin(), histogram.end());
        rig.set_window(10.0, static_cast<uint32_t>(h.size()), 1);
        // Channel 1 holds the example; channel 0 a count in the first bin, so the
        // example's channel is drawn even when its histogram is empty.
        rig.expose({single_peak(static_cast<uint32_t>(h.size()), 0, 1), h});
        plot.refresh();

        QVector<QPointF> expected;
        for (int i : drawn_bins)
            expected << QPointF(10.0 + i * 1.0, h[i]);
        if (std::all_of(h.begin(), h.end(), [](uint32_t v) { return v == 0; })) {
            // No event on the channel: its mask bit is clear, so it is empty
            // either way; put the zeros in with an event in a later exposure.
            QVERIFY(samples(plot, 1).isEmpty());
            return;
        }
        QCOMPARE(samples(plot, 1), expected);
    }

    void thinning_random_histograms() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        QRandomGenerator random(20261206);
        const double densities[] = {0.0, 0.003, 0.05, 0.3, 0.8, 1.0};
        for (int round = 0; round < 30; ++round) {
            const uint32_t bins = 1 + random.bounded(400);
            const double start = random.bounded(1000);
            const uint32_t binning = random.bounded(3);
            rig.set_window(start, bins, binning);
            std::vector<Histogram> histos(16, Histogram(bins, 0));
            for (int c = 0; c < 16; ++c) {
                const double density = densities[(c + round) % 6];
                for (uint32_t &v : histos[c])
                    v = random.generateDouble() < density ? 1 + random.bounded(4) : 0;
                // The first and last bins matter most: force them now and then.
                if (c % 4 == 1)
                    histos[c].back() = 3;
                if (c % 4 == 2)
                    histos[c].front() = 2;
            }
            rig.expose(histos);
            plot.refresh();
            const double step = std::ldexp(0.5, static_cast<int>(binning));
            for (int c = 0; c < 16; ++c) {
                const bool any = std::any_of(histos[c].begin(), histos[c].end(),
                                             [](uint32_t v) { return v != 0; });
                if (!any) {
                    QVERIFY(samples(plot, c).isEmpty());
                    continue;
                }
                check_thinning(samples(plot, c), histos[c], start, step);
                if (QTest::currentTestFailed()) {
                    qWarning("round %d channel %d, %u bins", round, c, bins);
                    return;
                }
            }
        }
    }

    void time_axis() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        rig.tdc->set_histo_params({100.0, 50.0, 0.5, 2, 16});
        std::vector<double> t{1.0, 2.0};
        plot.compute_time_axis(t);
        QCOMPARE(t.size(), size_t(26));
        for (size_t i = 0; i < t.size(); ++i)
            QCOMPARE(t[i], 100.0 + 2.0 * i);

        // The start offset is kept unrounded, and a size that is no whole number
        // of bins still counts the bins that begin inside the window.
        rig.tdc->set_histo_params({0.25, 10.9, 1.0, 0, 16});
        plot.compute_time_axis(t);
        QCOMPARE(t.size(), size_t(11));
        QCOMPARE(t.front(), 0.25);
        QCOMPARE(t.back(), 10.25);

        // A bin count that cannot exist gives an empty axis, not a crash.
        rig.tdc->set_histo_params({0.0, 1e300, 1e-300, 0, 16});
        plot.compute_time_axis(t);
        QVERIFY(t.empty());
    }

    void autoscaling_sequences() {
        // Each sequence starts on a fresh plot in "fit"; a mode of -1 keeps the
        // mode, 7 is unknown and behaves like "off".
        struct Step {
            int mode;
            uint32_t peak;
            double top;
        };
        const std::vector<std::vector<Step>> sequences = {
            // clang-format off
            {{-1, 200, 210.0}, {-1, 100, 105.0}, {1, 80, 105.0}, {-1, 400, 420.0},
             {-1, 399, 420.0}, {2, 10, 420.0}, {7, 500, 420.0}, {0, 10, 10.5}},
            // clang-format on
            // Nothing applied yet: even "off" sets the axis once.
            {{2, 40, 42.0}, {-1, 400, 42.0}},
        };
        for (const std::vector<Step> &sequence : sequences) {
            HistogramRig rig;
            Mhisto plot(rig.tdc.get(), nullptr);
            rig.set_window(0.0, 20);
            for (const Step &step : sequence) {
                if (step.mode >= 0)
                    plot.slot_auto_scaling_y(step.mode);
                rig.expose({single_peak(20, 5, step.peak)});
                plot.refresh();
                QCOMPARE(axis_range(plot, QwtPlot::yLeft), qMakePair(0.0, step.top));
            }
        }
    }

    void events_outside_window_reset_top() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        rig.set_window(100.0, 20);
        rig.expose({single_peak(20, 5, 50)});
        plot.refresh();
        QCOMPARE(axis_range(plot, QwtPlot::yLeft), qMakePair(0.0, 52.5));

        // Before and after the window: counted, but never binned.
        rig.play({FakeOxTdc::make_event(0, 10), FakeOxTdc::make_event(0, 100000)}, {2}, true);
        plot.refresh();
        QCOMPARE(axis_range(plot, QwtPlot::yLeft).second, 0.0);

        // The top is back to "none applied", so even "off" takes the next one.
        plot.slot_auto_scaling_y(2);
        rig.expose({single_peak(20, 5, 100)});
        plot.refresh();
        QCOMPARE(axis_range(plot, QwtPlot::yLeft), qMakePair(0.0, 105.0));
    }

    void zoom_base_follows_refresh() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        plot.resize(800, 600);
        QwtPlotZoomer *zoomer = zoomer_of(plot);
        rig.tdc->set_histo_params({100.0, 50.0, 0.5, 2, 16});
        rig.expose({single_peak(26, 5, 200)});
        plot.refresh();
        QCOMPARE(zoomer->zoomBase(), QRectF(QPointF(100.0, 0.0), QPointF(150.0, 210.0)));
        QCOMPARE(zoomer->zoomRectIndex(), 0u);

        // A refresh that sets no scale keeps the user's zoom.
        plot.slot_auto_scaling_y(2);
        const QRectF zoomed(QPointF(110.0, 10.0), QPointF(120.0, 50.0));
        zoomer->zoom(zoomed);
        rig.expose({single_peak(26, 5, 300)});
        plot.refresh();
        QCOMPARE(axis_range(plot, QwtPlot::xBottom), qMakePair(110.0, 120.0));
        QCOMPARE(zoomer->zoomBase(), QRectF(QPointF(100.0, 0.0), QPointF(150.0, 210.0)));

        // After a new top the base is the window and 0 to that top, whatever was
        // shown before.
        plot.slot_auto_scaling_y(0);
        zoomer->zoom(QRectF(QPointF(90.0, 100.0), QPointF(160.0, 900.0)));
        rig.expose({single_peak(26, 5, 400)});
        plot.refresh();
        QCOMPARE(zoomer->zoomBase(), QRectF(QPointF(100.0, 0.0), QPointF(150.0, 420.0)));
        zoomer->zoom(0);
        QCOMPARE(axis_range(plot, QwtPlot::xBottom), qMakePair(100.0, 150.0));
        QCOMPARE(axis_range(plot, QwtPlot::yLeft), qMakePair(0.0, 420.0));

        // A new window moves the base with it.
        rig.tdc->set_histo_params({0.0, 20.0, 0.5, 0, 16});
        rig.expose({single_peak(41, 5, 10)});
        plot.refresh();
        QCOMPARE(zoomer->zoomBase(), QRectF(QPointF(0.0, 0.0), QPointF(20.0, 10.5)));
        zoomer->zoom(QRectF(QPointF(5.0, 1.0), QPointF(6.0, 2.0)));
        zoomer->zoom(0);
        QCOMPARE(axis_range(plot, QwtPlot::xBottom), qMakePair(0.0, 20.0));
        QCOMPARE(axis_range(plot, QwtPlot::yLeft), qMakePair(0.0, 10.5));
    }

    void bottom_axis_follows_window() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        rig.tdc->set_histo_params({0.0, 1000.0, 0.5, 0, 16});
        rig.expose({single_peak(2001, 5, 3)});
        plot.refresh();
        QVERIFY2(plot.axisAutoScale(QwtPlot::xBottom), "the initial window sets no scale");
        rig.tdc->set_histo_params({250.0, 500.0, 0.5, 0, 16});
        rig.expose({single_peak(1001, 5, 3)});
        plot.refresh();
        QVERIFY(!plot.axisAutoScale(QwtPlot::xBottom));
        QCOMPARE(axis_range(plot, QwtPlot::xBottom), qMakePair(250.0, 750.0));
    }

    void channel_mask_hides_stale_channels() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        rig.set_window(0.0, 10);
        rig.expose({single_peak(10, 2, 4), single_peak(10, 3, 5)});
        plot.refresh();
        QCOMPARE(samples(plot, 1).size(), 3);

        // Accumulate without clearing, but with fresh statistics: channel 1 still
        // holds counts yet had no events since the reset.
        rig.tdc->reset_histo_stats();
        rig.play({FakeOxTdc::make_event(0, 2)}, {1}, false);
        plot.refresh();
        QVERIFY(samples(plot, 1).isEmpty());
        QCOMPARE(samples(plot, 0), (QVector<QPointF>{{0.5, 0}, {1.0, 5}, {1.5, 0}}));
    }

    void channel_counts_four_and_zero() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        rig.set_window(0.0, 10);
        rig.expose(std::vector<Histogram>(16, single_peak(10, 4, 2)));
        plot.refresh();
        for (int c = 0; c < 16; ++c)
            QCOMPARE(samples(plot, c).size(), 3);

        rig.set_window(0.0, 10, 0, 4);
        rig.expose(std::vector<Histogram>(16, single_peak(10, 6, 9)));
        plot.refresh();
        for (int c = 0; c < 4; ++c)
            QCOMPARE(samples(plot, c)[1], QPointF(3.0, 9.0));
        for (int c = 4; c < 16; ++c)
            QCOMPARE(samples(plot, c)[1], QPointF(2.0, 2.0)); // kept from before
        QCOMPARE(axis_range(plot, QwtPlot::yLeft), qMakePair(0.0, 9 * 1.05));

        QSignalSpy average(&plot, &Mhisto::newAverage);
        QSignalSpy minmax(&plot, &Mhisto::newMinMax);
        rig.set_window(0.0, 10, 0, 0);
        rig.play({FakeOxTdc::make_event(0, 3)}, {1}, true);
        plot.refresh();
        QCOMPARE(average.size(), 0);
        QCOMPARE(minmax.size(), 0);
        QCOMPARE(samples(plot, 0)[1], QPointF(3.0, 9.0));
        QCOMPARE(axis_range(plot, QwtPlot::yLeft), qMakePair(0.0, 9 * 1.05));
    }

    void signals_carry_times_even_without_events() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        rig.set_window(0.0, 100);
        QSignalSpy average(&plot, &Mhisto::newAverage);
        QSignalSpy minmax(&plot, &Mhisto::newMinMax);
        // 10, 20 and 31 device bins of 0.5 ns; the average is rounded down to a
        // whole device bin (61 / 3 = 20) before it becomes a time.
        rig.play({FakeOxTdc::make_event(0, 10), FakeOxTdc::make_event(3, 31),
                  FakeOxTdc::make_event(20, 20)},
                 {1, 0, 0, 1}, true);
        plot.refresh();
        QCOMPARE(minmax.size(), 1);
        QCOMPARE(minmax[0][0].toDouble(), 5.0);
        QCOMPARE(minmax[0][1].toDouble(), 15.5);
        QCOMPARE(average.size(), 1);
        QCOMPARE(average[0][0].toDouble(), 10.0);

        // An exposure without events keeps the axis and still signals; the reset
        // minimum (all bits set) is passed on converted like any time.
        rig.expose({});
        plot.refresh();
        QCOMPARE(axis_range(plot, QwtPlot::yLeft), qMakePair(0.0, 1.05));
        QCOMPARE(average.size(), 2);
        QCOMPARE(average[1][0].toDouble(), 0.0);
        QCOMPARE(minmax.size(), 2);
        QCOMPARE(minmax[1][0].toDouble(), rig.tdc->bins_to_time(~uint64_t(0), 0));
        QCOMPARE(minmax[1][1].toDouble(), 0.0);
        QVERIFY(samples(plot, 0).isEmpty());
    }

    void rates_hysteresis() {
        HistogramRig rig;
        Mrates rates(rig.tdc.get(), nullptr);
        QCOMPARE(axis_range(rates, QwtPlot::yLeft), qMakePair(-0.5, 100.0));
        auto plot_max = [&](uint32_t max) {
            std::vector<uint32_t> counts(16, 0);
            counts[7] = max;
            counts[2] = max / 2;
            rig.play({}, counts, true);
            rates.plotRates();
            return axis_range(rates, QwtPlot::yLeft);
        };
        const std::pair<uint32_t, double> steps[] = {
            {50, 100.0}, {30, 100.0}, {20, 21.0}, {25, 26.25}, {26, 26.25},
            {27, 28.35}, {0, 0.0},    {0, 0.0},   {10, 10.5},  {4000000000u, 4.2e9}};
        for (const auto &step : steps)
            QCOMPARE(plot_max(step.first), qMakePair(-0.5, step.second));
    }

    void rates_axes_and_bars() {
        HistogramRig rig;
        rig.set_window(0.0, 10, 0, 4);
        Mrates rates(rig.tdc.get(), nullptr);
        QCOMPARE(axis_range(rates, QwtPlot::xBottom), qMakePair(0.5, 1.5));
        QCOMPARE(rates.axisTitle(QwtPlot::xBottom).text(), QStringLiteral("Channel"));
        QCOMPARE(rates.axisTitle(QwtPlot::yLeft).text(), QStringLiteral("Counts"));
        const QwtPlotCurve *curve = curve_of(rates, 0);
        QVERIFY(curve);
        QCOMPARE(curve->style(), QwtPlotCurve::Sticks);
        QCOMPARE(curve->dataSize(), size_t(0));

        // Only four channels, but all sixteen words of the block are shown.
        std::vector<uint32_t> counts(16);
        for (uint32_t c = 0; c < 16; ++c)
            counts[c] = c * 3;
        rig.play({}, counts, true);
        rates.plotRates();
        QCOMPARE(axis_range(rates, QwtPlot::xBottom), qMakePair(0.5, 16.5));
        QCOMPARE(curve->dataSize(), size_t(16));
        for (int c = 0; c < 16; ++c)
            QCOMPARE(curve->sample(c), QPointF(c + 1, c * 3));
    }

    void toolbar_items_and_signals() {
        MhistoToolbar toolbar(nullptr);
        auto *combo = toolbar.findChild<QComboBox *>();
        auto *spin = toolbar.findChild<QSpinBox *>();
        QVERIFY(combo && spin);
        QCOMPARE(combo->count(), 3);
        QCOMPARE(combo->currentText(), QStringLiteral("fit"));
        QCOMPARE(spin->value(), 1);
        QStringList labels;
        for (auto *label : toolbar.findChildren<QLabel *>())
            labels << label->text();
        QCOMPARE(labels, (QStringList{"y-autoscaling:", "line width:"}));

        QSignalSpy modes(&toolbar, &MhistoToolbar::auto_scaling_y_changed);
        QSignalSpy widths(&toolbar, &MhistoToolbar::linewidth_changed);
        combo->setCurrentIndex(combo->findText(QStringLiteral("grow")));
        combo->setCurrentIndex(combo->findText(QStringLiteral("off")));
        combo->setCurrentIndex(combo->findText(QStringLiteral("fit")));
        QCOMPARE(ints(modes), (QList<int>{1, 2, 0}));

        spin->stepUp();
        QCOMPARE(ints(widths), QList<int>{2});
        spin->setValue(9);
        QCOMPARE(spin->value(), 4);
        spin->stepUp();
        spin->setValue(0);
        QCOMPARE(spin->value(), 1);
        spin->stepDown();
        QCOMPARE(ints(widths), (QList<int>{2, 4, 1})); // nothing past the ends
        QCOMPARE(modes.size(), 3);
    }
};

QTEST_MAIN(TestPlots)
#include "tst_plots.moc"
