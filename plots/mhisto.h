#ifndef MHISTO_H
#define MHISTO_H

#include "device/histopipe.h"
#include "export/histoexport.h"
#include "run/exposureresult.h"

#include <qwt_interval.h>
#include <qwt_plot.h>

#include <QColor>
#include <QImage>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVector>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QwtLegend;
class QwtPlotCurve;
class QwtPlotPicker;
class QwtPlotTextLabel;
class ReplotThrottle;
class QwtPlotPanner;
class QwtPlotZoomer;
class TdcIface;

// Colour of channel c's curve, index = channel number. Built once, before
// main, from Qt's named colours.
extern const std::array<QColor, 16> curve_colors;

// The large histogram plot: one step curve per TDC channel, time in ns on the
// bottom axis and counts on the left axis. Its export entry points ask for a
// file name and hand the accumulator's data to HistoExport.
class Mhisto : public QwtPlot {
    Q_OBJECT
public:
    Mhisto(TdcIface *tdc, QWidget *parent);
    ~Mhisto() override;

    // Draws an exposure's histograms and time statistics from its record.
    void show_exposure(const ExposureResult &result);
    // Draws the last exposure shown again.
    void refresh();
    // Repaints at most once per this many ms (40 by default); 0 repaints at
    // every refresh.
    void set_repaint_interval_ms(int ms);
    // Lower edge in ns of every histogram bin for the current parameters.
    void compute_time_axis(std::vector<double> &t) const;

    // Channels whose curves are hidden, bit c for channel c. The legend
    // toggles them; the autoscaling ignores them.
    void set_hidden_channels(uint32_t mask);
    uint32_t hidden_channels() const { return hidden; }
    // Counts on a logarithmic axis, empty bins along its floor.
    void set_log_counts(bool log);
    bool log_counts() const { return log_scale; }
    // What the cursor at `pos` (time, counts) reads: both values and the
    // shown curve whose step at that time is nearest on screen.
    QString cursor_text(const QPointF &pos) const;
    // The line under a saved image of the plots: the exposure shown, its
    // window and binning and the channels shown.
    QString image_footer() const;

    // Asks for a file name, tells what it writes (and replaces) and exports.
    // False: nothing could be saved, export_error() says why; true: written,
    // or cancelled by the user.
    bool save_data(bool filter_zeros);
    // Writes the export for a chosen name without asking anything; channel
    // files of an earlier export stay. False: export_error() says why.
    bool write_data(const QString &fileName, bool filter_zeros);
    // Why the last export failed, naming the file; empty after a success.
    const QString &export_error() const { return export_failure; }

    // Where the export's data come from: the last exposure's record with
    // the run's; nullopt while nothing has been measured.
    void set_export_source(std::function<std::optional<ExportSnapshot>()> source) {
        export_source = std::move(source);
    }

public slots:
    void slot_auto_scaling_y(int mode);
    void slot_linewidth_changed(int width);

signals:
    void newAverage(double average);
    void newMinMax(double minimum, double maximum);
    void hidden_channels_changed(uint mask);

protected:
    void drawItems(QPainter *painter, const QRectF &canvasRect,
                   const QwtScaleMap maps[axisCnt]) const override;

private:
    // The parameters the time axis is computed from.
    HistoParams time_axis_params() const;
    // The lower edge in ns of the first `limit` bins (at most) of p; false
    // (and t empty) when the bins cannot be counted or allocated.
    static bool fill_time_axis(std::vector<double> &t, const HistoParams &p, uint64_t limit);
    std::size_t longest_histogram(uint32_t channels) const;
    static void release_if_oversized(QVector<double> &xs, QVector<double> &ys, std::size_t needed);
    void apply_pens();
    void update_curves(const std::vector<double> &t, uint32_t channels, uint32_t channel_mask);
    bool apply_y_top(double top);
    double y_top_for(double max_count) const;
    QwtInterval y_range() const;
    double shown_max_count() const;
    void rescale(bool counts_known);
    void legend_checked(const QVariant &item, bool on, int index);
    void update_legend_entries();
    void apply_visibility();
    enum class ExportAnswer { Cancel, Write, WriteAndRemoveOld };
    std::optional<ExportSnapshot> export_data();
    bool write_export(const ExportSnapshot &snap, const QString &fileName, bool filter_zeros,
                      const QStringList &remove);
    ExportAnswer ask_before_export(const QString &fileName, const QStringList &files,
                                   const QStringList &stale);

    std::array<QwtPlotCurve *, 16> curves{};
    QwtLegend *legend = nullptr;
    QwtPlotPicker *cursor = nullptr;
    QPointer<QwtPlotZoomer> zoomer;
    QPointer<QwtPlotPanner> panner;
    TdcIface *tdc;
    double x_min = 0.0;
    double x_max = 1000.0;
    int auto_scaling_y = 0;
    int line_width = 1;
    double y_max = 0.0;
    uint32_t hidden = 0;
    // Hidden channels (high word) and channels without samples the legend shows.
    uint64_t legend_state = ~uint64_t(0);
    bool log_scale = false;
    // Where the curves are painted together (kept: a canvas-sized image).
    mutable QImage curve_layer;

    // Kept between refreshes so a refresh allocates only when histograms
    // grow. Each curve shares its channel's sample arrays.
    std::vector<double> time_axis;
    std::array<QVector<double>, 16> sample_x;
    std::array<QVector<double>, 16> sample_y;
    std::function<std::optional<ExportSnapshot>()> export_source;
    QString export_failure;
    // What the plot shows: the last record's parameters, histograms (valid
    // until the next exposure starts) and statistics.
    HistoParams shown_params{0.0, 1000.0, 1.0, 0, 0};
    std::vector<const std::vector<double> *> shown_histos;
    HistoStats shown_stats{0, 0, 0, 0, 0, 0};
    double shown_binsize = 1.0;
    uint64_t shown_number = 0;
    QDateTime shown_started;
    QwtPlotTextLabel *empty_note = nullptr;
    // At most one repaint per interval, so fast exposures do not spend their
    // time painting.
    static constexpr int replot_interval_ms = 40;
    ReplotThrottle *replot_throttle;
    void show_empty_note(bool show);
};

#endif // MHISTO_H
