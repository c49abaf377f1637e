#include "plots/ratehistorywindow.h"

#include "plots/logcounts.h"
#include "plots/mhisto.h"

#include <qwt_legend.h>
#include <qwt_legend_label.h>
#include <qwt_plot.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_grid.h>
#include <qwt_scale_engine.h>
#include <qwt_symbol.h>

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSettings>
#include <QVBoxLayout>

#include <algorithm>

namespace {
const char *const key_hidden_channels = "rate_history/hidden_channels";
const char *const key_log_rates = "rate_history/log_rates";
} // namespace

RateHistoryWindow::RateHistoryWindow(QWidget *parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("Velmora: Count Rates"));
    chart = new QwtPlot(this);
    chart->setCanvasBackground(Qt::white);
    chart->setAxisTitle(QwtPlot::xBottom, QStringLiteral("Time before the last exposure [s]"));
    chart->setAxisTitle(QwtPlot::yLeft, QStringLiteral("Events per second"));
    auto *grid = new QwtPlotGrid;
    grid->setPen(QPen(Qt::gray, 0.0, Qt::DashLine));
    grid->attach(chart);
    for (std::size_t c = 0; c < curves.size(); ++c) {
        curves[c] = new QwtPlotCurve(QStringLiteral("ch%1").arg(c));
        curves[c]->setPen(QPen(curve_colors[c], 1.5));
        curves[c]->setLegendAttribute(QwtPlotCurve::LegendShowLine, true);
        curves[c]->attach(chart);
    }
    lost_marks = new QwtPlotCurve(QStringLiteral("lost events"));
    lost_marks->setStyle(QwtPlotCurve::NoCurve);
    lost_marks->setSymbol(
        new QwtSymbol(QwtSymbol::XCross, QBrush(), QPen(QColor(30, 40, 150), 2.0), QSize(7, 7)));
    lost_marks->setLegendAttribute(QwtPlotCurve::LegendShowSymbol, true);
    lost_marks->setZ(100);
    lost_marks->attach(chart);
    legend = new QwtLegend;
    legend->setDefaultItemMode(QwtLegendData::Checkable);
    chart->insertLegend(legend, QwtPlot::BottomLegend);
    for (QwtPlotCurve *curve : curves) {
        if (auto *label =
                qobject_cast<QwtLegendLabel *>(legend->legendWidget(chart->itemToInfo(curve))))
            label->setChecked(true);
    }
    if (auto *label =
            qobject_cast<QwtLegendLabel *>(legend->legendWidget(chart->itemToInfo(lost_marks))))
        label->setItemMode(QwtLegendData::ReadOnly);
    connect(legend, &QwtLegend::checked, this, &RateHistoryWindow::legend_checked);

    cb_y_scale = new QComboBox(this);
    cb_y_scale->setObjectName(QStringLiteral("cb_y_scale"));
    cb_y_scale->addItem(QStringLiteral("linear"), false);
    cb_y_scale->addItem(QStringLiteral("log"), true);
    connect(cb_y_scale, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this] { set_log_rates(cb_y_scale->currentData().toBool()); });
    auto *controls = new QHBoxLayout;
    controls->addWidget(new QLabel(QStringLiteral("rates:"), this));
    controls->addWidget(cb_y_scale);
    controls->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(chart, 1);
    resize(820, 520);
    // The last choices, as the main plot keeps its own.
    const QSettings settings;
    set_log_rates(settings.value(QLatin1String(key_log_rates), false).toBool());
    set_hidden_channels(settings.value(QLatin1String(key_hidden_channels), 0u).toUInt());
}

RateHistoryWindow::~RateHistoryWindow() = default;

void RateHistoryWindow::show_and_raise() {
    show();
    raise();
    activateWindow();
}

void RateHistoryWindow::exposure_recorded(const ExposureResult &result) {
    const double duration_s = result.duration_ms / 1000.0;
    const double end_s = double(result.started.toMSecsSinceEpoch()) / 1000.0 + duration_s;
    rates.add(end_s, duration_s, result.counts(), result.lost);
    // Hidden, the chart is drawn when it opens.
    if (isVisible())
        redraw();
}

void RateHistoryWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    redraw();
}

void RateHistoryWindow::set_hidden_channels(uint32_t mask) {
    hidden = mask & 0xffffu;
    QSettings().setValue(QLatin1String(key_hidden_channels), hidden);
    for (std::size_t c = 0; c < curves.size(); ++c) {
        const bool shown = (hidden & (uint32_t(1) << c)) == 0;
        curves[c]->setVisible(shown);
        if (auto *label =
                qobject_cast<QwtLegendLabel *>(legend->legendWidget(chart->itemToInfo(curves[c]))))
            label->setChecked(shown);
    }
    redraw();
}

void RateHistoryWindow::legend_checked(const QVariant &item, bool on, int) {
    const auto found = std::find(curves.begin(), curves.end(), chart->infoToItem(item));
    if (found == curves.end())
        return;
    const uint32_t bit = uint32_t(1) << (found - curves.begin());
    set_hidden_channels(on ? hidden & ~bit : hidden | bit);
}

void RateHistoryWindow::set_log_rates(bool log) {
    log_scale = log;
    QSettings().setValue(QLatin1String(key_log_rates), log);
    if (log)
        chart->setAxisScaleEngine(QwtPlot::yLeft, make_log_counts_engine());
    else
        chart->setAxisScaleEngine(QwtPlot::yLeft, new QwtLinearScaleEngine);
    const int index = log ? 1 : 0;
    if (cb_y_scale->currentIndex() != index)
        cb_y_scale->setCurrentIndex(index);
    redraw();
}

// Times count back from the last exposure, so the chart's right edge is now.
void RateHistoryWindow::redraw() {
    const std::deque<RateHistory::Point> &points = rates.points();
    const double last = points.empty() ? 0.0 : points.back().time_s;
    QVector<QPointF> lost;
    double top = 0.0;
    for (std::size_t c = 0; c < curves.size(); ++c) {
        QVector<QPointF> line;
        line.reserve(int(points.size()));
        const bool shown = (hidden & (uint32_t(1) << c)) == 0;
        for (const RateHistory::Point &point : points) {
            line.append(QPointF(point.time_s - last, point.rate[c]));
            if (shown && point.lost[c] > 0.0)
                lost.append(line.back());
            if (shown)
                top = std::max(top, point.rate[c]);
        }
        curves[c]->setSamples(line);
    }
    lost_marks->setSamples(lost);
    // The chart widens with the history, from a minute up to its whole span.
    const double shown_s = points.empty() ? 60.0 : last - points.front().time_s;
    chart->setAxisScale(QwtPlot::xBottom, -std::clamp(shown_s * 1.05, 60.0, RateHistory::span_s),
                        0.0);
    if (log_scale)
        chart->setAxisScale(QwtPlot::yLeft, log_counts_floor, std::max(top * 2.0, 10.0));
    else
        chart->setAxisScale(QwtPlot::yLeft, 0.0, std::max(top * 1.05, 1.0));
    chart->replot();
}
