#include "plots/stepcurve.h"

#include <qwt_graphic.h>
#include <qwt_legend_data.h>
#include <qwt_painter.h>
#include <qwt_point_data.h>
#include <qwt_scale_map.h>

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
          bottom(std::ceil(canvas.bottom()) + margin) {}

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
    int row(double y) const { return qRound(qBound(top, y_map.transform(y), bottom)); }
    int columns() const { return static_cast<int>(right - left) + 1; }

private:
    const QwtScaleMap &x_map;
    const QwtScaleMap &y_map;
    const double left, right, top, bottom;
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

void StepCurve::drawSteps(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap,
                          const QRectF &canvasRect, int from, int to) const {
    // The reduction covers steps drawn without a fill, at whole
    // pixels (Qwt rounds the points itself then), for more samples than
    // pixel columns.
    const bool reducible = brush().style() == Qt::NoBrush &&
                           QwtPainter::roundingAlignment(painter) &&
                           to - from + 1 > canvasRect.width();
    // A wide pen reaches past its point by half its width; the band outside
    // the canvas must be wider than that.
    const double margin = std::ceil(std::max(1.0, painter->pen().widthF())) + 2.0;
    if (!reducible || !reduce(xMap, yMap, canvasRect, margin, from, to)) {
        QwtPlotCurve::drawSteps(painter, xMap, yMap, canvasRect, from, to);
        return;
    }
    painter->drawPolyline(reduced.constData(), reduced.size());
}

bool StepCurve::reduce(const QwtScaleMap &xMap, const QwtScaleMap &yMap, const QRectF &canvasRect,
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
