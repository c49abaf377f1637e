#ifndef STEPCURVE_H
#define STEPCURVE_H

#include <qwt_plot_curve.h>

#include <qwt_text.h>

#include <QPolygonF>
#include <QString>

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

protected:
    void drawSteps(QPainter *painter, const QwtScaleMap &xMap, const QwtScaleMap &yMap,
                   const QRectF &canvasRect, int from, int to) const override;

private:
    bool reduce(const QwtScaleMap &xMap, const QwtScaleMap &yMap, const QRectF &canvasRect,
                double margin, int from, int to) const;

    // The reduced polyline, kept so that painting allocates only when the
    // canvas grows.
    mutable QPolygonF reduced;
    QwtText legend_text;
    bool legend_faint = false;
};

#endif // STEPCURVE_H
