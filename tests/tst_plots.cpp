// Histogram plot, rates plot and toolbar on a TdcIface filled by the device library's double.

#include "plots/mhisto.h"
#include "plots/mhistotoolbar.h"
#include "plots/mrates.h"
#include "plots/plotimage.h"
#include "plots/ratehistory.h"
#include "plots/ratehistorywindow.h"
#include "plots/stepcurve.h"
#include "tests/histogramrig.h"

#include <qwt_plot_textlabel.h>

#include <QtTest>
#include <QtWidgets>
#include <qwt_legend.h>
#include <qwt_legend_label.h>
#include <qwt_plot_zoomer.h>
#include <qwt_scale_map.h>

namespace {

using Emitted = QList<QList<QVariant>>;
using Points = QVector<QPointF>;

const QwtPlotCurve *curve_of(const QwtPlot &plot, int channel) {
    return static_cast<QwtPlotCurve *>(plot.itemList(QwtPlotItem::Rtti_PlotCurve)[channel]);
}

Points samples(const QwtPlot &plot, int channel) {
    Points points;
    for (size_t i = 0; i < curve_of(plot, channel)->dataSize(); ++i)
        points << curve_of(plot, channel)->sample(int(i));
    return points;
}

QPair<double, double> range(const QwtPlot &plot, int axis) {
    return {plot.axisScaleDiv(axis).lowerBound(), plot.axisScaleDiv(axis).upperBound()};
}

Histogram peak(uint32_t bins, uint32_t at, uint32_t count) {
    Histogram h(bins, 0);
    h[at] = count;
    return h;
}

// The steps drawn through the points have the value of every bin but the last, with no more
// points than the bins that are not empty or touch one.
bool same_steps(const Points &drawn, const Histogram &h, double start, double step) {
    const size_t shown = h.size() > 1 ? h.size() - 1 : h.size();
    Histogram steps(shown, 0);
    int needed = 0;
    for (size_t i = 0; i < shown; ++i)
        needed += h[i] || (i > 0 && h[i - 1]) || (i + 1 < h.size() && h[i + 1]);
    for (int k = 0; k < drawn.size(); ++k) {
        const double first = (drawn[k].x() - start) / step;
        const double end = k + 1 < drawn.size() ? (drawn[k + 1].x() - start) / step : shown;
        if (first < 0 || first != std::round(first) || first >= end || end > shown)
            return false;
        std::fill(steps.begin() + long(first), steps.begin() + long(end), uint32_t(drawn[k].y()));
    }
    return steps == Histogram(h.begin(), h.begin() + long(shown)) && drawn.size() == needed;
}
} // namespace

class TestPlots : public QObject {
    Q_OBJECT
private slots:
    void thinning_channels_and_toolbar() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        QRandomGenerator random(20261206);
        for (int round = 0; round < 30; ++round) {
            const uint32_t bins = round ? 1 + random.bounded(400) : 1, binning = random.bounded(3);
            const double start = random.bounded(1000);
            rig.set_window(start, bins, binning);
            std::vector<Histogram> histos(16, Histogram(bins, 0));
            for (int c = 0; c < 16; ++c) {
                const double density = std::ldexp(1.0, -((c + round) % 9)) - 0.004; // 1 to none
                for (uint32_t &v : histos[c])
                    v = random.generateDouble() < density ? 1 + random.bounded(4) : 0;
                if (c % 4 < 2) // the edge bins matter most
                    histos[c][c % 2 ? bins - 1 : 0] = 3;
            }
            plot.show_exposure(rig.expose(histos));
            for (int c = 0; c < 16; ++c)
                QVERIFY2(same_steps(samples(plot, c), histos[c], start, std::ldexp(0.5, binning)),
                         qPrintable(QString("round %1, channel %2").arg(round).arg(c)));
        }
        // A bin count that cannot exist gives an empty time axis, not a crash.
        rig.tdc->set_histo_params({0.0, 1e300, 1e-300, 0, 16}); // taken up by the next exposure
        plot.show_exposure(rig.play({}, std::vector<uint32_t>(16, 0), true));
        std::vector<double> t{1.0};
        plot.compute_time_axis(t);
        QVERIFY(t.empty());
        // Channel mask and channel counts on the same plot.
        rig.set_window(0.0, 10);
        plot.show_exposure(rig.expose(std::vector<Histogram>(16, peak(10, 4, 2))));
        // Four channels: the curves above them keep what they showed.
        const Points before{{1.5, 0}, {2.0, 2}, {2.5, 0}}, after{{2.5, 0}, {3.0, 9}, {3.5, 0}};
        rig.set_window(0.0, 10, 0, 4);
        plot.show_exposure(rig.expose(std::vector<Histogram>(16, peak(10, 6, 9))));
        for (int c = 0; c < 16; ++c)
            QCOMPARE(samples(plot, c), c < 4 ? after : before);
        // After a statistics reset, channels 1 to 3 had no events since: drawn empty.
        rig.tdc->reset_histo_stats();
        plot.show_exposure(rig.play({FakeOxTdc::make_event(0, 2)}, {1}, false));
        const Points accumulated = Points{{0.5, 0}, {1.0, 1}, {1.5, 0}} + after;
        QCOMPARE(samples(plot, 0), accumulated);
        for (int c = 1; c < 16; ++c)
            QCOMPARE(samples(plot, c), c < 4 ? Points{} : before);
        // No channels: a refresh changes and signals nothing.
        QSignalSpy average(&plot, &Mhisto::newAverage), minmax(&plot, &Mhisto::newMinMax);
        rig.set_window(0.0, 10, 0, 0);
        plot.show_exposure(rig.play({FakeOxTdc::make_event(0, 3)}, {1}, true));
        QCOMPARE(average.size() + minmax.size(), 0);
        QCOMPARE(samples(plot, 0), accumulated);
        QCOMPARE(range(plot, QwtPlot::yLeft), qMakePair(0.0, 1.05));
        // The toolbar's modes and widths, none past the ends; width 1 is the cosmetic pen 0.
        MhistoToolbar toolbar(nullptr);
        connect(&toolbar, &MhistoToolbar::linewidth_changed, &plot,
                &Mhisto::slot_linewidth_changed);
        QSignalSpy modes(&toolbar, &MhistoToolbar::auto_scaling_y_changed);
        auto *combo = toolbar.findChild<QComboBox *>();
        for (const char *mode : {"grow", "off", "fit"})
            combo->setCurrentIndex(combo->findText(QLatin1String(mode)));
        QCOMPARE(Emitted(modes), (Emitted{{1}, {2}, {0}}));
        for (auto [value, width] : {std::pair{9, 4.0}, {0, 0.0}}) {
            toolbar.findChild<QSpinBox *>()->setValue(value);
            for (int c = 0; c < 16; ++c)
                QCOMPARE(curve_of(plot, c)->pen(), QPen(curve_colors[c], width));
        }
    }

    // StepCurve paints Qwt's Steps but for one pixel per column and 0.5 % of the pixels: dense or
    // sparse bins, the whole curve or a zoomed part, 1-pixel and wider pens.
    void reduced_steps_paint_the_pixels_of_every_step() {
        QRandomGenerator random(16);
        for (int round = 0; round < 10; ++round) {
            const int bins = 2000 + random.bounded(14000), width = round % 5;
            const bool sparse = round % 2, zoomed = round >= 5;
            QVector<double> xs, ys;
            for (int i = 0; i < bins; ++i)
                if (!sparse || random.bounded(30) == 0 || (i > 0 && ys.last() != 0.0))
                    xs << i * 0.5, ys << (sparse ? random.bounded(2) : 1) * random.bounded(999);
            QwtScaleMap x, y; // y from 0 to 500 zoomed in, else 0 to 1100
            x.setPaintInterval(0, 600);
            x.setScaleInterval(zoomed ? bins / 8 : -100.0,
                               zoomed ? bins / 8 + bins / 50 : bins / 2 + 100);
            y.setPaintInterval(300, 0);
            y.setScaleInterval(0, zoomed ? 500 : 1100);
            auto paint = [&](QwtPlotCurve &&curve) {
                curve.setStyle(QwtPlotCurve::Steps);
                curve.setPen(QPen(curve_colors[round % 16], width));
                curve.setSamples(xs, ys);
                QImage image(600, 300, QImage::Format_RGB32);
                image.fill(Qt::white);
                QPainter painter(&image);
                curve.draw(&painter, x, y, image.rect());
                return image;
            };
            const QImage ours = paint(StepCurve("reduced")), qwt = paint(QwtPlotCurve("steps"));
            int inked = 0, total = 0, worst = 0;
            for (int column = 0; column < 600; ++column) {
                int differ = 0;
                for (int row = 0; row < 300; ++row) {
                    inked += qwt.pixel(column, row) != qRgb(255, 255, 255);
                    differ += ours.pixel(column, row) != qwt.pixel(column, row);
                }
                total += differ;
                worst = std::max(worst, differ);
            }
            QVERIFY2(inked > 300 && worst <= 1 && total < 0.005 * inked,
                     qPrintable(QString::asprintf("round %d: %d of %d pixels differ, column max %d",
                                                  round, total, inked, worst)));
        }
    }

    void autoscaling_signals_and_zoom_base() {
        // On a log axis the top is twice the peak, at least one count, above a floor of 0.5.
        auto y_range = [](bool log, double top) {
            return log ? qMakePair(0.5, std::max(1.0, top / 1.05 * 2.0)) : qMakePair(0.0, top);
        };
        // Each sequence on a fresh plot in "fit"; mode 7 acts like "off". Peak -1: no events, -2:
        // its events (5 and 499.5 ns) all outside the window.
        constexpr int keep = -1, none = -1, outside = -2;
        // clang-format off
        struct Step { int mode, peak; double top; };
        const std::vector<std::vector<Step>> sequences = {
            {{keep, 200, 210}, {keep, 100, 105}, {1, 80, 105}, {keep, 400, 420}, {keep, 399, 420},
             {2, 10, 420}, {7, 500, 420}, {0, 10, 10.5}, {keep, none, 10.5}, {keep, outside, 0},
             {2, 100, 105}, {keep, 400, 105}},
            {{2, 40, 42}, {keep, 400, 42}},
            {{1, 50, 52.5}, {keep, outside, 52.5}, {keep, none, 52.5}, {keep, 20, 52.5}}};
        // clang-format on
        for (int run = 0; run < int(2 * sequences.size()); ++run) {
            const bool log = run % 2;
            const std::vector<Step> &sequence = sequences[size_t(run / 2)];
            HistogramRig rig;
            Mhisto plot(rig.tdc.get(), nullptr);
            plot.set_log_counts(log);
            plot.resize(800, 600);
            auto *zoomer = plot.canvas()->findChild<QwtPlotZoomer *>();
            double shown_top = -1;
            rig.set_window(100.0, 20);
            for (const Step &step : sequence) {
                if (step.mode != keep)
                    plot.slot_auto_scaling_y(step.mode);
                QSignalSpy minmax(&plot, &Mhisto::newMinMax), average(&plot, &Mhisto::newAverage);
                const std::vector<TdcEvent> missed{FakeOxTdc::make_event(0, 10),
                                                   FakeOxTdc::make_event(0, 999)};
                plot.show_exposure(step.peak == outside ? rig.play(missed, {2}, true)
                                   : step.peak == none  ? rig.expose({Histogram{}})
                                                        : rig.expose({peak(20, 5, step.peak)}));
                // Events that all missed the window leave a note saying where they were.
                const QwtPlotItemList notes = plot.itemList(QwtPlotItem::Rtti_PlotTextLabel);
                QCOMPARE(notes.size(), int(step.peak == outside));
                if (!notes.isEmpty())
                    QCOMPARE(static_cast<QwtPlotTextLabel *>(notes[0])->text().text(),
                             QString("no event fell in the histogram window: the events lay "
                                     "between 5 ns and 499.5 ns"));
                // A top that changes was applied; otherwise the zoomed view stays.
                QCOMPARE(range(plot, QwtPlot::yLeft),
                         step.top != shown_top ? y_range(log, step.top) : qMakePair(100.0, 900.0));
                shown_top = step.top;
                // The average is rounded down to a device bin (1009 / 2 = 504).
                const Emitted expected =
                    step.peak == none      ? Emitted{{rig.tdc->bins_to_time(~0ull, 0), 0.0}, {0.0}}
                    : step.peak == outside ? Emitted{{5.0, 499.5}, {252.0}}
                                           : Emitted{{102.5, 102.5}, {102.5}};
                QCOMPARE(minmax + average, expected);
                // Zooming out of a view beyond the base shows the window and 0 to the top.
                zoomer->zoom(0);
                QCOMPARE(range(plot, QwtPlot::xBottom), qMakePair(100.0, 109.5));
                QCOMPARE(range(plot, QwtPlot::yLeft), y_range(log, step.top));
                zoomer->zoom(QRectF(QPointF(90, 100), QPointF(101, 900)));
            }
        }
    }

    // Empty bins lie on a log axis's floor; switching the scale rescales at once in any mode.
    void log_axis_draws_empty_bins_on_its_floor() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        plot.resize(800, 600);
        plot.show();
        rig.set_window(0.0, 40);
        Histogram decay(40, 0);
        for (int i = 5; i < 30; i += 2) // empty bins between the counts
            decay[size_t(i)] = uint32_t(1000 >> ((i - 5) / 3));
        plot.slot_auto_scaling_y(2);
        plot.show_exposure(rig.expose({decay, Histogram(40, 0)}));
        QCOMPARE(range(plot, QwtPlot::yLeft), qMakePair(0.0, 1050.0));
        plot.set_log_counts(true);
        QCOMPARE(range(plot, QwtPlot::yLeft), qMakePair(0.5, 2000.0));
        plot.replot();
        const QwtScaleMap counts = plot.canvasMap(QwtPlot::yLeft);
        for (double empty : {0.0, -1.0, 0.1, std::nan("")})
            QCOMPARE(counts.transform(empty), counts.transform(0.5));
        QVERIFY(counts.transform(1.0) < counts.transform(0.5) - 10); // one count clear of it
        // Painted: every column of the curve's span has ink, the empty bins on the floor row.
        const QImage image = plot.canvas()->grab().toImage();
        const int floor_row = int(std::lround(counts.transform(0.5)));
        const QwtScaleMap time = plot.canvasMap(QwtPlot::xBottom);
        int inked = 0;
        for (int x = int(time.transform(0.5)); x < int(time.transform(2.5)); ++x)
            for (int y = floor_row - 2; y <= floor_row + 1; ++y)
                inked += image.pixelColor(x, y) == curve_colors[0];
        QVERIFY2(inked > 0, "the leading empty bins are drawn on the floor");
        // Back to linear: the count axis from 0 again.
        plot.set_log_counts(false);
        QCOMPARE(range(plot, QwtPlot::yLeft), qMakePair(0.0, 1050.0));
    }

    // Hidden curves count for nothing in the autoscaling; the legend hides them, bars go grey.
    void hidden_channels_and_autoscaling() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        Mrates rates(rig.tdc.get(), nullptr);
        connect(&plot, &Mhisto::hidden_channels_changed, &rates, &Mrates::set_hidden_channels);
        plot.resize(900, 600);
        plot.show();
        rig.set_window(0.0, 20);
        plot.show_exposure(rig.expose({peak(20, 3, 100), peak(20, 5, 400), peak(20, 7, 40)}));
        rates.show_exposure(rig.result());
        // clang-format off
        struct Step { int mode; uint32_t hidden; double top; };
        const Step steps[] = {
            {0, 0b010, 105}, {0, 0b011, 42}, {0, 0b111, 0}, {0, 0b000, 420}, // fit follows
            {1, 0b010, 420}, {1, 0b000, 420},                                // grow only grows
            {0, 0b110, 105}, {2, 0b100, 105}};                               // off stays
        // clang-format on
        for (const Step &step : steps) {
            plot.slot_auto_scaling_y(step.mode);
            plot.set_hidden_channels(step.hidden);
            QCOMPARE(range(plot, QwtPlot::yLeft).second, step.top);
            for (int c = 0; c < 3; ++c)
                QCOMPARE(curve_of(plot, c)->isVisible(), !(step.hidden & (1u << c)));
        }
        // The legend: channel 1's entry hides it, and its bar turns grey over the red one.
        plot.slot_auto_scaling_y(0);
        plot.set_hidden_channels(0);
        auto *label = qobject_cast<QwtLegendLabel *>(plot.findChild<QwtLegend *>()->legendWidget(
            plot.itemToInfo(const_cast<QwtPlotCurve *>(curve_of(plot, 1)))));
        QVERIFY(label && label->isChecked());
        QSignalSpy changed(&plot, &Mhisto::hidden_channels_changed);
        QTest::mouseClick(label, Qt::LeftButton);
        QCOMPARE(Emitted(changed), Emitted{{QVariant::fromValue(0b10u)}});
        QCOMPARE(range(plot, QwtPlot::yLeft).second, 105.0);
        QCOMPARE(samples(rates, 1), (Points{{2, 400}}));
        QTest::mouseClick(label, Qt::LeftButton);
        QCOMPARE(plot.hidden_channels(), 0u);
        QCOMPARE(samples(rates, 1), Points{});
    }

    // The cursor reads the time, the counts and the shown curve nearest on screen at that time.
    void cursor_reads_the_nearest_curve() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        plot.resize(800, 600);
        rig.set_window(100.0, 20); // 0.5 ns bins
        Histogram low(20, 0), high(20, 0);
        for (int i = 2; i < 12; ++i)
            low[size_t(i)] = 10, high[size_t(i)] = 300;
        plot.show_exposure(rig.expose({low, high}));
        // clang-format off
        struct Read { double t, counts; uint32_t hidden; QString text; };
        const Read reads[] = {
            {101.2, 20, 0, "101.20 ns, 20 counts\nch0: 10"},
            {101.2, 250, 0, "101.20 ns, 250 counts\nch1: 300"},
            {101.2, 250, 0b10, "101.20 ns, 250 counts\nch0: 10"},
            {100.7, 250, 0, "100.70 ns, 250 counts\nch0: 0"},     // empty bins: the first one wins
            {100.2, 250, 0, "100.20 ns, 250 counts"},              // before the curves begin
            {99.0, 250, 0, "99.00 ns, 250 counts"},                // before the first sample
            {107.0, 5, 0, "107.00 ns, 5.0 counts"},                  // past the last one's bin
            {101.2, 250, 0b11, "101.20 ns, 250 counts"}};
        // clang-format on
        for (const Read &read : reads) {
            plot.set_hidden_channels(read.hidden);
            QCOMPARE(plot.cursor_text(QPointF(read.t, read.counts)), read.text);
        }
        Mrates rates(rig.tdc.get(), nullptr);
        ExposureResult result = rig.play({}, {7, 0, 9}, true);
        result.lost = ChannelCounts{0, 0, 4};
        rates.show_exposure(result);
        QCOMPARE(rates.cursor_text(QPointF(0.8, 3)), QStringLiteral("ch0: 7 counts"));
        QCOMPARE(rates.cursor_text(QPointF(3.2, 3)), QStringLiteral("ch2: 9 counts, 4 lost"));
        QCOMPARE(rates.cursor_text(QPointF(17.0, 3)), QString());
    }

    // Each format is picked by the name, written whole and readable; a failure leaves nothing.
    void plot_images() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        plot.resize(600, 400);
        rig.set_window(0.0, 20);
        plot.show_exposure(rig.expose({peak(20, 3, 100), peak(20, 5, 400)}));
        plot.set_log_counts(true);
        plot.set_hidden_channels(0b10);
        QTemporaryDir dir;
        const std::tuple<QString, bool, QByteArray> rows[] = {
            {"a.png", true, "\x89PNG"}, {"b.svg", true, "<?xml"}, {"c.PDF", true, "%PDF"},
            {"d.jpg", false, ""},       {"e", false, ""},         {"none/f.png", false, ""},
            {"a.png", true, "\x89PNG"}}; // replaced
        for (const auto &[name, ok, starts] : rows) {
            const QString path = dir.filePath(name);
            QString why;
            QCOMPARE(write_plot_image(&plot, path, 150, "footer", &why), ok);
            QCOMPARE(why.isEmpty(), ok);
            QFile file(path);
            QCOMPARE(file.open(QIODevice::ReadOnly), ok);
            QVERIFY2(file.read(8).startsWith(starts), qPrintable(name));
            QVERIFY(!QFileInfo::exists(path + ".part"));
        }
        const QImage image(dir.filePath("a.png"));
        const double scale = 150.0 / plot.logicalDpiX();
        QCOMPARE(image.size(), QSize(int(600 * scale), int(400 * scale)));
        QCOMPARE(qRound(image.dotsPerMeterX() * 0.0254), 150);
        // The curve's colour is in the image, the hidden one's is not.
        const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
        const QRgb *pixels = reinterpret_cast<const QRgb *>(rgb.constBits());
        const QRgb *end = pixels + rgb.width() * rgb.height();
        QVERIFY(std::find(pixels, end, curve_colors[0].rgb()) != end &&
                std::find(pixels, end, curve_colors[1].rgb()) == end);
        QCOMPARE(plot.footer().text(), QString()); // the screen keeps no footer
        QFile svg(dir.filePath("b.svg"));
        QVERIFY(svg.open(QIODevice::ReadOnly) && svg.readAll().contains("footer"));
        // The footer names what the image shows.
        const HistoParams params{100.0, 1000.0, 0.125, 2, 16};
        const QDateTime when(QDate(2026, 12, 7), QTime(10, 0, 0));
        const std::pair<uint32_t, QString> channels[] = {
            {0xffff, "0-15"}, {0xfe2f, "0-3, 5, 9-15"}, {0b11, "0, 1"}, {0, "none"}};
        for (const auto &[mask, list] : channels)
            QCOMPARE(plot_image_footer(when, 12, 3, params, mask, 16),
                     "2026-12-07 10:00:00   exposure 12, 3 accumulated\nwindow 100 to 1100 ns   "
                     "bins 0.5 ns (binning 4)   channels " +
                         list);
    }

    // Rates per second over the last ten minutes, never more than the cap.
    void rate_history_span_and_cap() {
        RateHistory history;
        ChannelCounts counts{}, lost{};
        counts[3] = 500;
        lost[3] = 50;
        history.add(10.0, 0.5, counts, lost);
        QCOMPARE(history.points().back().rate[3], 1000.0);
        QCOMPARE(history.points().back().lost[3], 100.0);
        history.add(11.0, 0.0, counts, lost); // no duration, no rate
        QCOMPARE(history.points().size(), size_t(1));
        for (int i = 1; i <= 700; ++i)
            history.add(10.0 + i, 1.0, counts, lost);
        QCOMPARE(history.points().front().time_s, 710.0 - 600.0);
        QCOMPARE(history.points().size(), size_t(601));
        for (int i = 0; i < 4000; ++i)
            history.add(710.0 + i * 0.01, 0.01, counts, lost);
        QCOMPARE(history.points().size(), RateHistory::max_points);
        history.add(5.0, 1.0, counts, lost); // the clock went back
        QCOMPARE(history.points().size(), size_t(1));
    }

    // The rate history keeps its count axis and hidden channels for the next start.
    void rate_history_window_keeps_its_choices() {
        QSettings().clear();
        {
            RateHistoryWindow window(nullptr);
            QCOMPARE(window.hidden_channels(), 0u);
            window.set_log_rates(true);
            window.set_hidden_channels(0x18005);
        }
        RateHistoryWindow window(nullptr);
        QCOMPARE(window.hidden_channels(), 0x8005u);
        QCOMPARE(window.findChild<QComboBox *>("cb_y_scale")->currentIndex(), 1);
    }

    // The curves painted together, column by column, show what each painted on its own in
    // order does: later channels over earlier ones, empty bins on the log axis's floor, hidden
    // channels left out.
    void curves_painted_together_as_one_by_one() {
        HistogramRig rig;
        Mhisto plot(rig.tdc.get(), nullptr);
        plot.resize(700, 500);
        plot.show();
        QVERIFY(QTest::qWaitForWindowExposed(&plot));
        const uint32_t bins = 20000;
        rig.set_window(0.0, bins);
        QRandomGenerator random(7);
        std::vector<Histogram> histograms(4, Histogram(bins, 0));
        for (uint32_t c = 0; c < 4; ++c)
            for (uint32_t i = 0; i < bins; ++i)
                if ((i / 700) % 3 != c % 3 && random.bounded(4) != 0) // runs of empty bins
                    histograms[c][i] = uint32_t(30 + c * 40 + random.bounded(200));
        plot.show_exposure(rig.expose(histograms));
        plot.set_hidden_channels(0x4);
        for (bool log : {false, true}) {
            plot.set_log_counts(log);
            plot.replot();
            const QImage together = plot.canvas()->grab().toImage();
            const QList<QwtPlotItem *> curves = plot.itemList(QwtPlotItem::Rtti_PlotCurve);
            QList<QwtPlotItem *> shown;
            for (QwtPlotItem *curve : curves)
                if (curve->isVisible())
                    shown << curve;
            for (QwtPlotItem *curve : shown)
                curve->setVisible(false);
            plot.replot();
            QImage alone = plot.canvas()->grab().toImage();
            const QRect area = plot.canvas()->contentsRect();
            QPainter painter(&alone);
            for (QwtPlotItem *curve : shown) {
                curve->setVisible(true);
                painter.save();
                curve->draw(&painter, plot.canvasMap(curve->xAxis()),
                            plot.canvasMap(curve->yAxis()), area);
                painter.restore();
            }
            painter.end();
            int differ = 0, inked = 0;
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x) {
                    differ += together.pixel(x, y) != alone.pixel(x, y);
                    inked += together.pixelColor(x, y) == curve_colors[3];
                }
            QVERIFY2(differ == 0 && inked > 1000,
                     qPrintable(QString::asprintf("log %d: %d pixels differ", log, differ)));
        }
    }

    void rates_axes_bars_and_hysteresis() {
        HistogramRig rig;
        rig.set_window(0.0, 10, 0, 4);
        Mrates rates(rig.tdc.get(), nullptr);
        // The top (100 at first) grows at once and shrinks only below 30 % of the height.
        const std::pair<uint32_t, double> steps[] = {
            {50, 100.0}, {30, 100.0}, {20, 21.0}, {25, 26.25}, {26, 26.25},
            {27, 28.35}, {0, 0.0},    {0, 0.0},   {10, 10.5},  {4000000000u, 4.2e9}};
        for (const auto &[max, top] : steps) {
            Points bars; // all sixteen words of the block, whatever the channel count
            std::vector<uint32_t> counts(16);
            for (uint32_t c = 0; c < 16; ++c) {
                counts[c] = c == 9 ? max : uint32_t(uint64_t(max) * ((c * 5) % 16) / 16);
                bars << QPointF(c + 1, counts[c]);
            }
            rates.show_exposure(rig.play({}, counts, true));
            QCOMPARE(range(rates, QwtPlot::yLeft), qMakePair(-0.5, top));
            QCOMPARE(range(rates, QwtPlot::xBottom), qMakePair(0.5, 16.5));
            QCOMPARE(samples(rates, 0), bars);
        }
    }
};

QTEST_MAIN(TestPlots)
#include "tst_plots.moc"
