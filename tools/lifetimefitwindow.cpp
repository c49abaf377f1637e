#include "tools/lifetimefitwindow.h"

#include "device/tdciface.h"

#include <qwt_plot.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_grid.h>
#include <qwt_scale_draw.h>
#include <qwt_scale_engine.h>
#include <qwt_scale_widget.h>
#include <qwt_text.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QtConcurrent>

#include <algorithm>
#include <cmath>
#include <exception>
#include <numeric>
#include <string>

namespace {
const char *const geometryKey = "lifetimefit/geometry";
const char *const errorStyle = "QLabel { color: #C00000; }";
constexpr double maxRangeNs = 1e9;
} // namespace

LifetimeFitWindow::LifetimeFitWindow(TdcIface *tdc, QString orgName, QString appName,
                                     QWidget *parent)
    : QWidget(parent), tdc(tdc), orgName(std::move(orgName)), appName(std::move(appName)),
      histogramsReadable([] { return true; }) {
    setWindowTitle(QStringLiteral("Velmora: Lifetime Fit"));
    buildWidgets();
    connect(&watcher, &QFutureWatcher<FitResult>::finished, this, &LifetimeFitWindow::fitDone);
    // A device closed or lost during an exposure sends no completion.
    connect(tdc, &TdcIface::disconnecting, this, &LifetimeFitWindow::exposureAbandoned);
    connect(tdc, &TdcIface::connection_lost, this, &LifetimeFitWindow::exposureAbandoned);
    QSettings settings(this->orgName, this->appName);
    if (!restoreGeometry(settings.value(geometryKey).toByteArray()))
        resize(1340, 690);
}

LifetimeFitWindow::~LifetimeFitWindow() = default;

void LifetimeFitWindow::setHistogramsReadable(std::function<bool()> readable) {
    histogramsReadable = std::move(readable);
}

void LifetimeFitWindow::buildWidgets() {
    cb_channel = new QComboBox(this);
    cb_channel->setObjectName(QStringLiteral("cb_channel"));
    sb_from = new QDoubleSpinBox(this);
    sb_to = new QDoubleSpinBox(this);
    for (QDoubleSpinBox *box : {sb_from, sb_to}) {
        box->setRange(-maxRangeNs, maxRangeNs);
        box->setDecimals(3);
        box->setSuffix(QStringLiteral(" ns"));
    }
    sb_from->setObjectName(QStringLiteral("sb_from"));
    sb_to->setObjectName(QStringLiteral("sb_to"));
    bu_zoom = new QPushButton(QStringLiteral("Range from Plot Zoom"), this);
    cb_components = new QComboBox(this);
    cb_components->addItem(QStringLiteral("1 exponential + background"), 1);
    cb_components->addItem(QStringLiteral("2 exponentials + background"), 2);
    cb_components->setObjectName(QStringLiteral("cb_components"));
    cb_irf = new QComboBox(this);
    cb_irf->addItem(QStringLiteral("none"), int(IrfKind::None));
    cb_irf->addItem(QStringLiteral("Gaussian"), int(IrfKind::Gaussian));
    cb_irf->addItem(QStringLiteral("measured"), int(IrfKind::Measured));
    cb_irf->setCurrentIndex(1);
    cb_irf->setObjectName(QStringLiteral("cb_irf"));
    cb_irf_channel = new QComboBox(this);
    cb_irf_channel->setObjectName(QStringLiteral("cb_irf_channel"));
    cb_irf_channel->setEnabled(false);
    cb_estimator = new QComboBox(this);
    cb_estimator->addItem(QStringLiteral("Poisson maximum likelihood"),
                          int(FitEstimator::PoissonLikelihood));
    cb_estimator->addItem(QStringLiteral("least squares (model-weighted)"),
                          int(FitEstimator::LeastSquares));
    cb_estimator->setObjectName(QStringLiteral("cb_estimator"));
    cb_live = new QCheckBox(QStringLiteral("live: refit after every exposure"), this);
    cb_live->setObjectName(QStringLiteral("cb_live"));
    bu_fit = new QPushButton(QStringLiteral("Fit"), this);
    bu_fit->setObjectName(QStringLiteral("bu_fit"));
    bu_copy = new QPushButton(QStringLiteral("Copy"), this);
    bu_copy->setObjectName(QStringLiteral("bu_copy"));
    bu_save = new QPushButton(QStringLiteral("Save..."), this);
    bu_save->setObjectName(QStringLiteral("bu_save"));
    bu_intervals = new QPushButton(QStringLiteral("Intervals"), this);
    bu_intervals->setObjectName(QStringLiteral("bu_intervals"));
    bu_intervals->setToolTip(QStringLiteral("68 % profile-likelihood intervals of the lifetimes"));
    lb_message = new QLabel(this);
    lb_message->setObjectName(QStringLiteral("lb_message"));
    lb_message->setWordWrap(true);
    lb_warning = new QLabel(this);
    lb_warning->setObjectName(QStringLiteral("lb_warning"));
    lb_warning->setWordWrap(true);
    lb_warning->setStyleSheet(QString::fromLatin1(errorStyle));
    lb_warning->hide();
    results = new QTableWidget(0, 3, this);
    results->setObjectName(QStringLiteral("results"));
    results->setHorizontalHeaderLabels(
        {QStringLiteral("quantity"), QStringLiteral("value"), QStringLiteral("std. error")});
    results->verticalHeader()->hide();
    results->setEditTriggers(QAbstractItemView::NoEditTriggers);
    results->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    results->horizontalHeader()->setStretchLastSection(true);

    auto *form = new QFormLayout;
    // Pairs share a row, so that the table below keeps the height for all
    // its rows at the window's default size.
    auto pair = [this](QWidget *left, const QString &between, QWidget *right) {
        auto *row = new QHBoxLayout;
        row->addWidget(left, 1);
        if (!between.isEmpty())
            row->addWidget(new QLabel(between, this));
        row->addWidget(right, 1);
        return row;
    };
    form->addRow(QStringLiteral("channel:"), cb_channel);
    form->addRow(QStringLiteral("range:"), pair(sb_from, QStringLiteral("to"), sb_to));
    form->addRow(QString(), bu_zoom);
    form->addRow(QStringLiteral("model:"), cb_components);
    form->addRow(QStringLiteral("IRF:"), pair(cb_irf, QStringLiteral("channel"), cb_irf_channel));
    form->addRow(QStringLiteral("estimator:"), cb_estimator);
    form->addRow(QString(), cb_live);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(bu_fit);
    buttons->addWidget(bu_copy);
    buttons->addWidget(bu_intervals);
    buttons->addWidget(bu_save);
    auto *controls = new QVBoxLayout;
    controls->addLayout(form);
    controls->addLayout(buildHoldControls());
    controls->addLayout(buttons);
    controls->addWidget(lb_message);
    controls->addWidget(lb_warning);
    controls->addStretch(1);

    buildPlots();
    auto *plots = new QVBoxLayout;
    plots->addWidget(plot, 2);
    plots->addWidget(residualPlot, 1);
    // A plot asks for its full size hint as its minimum, which with drawn
    // axes would push the window beyond a 768-pixel screen.
    plot->setMinimumSize(300, 200);
    residualPlot->setMinimumSize(300, 120);
    // Controls and warnings, the results table and the plots side by side:
    // the table's column has the window's height for its rows (two
    // components with intervals), the controls' column below them for the
    // warnings, at a size that fits a 1366 x 768 screen. The controls and
    // the table keep their width; the plots take what the window gains.
    auto *panel = new QWidget(this);
    panel->setLayout(controls);
    panel->setFixedWidth(380);
    controls->setContentsMargins(0, 0, 0, 0);
    results->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    // Wide enough for the longest quantity and a number in each other
    // column, in whatever font: no horizontal scrolling.
    const QFontMetrics metrics = results->fontMetrics();
    const int padding = 2 * metrics.horizontalAdvance(QLatin1Char('0'));
    results->setFixedWidth(
        metrics.horizontalAdvance(QStringLiteral("lifetime 2, 68 % interval from [ns]")) +
        metrics.horizontalAdvance(QStringLiteral("-0.000000e-00")) +
        metrics.horizontalAdvance(QStringLiteral("-0.000e-00")) + 3 * padding +
        2 * results->frameWidth() + style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    auto *outer = new QHBoxLayout;
    outer->addWidget(panel, 0);
    outer->addWidget(results, 0);
    outer->addLayout(plots, 1);
    setLayout(outer);

    connect(bu_fit, &QPushButton::clicked, this, &LifetimeFitWindow::fit);
    connect(bu_copy, &QPushButton::clicked, this, &LifetimeFitWindow::copyResults);
    connect(bu_save, &QPushButton::clicked, this, &LifetimeFitWindow::saveClicked);
    connect(bu_intervals, &QPushButton::clicked, this, &LifetimeFitWindow::intervals);
    connect(&intervalWatcher, &QFutureWatcher<std::vector<ProfileInterval>>::finished, this,
            &LifetimeFitWindow::intervalsDone);
    connect(bu_zoom, &QPushButton::clicked, this, &LifetimeFitWindow::zoomRangeRequested);
    connect(cb_irf, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &LifetimeFitWindow::irfChanged);
    connect(cb_components, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &LifetimeFitWindow::irfChanged);
    irfChanged(cb_irf->currentIndex());
}

// A check box and a value per parameter that can be held instead of fitted:
// a lifetime known from elsewhere, the background from the bins before the
// rise, the response's position or width from a reference measurement.
QGridLayout *LifetimeFitWindow::buildHoldControls() {
    struct Hold {
        const char *name, *text, *tip;
        double lowest, highest, start;
    };
    static const Hold holds[held_count] = {
        {"tau1", "τ1", "lifetime 1 [ns]", 1e-4, 1e6, 1.0},
        {"tau2", "τ2", "lifetime 2 [ns]", 1e-4, 1e6, 5.0},
        {"background", "bg", "background [counts/bin]", 0.0, 1e12, 0.0},
        {"position", "IRF at", "IRF position (Gaussian) or shift (measured) [ns]", -maxRangeNs,
         maxRangeNs, 0.0},
        {"width", "IRF σ", "IRF width sigma [ns]", 1e-4, 1e4, 0.1}};
    auto *grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(new QLabel(QStringLiteral("hold:"), this), 0, 0);
    for (size_t h = 0; h < held_count; ++h) {
        ck_hold[h] = new QCheckBox(QString::fromUtf8(holds[h].text), this);
        ck_hold[h]->setObjectName(QStringLiteral("ck_hold_") + holds[h].name);
        ck_hold[h]->setToolTip(QStringLiteral("hold ") + holds[h].tip);
        sb_hold[h] = new QDoubleSpinBox(this);
        sb_hold[h]->setObjectName(QStringLiteral("sb_hold_") + holds[h].name);
        sb_hold[h]->setRange(holds[h].lowest, holds[h].highest);
        sb_hold[h]->setDecimals(3);
        sb_hold[h]->setValue(holds[h].start);
        sb_hold[h]->setToolTip(QString::fromLatin1(holds[h].tip));
        const int row = int(h) / 2, column = 1 + 2 * (int(h) % 2);
        grid->addWidget(ck_hold[h], row, column);
        grid->addWidget(sb_hold[h], row, column + 1);
        grid->setColumnStretch(column + 1, 1);
        connect(ck_hold[h], &QCheckBox::toggled, this, [this] { irfChanged(0); });
    }
    return grid;
}

void LifetimeFitWindow::buildPlots() {
    plot = new QwtPlot(this);
    plot->setCanvasBackground(Qt::white);
    plot->setAxisScaleEngine(QwtPlot::yLeft, new QwtLogScaleEngine);
    plot->setAxisTitle(QwtPlot::yLeft, QStringLiteral("Counts (log)"));
    residualPlot = new QwtPlot(this);
    residualPlot->setCanvasBackground(Qt::white);
    residualPlot->setAxisTitle(QwtPlot::xBottom, QStringLiteral("Time [ns]"));
    residualPlot->setAxisTitle(QwtPlot::yLeft, QStringLiteral("Residual [sd]"));
    for (QwtPlot *p : {plot, residualPlot}) {
        auto *grid = new QwtPlotGrid;
        grid->setPen(QPen(Qt::lightGray, 0.0, Qt::DashLine));
        grid->attach(p);
        // Equal left axes keep the two time axes on top of each other.
        p->axisWidget(QwtPlot::yLeft)->setMinBorderDist(0, 0);
        p->axisScaleDraw(QwtPlot::yLeft)->setMinimumExtent(60);
    }
    dataCurve = new QwtPlotCurve(QStringLiteral("data"));
    dataCurve->setStyle(QwtPlotCurve::Dots);
    dataCurve->setPen(QPen(QColor(40, 40, 200), 2.0));
    dataCurve->attach(plot);
    fitCurve = new QwtPlotCurve(QStringLiteral("fit"));
    fitCurve->setPen(QPen(QColor(210, 0, 0), 2.0));
    fitCurve->setRenderHint(QwtPlotItem::RenderAntialiased);
    fitCurve->attach(plot);
    residualCurve = new QwtPlotCurve(QStringLiteral("residuals"));
    residualCurve->setStyle(QwtPlotCurve::Sticks);
    residualCurve->setPen(QPen(QColor(90, 90, 90), 0.0));
    residualCurve->attach(residualPlot);
}

void LifetimeFitWindow::irfChanged(int) {
    const IrfKind irf = IrfKind(cb_irf->currentData().toInt());
    cb_irf_channel->setEnabled(irf == IrfKind::Measured);
    // Only the parameters the model has can be held.
    const bool has[held_count] = {true, cb_components->currentData().toInt() == 2, true,
                                  irf != IrfKind::None, irf == IrfKind::Gaussian};
    for (size_t h = 0; h < held_count; ++h) {
        ck_hold[h]->setEnabled(has[h]);
        sb_hold[h]->setEnabled(has[h] && ck_hold[h]->isChecked());
    }
}

void LifetimeFitWindow::showAndRaise() {
    show();
    raise();
    activateWindow();
}

void LifetimeFitWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (histogramsReadable())
        takeSnapshot();
}

// Only a window the user has seen has a geometry worth keeping.
void LifetimeFitWindow::closeEvent(QCloseEvent *event) {
    if (isVisible()) {
        QSettings settings(orgName, appName);
        settings.setValue(geometryKey, saveGeometry());
    }
    event->accept();
}

void LifetimeFitWindow::setFitRange(double from, double to) {
    sb_from->setValue(std::min(from, to));
    sb_to->setValue(std::max(from, to));
}

// Lists the channels that hold counts, keeping the choices where it can.
void LifetimeFitWindow::updateChannelList(const std::array<double, 16> &sums, int channels) {
    for (QComboBox *box : {cb_channel, cb_irf_channel}) {
        const QVariant chosen = box->currentData();
        const QSignalBlocker blocker(box);
        box->clear();
        for (int c = 0; c < channels; ++c) {
            if (sums[size_t(c)] > 0.0)
                box->addItem(QStringLiteral("ch%1").arg(c), c);
        }
        const int again = box->findData(chosen);
        if (again >= 0)
            box->setCurrentIndex(again);
    }
}

// Copies the chosen channel's histogram (and the response's) with its time
// grid. The accumulator counts from the start offset truncated to whole
// device bins, so the grid does too.
bool LifetimeFitWindow::takeSnapshot() {
    // The parameters the histograms were filled with give their time grid.
    // Histograms rebuilt since the record (a run cut short) are gone.
    if (recorded_generation != tdc->histo_generation())
        recorded_histos.clear();
    const HistoParams params = recorded_params;
    const int channels = int(std::min<size_t>(recorded_histos.size(), 16));
    auto histogram = [this](int c) { return recorded_histos[size_t(c)]; };
    std::array<double, 16> sums{};
    for (int c = 0; c < channels; ++c) {
        if (const std::vector<double> *h = histogram(c))
            sums[size_t(c)] = std::accumulate(h->begin(), h->end(), 0.0);
    }
    updateChannelList(sums, channels);

    snapshot = Snapshot();
    if (!(params.binsize > 0.0) || cb_channel->count() == 0)
        return false;
    snapshot.bin_width = std::ldexp(params.binsize, int(params.binning));
    snapshot.first_edge = std::trunc(params.start / params.binsize) * params.binsize;
    snapshot.channel = cb_channel->currentData().toInt();
    snapshot.counts = *histogram(snapshot.channel);
    if (cb_irf_channel->count() > 0) {
        snapshot.irf_channel = cb_irf_channel->currentData().toInt();
        snapshot.irf_counts = *histogram(snapshot.irf_channel);
    }
    if (sb_from->value() == 0.0 && sb_to->value() == 0.0)
        setFitRange(snapshot.first_edge,
                    snapshot.first_edge + double(snapshot.counts.size()) * snapshot.bin_width);
    return true;
}

void LifetimeFitWindow::exposureRecorded(const ExposureResult &result) {
    recorded_params = result.params;
    recorded_histos = result.histos;
    recorded_generation = result.histo_generation;
    exposureCompleted(1);
}

void LifetimeFitWindow::exposureCompleted(int code) {
    if (code == 4 || !isVisible())
        return;
    // The record's histograms are whole now, whatever the check says: held
    // aside while the next exposure runs, or, where nothing could be held,
    // handed out before the next start.
    takeSnapshot();
    if (cb_live->isChecked() || fitPending) {
        if (watcher.isRunning()) {
            fitPending = true;
            return;
        }
        fitPending = false;
        startFit();
    }
}

void LifetimeFitWindow::exposureAbandoned() {
    if (!fitPending || watcher.isRunning())
        return;
    fitPending = false;
    lb_message->setStyleSheet(QString::fromLatin1(errorStyle));
    lb_message->setText(QStringLiteral("The exposure ended without completing: no fit. Press Fit "
                                       "to fit what the histograms hold."));
}

void LifetimeFitWindow::fit() {
    if (watcher.isRunning()) {
        fitPending = true;
        return;
    }
    if (histogramsReadable()) {
        takeSnapshot();
    } else {
        const bool measured = IrfKind(cb_irf->currentData().toInt()) == IrfKind::Measured;
        if (snapshot.channel != cb_channel->currentData().toInt() ||
            (measured && snapshot.irf_channel != cb_irf_channel->currentData().toInt())) {
            fitPending = true;
            lb_message->setStyleSheet(QString());
            lb_message->setText(
                QStringLiteral("An exposure is running: the fit follows when it completes."));
            return;
        }
    }
    startFit();
}

FitRequest LifetimeFitWindow::requestFromControls() const {
    FitRequest request;
    request.counts = snapshot.counts;
    request.first_edge = snapshot.first_edge;
    request.bin_width = snapshot.bin_width;
    request.range_from = sb_from->value();
    request.range_to = sb_to->value();
    request.components = cb_components->currentData().toInt();
    request.irf = IrfKind(cb_irf->currentData().toInt());
    request.estimator = FitEstimator(cb_estimator->currentData().toInt());
    double *held[held_count] = {&request.held.lifetime[0], &request.held.lifetime[1],
                                &request.held.background, &request.held.irf_position,
                                &request.held.irf_width};
    for (size_t h = 0; h < held_count; ++h)
        if (ck_hold[h]->isEnabled() && ck_hold[h]->isChecked())
            *held[h] = sb_hold[h]->value();
    if (request.irf == IrfKind::Measured)
        request.irf_counts = snapshot.irf_counts;
    return request;
}

void LifetimeFitWindow::startFit() {
    if (snapshot.channel < 0) {
        clearResult(QStringLiteral("No channel has counts to fit."));
        emit fitFinished(false);
        return;
    }
    const FitRequest request = requestFromControls();
    if (request.irf == IrfKind::Measured && snapshot.irf_channel < 0) {
        clearResult(QStringLiteral("The IRF channel has no counts."));
        emit fitFinished(false);
        return;
    }
    if (request.irf == IrfKind::Measured && snapshot.irf_channel == snapshot.channel) {
        clearResult(QStringLiteral("The IRF must come from another channel than the decay."));
        emit fitFinished(false);
        return;
    }
    fitted = {snapshot.channel, request.irf == IrfKind::Measured ? snapshot.irf_channel : -1,
              request};
    ++fitGeneration; // intervals of an earlier fit no longer belong to the result
    lb_message->setStyleSheet(QString());
    lb_message->setText(QStringLiteral("fitting ch%1 ...").arg(snapshot.channel));
    // Histograms of millions of bins take seconds; the window stays usable.
    watcher.setFuture(QtConcurrent::run([request] {
        // Nothing may escape the worker: the result would rethrow it on the
        // GUI thread, which ends the program.
        try {
            return LifetimeFit::fit(request);
        } catch (const std::exception &e) {
            FitResult failed;
            failed.message = std::string("The fit failed: ") + e.what();
            return failed;
        }
    }));
}

void LifetimeFitWindow::fitDone() {
    const FitResult result = watcher.result();
    if (result.ok)
        showResult(result);
    else
        clearResult(QString::fromStdString(result.message));
    emit fitFinished(result.ok);
    if (fitPending && snapshot.channel >= 0) {
        fitPending = false;
        startFit();
    }
}

void LifetimeFitWindow::clearResult(const QString &message) {
    lastResult = FitResult();
    results->setRowCount(0);
    lb_warning->clear();
    lb_warning->hide();
    for (QwtPlotCurve *curve : {dataCurve, fitCurve, residualCurve})
        curve->setSamples(QVector<double>(), QVector<double>());
    // No axes of an earlier result over an empty canvas: the plot says why
    // it is empty.
    showAxes(false);
    QwtText title(QStringLiteral("no result: ") + message);
    title.setRenderFlags(Qt::AlignCenter | Qt::TextWordWrap);
    plot->setTitle(title);
    plot->replot();
    residualPlot->replot();
    lb_message->setStyleSheet(QString::fromLatin1(errorStyle));
    lb_message->setText(message);
}

void LifetimeFitWindow::showAxes(bool shown) {
    for (QwtPlot *p : {plot, residualPlot})
        for (int axis : {QwtPlot::xBottom, QwtPlot::yLeft})
            p->enableAxis(axis, shown);
}

std::vector<LifetimeFitWindow::ResultRow> LifetimeFitWindow::resultRows(const FitResult &result,
                                                                        IrfKind irf) {
    std::vector<ResultRow> rows;
    auto add = [&rows](const QString &quantity, FitValue value, bool with_error = true) {
        rows.push_back({quantity, value, with_error});
    };
    const size_t nk = result.lifetimes.size();
    for (size_t k = 0; k < nk; ++k) {
        const QString suffix = nk > 1 ? QStringLiteral(" %1").arg(k + 1) : QString();
        add(QStringLiteral("lifetime%1 [ns]").arg(suffix), result.lifetimes[k]);
        if (k < result.intervals.size()) { // NaN: that side was not found
            add(QStringLiteral("lifetime%1, 68 % interval from [ns]").arg(suffix),
                {result.intervals[k].lower}, false);
            add(QStringLiteral("lifetime%1, 68 % interval to [ns]").arg(suffix),
                {result.intervals[k].upper}, false);
        }
        add(QStringLiteral("amplitude fraction%1").arg(suffix), result.fractions[k], nk > 1);
        if (nk > 1)
            add(QStringLiteral("intensity fraction%1").arg(suffix), result.intensity_fractions[k]);
    }
    if (nk > 1) {
        add(QStringLiteral("mean lifetime (amplitude) [ns]"), result.mean_lifetime_amplitude);
        add(QStringLiteral("mean lifetime (intensity) [ns]"), result.mean_lifetime_intensity);
    }
    add(QStringLiteral("background [counts/bin]"), result.background);
    if (irf == IrfKind::Gaussian) {
        add(QStringLiteral("IRF position [ns]"), result.irf_position);
        add(QStringLiteral("IRF width sigma [ns]"), result.irf_width);
    } else if (irf == IrfKind::Measured) {
        add(QStringLiteral("IRF shift [ns]"), result.irf_position);
    }
    add(QStringLiteral("deviance / expected"), {result.deviance / result.expected_deviance}, false);
    add(QStringLiteral("deviance excess [sd]"), {result.deviance_z}, false);
    if (result.compared) {
        add(QStringLiteral("likelihood ratio, 2 vs 1"), {result.likelihood_ratio}, false);
        add(QStringLiteral("AIC(one) - AIC(two)"), {result.aic_difference}, false);
    }
    add(QStringLiteral("degrees of freedom"), {double(result.dof)}, false);
    add(QStringLiteral("counts in range"), {result.counts}, false);
    return rows;
}

void LifetimeFitWindow::addRow(const QString &quantity, double value, double error,
                               bool with_error) {
    const int row = results->rowCount();
    results->insertRow(row);
    results->setItem(row, 0, new QTableWidgetItem(quantity));
    results->setItem(row, 1, new QTableWidgetItem(QString::number(value, 'g', 6)));
    results->setItem(row, 2,
                     new QTableWidgetItem(with_error ? QString::number(error, 'g', 3) : QString()));
}

void LifetimeFitWindow::showResult(const FitResult &result) {
    lastResult = result;
    plot->setTitle(QString());
    showAxes(true);
    results->setRowCount(0);
    for (const ResultRow &row : resultRows(result, fitted.request.irf)) {
        addRow(row.quantity, row.value.value, row.value.error, row.with_error && !row.value.held);
        QTableWidgetItem *error = results->item(results->rowCount() - 1, 2);
        if (row.value.held)
            error->setText(QStringLiteral("fixed"));
        else if (row.value.at_bound)
            error->setText(QStringLiteral("at bound"));
        else if (row.with_error && std::isnan(row.value.error))
            error->setText(QStringLiteral("not determined"));
    }

    const size_t n = result.data.size();
    const double half = 0.5 * snapshot.bin_width;
    const int bins = static_cast<int>(n);
    QVector<double> x, y, centres(bins), model(bins), residuals(bins);
    double top = 1.0, bottom = HUGE_VAL;
    for (size_t i = 0; i < n; ++i) {
        centres[int(i)] = result.edges[i] + half;
        model[int(i)] = result.model[i];
        residuals[int(i)] = result.residuals[i];
        top = std::max({top, result.data[i], result.model[i]});
        bottom = std::min(bottom, result.model[i]);
        if (result.data[i] > 0.0) { // a log axis has no place for empty bins
            x.append(centres[int(i)]);
            y.append(result.data[i]);
        }
    }
    dataCurve->setSamples(x, y);
    fitCurve->setSamples(centres, model);
    residualCurve->setSamples(centres, residuals);
    for (QwtPlot *p : {plot, residualPlot})
        p->setAxisScale(QwtPlot::xBottom, centres.front() - half, centres.back() + half);
    plot->setAxisScale(QwtPlot::yLeft, std::max(0.1, std::min(0.5, bottom / 2.0)), top * 2.0);
    double extent = 3.0;
    for (double r : residuals)
        extent = std::max(extent, std::fabs(r));
    residualPlot->setAxisScale(QwtPlot::yLeft, -extent, extent);
    plot->replot();
    residualPlot->replot();
    lb_message->setStyleSheet(QString());
    QString text = QStringLiteral("ch%1: %2 iterations").arg(fitted.channel).arg(result.iterations);
    if (result.compared)
        text += result.aic_difference > 0.0 ? QStringLiteral("; AIC supports two components")
                                            : QStringLiteral("; AIC supports one component");
    lb_message->setText(text);
    QStringList warnings;
    for (const std::string &warning : result.warnings)
        warnings << QString::fromStdString(warning);
    lb_warning->setText(warnings.join('\n'));
    lb_warning->setVisible(!warnings.isEmpty());
}

QString LifetimeFitWindow::resultText() const {
    if (!lastResult.ok)
        return QString();
    QStringList lines{QStringLiteral("quantity\tvalue\tstd. error")};
    for (int row = 0; row < results->rowCount(); ++row) {
        lines << results->item(row, 0)->text() + '\t' + results->item(row, 1)->text() + '\t' +
                     results->item(row, 2)->text();
    }
    // A copied result carries the reasons not to trust it.
    for (const std::string &warning : lastResult.warnings)
        lines << QStringLiteral("warning\t") + QString::fromStdString(warning) + '\t';
    return lines.join('\n') + '\n';
}

// Profile intervals refit the data a few dozen times: on a worker, for the
// result shown when they were asked for.
void LifetimeFitWindow::intervals() {
    if (!lastResult.ok || intervalWatcher.isRunning() || watcher.isRunning())
        return;
    if (fitted.request.estimator != FitEstimator::PoissonLikelihood) {
        lb_message->setText(QStringLiteral("Profile intervals need the Poisson likelihood."));
        return;
    }
    intervalGeneration = fitGeneration;
    lb_message->setText(lb_message->text() + QStringLiteral("; intervals ..."));
    const FitRequest request = fitted.request;
    const FitResult best = lastResult;
    intervalWatcher.setFuture(QtConcurrent::run([request, best] {
        try {
            return LifetimeFit::profile_intervals(request, best);
        } catch (const std::exception &) {
            return std::vector<ProfileInterval>(best.lifetimes.size());
        }
    }));
}

void LifetimeFitWindow::intervalsDone() {
    if (intervalGeneration != fitGeneration || !lastResult.ok)
        return;
    FitResult result = lastResult;
    result.intervals = intervalWatcher.result();
    showResult(result);
    emit intervalsFinished();
}

void LifetimeFitWindow::saveClicked() {
    if (!lastResult.ok)
        return;
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save Fit"), QStringLiteral("./fit_ch%1.csv").arg(fitted.channel),
        QStringLiteral("CSV (*.csv)"));
    if (!path.isEmpty() && !saveFit(path)) {
        lb_message->setStyleSheet(QString::fromLatin1(errorStyle));
        lb_message->setText(QStringLiteral("Could not write %1 or its .json.").arg(path));
    }
}

namespace {
// Numbers as the export writes them: ten significant digits, a point
// whatever the locale (QString::number ignores it).
QString number(double value) {
    return QString::number(value, 'g', 10);
}
const char *irfName(IrfKind irf) {
    return irf == IrfKind::None ? "none" : (irf == IrfKind::Gaussian ? "Gaussian" : "measured");
}
} // namespace

// The fit's bins as CSV (lower edge, counts, model, residual, the response's
// share) and beside it, with the suffix .json, the settings it was made with
// and its results.
bool LifetimeFitWindow::saveFit(const QString &csvPath) const {
    if (!lastResult.ok)
        return false;
    QString csv = QStringLiteral("bin_start_ns,counts,model,residual,irf\n");
    const FitResult &r = lastResult;
    for (size_t i = 0; i < r.data.size(); ++i)
        csv += number(r.edges[i]) + ',' + number(r.data[i]) + ',' + number(r.model[i]) + ',' +
               number(r.residuals[i]) + ',' + number(r.response[i]) + '\n';

    const FitRequest &request = fitted.request;
    QJsonObject settings{{"channel", fitted.channel},
                         {"range_ns", QJsonArray{request.range_from, request.range_to}},
                         {"bin_width_ns", request.bin_width},
                         {"components", request.components},
                         {"irf", irfName(request.irf)},
                         {"estimator", request.estimator == FitEstimator::PoissonLikelihood
                                           ? "Poisson likelihood"
                                           : "least squares"}};
    if (fitted.irf_channel >= 0)
        settings["irf_channel"] = fitted.irf_channel;
    QJsonArray results;
    for (const ResultRow &row : resultRows(r, request.irf)) {
        QJsonObject entry{{"quantity", row.quantity}, {"value", row.value.value}};
        if (row.value.held)
            entry["held"] = true;
        else if (row.value.at_bound)
            entry["at_bound"] = true;
        else if (row.with_error && !std::isnan(row.value.error))
            entry["error"] = row.value.error;
        results.append(entry);
    }
    QJsonArray warnings;
    for (const std::string &warning : r.warnings)
        warnings.append(QString::fromStdString(warning));
    const QJsonObject all{{"settings", settings}, {"results", results}, {"warnings", warnings}};

    QString jsonPath = csvPath;
    if (jsonPath.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive))
        jsonPath.chop(4);
    jsonPath += QStringLiteral(".json");
    QFile csvFile(csvPath), jsonFile(jsonPath);
    return csvFile.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           csvFile.write(csv.toUtf8()) >= 0 && csvFile.flush() &&
           jsonFile.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           jsonFile.write(QJsonDocument(all).toJson()) >= 0 && jsonFile.flush();
}

void LifetimeFitWindow::copyResults() {
    const QString text = resultText();
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text);
}
