#ifndef EVENTSOURCE_H
#define EVENTSOURCE_H

#include "simulator/simconfig.h"
#include "simulator/simrandom.h"

#include <cstdint>
#include <vector>

// The event source of one channel: the distribution of its event times over
// the device's range, in device bins, and its rate. Times are drawn in
// constant time from an alias table built once from the shape's cumulative
// distribution, so a draw costs one random number and one table look-up.
class EventSource {
public:
    EventSource() = default;
    EventSource(const ChannelConfig &config, double binsize_ns, uint64_t range_bins);

    // Events per second at the nominal threshold.
    double rate_hz() const { return total_rate; }
    bool silent() const { return table.empty(); }

    // One event time in device bins, 0 ... range_bins - 1.
    uint32_t draw(SimRandom &rng) const {
        const uint64_t r = rng.next();
        const uint32_t idx = uint32_t(((r >> 32) * size) >> 32);
        // Every bin as likely: the table would only say so, at the price of a
        // cache miss per event when the range is long.
        if (uniform)
            return idx;
        const Entry &e = table[idx];
        return uint32_t(r) < e.threshold ? idx : e.alias;
    }

    // Probability of each device bin (for tests and documentation).
    std::vector<double> probabilities() const;

private:
    struct Entry {
        uint32_t threshold; // keep idx when the low 32 random bits fall below
        uint32_t alias;
    };
    void build(const std::vector<double> &weights);

    std::vector<Entry> table;
    uint64_t size = 0;
    bool uniform = false;
    double total_rate = 0.0;
};

#endif // EVENTSOURCE_H
