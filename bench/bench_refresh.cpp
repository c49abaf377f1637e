// Times Mhisto::refresh() including the repaint it causes, on the offscreen
// platform at 1280 x 800, for 16 channels of dense and sparse histograms.
// Prints the time spent building samples (refresh without painting) and
// painting, so it is clear which one dominates, and next to it the time a bare
// QPainter needs for the very same step polylines: the ratio of the two is what
// the plot adds to Qt's raster engine, and stays meaningful on machines of any
// speed. Beside them: the curves' own painting alone, and the same samples
// painted by Qwt's own step drawing, which paints every bin.

#include "bench/benchrig.h"
#include "device/tdciface.h"
#include "plots/mhisto.h"
#include "run/runcontroller.h"

#include <qwt_painter.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

namespace {

struct Case {
    const char *name;
    uint32_t bins;
    double filled; // fraction of bins with counts
    int repeats;
};

// Histograms shaped like a measurement: a decay of up to `peak` counts with
// Poisson-like noise over a flat background; a bin is left empty with
// probability 1 - filled. Events set the channel mask, the peak count (which
// scales the y axis) and size the histograms; the shape itself is written into
// the accumulator's storage, since playing billions of events would only time
// the fill.
void fill(BenchRig &rig, const Case &c, double noise_scale = 1.0) {
    const double binsize = 0.5;
    const uint32_t peak = 1000;
    rig.set_params(0.0, (c.bins - 1) * binsize, binsize, 0, 16);
    rig.size_histograms(peak);

    QRandomGenerator random(42);
    for (uint32_t ch = 0; ch < 16; ++ch) {
        std::vector<double> &h = *rig.storage(ch);
        const double tau = c.bins * (0.05 + 0.02 * ch);
        const double rise = c.bins * 0.01;
        for (uint32_t i = 0; i < c.bins; ++i) {
            if (random.generateDouble() >= c.filled) {
                h[i] = 0.0;
                continue;
            }
            const double mean = 20.0 + 0.9 * peak * std::exp(-double(i) / tau) *
                                           (1.0 - std::exp(-(i + 1.0) / rise));
            const double noise = (random.generateDouble() + random.generateDouble() +
                                  random.generateDouble() - 1.5) *
                                 2.0 * noise_scale * std::sqrt(mean);
            h[i] = std::max(1.0, std::round(mean + noise));
        }
    }
}

double thread_cpu_ms() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Timing {
    double refresh_ms; // CPU time of the GUI thread
    double paint_ms;
    double wall_ms; // both together, by the wall clock
};

Timing time_refreshes(QApplication &app, Mhisto &plot, int repeats) {
    plot.refresh(); // first refresh sizes the buffers and sets the scales
    plot.repaint();
    app.processEvents();
    std::vector<double> refresh_ms;
    std::vector<double> paint_ms;
    std::vector<double> wall_ms;
    QElapsedTimer timer;
    for (int r = 0; r < repeats; ++r) {
        timer.start();
        const double t0 = thread_cpu_ms();
        plot.refresh();
        const double t1 = thread_cpu_ms();
        plot.repaint(); // paints plot, axes and canvas now
        app.processEvents();
        const double t2 = thread_cpu_ms();
        wall_ms.push_back(timer.nsecsElapsed() / 1e6);
        refresh_ms.push_back(t1 - t0);
        paint_ms.push_back(t2 - t1);
    }
    return {median(refresh_ms), median(paint_ms), median(wall_ms)};
}

// Paints `repeats` times onto a white image of the canvas's size, clipped to
// the canvas's contents as the canvas clips; the median CPU time of one paint
// goes to `median_ms` when given. Returns the last image.
QImage paint_canvas_image(Mhisto &plot, int repeats, double *median_ms,
                          const std::function<void(QPainter &)> &paint) {
    const QWidget *canvas = plot.canvas();
    QImage image(canvas->size(), QImage::Format_RGB32);
    std::vector<double> ms;
    for (int r = 0; r < repeats; ++r) {
        const double t0 = thread_cpu_ms();
        image.fill(Qt::white);
        QPainter painter(&image);
        painter.setClipRect(canvas->contentsRect());
        paint(painter);
        painter.end();
        ms.push_back(thread_cpu_ms() - t0);
    }
    if (median_ms != nullptr)
        *median_ms = median(ms);
    return image;
}

// The same step polylines as the curves draw (mapped with the plot's scale
// maps, rounded to whole pixels), painted with a bare QPainter onto an image of
// the canvas's size with the canvas's clip and the curves' pens: what Qt's
// raster engine alone needs for those segments, with no Qwt code at all. No
// setting of the plot can make its painting cheaper than this.
double time_bare_painting(Mhisto &plot, int repeats) {
    const QwtScaleMap x_map = plot.canvasMap(QwtPlot::xBottom);
    const QwtScaleMap y_map = plot.canvasMap(QwtPlot::yLeft);
    std::vector<QPolygonF> polylines;
    std::vector<QPen> pens;
    for (QwtPlotItem *item : plot.itemList(QwtPlotItem::Rtti_PlotCurve)) {
        const auto *curve = static_cast<QwtPlotCurve *>(item);
        const size_t n = curve->dataSize();
        if (n == 0)
            continue;
        QPolygonF steps;
        steps.reserve(static_cast<int>(2 * n - 1));
        for (size_t i = 0; i < n; ++i) {
            const QPointF sample = curve->sample(static_cast<int>(i));
            const QPointF point(qRound(x_map.transform(sample.x())),
                                qRound(y_map.transform(sample.y())));
            if (i > 0)
                steps.append(QPointF(point.x(), steps.last().y()));
            steps.append(point);
        }
        polylines.push_back(steps);
        pens.push_back(curve->pen());
    }
    double ms = 0.0;
    paint_canvas_image(plot, repeats, &ms, [&](QPainter &painter) {
        for (size_t c = 0; c < polylines.size(); ++c) {
            painter.setPen(pens[c]);
            painter.drawPolyline(polylines[c]);
        }
    });
    return ms;
}

// The 16 curves painted onto an image of the canvas's size with the canvas's
// maps, as the canvas paints them but without the rest of the plot: by the
// plot's own curves, or (qwt_steps) by plain QwtPlotCurves holding the same
// samples and pens, which draw one step per sample.
QImage paint_curves(Mhisto &plot, bool qwt_steps, double *ms = nullptr, int repeats = 1);

double time_curve_painting(Mhisto &plot, int repeats, bool qwt_steps) {
    double ms = 0.0;
    paint_curves(plot, qwt_steps, &ms, repeats);
    return ms;
}

// Qwt's own steps (left) and the plot's curves (right) side by side, with the
// number of pixels that differ.
void save_comparison(Mhisto &plot, const QString &path) {
    const QImage qwt = paint_curves(plot, true), own = paint_curves(plot, false);
    int differ = 0;
    for (int y = 0; y < qwt.height(); ++y) {
        for (int x = 0; x < qwt.width(); ++x)
            differ += qwt.pixel(x, y) != own.pixel(x, y);
    }
    QImage both(qwt.width() * 2 + 8, qwt.height(), QImage::Format_RGB32);
    both.fill(Qt::black);
    QPainter painter(&both);
    painter.drawImage(0, 0, qwt);
    painter.drawImage(qwt.width() + 8, 0, own);
    painter.end();
    both.save(path);
    std::printf("  saved %s: Qwt's steps | the plot's curves, %d pixels differ\n", qPrintable(path),
                differ);
}

QImage paint_curves(Mhisto &plot, bool qwt_steps, double *ms_out, int repeats) {
    const QwtScaleMap x_map = plot.canvasMap(QwtPlot::xBottom);
    const QwtScaleMap y_map = plot.canvasMap(QwtPlot::yLeft);
    std::vector<std::unique_ptr<QwtPlotCurve>> plain;
    std::vector<const QwtPlotItem *> items;
    for (QwtPlotItem *item : plot.itemList(QwtPlotItem::Rtti_PlotCurve)) {
        const auto *curve = static_cast<QwtPlotCurve *>(item);
        if (!qwt_steps) {
            items.push_back(curve);
            continue;
        }
        auto copy = std::make_unique<QwtPlotCurve>();
        QVector<QPointF> samples(static_cast<int>(curve->dataSize()));
        for (int i = 0; i < samples.size(); ++i)
            samples[i] = curve->sample(i);
        copy->setSamples(samples);
        copy->setStyle(QwtPlotCurve::Steps);
        copy->setPen(curve->pen());
        items.push_back(copy.get());
        plain.push_back(std::move(copy));
    }
    const QRectF rect = plot.canvas()->contentsRect();
    return paint_canvas_image(plot, repeats, ms_out, [&](QPainter &painter) {
        for (const QwtPlotItem *item : items)
            item->draw(&painter, x_map, y_map, rect);
    });
}

void set_curve_attribute(Mhisto &plot, QwtPlotCurve::PaintAttribute attribute, bool on) {
    for (QwtPlotItem *item : plot.itemList(QwtPlotItem::Rtti_PlotCurve))
        static_cast<QwtPlotCurve *>(item)->setPaintAttribute(attribute, on);
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    BenchRig rig;
    Mhisto plot(rig.tdc.get(), nullptr);
    plot.set_repaint_interval_ms(0); // every refresh paints, as it is timed
    plot.resize(1280, 800);
    plot.show();
    app.processEvents();
    // The plot draws what the exposure's record hands it, as after a run.
    auto load = [&](const Case &c, double noise_scale = 1.0) {
        fill(rig, c, noise_scale);
        plot.show_exposure(RunController::read_exposure(*rig.tdc));
    };

    const Case cases[] = {
        {"16 x 20,000 dense", 20000, 1.0, 15},
        {"16 x 100,000 dense", 100000, 1.0, 9},
        {"16 x 100,000 90% empty", 100000, 0.1, 9},
        {"16 x 1,000,000 dense", 1000000, 1.0, 5},
    };
    std::printf("refresh() of Mhisto at 1280 x 800, platform %s; medians in ms\n",
                qPrintable(QGuiApplication::platformName()));
    std::printf("CPU time of the GUI thread (build = refresh() up to the repaint, paint = the\n"
                "repaint), and the wall clock of both, which includes waiting for a busy CPU\n");
    std::printf("bare Qt = CPU time of the same step polylines painted by a bare QPainter (no\n"
                "Qwt), the least any plot setting could reach; ratio = total / bare Qt\n");
    std::printf("curves = CPU time of the plot's 16 curves alone painted onto an image; Qwt\n"
                "steps = the same samples painted by plain QwtPlotCurves, one step per sample\n");
    std::printf("%-24s %9s %7s %7s %7s %7s %8s %6s %7s %9s\n", "case", "samples", "build", "paint",
                "total", "wall", "bare Qt", "ratio", "curves", "Qwt steps");
    const int case_count = argc > 1 ? std::atoi(argv[1]) : 4;
    for (int k = 0; k < case_count && k < 4; ++k) {
        const Case &c = cases[k];
        load(c);
        const Timing t = time_refreshes(app, plot, c.repeats);
        if (!qEnvironmentVariableIsEmpty("BENCH_GRAB_DIR"))
            plot.grab().save(qEnvironmentVariable("BENCH_GRAB_DIR") +
                             QStringLiteral("/refresh_%1_%2.png").arg(c.bins).arg(k));
        size_t samples = 0;
        for (QwtPlotItem *item : plot.itemList(QwtPlotItem::Rtti_PlotCurve))
            samples += static_cast<QwtPlotCurve *>(item)->dataSize();
        const double bare_ms = time_bare_painting(plot, c.repeats);
        if (k == 1 && !qEnvironmentVariableIsEmpty("BENCH_COMPARE_PNG"))
            save_comparison(plot, qEnvironmentVariable("BENCH_COMPARE_PNG"));
        const double curves_ms = time_curve_painting(plot, c.repeats, false);
        const double qwt_ms = time_curve_painting(plot, c.repeats, true);
        const double total_ms = t.refresh_ms + t.paint_ms;
        std::printf("%-24s %9zu %7.1f %7.1f %7.1f %7.1f %8.1f %6.2f %7.1f %9.1f\n", c.name, samples,
                    t.refresh_ms, t.paint_ms, total_ms, t.wall_ms, bare_ms, total_ms / bare_ms,
                    curves_ms, qwt_ms);
        std::fflush(stdout);
    }

    // The same cases on the log count axis, the legend shown as always.
    std::printf("\nlog count axis (CPU ms; wall clock)\n%-24s %7s %7s %7s %7s %7s\n", "case",
                "build", "paint", "total", "wall", "curves");
    plot.set_log_counts(true);
    for (int k = 0; k < case_count && k < 4; ++k) {
        const Case &c = cases[k];
        load(c);
        const Timing t = time_refreshes(app, plot, c.repeats);
        if (!qEnvironmentVariableIsEmpty("BENCH_GRAB_DIR"))
            plot.grab().save(qEnvironmentVariable("BENCH_GRAB_DIR") +
                             QStringLiteral("/refresh_log_%1_%2.png").arg(c.bins).arg(k));
        std::printf("%-24s %7.1f %7.1f %7.1f %7.1f %7.1f\n", c.name, t.refresh_ms, t.paint_ms,
                    t.refresh_ms + t.paint_ms, t.wall_ms,
                    time_curve_painting(plot, c.repeats, false));
        std::fflush(stdout);
    }
    plot.set_log_counts(false);

    // What the painting costs with other Qwt settings, on the 100,000-bin
    // dense case: shows why the plot keeps its settings.
    if (argc > 2 && std::strcmp(argv[2], "novariants") == 0)
        return 0;
    load(cases[0]);
    std::printf("\nvariants on %s (build / paint, CPU ms)\n", cases[0].name);
    auto report = [&](const char *what) {
        const Timing t = time_refreshes(app, plot, 31);
        std::printf("  %-44s %8.1f %8.1f\n", what, t.refresh_ms, t.paint_ms);
        std::fflush(stdout);
    };
    report("as built");
    set_curve_attribute(plot, QwtPlotCurve::ClipPolygons, true);
    report("curves with ClipPolygons");
    set_curve_attribute(plot, QwtPlotCurve::ClipPolygons, false);
    QwtPainter::setPolylineSplitting(!QwtPainter::polylineSplitting());
    report(QwtPainter::polylineSplitting() ? "polyline splitting on" : "polyline splitting off");
    set_curve_attribute(plot, QwtPlotCurve::ClipPolygons, true);
    report(QwtPainter::polylineSplitting() ? "splitting on, with ClipPolygons"
                                           : "splitting off, with ClipPolygons");
    set_curve_attribute(plot, QwtPlotCurve::ClipPolygons, false);
    QwtPainter::setPolylineSplitting(!QwtPainter::polylineSplitting());
    plot.slot_linewidth_changed(2);
    report("line width 2 (no cosmetic pen)");
    plot.slot_linewidth_changed(1);
    for (QwtPlotItem *item : plot.itemList(QwtPlotItem::Rtti_PlotCurve))
        item->setRenderHint(QwtPlotItem::RenderAntialiased, true);
    report("antialiased curves");
    for (QwtPlotItem *item : plot.itemList(QwtPlotItem::Rtti_PlotCurve))
        item->setRenderHint(QwtPlotItem::RenderAntialiased, false);
    auto *canvas = qobject_cast<QwtPlotCanvas *>(plot.canvas());
    canvas->setPaintAttribute(QwtPlotCanvas::BackingStore, false);
    report("canvas without backing store");
    canvas->setPaintAttribute(QwtPlotCanvas::BackingStore, true);
    QwtPainter::setRoundingAlignment(!QwtPainter::roundingAlignment());
    report(QwtPainter::roundingAlignment() ? "rounding alignment on" : "rounding alignment off");
    QwtPainter::setRoundingAlignment(!QwtPainter::roundingAlignment());
    // The same bins without noise: far fewer pixels per step, same samples.
    load(cases[0], 0.0);
    report("smooth data (no noise)");
    load(cases[0], 0.25);
    report("a quarter of the noise");
    return 0;
}
