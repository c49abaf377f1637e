#include "export/histoexport.h"

#include "device/histogeometry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <locale.h>
#include <numeric>
#include <utility>

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

// One file of the export under its temporary name, written through a large
// buffer. The first failure is kept with its reason; a file whose writing
// failed formats no further lines.
class ExportFile {
public:
    explicit ExportFile(QFile &file) : file(file) {
        buffer.resize(buffer_size + HistoExport::bin_line_capacity + 64);
        pos = buffer.data();
    }

    bool failed() const { return !reason.isEmpty(); }
    const QString &error() const { return reason; }

    void append(const char *text, std::size_t length) {
        std::memcpy(pos, text, length);
        pos += length;
        drain_if_full();
    }
    void append(const char *text) { append(text, std::strlen(text)); }
    void append(const QByteArray &text) {
        drain();
        write(text.constData(), text.size());
    }

    void append_bin_line(double time, double count) {
        pos += HistoExport::format_bin_line(pos, time, count);
        *pos++ = '\n';
        drain_if_full();
    }

    bool finish() {
        drain();
        if (!failed() && !file.flush())
            reason = file.errorString();
        file.close();
        return !failed();
    }

private:
    void drain_if_full() {
        if (static_cast<std::size_t>(pos - buffer.data()) >= buffer_size)
            drain();
    }
    void drain() {
        if (pos != buffer.data())
            write(buffer.data(), pos - buffer.data());
        pos = buffer.data();
    }
    // A short write is tried again for the rest, which fails with the reason.
    void write(const char *data, qint64 length) {
        while (!failed() && length > 0) {
            const qint64 written = file.write(data, length);
            if (written <= 0)
                reason = file.errorString();
            data += std::max<qint64>(written, 0);
            length -= std::max<qint64>(written, 0);
        }
    }

    static constexpr std::size_t buffer_size = 1 << 20;
    QFile &file;
    std::vector<char> buffer;
    char *pos;
    QString reason;
};

bool path_taken(const QString &path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// A hidden name beside `path` that nothing holds yet, for the new file while
// it is written or the old one while it is being replaced.
QString free_name_beside(const QString &path, const QString &tag) {
    const QFileInfo info(path);
    const QString stem =
        info.absolutePath() + QStringLiteral("/.") + info.fileName() + QLatin1Char('.') + tag;
    for (int n = 0; n < 1000; ++n) {
        const QString candidate = n == 0 ? stem : stem + QString::number(n);
        if (!path_taken(candidate))
            return candidate;
    }
    return QString();
}

// The reason an export file could not be created, in words that say what to
// do about the folder when it is the folder's fault.
QString creation_failure(const QString &path, const QString &reason) {
    const QString folder = QFileInfo(path).absolutePath();
    const QFileInfo dir(folder);
    if (!dir.exists())
        return QStringLiteral("the folder %1 does not exist").arg(folder);
    if (!dir.isDir())
        return QStringLiteral("%1 is not a folder").arg(folder);
    // A new file can be refused only for the folder's sake.
    // Qt words the reason as the system does, translated or not.
    static const locale_t c_messages = newlocale(LC_MESSAGES_MASK, "C", locale_t(0));
    for (const int code : {EACCES, EPERM, EROFS}) {
        if (reason == QString::fromLocal8Bit(std::strerror(code)) ||
            (c_messages && reason == QString::fromLocal8Bit(strerror_l(code, c_messages))))
            return QStringLiteral("the folder %1 is not writable (%2)").arg(folder, reason);
    }
    return reason;
}

QString failure(const QString &verb, const QString &path, const QString &reason) {
    return QStringLiteral("Could not %1 %2: %3").arg(verb, QDir::toNativeSeparators(path), reason);
}

QString errno_text() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The files of one export on their way into place. Until commit() succeeds
// the folder can be put back as it was: new files are removed, replaced ones
// renamed back.
class Replacement {
public:
    ~Replacement() {
        if (!committed)
            roll_back();
    }

    // Opens a new temporary file for `final_path`; the failure's message, or
    // an empty string.
    QString create(const QString &final_path, QFile &file) {
        Entry entry{final_path, free_name_beside(final_path, QStringLiteral("velmora-new"))};
        if (entry.temp_path.isEmpty())
            return failure(QStringLiteral("write"), final_path,
                           QStringLiteral("no free temporary name beside it"));
        file.setFileName(entry.temp_path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered |
                       QIODevice::Text))
            return failure(QStringLiteral("write"), final_path,
                           creation_failure(final_path, file.errorString()));
        entries.push_back(entry);
        return QString();
    }

    // Moves the replaced and the removed files aside and the new ones into
    // place; the old ones go only when every step succeeded.
    QString commit(const QStringList &remove) {
        for (Entry &entry : entries) {
            const QString error = move_aside(entry.final_path, QStringLiteral("replace"));
            if (!error.isEmpty())
                return error;
        }
        for (const QString &path : remove) {
            const QString error = move_aside(path, QStringLiteral("remove"));
            if (!error.isEmpty())
                return error;
        }
        for (Entry &entry : entries) {
            if (std::rename(QFile::encodeName(entry.temp_path).constData(),
                            QFile::encodeName(entry.final_path).constData()) != 0)
                return failure(QStringLiteral("write"), entry.final_path, errno_text());
            entry.placed = true;
        }
        committed = true;
        for (const Aside &aside : asides)
            QFile::remove(aside.aside_path);
        return QString();
    }

private:
    struct Entry {
        QString final_path;
        QString temp_path;
        bool placed = false;
    };
    struct Aside {
        QString path;
        QString aside_path;
    };

    QString move_aside(const QString &path, const QString &verb) {
        const QFileInfo info(path);
        if (!info.exists() && !info.isSymLink())
            return QString();
        if (info.isDir() && !info.isSymLink())
            return failure(verb == QLatin1String("remove") ? verb : QStringLiteral("write"), path,
                           QStringLiteral("a folder of that name is in the way"));
        const QString aside = free_name_beside(path, QStringLiteral("velmora-old"));
        if (aside.isEmpty())
            return failure(verb, path, QStringLiteral("no free temporary name beside it"));
        if (std::rename(QFile::encodeName(path).constData(),
                        QFile::encodeName(aside).constData()) != 0)
            return failure(verb, path, errno_text());
        asides.push_back({path, aside});
        return QString();
    }

    void roll_back() {
        for (const Entry &entry : entries)
            QFile::remove(entry.placed ? entry.final_path : entry.temp_path);
        for (const Aside &aside : asides)
            std::rename(QFile::encodeName(aside.aside_path).constData(),
                        QFile::encodeName(aside.path).constData());
    }

    std::vector<Entry> entries;
    std::vector<Aside> asides;
    bool committed = false;
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

ExportSnapshot HistoExport::snapshot(const ExposureResult &last, const RunRecord &run) {
    ExportSnapshot snap;
    snap.params = last.params;
    snap.counts = last.counts();
    snap.counts_from_device = last.statistics_arrived;
    snap.histos = last.histos;
    if (snap.histos.size() > channel_count)
        snap.histos.resize(channel_count);
    snap.device = last.device;
    snap.run = run;
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

// Channels qualify by the last exposure's counts, not by what the histograms
// accumulated earlier.
std::vector<uint32_t> HistoExport::exported_channels(const ExportSnapshot &snap) {
    std::vector<uint32_t> result;
    for (uint32_t c = 0; c < snap.histos.size() && c < snap.params.channels; ++c) {
        if (snap.counts[c] != 0 && snap.histos[c] != nullptr)
            result.push_back(c);
    }
    return result;
}

QStringList HistoExport::file_names(const ExportSnapshot &snap, const QString &fileName) {
    return names_for(snap, prefix(fileName));
}

QStringList HistoExport::prefix_file_names(const ExportSnapshot &snap, const QString &prefix) {
    return names_for(snap, QFileInfo(prefix).absoluteFilePath());
}

QStringList HistoExport::names_for(const ExportSnapshot &snap, const QString &base) {
    QStringList names{rates_file_name(base)};
    for (uint32_t c : exported_channels(snap))
        names << channel_file_name(base, c);
    names << run_info_file_name(base);
    return names;
}

QStringList HistoExport::stale_channel_files(const QStringList &folder_entries,
                                             const QString &base_name, const QStringList &written) {
    std::vector<std::pair<uint32_t, QString>> found;
    const QString head = base_name + QStringLiteral("_ch");
    const QString tail = QStringLiteral(".txt");
    for (const QString &entry : folder_entries) {
        if (!entry.startsWith(head) || !entry.endsWith(tail) || written.contains(entry))
            continue;
        const QString digits = entry.mid(head.size(), entry.size() - head.size() - tail.size());
        bool number = !digits.isEmpty() && digits.size() <= 2 &&
                      (digits.size() == 1 || digits[0] != QLatin1Char('0'));
        for (const QChar ch : digits)
            number = number && ch >= QLatin1Char('0') && ch <= QLatin1Char('9');
        const uint32_t channel = number ? digits.toUInt() : channel_count;
        if (channel < channel_count)
            found.emplace_back(channel, entry);
    }
    std::sort(found.begin(), found.end());
    QStringList result;
    for (const auto &[channel, name] : found)
        result << name;
    return result;
}

QStringList HistoExport::stale_files(const ExportSnapshot &snap, const QString &fileName) {
    return stale_for(snap, prefix(fileName));
}

QStringList HistoExport::prefix_stale_files(const ExportSnapshot &snap, const QString &prefix) {
    return stale_for(snap, QFileInfo(prefix).absoluteFilePath());
}

// The base name is matched as a name, not as a wildcard pattern: a prefix
// may hold '*' or '[' as well as dots.
QStringList HistoExport::stale_for(const ExportSnapshot &snap, const QString &base) {
    const int slash = base.lastIndexOf(QLatin1Char('/'));
    const QDir folder(base.left(std::max(slash, 1)));
    const QString base_name = base.mid(slash + 1);
    QStringList written;
    for (const QString &path : names_for(snap, base))
        written << QFileInfo(path).fileName();
    QStringList entries;
    for (const QString &entry :
         folder.entryList(QDir::Files | QDir::System | QDir::Hidden | QDir::CaseSensitive))
        if (entry.startsWith(base_name + QStringLiteral("_ch")))
            entries << entry;
    QStringList result;
    for (const QString &name : stale_channel_files(entries, base_name, written))
        result << folder.filePath(name);
    return result;
}

QString HistoExport::plan_text(const QString &fileName, const QStringList &files) {
    const QFileInfo chosen(fileName);
    QStringList others;
    QStringList channels;
    const QRegularExpression channel_file(QStringLiteral("_ch[0-9]+\\.txt$"));
    for (const QString &path : files) {
        const QString name = QFileInfo(path).fileName();
        (channel_file.match(name).hasMatch() ? channels : others) << name;
    }
    QString list = others.join(QStringLiteral(", "));
    if (channels.size() == 1)
        list += QStringLiteral(" and 1 channel file ") + channels.front();
    else if (channels.size() == 2)
        list += QStringLiteral(" and 2 channel files ") + channels.join(QStringLiteral(", "));
    else if (channels.size() > 2)
        list += QStringLiteral(" and %1 channel files %2 …").arg(channels.size()).arg(channels[0]);
    else if (others.size() > 1)
        list = others.mid(0, others.size() - 1).join(QStringLiteral(", ")) +
               QStringLiteral(" and ") + others.back();
    return QStringLiteral("Saving as \"%1\" uses the prefix \"%2\" (the name up to its first dot) "
                          "and writes %3 in %4.")
        .arg(chosen.fileName(), chosen.baseName(), list,
             QDir::toNativeSeparators(chosen.absolutePath()));
}

namespace {

// The rates file: the last exposure's count of each of the sixteen channels.
void write_rates_file(ExportFile &file, const ChannelCounts &counts) {
    file.append("# Rates (X:channel_number, Y:countrate):\n");
    file.append("#        X\tY\n");
    char line[64];
    for (uint32_t c = 0; c < channel_count; ++c) {
        const int length = std::snprintf(line, sizeof line, "%10" PRIu32 "\t%" PRIu64 "\n", c,
                                         static_cast<uint64_t>(counts[c]));
        file.append(line, static_cast<std::size_t>(length));
    }
}

// Bins beyond the parameters' count have no time; none exist while the
// histograms are sized by these parameters.
std::size_t exported_bins(const HistoGeometry &geometry, const std::vector<double> &h) {
    return static_cast<std::size_t>(std::min<uint64_t>(geometry.bins(), h.size()));
}

// Times come from the parameters the histogram was filled with, computed per
// bin: no time axis as long as the histogram is built for the export.
void write_channel_file(ExportFile &file, uint32_t channel, const HistoGeometry &geometry,
                        const std::vector<double> &h, bool filter_zeros) {
    char header[64];
    const int length = std::snprintf(header, sizeof header,
                                     "# Channel %" PRIu32 " (Time[ns] vs Countrate):\n", channel);
    file.append(header, static_cast<std::size_t>(length));
    const std::size_t n = exported_bins(geometry, h);
    for (std::size_t i = 0; i < n && !file.failed(); ++i) {
        if (filter_zeros && filtered_out(h, i))
            continue;
        file.append_bin_line(geometry.time_of_bin(i), h[i]);
    }
}

RunInfo run_info(const ExportSnapshot &snap, const QStringList &files, bool filter_zeros) {
    RunInfo info;
    info.program_version = program_version();
    info.written = QDateTime::currentDateTime();
    info.device = snap.device;
    info.histo = snap.params;
    info.zeros_filtered = filter_zeros;
    info.run = snap.run;
    info.last_counts = snap.counts;
    info.counts_from_device = snap.counts_from_device;
    const HistoGeometry geometry(snap.params);
    for (std::size_t c = 0; c < snap.histos.size() && c < channel_count; ++c) {
        if (const std::vector<double> *h = snap.histos[c]) {
            const double sum =
                std::accumulate(h->begin(), h->begin() + exported_bins(geometry, *h), 0.0);
            info.histogram_events[c] = static_cast<uint64_t>(sum);
        }
    }
    for (const QString &path : files)
        info.files << QFileInfo(path).fileName();
    return info;
}

} // namespace

ExportResult HistoExport::write(const ExportSnapshot &snap, const QString &fileName,
                                bool filter_zeros, const QStringList &remove) {
    return write_files(snap, file_names(snap, fileName), filter_zeros, remove);
}

ExportResult HistoExport::write_prefix(const ExportSnapshot &snap, const QString &prefix,
                                       bool filter_zeros, const QStringList &remove) {
    return write_files(snap, prefix_file_names(snap, prefix), filter_zeros, remove);
}

ExportResult HistoExport::write_files(const ExportSnapshot &snap, const QStringList &files,
                                      bool filter_zeros, const QStringList &remove) {
    ExportResult result;
    const std::vector<uint32_t> channels = exported_channels(snap);
    const HistoGeometry geometry(snap.params);
    Replacement replacement;
    // The files in file_names' order: rates, channels, info.
    for (int index = 0; index < files.size(); ++index) {
        QFile file;
        result.message = replacement.create(files[index], file);
        if (!result.message.isEmpty())
            return result;
        ExportFile out(file);
        if (index == 0) {
            write_rates_file(out, snap.counts);
        } else if (index <= static_cast<int>(channels.size())) {
            const uint32_t c = channels[static_cast<std::size_t>(index - 1)];
            write_channel_file(out, c, geometry, *snap.histos[c], filter_zeros);
        } else {
            out.append(QJsonDocument(run_info_json(run_info(snap, files, filter_zeros)))
                           .toJson(QJsonDocument::Indented));
        }
        if (!out.finish()) {
            result.message = failure(QStringLiteral("write"), files[index], out.error());
            return result;
        }
    }
    result.message = replacement.commit(remove);
    result.ok = result.message.isEmpty();
    if (result.ok)
        result.written = files;
    return result;
}

std::size_t HistoExport::format_bin_line(char *buf, double time, double count) {
    char *pos = format_field(buf, time, 20);
    *pos++ = ' ';
    pos = format_field(pos, count, 10);
    return static_cast<std::size_t>(pos - buf);
}
