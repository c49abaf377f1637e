#ifndef SIMCONFIG_H
#define SIMCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

// Event source of one channel. Times in ns, rates in events per second.
struct ChannelConfig {
    enum class Shape { Off, Decay, Peak, Flat };
    Shape shape = Shape::Off;
    double rate_hz = 0.0;       // events of the shape (decay, peak, flat)
    double delay_ns = 0.0;      // decay onset, or peak centre
    double lifetime_ns = 1.0;   // decay constant
    double sigma_ns = 0.0;      // Gaussian response (decay) or peak width
    double background_hz = 0.0; // flat background on top of the shape
    int32_t correction = 0;     // initial time correction, device bins
};

// Faults the device plays on purpose, for tests and demonstrations.
struct FaultConfig {
    int64_t busy_starts = 0;              // answer -11 to the first N starts
    int64_t lose_connection_at_start = 0; // lose the connection at the Nth start (0: never)
    int64_t silent_at_start = 0;          // the Nth start's exposure never ends (0: never)
    bool fail_pipe_open = false;
    bool fail_bus = false;
};

// The device configuration, read from an ini file.
class SimConfig {
public:
    static constexpr int max_channels = 16;

    double binsize_ns = 0.125;
    int channels = 16;
    uint64_t seed = 1;
    double range_ns = 1000.0;
    int threshold = 96; // DS3902 register 0x02 at power-on
    int zero = 128;     // DS3902 register 0x03 at power-on
    bool realtime = true;
    int block_events = 8192;
    // Most events per second the link hands over; in every delivery interval
    // the events beyond its share are dropped, as a full buffer drops them.
    double link_rate_hz = 1.0e10;
    // A recording whose exposures the device delivers instead of drawing
    // events (empty: none). Relative paths are read from the configuration
    // file's folder; load() resolves them.
    std::string replay;
    std::vector<ChannelConfig> sources = std::vector<ChannelConfig>(max_channels);
    FaultConfig faults;

    // Reads `path` into `out`. Returns 0, or a negative SimErrors code whose
    // detail names the file, line and key at fault.
    static int load(const char *path, SimConfig &out);

    uint64_t range_bins() const;
};

#endif // SIMCONFIG_H
