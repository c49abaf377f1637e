#ifndef STEPCURVE_H
#define STEPCURVE_H

#include <qwt_plot.h>
#include <qwt_plot_curve.h>

#include <qwt_text.h>

#include <QImage>
#include <QPolygonF>
#include <QRect>
#include <QString>
#include <QVector>

// A step curve that paints a curve holding more samples than its canvas has
// pixel columns as fast as one holding a sample per column. Within one pixel
// column the steps of any number of samples cover one vertical run of pixels,
// from the lowest to the highest value the steps take there. Four points per
// column (the value it is entered at, the nearer extreme, the other extreme,
// the value it is left at) therefore draw the pixels of one step per sample,
// which Qt's raster engine needs hundreds of milliseconds to stroke for a
// million samples; only where Qt rasterises the ends of the many short steps
// differently may a single pixel of a column differ. Curves with fewer
// samples, or settings the reduction does not cover, are painted by
// QwtPlotCurve itself.
class StepCurve : public QwtPlotCurve {
public:
    explicit StepCurve(const QString &title);

    // What the legend shows for the curve instead of its title, and whether
    // its entry is drawn faint (a channel without counts).
    void set_legend_entry(const QwtText &text, bool faint);
    QList<QwtLegendData> legendData() const override;
    QwtGraphic legendIcon(int index, const QSizeF &size) const override;

    // Whether paint_into() can draw the curve as draw() would with this
    // painter: steps in an opaque one-pixel pen, more samples than columns.
    bool paints_into_layer(QPainter *painter, const QRectF &canvasRect) const;
    // Writes the curve's pixels into `layer`, an image whose top left lies
    // at `origin` in the painter's coordinates; false when it could not.
    bool paint_into(QImage &layer, const QPoint &origin, const QwtScaleMap &xMap,
                    const QwtScaleMap &yMap, const QRectF &canvasRect) const;

protected:
    void drawSteps(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap,
                   const QRectF &canvasRect, int from, int to) const override;

private:
    bool reduce(const QwtScaleMap &xMap, const QwtScaleMap &yMap, const QRectF &canvasRect,
                double margin, int from, int to) const;
    bool columns_from_reduced() const;
    bool fill_columns(QPainter *painter) const;

    // The reduced polyline, kept so that painting allocates only when the
    // canvas grows.
    mutable QPolygonF reduced;
    mutable QVector<QRect> columns;
    QwtText legend_text;
    bool legend_faint = false;
};

// QwtPlot::drawItems for a plot of step curves, painting runs of curves that
// paints_into_layer() accepts through `layer` (kept by the caller between
// paints).
void draw_items_layered(const QwtPlot &plot, QPainter *painter, const QRectF &canvasRect,
                        const QwtScaleMap maps[QwtPlot::axisCnt], QImage &layer);

#endif // STEPCURVE_H
