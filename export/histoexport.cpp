#include "export/histoexport.h"

#include "device/histogeometry.h"
#include "device/tdciface.h"

#include <QFileInfo>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace {

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

// One export file, written through a large buffer and flushed once when
// complete. Any failure (open, write, flush or close) is remembered, so a
// file that could not be written completely is reported.
class ExportFile {
public:
    explicit ExportFile(const QString &path)
        : stream(path.toStdString(), std::ios::out | std::ios::trunc) {
        buffer.resize(buffer_size + HistoExport::bin_line_capacity + 64);
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
        pos += HistoExport::format_bin_line(pos, time, count);
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

// An empty bin inside a run of empty bins carries nothing that its
// neighbours do not already show.
bool filtered_out(const std::vector<double> &h, std::size_t i) {
    if (h[i] != 0.0)
        return false;
    const bool previous_empty = i == 0 || h[i - 1] == 0.0;
    const bool next_empty = i + 1 >= h.size() || h[i + 1] == 0.0;
    return previous_empty && next_empty;
}

QString rates_file_name(const QString &prefix) {
    return prefix + QStringLiteral("_rates.txt");
}

QString channel_file_name(const QString &prefix, uint32_t channel) {
    return prefix + QStringLiteral("_ch") + QString::number(channel) + QStringLiteral(".txt");
}

} // namespace

ExportSnapshot HistoExport::snapshot(const TdcIface &tdc) {
    ExportSnapshot snap;
    snap.params = tdc.get_active_histo_params();
    const PipeStatistics &block = *tdc.get_pipe_statistics();
    std::copy(block.words, block.words + 16, snap.counts.begin());
    for (uint32_t c = 0; c < snap.params.channels && c < 16; ++c)
        snap.histos.push_back(tdc.get_channel_histo(c));
    return snap;
}

bool HistoExport::has_data(const ExportSnapshot &snap) {
    return snap.params.channels != 0 && !snap.histos.empty() && snap.histos[0] != nullptr &&
           !snap.histos[0]->empty();
}

QString HistoExport::prefix(const QString &fileName) {
    const QFileInfo info(fileName);
    return info.absolutePath() + QLatin1Char('/') + info.baseName();
}

// Channels qualify by the last measurement's counts, not by what the
// histograms accumulated earlier.
std::vector<uint32_t> HistoExport::exported_channels(const ExportSnapshot &snap) {
    std::vector<uint32_t> result;
    for (uint32_t c = 0; c < snap.histos.size(); ++c) {
        if (snap.counts[c] != 0 && snap.histos[c] != nullptr)
            result.push_back(c);
    }
    return result;
}

QStringList HistoExport::file_names(const ExportSnapshot &snap, const QString &fileName) {
    const QString base = prefix(fileName);
    QStringList names{rates_file_name(base)};
    for (uint32_t c : exported_channels(snap))
        names << channel_file_name(base, c);
    if (snap.info)
        names << run_info_file_name(base);
    return names;
}

bool HistoExport::write(const ExportSnapshot &snap, const QString &fileName, bool filter_zeros) {
    const QString base = prefix(fileName);
    bool ok = write_rates_file(rates_file_name(base), snap.counts);
    for (uint32_t c : exported_channels(snap)) {
        ok = write_channel_file(channel_file_name(base, c), c, snap.params, *snap.histos[c],
                                filter_zeros) &&
             ok;
    }
    if (snap.info) {
        RunInfo info = *snap.info;
        info.histo = snap.params;
        info.last_counts = snap.counts;
        info.zeros_filtered = filter_zeros;
        ok = write_run_info(run_info_file_name(base), info) && ok;
    }
    return ok;
}

bool HistoExport::write_rates_file(const QString &path, const std::array<uint32_t, 16> &counts) {
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

// Times come from the parameters the histogram was filled with, computed per
// bin: no time axis as long as the histogram is built for the export.
bool HistoExport::write_channel_file(const QString &path, uint32_t channel,
                                     const HistoParams &params, const std::vector<double> &h,
                                     bool filter_zeros) {
    ExportFile file(path);
    if (!file.is_open())
        return false;
    char header[64];
    const int length =
        std::snprintf(header, sizeof header, "# Channel %u (Time[ns] vs Countrate):\n", channel);
    file.append(header, static_cast<std::size_t>(length));
    const HistoGeometry geometry(params);
    // Bins beyond the parameters' count have no time; none exist while the
    // histograms are sized by these parameters.
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(geometry.bins(), h.size()));
    for (std::size_t i = 0; i < n; ++i) {
        if (filter_zeros && filtered_out(h, i))
            continue;
        file.append_bin_line(geometry.time_of_bin(i), h[i]);
    }
    return file.finish();
}

std::size_t HistoExport::format_bin_line(char *buf, double time, double count) {
    char *pos = format_field(buf, time, 20);
    *pos++ = ' ';
    pos = format_field(pos, count, 10);
    return static_cast<std::size_t>(pos - buf);
}
