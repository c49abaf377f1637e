#ifndef HISTOEXPORT_H
#define HISTOEXPORT_H

#include "device/devicesnapshot.h"
#include "device/histopipe.h"
#include "export/runinfo.h"
#include "run/exposureresult.h"
#include "run/runrecord.h"

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <vector>

// What one export writes, taken from the last exposure's record and the
// run's: the parameters the histograms were filled with, the last exposure's
// per-channel counts, the device as it stood then, and the histograms
// themselves (the accumulator's own arrays, valid until the next exposure
// starts).
struct ExportSnapshot {
    HistoParams params{0.0, 0.0, 0.0, 0, 0};
    // The device's counts, or the events received when it sent none.
    ChannelCounts counts{};
    bool counts_from_device = true;
    // One entry per histogram channel; null when the channel has none.
    std::vector<const std::vector<double> *> histos;
    DeviceSnapshot device;
    RunRecord run;
};

struct ExportResult {
    bool ok = false;
    QString message;     // why it failed, naming the file; empty on success
    QStringList written; // the files in place afterwards, on success
};

// The text export of the histograms: the rates file, one file per channel
// with events in the last exposure (each line formatted exactly as
// "%20.10g %10.10g" would) and the info file. All of them or none: every
// file is written under a temporary name first and moved into place only
// when all are complete. Files only; dialogs and cursors are the caller's.
class HistoExport {
public:
    static ExportSnapshot snapshot(const ExposureResult &last, const RunRecord &run);
    // Something to write: channels, and a channel 0 with bins.
    static bool has_data(const ExportSnapshot &snap);

    // The chosen name's folder and its file name up to the first dot.
    static QString prefix(const QString &fileName);
    // The files an export under fileName writes, with their folder: the
    // rates file first, then the channel files in channel order, then the
    // info file.
    static QStringList file_names(const ExportSnapshot &snap, const QString &fileName);
    // Of the file names in a folder, the channel files of an export under
    // base_name ("<base_name>_chN.txt") that are not among `written`, in
    // channel order: left from an earlier export that had more channels.
    static QStringList stale_channel_files(const QStringList &folder_entries,
                                           const QString &base_name, const QStringList &written);
    // The same for the folder of fileName on disk, with folder.
    static QStringList stale_files(const ExportSnapshot &snap, const QString &fileName);
    // The same three for a prefix used exactly as given (dots included), as
    // a script names its files; a relative prefix resolves against the
    // working directory.
    static QStringList prefix_file_names(const ExportSnapshot &snap, const QString &prefix);
    static QStringList prefix_stale_files(const ExportSnapshot &snap, const QString &prefix);
    static ExportResult write_prefix(const ExportSnapshot &snap, const QString &prefix,
                                     bool filter_zeros, const QStringList &remove = {});
    // Tells the user what a chosen name writes, before anything is written:
    // the prefix and the files (`files` as file_names gives them).
    static QString plan_text(const QString &fileName, const QStringList &files);

    // Writes every file, replacing those there; `remove` (stale_files the
    // user agreed to drop) goes with them. On failure whatever was there
    // before is restored and nothing new is left behind.
    static ExportResult write(const ExportSnapshot &snap, const QString &fileName,
                              bool filter_zeros, const QStringList &remove = {});

    // Formats one bin line (time and count, no line end) into buf, which must
    // hold at least bin_line_capacity bytes; returns the bytes written.
    static constexpr std::size_t bin_line_capacity = 128;
    static std::size_t format_bin_line(char *buf, double time, double count);

private:
    static std::vector<uint32_t> exported_channels(const ExportSnapshot &snap);
    static QStringList names_for(const ExportSnapshot &snap, const QString &absolute_prefix);
    static QStringList stale_for(const ExportSnapshot &snap, const QString &absolute_prefix);
    static ExportResult write_files(const ExportSnapshot &snap, const QStringList &files,
                                    bool filter_zeros, const QStringList &remove);
};

#endif // HISTOEXPORT_H
