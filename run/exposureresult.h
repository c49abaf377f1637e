#ifndef EXPOSURERESULT_H
#define EXPOSURERESULT_H

#include "device/devicesnapshot.h"
#include "device/histopipe.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <vector>

// How an exposure ended.
enum class ExposureEnd {
    Completed,      // ran its full time (or was ended by the run's threshold)
    Interrupted,    // stop pressed, or the run was ended early
    ConnectionLost, // the device stopped answering; the data received are kept
    TimedOut,       // no end arrived in its time plus the margin; interrupted
};

QString exposure_end_text(ExposureEnd end);

// One completed exposure, built once by the run controller and handed to
// every consumer: plots, rates, statistics, loss account, export and fit.
// The histograms are the accumulator's own arrays: within a run the held
// copy, stable while the next exposure runs, otherwise the live set, valid
// until the next exposure starts. Everything else is a copy.
struct ExposureResult {
    uint64_t number = 0;    // the accumulator's sequence number, from 1
    uint64_t run_index = 0; // position in its run, from 1
    QDateTime started;      // wall clock at the start
    double duration_ms = 0.0;
    int exposure_ms = 0; // requested
    // The parameters the histograms were filled with.
    HistoParams params{0.0, 0.0, 0.0, 0, 0};
    DeviceSnapshot device;
    // The statistics block of this exposure: its per-channel counts, when
    // the device sent one.
    bool statistics_arrived = false;
    ChannelCounts device_counts{};
    // Events received per channel, and those the device counted but never
    // delivered (device count minus received, never negative).
    ChannelCounts delivered{};
    ChannelCounts lost{};
    // Time statistics over what the histograms hold (device bins).
    HistoStats histo_stats{0, 0, 0, 0, 0, 0};
    ExposureEnd end = ExposureEnd::Completed;
    // One entry per histogram channel; null when it has none. The arrays
    // keep this exposure's counts as long as the accumulator's histogram
    // generation stays this one.
    std::vector<const std::vector<double> *> histos;
    uint64_t histo_generation = 0;

    // The per-channel counts of this exposure: the device's, or those
    // received when the device sent none.
    const ChannelCounts &counts() const { return statistics_arrived ? device_counts : delivered; }
    uint64_t total_counts() const;
    uint64_t total_lost() const;
};

#endif // EXPOSURERESULT_H
