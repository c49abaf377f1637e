#ifndef HISTOEXPORT_H
#define HISTOEXPORT_H

#include "device/histopipe.h"
#include "export/runinfo.h"

#include <QString>
#include <QStringList>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class TdcIface;

// What one export writes: the parameters the histograms were filled with, the
// statistics block's per-channel counts of the last measurement and the
// histograms themselves. The histograms are the accumulator's own arrays,
// valid until the next measurement starts.
struct ExportSnapshot {
    HistoParams params{};
    std::array<uint32_t, 16> counts{};
    // One entry per channel below params.channels and 16; null when the
    // channel has no histogram.
    std::vector<const std::vector<double> *> histos;
    // With a record, the export also writes <prefix>_info.json; its
    // histogram parameters, last counts and zero filter come from this
    // snapshot, whatever the record held.
    std::optional<RunInfo> info;
};

// The text export of the histograms: the rates file and one file per channel
// with events in the last measurement, each line formatted exactly as
// "%20.10g %10.10g" would, and the info file when the snapshot has a record.
// Files only; dialogs and cursors are the caller's.
class HistoExport {
public:
    // The accumulator's state between measurements.
    static ExportSnapshot snapshot(const TdcIface &tdc);
    // Something to write: channels, and a channel 0 with bins.
    static bool has_data(const ExportSnapshot &snap);

    // The files an export under fileName writes: the rates file first, then
    // the channel files in channel order, then the info file.
    static QStringList file_names(const ExportSnapshot &snap, const QString &fileName);
    // Writes every file; a file that fails does not stop the others. False
    // when any file could not be written completely.
    static bool write(const ExportSnapshot &snap, const QString &fileName, bool filter_zeros);

    // Formats one bin line (time and count, no line end) into buf, which must
    // hold at least bin_line_capacity bytes; returns the bytes written.
    static constexpr std::size_t bin_line_capacity = 128;
    static std::size_t format_bin_line(char *buf, double time, double count);

private:
    static QString prefix(const QString &fileName);
    static std::vector<uint32_t> exported_channels(const ExportSnapshot &snap);
    static bool write_rates_file(const QString &path, const std::array<uint32_t, 16> &counts);
    static bool write_channel_file(const QString &path, uint32_t channel, const HistoParams &params,
                                   const std::vector<double> &h, bool filter_zeros);
};

#endif // HISTOEXPORT_H
