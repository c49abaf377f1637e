#ifndef RATEHISTORYWINDOW_H
#define RATEHISTORYWINDOW_H

#include "plots/ratehistory.h"
#include "run/exposureresult.h"

#include <QWidget>

#include <array>
#include <cstdint>

class QComboBox;
class QwtLegend;
class QwtPlot;
class QwtPlotCurve;

// A strip chart of each channel's events per second after every exposure,
// over the last ten minutes, on a linear or log axis; exposures that lost
// events are marked on the lost channels' lines. The legend hides and shows
// channels as the histogram plot's does.
class RateHistoryWindow : public QWidget {
    Q_OBJECT
public:
    explicit RateHistoryWindow(QWidget *parent);
    ~RateHistoryWindow() override;

    const RateHistory &history() const { return rates; }
    QwtPlot *plot() const { return chart; }
    void set_hidden_channels(uint32_t mask);
    uint32_t hidden_channels() const { return hidden; }
    void set_log_rates(bool log);

public slots:
    void exposure_recorded(const ExposureResult &result);
    void show_and_raise();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void redraw();
    void legend_checked(const QVariant &item, bool on, int index);

    RateHistory rates;
    QwtPlot *chart;
    QwtLegend *legend;
    QComboBox *cb_y_scale;
    std::array<QwtPlotCurve *, channel_count> curves{};
    QwtPlotCurve *lost_marks;
    uint32_t hidden = 0;
    bool log_scale = false;
};

#endif // RATEHISTORYWINDOW_H
