#ifndef RATEHISTORY_H
#define RATEHISTORY_H

#include "device/devicesnapshot.h"

#include <array>
#include <cstddef>
#include <deque>

// Events per second of every channel after each exposure, over the last ten
// minutes; older points are dropped, and never more than max_points kept,
// however short the exposures.
class RateHistory {
public:
    static constexpr double span_s = 600.0;
    static constexpr std::size_t max_points = 3000;

    struct Point {
        double time_s = 0.0; // the exposure's end
        std::array<double, channel_count> rate{};
        std::array<double, channel_count> lost{}; // lost events per second
    };

    // One exposure that ended at `end_s` (any clock in seconds) after
    // `duration_s`; an exposure without duration has no rate and is skipped.
    // A clock that runs backwards starts the history anew.
    void add(double end_s, double duration_s, const ChannelCounts &counts,
             const ChannelCounts &lost);
    const std::deque<Point> &points() const { return history; }
    void clear() { history.clear(); }

private:
    std::deque<Point> history;
};

#endif // RATEHISTORY_H
