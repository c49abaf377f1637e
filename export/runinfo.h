#ifndef RUNINFO_H
#define RUNINFO_H

#include "device/epotsettings.h"
#include "device/histopipe.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

class TdcIface;

// How an export's data was taken, written beside the exported text files as
// <prefix>_info.json.
struct RunInfo {
    QString program_version;
    QDateTime written;

    // The device, and the record the exported histograms were filled with
    // (the export's, as are the last counts and the zero filter).
    double device_binsize_ns = 0.0;
    HistoParams histo{0.0, 0.0, 0.0, 0, 0};
    bool corrections_known = false; // read from the device at the export
    std::vector<int32_t> corrections;
    EpotSettings epot; // as last read or set in this session

    // The run as the measurement panel ran it (its settings as at its start).
    struct Run {
        int exposure_ms = 0;
        bool accumulate = false;
        bool autorun = false;
        int iterations = 0;
        int event_threshold = 0;
        int exposures_completed = 0;
        QString ended = QStringLiteral("no run");
    } run;

    // Per channel: the device's counts of the last exposure, and the events
    // the run delivered and lost.
    std::array<uint32_t, 16> last_counts{};
    std::array<uint64_t, 16> run_delivered{};
    std::array<uint64_t, 16> run_lost{};

    bool zeros_filtered = false;
};

// Fills what the device interface knows beyond the export's snapshot: the
// version, the time, the bin size, the corrections (when a device is open)
// and the potentiometer settings.
RunInfo device_run_info(TdcIface &tdc);

QJsonObject run_info_json(const RunInfo &info);
QString run_info_file_name(const QString &prefix);
// Writes the info file; false when it could not be written completely.
bool write_run_info(const QString &path, const RunInfo &info);

#endif // RUNINFO_H
