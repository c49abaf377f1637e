#ifndef MRATES_H
#define MRATES_H

#include "run/exposureresult.h"

#include <qwt_plot.h>

#include <array>
#include <cstdint>

class QwtPlotCurve;
class QwtPlotGrid;
class QwtPlotIntervalCurve;
class ReplotThrottle;
class TdcIface;

// The small plot of the events each channel delivered in the last
// measurement, one vertical bar per channel.
class Mrates : public QwtPlot {
    Q_OBJECT
public:
    Mrates(TdcIface *tdc, QWidget *parent);
    ~Mrates() override;

    // Events of each channel that the device counted but did not deliver in
    // the last measurement; the next plotRates() draws them as the top part
    // of each bar, in another colour.
    void set_lost_counts(const ChannelCounts &lost) { lost_counts = lost; }
    // Draws an exposure's per-channel counts and losses from its record.
    void show_exposure(const ExposureResult &result);

    // Channels hidden in the histogram plot, bit c for channel c: their bars
    // are drawn grey.
    void set_hidden_channels(uint32_t mask);
    // The channel nearest to `pos` with its count, and its lost events when
    // there were any.
    QString cursor_text(const QPointF &pos) const;

public slots:
    void plotRates();

private:
    void mark_lost(const double *x, const double *y);
    void mark_hidden(const double *x, const double *y);

    QwtPlotCurve *curve;
    QwtPlotGrid *grid;
    double y_max = 100.0;
    TdcIface *tdc;
    QwtPlotIntervalCurve *lost_marks = nullptr;
    ReplotThrottle *replot_throttle;
    ChannelCounts lost_counts{};
    ChannelCounts shown_counts{};
    QwtPlotCurve *hidden_bars = nullptr;
    uint32_t hidden = 0;
};

#endif // MRATES_H
