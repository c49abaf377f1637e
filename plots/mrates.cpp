#include "plots/mrates.h"

#include "plots/cursorpicker.h"
#include "plots/replotthrottle.h"

#include "device/tdciface.h"

#include <qwt_interval_symbol.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_grid.h>
#include <qwt_plot_intervalcurve.h>
#include <qwt_plot_picker.h>
#include <qwt_text.h>

#include <QBrush>
#include <QColor>
#include <QPen>

#include <algorithm>
#include <cmath>
#include <functional>

Mrates::Mrates(TdcIface *tdc, QWidget *parent)
    : QwtPlot(parent), tdc(tdc), replot_throttle(new ReplotThrottle(this, 40)) {
    setAxisScale(QwtPlot::xBottom, 0.5, 1.5, 0.0);
    y_max = 100.0;
    setAxisScale(QwtPlot::yLeft, -0.5, y_max, 0.0);

    grid = new QwtPlotGrid();
    grid->setPen(
        QPen(QBrush(Qt::gray, Qt::SolidPattern), 1.0, Qt::DashLine, Qt::SquareCap, Qt::BevelJoin));
    grid->attach(this);

    setCanvasBackground(QBrush(Qt::white, Qt::SolidPattern));

    curve = new QwtPlotCurve(QStringLiteral("curve") + QString::number(1));
    curve->attach(this);
    curve->setAxes(QwtPlot::xBottom, QwtPlot::yLeft);
    curve->setStyle(QwtPlotCurve::Sticks);

    QColor red;
    red.setRgb(255, 0, 0, 255);
    curve->setPen(
        QPen(QBrush(red, Qt::SolidPattern), 6.0, Qt::SolidLine, Qt::FlatCap, Qt::BevelJoin));

    setAxisTitle(QwtPlot::xBottom, QStringLiteral("Channel"));
    setAxisTitle(QwtPlot::yLeft, QStringLiteral("Counts"));

    new CursorPicker(canvas(), [this](const QPointF &pos) { return cursor_text(pos); });

    replot();
}

Mrates::~Mrates() = default;

void Mrates::show_exposure(const ExposureResult &result) {
    shown_counts = result.counts();
    lost_counts = result.lost;
    plotRates();
}

void Mrates::plotRates() {
    constexpr int channels = int(channel_count);
    double x[channels];
    double y[channels];
    double max = 0.0;
    for (int i = 0; i < channels; ++i) {
        x[i] = i + 1;
        y[i] = static_cast<double>(shown_counts[size_t(i)]);
        max = std::max(max, y[i]);
    }
    curve->setSamples(x, y, channels);
    mark_lost(x, y);
    mark_hidden(x, y);

    setAxisScale(QwtPlot::xBottom, 0.5, channels + 0.5, 0.0);
    // Grow at once, shrink only when the bars use less than 30 % of the height,
    // so the scale does not jump with every measurement.
    if (max > y_max || y_max * 0.3 > max) {
        y_max = max * 1.05;
        setAxisScale(QwtPlot::yLeft, -0.5, y_max, 0.0);
    }
    // The scales are current at once; only the painting may wait.
    updateAxes();
    replot_throttle->request();
}

// The lost part of a bar, from the delivered events up to the device's
// count, drawn over the bar as a stick of the same width in dark blue. The
// overlay is created with the first loss, so a plot without losses is
// exactly the plain bar chart.
void Mrates::mark_lost(const double *x, const double *y) {
    QVector<QwtIntervalSample> marks;
    for (int i = 0; i < int(channel_count); ++i) {
        const double lost = std::min(static_cast<double>(lost_counts[size_t(i)]), y[i]);
        if (lost > 0.0)
            marks.append(QwtIntervalSample(x[i], y[i] - lost, y[i]));
    }
    if (marks.isEmpty() && lost_marks == nullptr)
        return;
    if (lost_marks == nullptr) {
        lost_marks = new QwtPlotIntervalCurve(QStringLiteral("lost"));
        lost_marks->setStyle(QwtPlotIntervalCurve::NoCurve);
        auto *stick = new QwtIntervalSymbol(QwtIntervalSymbol::Bar);
        stick->setWidth(0); // no caps: a plain stick like the bar's
        stick->setPen(QPen(QBrush(QColor(30, 40, 150), Qt::SolidPattern), 6.0, Qt::SolidLine,
                           Qt::FlatCap, Qt::BevelJoin));
        lost_marks->setSymbol(stick);
        lost_marks->setZ(curve->z() + 1);
        lost_marks->attach(this);
    }
    lost_marks->setSamples(marks);
}

void Mrates::set_hidden_channels(uint32_t mask) {
    if (mask == hidden)
        return;
    hidden = mask;
    plotRates();
}

// Hidden channels' bars, lost part included, are covered by a grey bar; the
// overlay exists only once a channel has been hidden.
void Mrates::mark_hidden(const double *x, const double *y) {
    if (hidden == 0 && hidden_bars == nullptr)
        return;
    QVector<QPointF> bars;
    for (int i = 0; i < int(channel_count); ++i) {
        if (hidden & (uint32_t(1) << i))
            bars.append(QPointF(x[i], y[i]));
    }
    if (hidden_bars == nullptr) {
        hidden_bars = new QwtPlotCurve(QStringLiteral("hidden"));
        hidden_bars->setStyle(QwtPlotCurve::Sticks);
        hidden_bars->setPen(QPen(QBrush(QColor(200, 200, 200), Qt::SolidPattern), 6.0,
                                 Qt::SolidLine, Qt::FlatCap, Qt::BevelJoin));
        hidden_bars->setZ(curve->z() + 2);
        hidden_bars->attach(this);
    }
    hidden_bars->setSamples(bars);
}

QString Mrates::cursor_text(const QPointF &pos) const {
    const long bar = std::lround(pos.x());
    if (bar < 1 || bar > long(channel_count))
        return QString();
    const std::size_t c = std::size_t(bar - 1);
    QString text = QStringLiteral("ch%1: %2 counts").arg(c).arg(shown_counts[c]);
    if (lost_counts[c] != 0)
        text += QStringLiteral(", %1 lost").arg(lost_counts[c]);
    if (hidden & (uint32_t(1) << c))
        text += QStringLiteral(" (hidden)");
    return text;
}
