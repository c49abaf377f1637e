#ifndef LIFETIMEFITWINDOW_H
#define LIFETIMEFITWINDOW_H

#include "analysis/lifetimefit.h"
#include "run/exposureresult.h"

#include <QFutureWatcher>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <vector>

class QCheckBox;
class QCloseEvent;
class QComboBox;
class QDoubleSpinBox;
class QGridLayout;
class QLabel;
class QPushButton;
class QShowEvent;
class QTableWidget;
class QwtPlot;
class QwtPlotCurve;
class TdcIface;

// Fits decay times to one channel's accumulated histogram and shows them with
// their standard errors, the data with the fitted curve on a log count axis
// and the weighted residuals. The fit itself runs on a worker thread on a
// copy of the histograms, so a long fit never blocks the window.
//
// The histograms may only be read while no exposure adds events. The window
// reads them in exposureCompleted(), which its creator connects (queued) so
// that it runs before anything starts the next exposure, and at other times
// only when the readable check given by its creator says so.
class LifetimeFitWindow : public QWidget {
    Q_OBJECT
public:
    LifetimeFitWindow(TdcIface *tdc, QString orgName, QString appName, QWidget *parent);
    ~LifetimeFitWindow() override;

    void setHistogramsReadable(std::function<bool()> readable);
    // Tab-separated lines of the last result: quantity, value, standard error.
    QString resultText() const;
    // Writes the last result's bins to csvPath and its settings and results
    // to the same name with .json; false when there is none or a file fails.
    bool saveFit(const QString &csvPath) const;

public slots:
    void exposureCompleted(int code);
    // The record of a completed exposure: the window fits what it describes.
    void exposureRecorded(const ExposureResult &result);
    void setFitRange(double from, double to);
    void fit();
    void copyResults();
    void intervals();
    void showAndRaise();

signals:
    // Asks for the histogram plot's visible time range (answered with setFitRange).
    void zoomRangeRequested();
    void fitFinished(bool ok);
    void intervalsFinished();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private slots:
    void fitDone();
    void saveClicked();
    void intervalsDone();
    void irfChanged(int index);
    void exposureAbandoned();

private:
    struct Snapshot {
        std::vector<double> counts;
        std::vector<double> irf_counts;
        int channel = -1;
        int irf_channel = -1;
        double first_edge = 0.0;
        double bin_width = 1.0;
    };

    void buildWidgets();
    void buildPlots();
    bool takeSnapshot();
    void updateChannelList(const std::array<double, 16> &sums, int channels);
    void startFit();
    FitRequest requestFromControls() const;
    void showResult(const FitResult &result);
    void clearResult(const QString &message);
    void showAxes(bool shown);
    void addRow(const QString &quantity, double value, double error, bool with_error = true);
    QGridLayout *buildHoldControls();

    TdcIface *tdc;
    QString orgName;
    QString appName;
    std::function<bool()> histogramsReadable;

    QComboBox *cb_channel;
    QDoubleSpinBox *sb_from;
    QDoubleSpinBox *sb_to;
    QPushButton *bu_zoom;
    QComboBox *cb_components;
    QComboBox *cb_irf;
    QComboBox *cb_irf_channel;
    QComboBox *cb_estimator;
    QCheckBox *cb_live;
    // Held parameters: lifetime 1 and 2, background, IRF position, IRF width.
    static constexpr size_t held_count = 5;
    std::array<QCheckBox *, held_count> ck_hold;
    std::array<QDoubleSpinBox *, held_count> sb_hold;
    QPushButton *bu_fit;
    QPushButton *bu_copy;
    QPushButton *bu_save;
    QPushButton *bu_intervals;
    QLabel *lb_message;
    QLabel *lb_warning;
    QTableWidget *results;
    QwtPlot *plot;
    QwtPlot *residualPlot;
    QwtPlotCurve *dataCurve;
    QwtPlotCurve *fitCurve;
    QwtPlotCurve *residualCurve;

    // What the running (or last) fit was asked for: the result is labelled
    // from it, not from controls changed since.
    struct FitSettings {
        int channel = -1;
        int irf_channel = -1;
        FitRequest request; // with the histograms, for the intervals
    };
    // A row of the results: the table's and the saved file's.
    struct ResultRow {
        QString quantity;
        FitValue value;
        bool with_error;
    };
    static std::vector<ResultRow> resultRows(const FitResult &result, IrfKind irf);

    Snapshot snapshot;
    // The histograms and their parameters as the last exposure's record gave
    // them; the arrays are the accumulator's, readable while no exposure runs.
    HistoParams recorded_params{0.0, 0.0, 0.0, 0, 0};
    std::vector<const std::vector<double> *> recorded_histos;
    uint64_t recorded_generation = 0;
    FitSettings fitted;
    FitResult lastResult;
    QFutureWatcher<FitResult> watcher;
    QFutureWatcher<std::vector<ProfileInterval>> intervalWatcher;
    unsigned fitGeneration = 0;
    unsigned intervalGeneration = 0;
    bool fitPending = false;
};

#endif // LIFETIMEFITWINDOW_H
