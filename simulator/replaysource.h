#ifndef REPLAYSOURCE_H
#define REPLAYSOURCE_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The events of a recording made by the program, read back exposure by
// exposure for the simulated device to deliver again.
class ReplaySource {
public:
    struct Exposure {
        uint64_t first_event = 0;
        uint64_t event_count = 0;
        double actual_ms = 0.0;
        std::array<uint64_t, 16> device_counts{};
    };

    ReplaySource() = default;
    ~ReplaySource();
    ReplaySource(const ReplaySource &) = delete;
    ReplaySource &operator=(const ReplaySource &) = delete;

    // Opens a recording: 0, or a negative SimErrors code with its detail.
    int open(const std::string &path);
    double binsize_ns() const { return binsize; }
    const std::vector<Exposure> &exposures() const { return table; }
    // Reads `count` events from `first` on; false when the file fails.
    bool read(uint64_t first, uint64_t count, uint8_t *channel, uint64_t *time) const;

private:
    int64_t file = -1;
    int64_t channel_set = -1;
    int64_t time_set = -1;
    double binsize = 0.0;
    std::vector<Exposure> table;
};

#endif // REPLAYSOURCE_H
