#ifndef RUNINFO_H
#define RUNINFO_H

#include "device/devicesnapshot.h"
#include "device/histopipe.h"
#include "run/runrecord.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// How an export's data was taken, written beside the exported text files as
// <prefix>_info.json. Everything in it comes from the exposure records the
// histograms were filled by, never from the device at the time of writing.
struct RunInfo {
    QString program_version;
    QDateTime written;

    // The device as it stood during the last exposure.
    DeviceSnapshot device;
    // The parameters the exported histograms were filled with.
    HistoParams histo{0.0, 0.0, 0.0, 0, 0};
    bool zeros_filtered = false;

    RunRecord run;

    // The last exposure's per-channel counts, as in the rates file: the
    // device's, or the events received when the device sent no statistics.
    ChannelCounts last_counts{};
    bool counts_from_device = true;
    // Sum of each channel's exported histogram bins.
    ChannelCounts histogram_events{};

    // File names of this export, without folder.
    QStringList files;
};

QString program_version();
QJsonObject run_info_json(const RunInfo &info);
QString run_info_file_name(const QString &prefix);

#endif // RUNINFO_H
