#ifndef MRATES_H
#define MRATES_H

#include <qwt_plot.h>

class QwtPlotCurve;
class QwtPlotGrid;
class TdcIface;

// The small plot of the events each channel delivered in the last
// measurement, one vertical bar per channel.
class Mrates : public QwtPlot {
    Q_OBJECT
public:
    Mrates(TdcIface *tdc, QWidget *parent);
    ~Mrates() override;

public slots:
    void plotRates();

private:
    QwtPlotCurve *curve;
    QwtPlotGrid *grid;
    double y_max = 100.0;
    TdcIface *tdc;
};

#endif // MRATES_H
