#include "plots/stepcurve.h"

#include "plots/logcounts.h"

#include <qwt_graphic.h>
#include <qwt_legend_data.h>
#include <qwt_painter.h>
#include <qwt_plot.h>
#include <qwt_point_data.h>
#include <qwt_scale_map.h>

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The pixel rows and columns Qwt's own step drawing gives a point when it
// aligns to whole pixels, clamped to a band just outside the canvas: what
// lies beyond the band is not drawn either way, and the clamping keeps far
// zoomed coordinates from overflowing.
class PixelGrid {
public:
    PixelGrid(const QwtScaleMap &x_map, const QwtScaleMap &y_map, const QRectF &canvas,
              double margin)
        : x_map(x_map), y_map(y_map), left(std::floor(canvas.left()) - margin),
          right(std::ceil(canvas.right()) + margin), top(std::floor(canvas.top()) - margin),
          bottom(std::ceil(canvas.bottom()) + margin) {
        // The log count axis's rows are computed here with the scale map's
        // own arithmetic: through the map, each takes two virtual calls into
        // Qwt, which cost more than the rest of the reduction together.
        if (const auto *log = dynamic_cast<const FlooredLogTransform *>(y_map.transformation())) {
            log_floor = log->floor_value();
            log_s1 = log_of(y_map.s1());
            const double log_s2 = log_of(y_map.s2());
            log_cnv = log_s1 != log_s2 ? (y_map.p2() - y_map.p1()) / (log_s2 - log_s1) : 1.0;
        }
    }

    int column(double x) const { return qRound(qBound(left, x_map.transform(x), right)); }
    // Below this x a sample at or after a column's first one lies in that
    // column too, so its column need not be computed: a little short of the
    // x whose point rounds into the next column, and beyond every x when the
    // column is the band's last. Never, when the x axis runs backwards.
    double same_column_below(int column) const {
        if ((x_map.p2() > x_map.p1()) != (x_map.s2() > x_map.s1()))
            return -std::numeric_limits<double>::infinity();
        if (column >= right)
            return std::numeric_limits<double>::infinity();
        return x_map.invTransform(column + 0.499);
    }
    int row(double y) const { return qRound(qBound(top, row_of(y), bottom)); }
    int columns() const { return static_cast<int>(right - left) + 1; }

private:
    double log_of(double y) const { return std::log(std::max(log_floor, y)); }
    double row_of(double y) const {
        if (log_floor > 0.0)
            return y_map.p1() + (log_of(y) - log_s1) * log_cnv;
        return y_map.transform(y);
    }

    const QwtScaleMap &x_map;
    const QwtScaleMap &y_map;
    const double left, right, top, bottom;
    double log_floor = 0.0, log_s1 = 0.0, log_cnv = 1.0;
};

// Appends the points of the reduced polyline, leaving out repeats.
class PolylineWriter {
public:
    explicit PolylineWriter(QPointF *begin) : begin(begin), out(begin) {}

    // One pixel column: entered at row `enter`, spanning the rows of the
    // values lo to hi, left at row `leave`. The nearer extreme comes first,
    // so the pen runs over the column's pixels as little as possible.
    void column(int x, int enter, int lo, int hi, int leave) {
        put(x, enter);
        if (std::abs(enter - lo) <= std::abs(hi - enter)) {
            put(x, lo);
            put(x, hi);
        } else {
            put(x, hi);
            put(x, lo);
        }
        put(x, leave);
    }
    int size() const { return static_cast<int>(out - begin); }

private:
    void put(int x, int y) {
        if (out != begin && out[-1].x() == x && out[-1].y() == y)
            return;
        *out++ = QPointF(x, y);
    }
    QPointF *const begin;
    QPointF *out;
};

// Reduces samples from..to, read through x(i) and y(i), to at most four
// points per pixel column. The values are compared as they are and mapped
// once per column: a scale map is monotonic, so the extreme values give the
// extreme rows. Steps that change value first (`vertical_first`, Qwt's default)
// reach the next sample's value inside the column of the sample before it;
// the others reach it in the sample's own column. Returns the number of
// points, or -1 when the samples are not sorted by x, which the reduction
// needs.
template <typename X, typename Y>
int reduce_samples(const PixelGrid &grid, X x, Y y, int from, int to, bool vertical_first,
                   QPointF *out) {
    PolylineWriter writer(out);
    int column = grid.column(x(from));
    double column_start = x(from), column_below = grid.same_column_below(column);
    double enter = y(from), lo = enter, hi = enter, leave = enter;
    auto take = [&](double value) {
        lo = std::min(lo, value);
        hi = std::max(hi, value);
        leave = value;
    };
    auto flush = [&]() {
        // Screen rows may run against the values (they do on a y axis), so
        // the rows of lo and hi are ordered afterwards.
        const int a = grid.row(lo), b = grid.row(hi);
        writer.column(column, grid.row(enter), std::min(a, b), std::max(a, b), grid.row(leave));
    };
    for (int i = from + 1; i <= to; ++i) {
        const double xi = x(i);
        const double value = y(i);
        if (xi >= column_start && xi < column_below) {
            take(value);
            continue;
        }
        const int c = grid.column(xi);
        if (c != column) {
            if (c < column)
                return -1;
            if (vertical_first)
                take(value);
            flush();
            column = c;
            column_start = xi;
            column_below = grid.same_column_below(c);
            enter = lo = hi = leave;
        }
        take(value);
    }
    flush();
    return writer.size();
}

} // namespace

// Qwt's painter settings hold for the whole process (the rates plot too), so
// they are set once, with the first curve. Points are aligned to whole pixels,
// Qwt's default, which the reduction relies on. Polylines are not cut into
// pieces: the pieces' caps would draw wide pens differently from one polyline,
// and the curves never hand long polylines to Qt any more.
static bool set_qwt_painter() {
    QwtPainter::setRoundingAlignment(true);
    QwtPainter::setPolylineSplitting(false);
    return true;
}

StepCurve::StepCurve(const QString &title) : QwtPlotCurve(title) {
    static const bool painter_set = set_qwt_painter();
    Q_UNUSED(painter_set)
}

void StepCurve::set_legend_entry(const QwtText &text, bool faint) {
    if (text == legend_text && faint == legend_faint)
        return;
    legend_text = text;
    legend_faint = faint;
    legendChanged();
}

QList<QwtLegendData> StepCurve::legendData() const {
    QList<QwtLegendData> entries = QwtPlotCurve::legendData();
    if (!legend_text.isEmpty()) {
        for (QwtLegendData &entry : entries)
            entry.setValue(QwtLegendData::TitleRole, QVariant::fromValue(legend_text));
    }
    return entries;
}

// A block of the curve's colour reads better than a one-pixel line.
QwtGraphic StepCurve::legendIcon(int, const QSizeF &size) const {
    QwtGraphic icon;
    icon.setDefaultSize(size);
    QPainter painter(&icon);
    painter.fillRect(QRectF(QPointF(0, 0), size),
                     legend_faint ? QColor(215, 215, 215) : pen().color());
    return icon;
}

// A wide pen reaches past its point by half its width; the band outside the
// canvas must be wider than that.
static double band_margin(const QPen &pen) {
    return std::ceil(std::max(1.0, pen.widthF())) + 2.0;
}

void StepCurve::drawSteps(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap,
                          const QRectF &canvasRect, int from, int to) const {
    // The reduction covers steps drawn without a fill, at whole
    // pixels (Qwt rounds the points itself then), for more samples than
    // pixel columns.
    const bool reducible = brush().style() == Qt::NoBrush &&
                           QwtPainter::roundingAlignment(painter) &&
                           to - from + 1 > canvasRect.width();
    if (!reducible || !reduce(xMap, yMap, canvasRect, band_margin(painter->pen()), from, to)) {
        QwtPlotCurve::drawSteps(painter, xMap, yMap, canvasRect, from, to);
        return;
    }
    if (!fill_columns(painter))
        painter->drawPolyline(reduced.constData(), reduced.size());
}

// A one-pixel pen covers exactly the pixels of the polyline's axis-aligned
// segments: one rectangle per column (and one per run of columns a horizontal
// step crosses) covers them with no pixel twice. On a log axis, where empty
// bins reach down to the floor, the polyline's way down and up again painted
// most columns' pixels twice. False when the polyline is not the steps of a
// reduction.
bool StepCurve::columns_from_reduced() const {
    columns.clear();
    const QPointF *points = reduced.constData();
    const int n = reduced.size();
    for (int i = 0; i < n;) {
        const int x = int(points[i].x());
        int lo = int(points[i].y()), hi = lo, j = i + 1;
        for (; j < n && int(points[j].x()) == x; ++j) {
            lo = std::min(lo, int(points[j].y()));
            hi = std::max(hi, int(points[j].y()));
        }
        columns.append(QRect(x, lo, 1, hi - lo + 1));
        if (j < n) {
            const int next = int(points[j].x());
            if (points[j].y() != points[j - 1].y() || next < x)
                return false;
            if (next > x + 1)
                columns.append(QRect(x + 1, int(points[j].y()), next - x - 1, 1));
        }
        i = j;
    }
    return true;
}

static bool one_pixel_solid(const QPen &pen) {
    return pen.widthF() <= 1.0 && pen.style() == Qt::SolidLine &&
           pen.brush().style() == Qt::SolidPattern;
}

bool StepCurve::fill_columns(QPainter *painter) const {
    const QPen pen = painter->pen();
    if (!one_pixel_solid(pen) || painter->testRenderHint(QPainter::Antialiasing) ||
        !columns_from_reduced())
        return false;
    painter->save();
    painter->setPen(Qt::NoPen);
    painter->setBrush(pen.brush());
    painter->drawRects(columns.constData(), columns.size());
    painter->restore();
    return true;
}

bool StepCurve::paints_into_layer(QPainter *painter, const QRectF &canvasRect) const {
    return style() == Steps && brush().style() == Qt::NoBrush && one_pixel_solid(pen()) &&
           pen().color().alpha() == 255 && symbol() == nullptr &&
           !testRenderHint(RenderAntialiased) && QwtPainter::roundingAlignment(painter) &&
           dataSize() > canvasRect.width();
}

bool StepCurve::paint_into(QImage &layer, const QPoint &origin, const QwtScaleMap &xMap,
                           const QwtScaleMap &yMap, const QRectF &canvasRect) const {
    const int to = static_cast<int>(dataSize()) - 1;
    if (!reduce(xMap, yMap, canvasRect, band_margin(pen()), 0, to) || !columns_from_reduced())
        return false;
    const QRgb colour = pen().color().rgba();
    const QRect bounds = layer.rect();
    uchar *const bits = layer.bits();
    const qsizetype stride = layer.bytesPerLine();
    for (const QRect &column : qAsConst(columns)) {
        const QRect r = column.translated(-origin).intersected(bounds);
        if (r.isEmpty())
            continue;
        uchar *row = bits + qsizetype(r.top()) * stride + qsizetype(r.left()) * 4;
        for (int y = r.top(); y <= r.bottom(); ++y, row += stride)
            std::fill_n(reinterpret_cast<QRgb *>(row), r.width(), colour);
    }
    return true;
}

// As QwtPlot draws its items in their order, except that consecutive step
// curves the layer can take are painted into it, column by column in memory,
// and the layer is drawn once in their place. Qt's raster engine fills a
// one-pixel column a row at a time through its span machinery, several times
// slower, and on a log axis the columns are tall.
void draw_items_layered(const QwtPlot &plot, QPainter *painter, const QRectF &canvasRect,
                        const QwtScaleMap maps[QwtPlot::axisCnt], QImage &layer) {
    const QRect area = canvasRect.toAlignedRect();
    // A layer at device resolution would be needed on a scaled screen.
    const bool layered = !area.isEmpty() && painter->device() != nullptr &&
                         painter->device()->devicePixelRatioF() == 1.0;
    bool pending = false;
    auto flush = [&] {
        if (pending)
            painter->drawImage(area.topLeft(), layer);
        pending = false;
    };
    for (QwtPlotItem *item : plot.itemList()) {
        if (!item->isVisible())
            continue;
        const auto *curve = layered && item->rtti() == QwtPlotItem::Rtti_PlotCurve
                                ? dynamic_cast<const StepCurve *>(item)
                                : nullptr;
        if (curve != nullptr && curve->paints_into_layer(painter, canvasRect)) {
            if (!pending) {
                if (layer.size() != area.size())
                    layer = QImage(area.size(), QImage::Format_ARGB32_Premultiplied);
                layer.fill(Qt::transparent);
            }
            if (curve->paint_into(layer, area.topLeft(), maps[item->xAxis()], maps[item->yAxis()],
                                  canvasRect)) {
                pending = true;
                continue;
            }
        }
        flush();
        painter->save();
        const bool smooth = item->testRenderHint(QwtPlotItem::RenderAntialiased);
        painter->setRenderHint(QPainter::Antialiasing, smooth);
        item->draw(painter, maps[item->xAxis()], maps[item->yAxis()], canvasRect);
        painter->restore();
    }
    flush();
}

// Built twice, and the AVX2 build chosen where the processor has it: Qt's
// raster code leaves the upper halves of the vector registers in use, and
// plain SSE code after it then pays for every instruction (the reduction ran
// four times slower on a log axis, whose rows call into the maths library).
__attribute__((target_clones("avx2", "default"))) bool
StepCurve::reduce(const QwtScaleMap &xMap, const QwtScaleMap &yMap, const QRectF &canvasRect,
                  double margin, int from, int to) const {
    const PixelGrid grid(xMap, yMap, canvasRect, margin);
    // As QwtPlotCurve decides which way its steps go.
    const bool vertical_first = (orientation() == Qt::Vertical) != testCurveAttribute(Inverted);
    reduced.resize(4 * grid.columns());
    int points;
    if (const auto *arrays = dynamic_cast<const QwtPointArrayData *>(data())) {
        const double *xs = arrays->xData().constData();
        const double *ys = arrays->yData().constData();
        points = reduce_samples(
            grid, [xs](int i) { return xs[i]; }, [ys](int i) { return ys[i]; }, from, to,
            vertical_first, reduced.data());
    } else {
        const QwtSeriesData<QPointF> *series = data();
        points = reduce_samples(
            grid, [series](int i) { return series->sample(static_cast<size_t>(i)).x(); },
            [series](int i) { return series->sample(static_cast<size_t>(i)).y(); }, from, to,
            vertical_first, reduced.data());
    }
    if (points < 0)
        return false;
    reduced.resize(points);
    return true;
}
