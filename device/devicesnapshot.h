#ifndef DEVICESNAPSHOT_H
#define DEVICESNAPSHOT_H

#include "device/epotsettings.h"

#include <array>
#include <cstdint>
#include <vector>

// The device has sixteen input channels; the statistics block's first
// sixteen words count them.
constexpr uint32_t channel_count = 16;
using ChannelCounts = std::array<uint64_t, channel_count>;

// What the device held while an exposure ran, as the device interface knows
// it from its own reads and writes: the bin size, the channel shifts and the
// potentiometer's two settings.
struct DeviceSnapshot {
    double binsize_ns = 0.0;
    bool corrections_known = false;
    std::vector<int32_t> corrections; // device bins, one per channel
    EpotSettings epot;
};

inline bool operator==(const DeviceSnapshot &a, const DeviceSnapshot &b) {
    return a.binsize_ns == b.binsize_ns && a.corrections_known == b.corrections_known &&
           a.corrections == b.corrections && a.epot.threshold_known == b.epot.threshold_known &&
           a.epot.zero_known == b.epot.zero_known && a.epot.threshold == b.epot.threshold &&
           a.epot.zero == b.epot.zero;
}
inline bool operator!=(const DeviceSnapshot &a, const DeviceSnapshot &b) {
    return !(a == b);
}

#endif // DEVICESNAPSHOT_H
