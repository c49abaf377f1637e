#ifndef LOSSACCOUNT_H
#define LOSSACCOUNT_H

#include "device/devicesnapshot.h"

#include <QString>

#include <array>
#include <cstdint>

// Events the device detected but never delivered. At the end of each
// exposure the statistics block's per-channel counts are set against the
// accumulator's deliveries; the run keeps the totals until the next run
// starts. A device library whose counts equal its deliveries never shows a
// loss.
class LossAccount {
public:
    static constexpr uint32_t channels = channel_count;
    using Counts = ChannelCounts;

    // Forgets the previous run.
    void start_run();
    // One finished exposure: the device's counts (the statistics block's
    // first sixteen words) and the events delivered of each channel. An
    // exposure without a block passes its deliveries as the counts: nothing
    // can be told lost.
    void add_exposure(const Counts &device_counts, const Counts &delivered);

    const Counts &last_lost() const { return lost_last; }
    const Counts &run_delivered() const { return delivered_run; }
    const Counts &run_lost() const { return lost_run; }
    uint64_t last_lost_total() const;
    uint64_t run_lost_total() const;
    uint64_t exposures() const { return exposure_count; }

    // The status bar's warning after a lossy exposure or run, for example
    // "lost 12,345 events (0.41 %) in the last exposure, 45,678 in this run";
    // empty when the run has lost nothing.
    QString warning_text() const;

private:
    Counts lost_last{};
    Counts delivered_run{};
    Counts lost_run{};
    uint64_t counted_last = 0;
    uint64_t exposure_count = 0;
};

#endif // LOSSACCOUNT_H
