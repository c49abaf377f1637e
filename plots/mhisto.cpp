#include "plots/mhisto.h"

#include "device/tdciface.h"
#include "export/histoexport.h"
#include "plots/cursorpicker.h"
#include "plots/logcounts.h"
#include "plots/plotimage.h"
#include "plots/replotthrottle.h"
#include "plots/stepcurve.h"

#include <qwt_legend.h>
#include <qwt_legend_label.h>
#include <qwt_picker_machine.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_grid.h>
#include <qwt_plot_panner.h>
#include <qwt_plot_picker.h>
#include <qwt_plot_textlabel.h>
#include <qwt_plot_zoomer.h>
#include <qwt_scale_engine.h>

#include <QAbstractButton>
#include <QApplication>
#include <QBrush>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPen>
#include <QSettings>
#include <QStack>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

namespace {

std::array<QColor, 16> build_curve_colors() {
    static const char *const names[16] = {
        "lime",     "blue", "blueviolet", "coral",  "cyan",    "crimson", "gold",      "teal",
        "seagreen", "red",  "orchid",     "orange", "magenta", "aqua",    "chocolate", "pink"};
    std::array<QColor, 16> colors;
    for (std::size_t c = 0; c < colors.size(); ++c)
        colors[c].setNamedColor(QLatin1String(names[c]));
    return colors;
}

QPen grid_pen() {
    return QPen(QBrush(Qt::gray, Qt::SolidPattern), 1.0, Qt::DashLine, Qt::SquareCap,
                Qt::BevelJoin);
}

// Keeps the wait cursor up for exactly as long as the export runs, whichever
// way it returns.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;
};

} // namespace

const std::array<QColor, 16> curve_colors = build_curve_colors();

Mhisto::Mhisto(TdcIface *tdc, QWidget *parent)
    : QwtPlot(parent), tdc(tdc), replot_throttle(new ReplotThrottle(this, replot_interval_ms)) {
    auto *grid = new QwtPlotGrid();
    grid->setPen(grid_pen());
    grid->attach(this);

    setCanvasBackground(QBrush(Qt::white, Qt::SolidPattern));

    for (std::size_t c = 0; c < curves.size(); ++c) {
        auto *curve = new StepCurve(QStringLiteral("curve") + QString::number(c + 1));
        curve->attach(this);
        curve->setAxes(QwtPlot::xBottom, QwtPlot::yLeft);
        curve->setStyle(QwtPlotCurve::Steps);
        curves[c] = curve;
    }

    panner = new QwtPlotPanner(canvas());
    panner->setMouseButton(Qt::MiddleButton, Qt::NoModifier);

    setAxisTitle(QwtPlot::xBottom, QStringLiteral("Time [ns]"));
    setAxisTitle(QwtPlot::yLeft, QStringLiteral("Counts"));

    zoomer = new QwtPlotZoomer(canvas(), true);
    zoomer->setMousePattern(QwtEventPattern::MouseSelect2, Qt::RightButton, Qt::ControlModifier);
    zoomer->setMousePattern(QwtEventPattern::MouseSelect3, Qt::RightButton);

    cursor = new CursorPicker(canvas(), [this](const QPointF &pos) { return cursor_text(pos); });

    // Below the plot, one entry per channel; clicking one hides or shows it.
    legend = new QwtLegend();
    legend->setDefaultItemMode(QwtLegendData::Checkable);
    insertLegend(legend, QwtPlot::BottomLegend);
    connect(legend, &QwtLegend::checked, this, &Mhisto::legend_checked);
    update_legend_entries();
    // Greyed with the curves as they are drawn, not with every exposure.
    replot_throttle->set_before_paint([this] { update_legend_entries(); });

    apply_pens();
}

Mhisto::~Mhisto() = default;

void Mhisto::apply_pens() {
    // Width 0 is Qt's cosmetic pen: one device pixel and the fastest to draw.
    const double width = line_width == 1 ? 0.0 : static_cast<double>(line_width);
    for (std::size_t c = 0; c < curves.size(); ++c) {
        curves[c]->setPen(QPen(QBrush(curve_colors[c]), width, Qt::SolidLine));
        // The cosmetic stroker clips every segment cheaply itself; clipping
        // the polygon beforehand is worth it only for the slower wide pens.
        curves[c]->setPaintAttribute(QwtPlotCurve::ClipPolygons, line_width != 1);
    }
    replot();
}

void Mhisto::slot_auto_scaling_y(int mode) {
    auto_scaling_y = mode;
}

void Mhisto::slot_linewidth_changed(int width) {
    if (width == line_width)
        return;
    line_width = width;
    apply_pens();
}

// The parameters the histograms were filled with, not the pending ones: a
// window or binning changed during a run takes effect with the next exposure.
HistoParams Mhisto::time_axis_params() const {
    return shown_params;
}

void Mhisto::compute_time_axis(std::vector<double> &t) const {
    fill_time_axis(t, time_axis_params(), std::numeric_limits<uint64_t>::max());
}

bool Mhisto::fill_time_axis(std::vector<double> &t, const HistoParams &p, uint64_t limit) {
    uint64_t n = 0;
    if (!HistoPipe::compute_nbins(p, n)) {
        t.clear();
        return false;
    }
    n = std::min(n, limit);
    const double step = static_cast<double>(uint64_t(1) << (p.binning % 64)) * p.binsize;
    try {
        t.resize(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc &) {
        // No histogram of that many bins can exist either.
        t.clear();
        return false;
    } catch (const std::length_error &) {
        t.clear();
        return false;
    }
    double *const times = t.data();
    for (std::size_t i = 0; i < t.size(); ++i)
        times[i] = p.start + static_cast<double>(i) * step;
    return true;
}

std::size_t Mhisto::longest_histogram(uint32_t channels) const {
    std::size_t longest = 0;
    for (uint32_t c = 0; c < channels && c < 16; ++c) {
        if (const std::vector<double> *h = c < shown_histos.size() ? shown_histos[c] : nullptr)
            longest = std::max(longest, h->size());
    }
    return longest;
}

// Thins out runs of empty bins of h (over the first n bins, the last of which
// is never drawn) into xs and ys; returns the number of samples.
static int thin_bins(const double *times, const double *bins, std::size_t n, double *xs,
                     double *ys) {
    std::size_t m = 0;
    if (n < 2) {
        for (; m < n; ++m) {
            xs[m] = times[m];
            ys[m] = bins[m];
        }
        return static_cast<int>(m);
    }
    // Of an empty run only the bins next to a non-empty one are kept, which
    // draws the same steps.
    double previous = 0.0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double value = bins[i];
        if (value != 0.0 || previous != 0.0 || bins[i + 1] != 0.0) {
            xs[m] = times[i];
            ys[m] = value;
            ++m;
        }
        previous = value;
    }
    return static_cast<int>(m);
}

void Mhisto::update_curves(const std::vector<double> &t, uint32_t channels, uint32_t channel_mask) {
    for (uint32_t c = 0; c < channels && c < 16; ++c) {
        QVector<double> &xs = sample_x[c];
        QVector<double> &ys = sample_y[c];
        // The curve shares the arrays it was given last time: it lets go of
        // them first, so that they are refilled in place rather than copied.
        curves[c]->setSamples(QVector<double>(), QVector<double>());
        const std::vector<double> *h = c < shown_histos.size() ? shown_histos[c] : nullptr;
        if (h == nullptr || (channel_mask & (uint32_t(1) << c)) == 0) {
            xs.resize(0);
            ys.resize(0);
            release_if_oversized(xs, ys, t.size());
            continue;
        }
        // A curve holds at most what an int counts; no histogram of the
        // plot's size comes near.
        const std::size_t n =
            std::min({t.size(), h->size(), std::size_t(std::numeric_limits<int>::max() / 2)});
        try {
            xs.resize(static_cast<int>(n));
            ys.resize(static_cast<int>(n));
        } catch (const std::bad_alloc &) {
            xs = QVector<double>();
            ys = QVector<double>();
            continue;
        }
        const int m = thin_bins(t.data(), h->data(), n, xs.data(), ys.data());
        xs.resize(m);
        ys.resize(m);
        release_if_oversized(xs, ys, static_cast<std::size_t>(m));
        curves[c]->setSamples(xs, ys);
    }
}

void Mhisto::release_if_oversized(QVector<double> &xs, QVector<double> &ys, std::size_t needed) {
    // Buffers follow the histograms down once they are far larger than
    // needed; small ones are kept for the next refresh.
    const std::size_t slack = 4 * needed + 65536;
    if (static_cast<std::size_t>(xs.capacity()) > slack)
        xs.squeeze();
    if (static_cast<std::size_t>(ys.capacity()) > slack)
        ys.squeeze();
}

bool Mhisto::apply_y_top(double top) {
    const bool apply = auto_scaling_y == 0 || y_max == 0.0 || (auto_scaling_y == 1 && top > y_max);
    if (!apply)
        return false;
    y_max = top;
    const QwtInterval counts = y_range();
    setAxisScale(QwtPlot::yLeft, counts.minValue(), counts.maxValue(), 0.0);
    return true;
}

// The count axis for the top last applied.
QwtInterval Mhisto::y_range() const {
    if (log_scale)
        return QwtInterval(log_counts_floor, std::max(y_max, 2.0 * log_counts_floor));
    return QwtInterval(0.0, y_max);
}

// A log axis needs more headroom than a linear one to show it: a factor of 2
// is a third of a decade.
double Mhisto::y_top_for(double max_count) const {
    return max_count * (log_scale ? 2.0 : 1.05);
}

// The highest bin among the curves shown. With curves hidden it is taken
// from what they draw (every bin but the last), so hiding one needs no
// histogram, and the refresh no pass over the bins of its own.
double Mhisto::shown_max_count() const {
    if (hidden == 0)
        return static_cast<double>(shown_stats.max_count);
    double top = 0.0;
    for (std::size_t c = 0; c < curves.size(); ++c) {
        const QVector<double> &ys = sample_y[c];
        if ((hidden & (uint32_t(1) << c)) == 0 && curves[c]->dataSize() != 0 && !ys.isEmpty())
            top = std::max(top, *std::max_element(ys.cbegin(), ys.cend()));
    }
    return top;
}

void Mhisto::set_repaint_interval_ms(int ms) {
    replot_throttle->set_interval_ms(ms);
}

void Mhisto::show_exposure(const ExposureResult &result) {
    shown_params = result.params;
    shown_histos = result.histos;
    shown_stats = result.histo_stats;
    shown_number = result.number;
    shown_started = result.started;
    shown_binsize =
        result.device.binsize_ns > 0.0 ? result.device.binsize_ns : result.params.binsize;
    refresh();
}

// Events arrived but none in the window: the plot says where they were, so
// an empty plot is not taken for an empty exposure.
void Mhisto::show_empty_note(bool show) {
    if (!show) {
        delete empty_note; // a plot item leaves its plot as it goes
        empty_note = nullptr;
        return;
    }
    if (!empty_note)
        empty_note = new QwtPlotTextLabel();
    const double first = double(shown_stats.min_time) * shown_binsize;
    const double last = double(shown_stats.max_time) * shown_binsize;
    QwtText text(QStringLiteral("no event fell in the histogram window: the events lay between "
                                "%1 ns and %2 ns")
                     .arg(first, 0, 'g', 8)
                     .arg(last, 0, 'g', 8));
    text.setRenderFlags(Qt::AlignCenter);
    text.setColor(QColor(160, 0, 0));
    empty_note->setText(text);
    empty_note->attach(this);
}

void Mhisto::refresh() {
    const HistoParams p = time_axis_params();
    const HistoStats s = shown_stats;
    if (p.channels == 0)
        return;
    show_empty_note(s.nr_events != 0 && s.channel_mask == 0);

    // No bin beyond the longest histogram gets a time: after a change of the
    // window the histograms keep their size until the next exposure starts.
    fill_time_axis(time_axis, p, longest_histogram(p.channels));
    if (time_axis.capacity() > 4 * time_axis.size() + 65536)
        time_axis.shrink_to_fit();
    update_curves(time_axis, p.channels, s.channel_mask);
    rescale(s.nr_events != 0);

    emit newMinMax(double(s.min_time) * shown_binsize, double(s.max_time) * shown_binsize);
    const uint64_t average = s.nr_events != 0 ? s.sum_time / s.nr_events : 0;
    emit newAverage(double(average) * shown_binsize);
}

// Sets the axes for what is shown, in the autoscaling mode, and the zoom base
// with them; the count axis only when counts are known.
void Mhisto::rescale(bool counts_known) {
    const HistoParams p = time_axis_params();
    QRectF base = zoomer->zoomBase();
    if (x_min != p.start || x_max != p.start + p.size) {
        x_min = p.start;
        x_max = p.start + p.size;
        setAxisScale(QwtPlot::xBottom, x_min, x_max, 0.0);
        base.setLeft(x_min);
        base.setRight(x_max);
    }
    if (counts_known && apply_y_top(y_top_for(shown_max_count()))) {
        // Zoomer rectangles keep the lower y bound in top().
        const QwtInterval counts = y_range();
        base.setTop(counts.minValue());
        base.setBottom(counts.maxValue());
    }
    // The zoomer joins the base with the current scales, so let the scales
    // just set take effect first; otherwise the old view would widen the base.
    updateAxes();
    zoomer->setZoomBase(base);
    if (zoomer->zoomBase() != base) {
        // The view was panned beyond the base and widened it; going back to
        // the base should show the window and the y range, not that view.
        QStack<QRectF> stack;
        stack.push(base);
        if (zoomer->zoomRect() != base)
            stack.push(zoomer->zoomRect());
        zoomer->setZoomStack(stack, stack.size() - 1);
    }
    replot_throttle->request();
}

// ---- legend, log axis and cursor ------------------------------------------

// "chN" beside the channel's colour block; faint without counts, struck out
// and its block grey while hidden, so a saved image tells the same.
void Mhisto::update_legend_entries() {
    // Relabelling relays out the legend and repaints the plot: only on change.
    uint64_t state = uint64_t(hidden) << 32;
    for (std::size_t c = 0; c < curves.size(); ++c)
        state |= curves[c]->dataSize() == 0 ? uint64_t(1) << c : 0;
    if (state == legend_state)
        return;
    legend_state = state;
    for (std::size_t c = 0; c < curves.size(); ++c) {
        QwtText text(QStringLiteral("ch%1").arg(c));
        // Thinning leaves samples only around bins with counts.
        const bool faint = curves[c]->dataSize() == 0;
        if (faint)
            text.setColor(QColor(150, 150, 150));
        const bool hide = hidden & (uint32_t(1) << c);
        if (hide) {
            QFont font = legend->font();
            font.setStrikeOut(true);
            text.setFont(font);
        }
        static_cast<StepCurve *>(curves[c])->set_legend_entry(text, faint || hide);
        if (auto *label =
                qobject_cast<QwtLegendLabel *>(legend->legendWidget(itemToInfo(curves[c]))))
            label->setChecked((hidden & (uint32_t(1) << c)) == 0);
    }
}

void Mhisto::legend_checked(const QVariant &item, bool on, int) {
    const auto found = std::find(curves.begin(), curves.end(), infoToItem(item));
    if (found == curves.end())
        return;
    const uint32_t bit = uint32_t(1) << (found - curves.begin());
    set_hidden_channels(on ? hidden & ~bit : hidden | bit);
}

void Mhisto::set_hidden_channels(uint32_t mask) {
    mask &= 0xffffu;
    if (mask == hidden)
        return;
    hidden = mask;
    apply_visibility();
    emit hidden_channels_changed(hidden);
}

void Mhisto::apply_visibility() {
    for (std::size_t c = 0; c < curves.size(); ++c)
        curves[c]->setVisible((hidden & (uint32_t(1) << c)) == 0);
    update_legend_entries();
    if (time_axis_params().channels != 0 && !shown_histos.empty())
        rescale(shown_stats.nr_events != 0);
    else
        replot();
}

void Mhisto::drawItems(QPainter *painter, const QRectF &canvasRect,
                       const QwtScaleMap maps[axisCnt]) const {
    draw_items_layered(*this, painter, canvasRect, maps, curve_layer);
}

void Mhisto::set_log_counts(bool log) {
    if (log == log_scale)
        return;
    log_scale = log;
    if (log)
        setAxisScaleEngine(QwtPlot::yLeft, make_log_counts_engine());
    else
        setAxisScaleEngine(QwtPlot::yLeft, new QwtLinearScaleEngine());
    setAxisTitle(QwtPlot::yLeft, log ? QStringLiteral("Counts (log)") : QStringLiteral("Counts"));
    // A top from the other scale means nothing on this one: the next scale
    // is applied whatever the mode, as the first one is.
    y_max = 0.0;
    if (time_axis_params().channels != 0 && !shown_histos.empty() && shown_stats.nr_events != 0) {
        rescale(true);
    } else {
        setAxisAutoScale(QwtPlot::yLeft);
        updateAxes();
        QRectF base = zoomer->zoomBase();
        const QwtInterval counts = axisInterval(QwtPlot::yLeft);
        base.setTop(counts.minValue());
        base.setBottom(counts.maxValue());
        zoomer->setZoomBase(base);
        replot();
    }
}

QString Mhisto::cursor_text(const QPointF &pos) const {
    const double at = std::max(0.0, pos.y());
    QString text = QStringLiteral("%1 ns, %2 counts")
                       .arg(pos.x(), 0, 'f', 2)
                       .arg(at, 0, 'f', at < 10.0 ? 1 : 0);
    const HistoParams p = time_axis_params();
    const double width = std::ldexp(p.binsize, int(p.binning % 64));
    const QwtScaleMap counts = canvasMap(QwtPlot::yLeft);
    const double cursor_row = counts.transform(pos.y());
    int nearest = -1;
    double nearest_value = 0.0, nearest_distance = std::numeric_limits<double>::infinity();
    for (std::size_t c = 0; c < curves.size(); ++c) {
        const QVector<double> &xs = sample_x[c];
        if (!curves[c]->isVisible() || curves[c]->dataSize() == 0 || xs.isEmpty())
            continue;
        // The step drawn at this time starts at the last sample at or before it;
        // the last sample's step reaches one bin further.
        const auto after = std::upper_bound(xs.cbegin(), xs.cend(), pos.x());
        if (after == xs.cbegin() || (after == xs.cend() && pos.x() >= xs.last() + width))
            continue;
        const double value = sample_y[c][int(after - xs.cbegin()) - 1];
        const double distance = std::abs(counts.transform(value) - cursor_row);
        if (distance < nearest_distance) {
            nearest_distance = distance;
            nearest = int(c);
            nearest_value = value;
        }
    }
    if (nearest >= 0)
        text += QStringLiteral("\nch%1: %2").arg(nearest).arg(nearest_value, 0, 'f', 0);
    return text;
}

QString Mhisto::image_footer() const {
    uint64_t accumulated = 0;
    if (export_source) {
        if (const std::optional<ExportSnapshot> snap = export_source())
            accumulated = snap->run.exposures_in_histograms;
    }
    return plot_image_footer(shown_started, shown_number, accumulated, shown_params,
                             ~hidden & 0xffffu, shown_params.channels);
}

// ---- export ------------------------------------------------------------------

namespace {

const char *const last_folder_key = "export/last_folder";

// The last export's folder while it exists, else the user's home: never the
// program's own folder, which an installed program cannot write to.
QString export_start_folder() {
    const QString last = QSettings().value(QLatin1String(last_folder_key)).toString();
    if (!last.isEmpty() && QFileInfo(last).isDir())
        return last;
    return QDir::homePath();
}

// At most five names, one a line.
QString short_list(const QStringList &paths) {
    QStringList names;
    for (const QString &path : paths)
        names << QFileInfo(path).fileName();
    const int shown = std::min(names.size(), 5);
    QString list = names.mid(0, shown).join(QLatin1Char('\n'));
    if (names.size() > shown)
        list += QStringLiteral("\n…");
    return list;
}

} // namespace

std::optional<ExportSnapshot> Mhisto::export_data() {
    std::optional<ExportSnapshot> snap;
    if (export_source)
        snap = export_source();
    if (!snap) {
        export_failure = tr("Nothing measured yet: run an exposure, then export.");
        return std::nullopt;
    }
    if (!HistoExport::has_data(*snap)) {
        export_failure = tr("Nothing to export: the last exposure left no histogram bins.");
        return std::nullopt;
    }
    export_failure.clear();
    return snap;
}

bool Mhisto::save_data(bool filter_zeros) {
    const std::optional<ExportSnapshot> snap = export_data();
    if (!snap)
        return false;
    const QString name = QFileDialog::getSaveFileName(this, tr("Save Data"), export_start_folder(),
                                                      tr("Text Data (*.txt)"));
    if (name.isEmpty())
        return true;
    const QStringList files = HistoExport::file_names(*snap, name);
    const QStringList stale = HistoExport::stale_files(*snap, name);
    const ExportAnswer answer = ask_before_export(name, files, stale);
    if (answer == ExportAnswer::Cancel)
        return true;
    return write_export(*snap, name, filter_zeros,
                        answer == ExportAnswer::WriteAndRemoveOld ? stale : QStringList());
}

// One question before anything is written: the names the chosen name leads
// to, the files it replaces and those of an earlier export it would leave.
Mhisto::ExportAnswer Mhisto::ask_before_export(const QString &fileName, const QStringList &files,
                                               const QStringList &stale) {
    QStringList existing;
    for (const QString &file : files) {
        if (QFileInfo::exists(file) || QFileInfo(file).isSymLink())
            existing << file;
    }
    QString text = HistoExport::plan_text(fileName, files);
    const bool replacing = !existing.isEmpty();
    if (replacing)
        text += QStringLiteral("\n\n") + tr("%n export file(s) already exist:\n%1\n\nReplace them?",
                                            nullptr, existing.size())
                                             .arg(short_list(existing));
    const QString remove_label =
        replacing ? tr("Replace and Remove Old Files") : tr("Save and Remove Old Files");
    if (!stale.isEmpty())
        text += QStringLiteral("\n\n") +
                tr("An earlier export with this prefix left %n channel file(s) that this export "
                   "does not write:\n%1\nThey stay unless you choose \"%2\".",
                   nullptr, stale.size())
                    .arg(short_list(stale), remove_label);

    const auto keep = replacing ? QMessageBox::Yes : QMessageBox::Save;
    const auto remove = replacing ? QMessageBox::YesToAll : QMessageBox::SaveAll;
    const auto cancel = replacing ? QMessageBox::No : QMessageBox::Cancel;
    QMessageBox box(QMessageBox::Question, replacing ? tr("Replace Files") : tr("Export Files"),
                    text, keep | cancel | (stale.isEmpty() ? QMessageBox::NoButton : remove), this);
    if (!stale.isEmpty())
        box.button(remove)->setText(remove_label);
    box.setDefaultButton(replacing ? cancel : keep);
    const int answer = box.exec();
    if (answer == keep)
        return ExportAnswer::Write;
    if (answer == remove)
        return ExportAnswer::WriteAndRemoveOld;
    return ExportAnswer::Cancel;
}

bool Mhisto::write_data(const QString &fileName, bool filter_zeros) {
    const std::optional<ExportSnapshot> snap = export_data();
    return snap && write_export(*snap, fileName, filter_zeros, QStringList());
}

bool Mhisto::write_export(const ExportSnapshot &snap, const QString &fileName, bool filter_zeros,
                          const QStringList &remove) {
    WaitCursor wait;
    const ExportResult result = HistoExport::write(snap, fileName, filter_zeros, remove);
    export_failure = result.message;
    if (result.ok)
        QSettings().setValue(QLatin1String(last_folder_key), QFileInfo(fileName).absolutePath());
    return result.ok;
}
