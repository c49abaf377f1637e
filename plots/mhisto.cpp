#include "mhisto.h"

#include "stepcurve.h"
#include "tdciface.h"

#include <qwt_plot_curve.h>
#include <qwt_plot_grid.h>
#include <qwt_plot_panner.h>
#include <qwt_plot_zoomer.h>

#include <QApplication>
#include <QBrush>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPen>
#include <QStack>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
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

// Fixed notation of %.10g for 1e-4 <= |value| < 1e10, the notation of nearly
// every time on the axis. Returns null when the value is too close to a
// rounding tie (or rounds up to the next power of ten) to decide it from the
// scaled double; the general conversion handles those.
char *format_fixed_g10(char *out, double value) {
    static const double powers[] = {1e0, 1e1, 1e2, 1e3,  1e4,  1e5,  1e6,
                                    1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13};
    const double magnitude = std::fabs(value);
    // Decimal exponent: the nearest doubles of 10^-1 .. 10^-4 lie above the
    // exact powers, so comparing with them classifies every double right.
    int exponent = 9;
    while (exponent > -4 &&
           magnitude < (exponent >= 0 ? powers[exponent] : 1.0 / powers[-exponent]))
        --exponent;
    // 10^(9 - exponent) is exact, so the product carries a single rounding
    // error below 2e-6 at this size; a fraction that far from one half rounds
    // the same way as the exact value.
    const double scaled = magnitude * powers[9 - exponent];
    const double floor_scaled = std::floor(scaled);
    const double fraction = scaled - floor_scaled;
    if (std::fabs(fraction - 0.5) < 1e-5)
        return nullptr;
    const uint64_t digits_value = static_cast<uint64_t>(floor_scaled) + (fraction > 0.5 ? 1 : 0);
    if (digits_value >= 10000000000ULL)
        return nullptr;
    char digits[10];
    std::to_chars(digits, digits + 10, digits_value);
    int last = 9;                   // drop trailing zeros of the fraction
    const int point = exponent + 1; // digits before the decimal point
    while (last >= point && last >= 0 && digits[last] == '0')
        --last;
    if (value < 0)
        *out++ = '-';
    if (point <= 0) {
        *out++ = '0';
        *out++ = '.';
        for (int i = point; i < 0; ++i)
            *out++ = '0';
        for (int i = 0; i <= last; ++i)
            *out++ = digits[i];
        return out;
    }
    for (int i = 0; i < point; ++i)
        *out++ = digits[i];
    if (last >= point) {
        *out++ = '.';
        for (int i = point; i <= last; ++i)
            *out++ = digits[i];
    }
    return out;
}

// "%.10g" of value, without padding. Whole numbers below 10^10 are exactly
// the plain integer under %.10g, which covers every count of a histogram;
// other values in the fixed range take the fixed path above.
char *format_g10(char *out, char *end, double value) {
    const double magnitude = std::fabs(value);
    if (value == std::floor(value) && magnitude < 1e10 && !(value == 0.0 && std::signbit(value)))
        return std::to_chars(out, end, static_cast<long long>(value)).ptr;
    if (magnitude >= 1e-4 && magnitude < 1e10) {
        if (char *fixed_end = format_fixed_g10(out, value))
            return fixed_end;
    }
    return std::to_chars(out, end, value, std::chars_format::general, 10).ptr;
}

// Writes value right-aligned in a field of width characters; a longer number
// is not cut.
char *format_field(char *out, double value, std::size_t width) {
    char digits[64];
    char *const digits_end = format_g10(digits, digits + sizeof digits, value);
    const std::size_t length = static_cast<std::size_t>(digits_end - digits);
    if (length < width) {
        std::memset(out, ' ', width - length);
        out += width - length;
    }
    std::memcpy(out, digits, length);
    return out + length;
}

QString export_prefix(const QString &fileName) {
    const QFileInfo info(fileName);
    return info.absolutePath() + QLatin1Char('/') + info.baseName();
}

QString rates_file_name(const QString &prefix) {
    return prefix + QStringLiteral("_rates.txt");
}

QString channel_file_name(const QString &prefix, uint32_t channel) {
    return prefix + QStringLiteral("_ch") + QString::number(channel) + QStringLiteral(".txt");
}

// The channels that get a file: those below the channel count (and 16) with
// events in the last measurement and a histogram.
std::vector<uint32_t> exported_channels(const TdcIface &tdc, uint32_t channels,
                                        const PipeStatistics &stats) {
    std::vector<uint32_t> result;
    for (uint32_t c = 0; c < channels && c < 16; ++c) {
        if (stats.words[c] != 0 && tdc.get_channel_histo(c) != nullptr)
            result.push_back(c);
    }
    return result;
}

// One export file, written through a large buffer and flushed once when
// complete. Any failure (open, write, flush or close) is remembered, so a
// file that could not be written completely is reported.
class ExportFile {
public:
    explicit ExportFile(const QString &path)
        : stream(path.toStdString(), std::ios::out | std::ios::trunc) {
        buffer.resize(buffer_size + Mhisto::bin_line_capacity + 64);
        pos = buffer.data();
    }

    bool is_open() const { return stream.is_open(); }

    void append(const char *text, std::size_t length) {
        std::memcpy(pos, text, length);
        pos += length;
        drain_if_full();
    }
    void append(const char *text) { append(text, std::strlen(text)); }

    void append_bin_line(double time, double count) {
        pos += Mhisto::format_bin_line(pos, time, count);
        *pos++ = '\n';
        drain_if_full();
    }

    bool finish() {
        drain();
        stream.flush();
        const bool written = stream.good();
        stream.close();
        return written && !stream.fail();
    }

private:
    void drain_if_full() {
        if (static_cast<std::size_t>(pos - buffer.data()) >= buffer_size)
            drain();
    }
    void drain() {
        if (pos != buffer.data() && stream.good())
            stream.write(buffer.data(), pos - buffer.data());
        pos = buffer.data();
    }

    static constexpr std::size_t buffer_size = 1 << 20;
    std::ofstream stream;
    std::vector<char> buffer;
    char *pos;
};

bool write_rates_file(const QString &path, const uint32_t (&counts)[16]) {
    ExportFile file(path);
    if (!file.is_open())
        return false;
    file.append("# Rates (X:channel_number, Y:countrate):\n");
    file.append("#        X\tY\n");
    char line[64];
    for (unsigned c = 0; c < 16; ++c) {
        const int length = std::snprintf(line, sizeof line, "%10u\t%u\n", c, counts[c]);
        file.append(line, static_cast<std::size_t>(length));
    }
    return file.finish();
}

// An empty bin inside a run of empty bins carries nothing that its
// neighbours do not already show.
bool filtered_out(const std::vector<double> &h, std::size_t i) {
    if (h[i] != 0.0)
        return false;
    const bool previous_empty = i == 0 || h[i - 1] == 0.0;
    const bool next_empty = i + 1 >= h.size() || h[i + 1] == 0.0;
    return previous_empty && next_empty;
}

bool write_channel_file(const QString &path, uint32_t channel, const std::vector<double> &t,
                        const std::vector<double> &h, bool filter_zeros) {
    ExportFile file(path);
    if (!file.is_open())
        return false;
    char header[64];
    const int length =
        std::snprintf(header, sizeof header, "# Channel %u (Time[ns] vs Countrate):\n", channel);
    file.append(header, static_cast<std::size_t>(length));
    // Bins without a time (the parameters changed after the histograms were
    // sized) are left out rather than given a made-up time.
    const std::size_t n = std::min(t.size(), h.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (filter_zeros && filtered_out(h, i))
            continue;
        file.append_bin_line(t[i], h[i]);
    }
    return file.finish();
}

} // namespace

const std::array<QColor, 16> curve_colors = build_curve_colors();

Mhisto::Mhisto(TdcIface *tdc, QWidget *parent) : QwtPlot(parent), tdc(tdc) {
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

HistoParams Mhisto::time_axis_params() const {
    return *tdc->get_histo_params();
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
        if (const std::vector<double> *h = tdc->get_channel_histo(c))
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
        const std::vector<double> *h = tdc->get_channel_histo(c);
        if (h == nullptr || (channel_mask & (uint32_t(1) << c)) == 0) {
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
    setAxisScale(QwtPlot::yLeft, 0.0, top, 0.0);
    return true;
}

void Mhisto::refresh() {
    const HistoParams p = *tdc->get_histo_params();
    const HistoStats s = *tdc->get_histo_stats();
    if (p.channels == 0)
        return;

    // No bin beyond the longest histogram gets a time: after a change of the
    // window the histograms keep their size until the next exposure starts.
    fill_time_axis(time_axis, time_axis_params(), longest_histogram(p.channels));
    if (time_axis.capacity() > 4 * time_axis.size() + 65536)
        time_axis.shrink_to_fit();
    update_curves(time_axis, p.channels, s.channel_mask);

    QRectF base = zoomer->zoomBase();
    if (x_min != p.start || x_max != p.start + p.size) {
        x_min = p.start;
        x_max = p.start + p.size;
        setAxisScale(QwtPlot::xBottom, x_min, x_max, 0.0);
        base.setLeft(x_min);
        base.setRight(x_max);
    }
    if (s.nr_events != 0 && apply_y_top(static_cast<double>(s.max_count) * 1.05)) {
        // Zoomer rectangles keep the lower y bound in top().
        base.setTop(0.0);
        base.setBottom(y_max);
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
    replot();

    emit newMinMax(tdc->bins_to_time(s.min_time, 0), tdc->bins_to_time(s.max_time, 0));
    const uint64_t average = s.nr_events != 0 ? s.sum_time / s.nr_events : 0;
    emit newAverage(tdc->bins_to_time(average, 0));
}

std::size_t Mhisto::format_bin_line(char *buf, double time, double count) {
    char *pos = format_field(buf, time, 20);
    *pos++ = ' ';
    pos = format_field(pos, count, 10);
    return static_cast<std::size_t>(pos - buf);
}

QStringList Mhisto::export_file_names(const QString &fileName, uint32_t channels) const {
    const QString prefix = export_prefix(fileName);
    QStringList names{rates_file_name(prefix)};
    for (uint32_t c : exported_channels(*tdc, channels, *tdc->get_pipe_statistics()))
        names << channel_file_name(prefix, c);
    if (run_info_source) // the info file is replaced as well
        names << run_info_file_name(prefix);
    return names;
}

bool Mhisto::save_data(bool filter_zeros) {
    const QString name = QFileDialog::getSaveFileName(this, tr("Save Data"), QStringLiteral("./"),
                                                      tr("Text Data (*.txt)"));
    if (name.isEmpty())
        return true;

    const uint32_t channels = tdc->get_histo_params()->channels;
    QStringList existing;
    for (const QString &file : export_file_names(name, channels)) {
        if (QFileInfo::exists(file))
            existing << QFileInfo(file).fileName();
    }
    if (!existing.isEmpty()) {
        const int shown = std::min(existing.size(), 5);
        QString list = existing.mid(0, shown).join(QLatin1Char('\n'));
        if (existing.size() > shown)
            list += QStringLiteral("\n…");
        const auto answer = QMessageBox::question(
            this, tr("Replace Files"),
            tr("%n export file(s) already exist:\n%1\n\nReplace them?", nullptr, existing.size())
                .arg(list),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return true;
    }
    return write_data(name, filter_zeros);
}

bool Mhisto::write_data(const QString &fileName, bool filter_zeros) {
    const HistoParams p = *tdc->get_histo_params();
    if (p.channels == 0)
        return false;
    const std::vector<double> *first = tdc->get_channel_histo(0);
    if (first == nullptr || first->empty())
        return false;

    WaitCursor wait;
    std::vector<double> t;
    compute_time_axis(t);
    const QString prefix = export_prefix(fileName);

    const PipeStatistics &stats = *tdc->get_pipe_statistics();
    uint32_t counts[16];
    std::copy(stats.words, stats.words + 16, counts);

    // A failed file does not stop the others: save what can be saved, then
    // report the failure.
    bool ok = write_rates_file(rates_file_name(prefix), counts);
    for (uint32_t c = 0; c < p.channels && c < 16; ++c) {
        const std::vector<double> *h = tdc->get_channel_histo(c);
        if (counts[c] == 0 || h == nullptr)
            continue;
        ok = write_channel_file(channel_file_name(prefix, c), c, t, *h, filter_zeros) && ok;
    }
    // How the data was taken, beside it.
    if (run_info_source)
        ok = write_run_info(run_info_file_name(prefix), run_info_source(filter_zeros)) && ok;
    return ok;
}
