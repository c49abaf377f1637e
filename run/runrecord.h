#ifndef RUNRECORD_H
#define RUNRECORD_H

#include "device/devicesnapshot.h"

#include <QString>

#include <cstdint>
#include <vector>

// The run controls as they stand when an exposure starts or completes.
struct RunSettings {
    int exposure_ms = 100;
    int iterations = 1;
    int event_threshold = 0; // 0: no threshold
    bool accumulate = false;
    bool autorun = false; // the check box; the run's own flag is the controller's
};

// A setting that changed within a run: from exposure `exposure` on it held
// `to` instead of `from`.
struct RunChange {
    uint64_t exposure = 0; // run index of the first exposure with the new value
    QString setting;       // "exposure_ms", "event_threshold", "accumulate", "corrections", ...
    QString from;
    QString to;
};

// How a run was taken, as an export describes it: its settings at the start,
// what changed within it, the exposures it completed and how it ended, and
// the events delivered and lost over all of them.
struct RunRecord {
    RunSettings settings;
    bool autorun = false;
    uint64_t exposures_completed = 0;
    // Exposures whose events the histograms hold (those since the last
    // clearing), with the first one's run index.
    uint64_t exposures_in_histograms = 0;
    uint64_t first_exposure_in_histograms = 0;
    QString ended = QStringLiteral("no run");
    // Run index of an exposure that began but never completed (0: none):
    // the histograms may hold part of its events, which no count includes.
    uint64_t incomplete_exposure = 0;
    std::vector<RunChange> changes;
    ChannelCounts delivered{};
    ChannelCounts lost{};
    // Delivered events of the exposures the histograms hold.
    ChannelCounts delivered_in_histograms{};
};

#endif // RUNRECORD_H
