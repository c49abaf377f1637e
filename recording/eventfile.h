#ifndef EVENTFILE_H
#define EVENTFILE_H

#include "device/devicesnapshot.h"

#include <cstdint>
#include <string>

// One row of the file's exposure table, as it lies in the file.
struct ExposureRow {
    uint64_t number = 0;
    double start = 0.0; // seconds since the epoch
    double requested_ms = 0.0;
    double actual_ms = 0.0;
    uint64_t first_event = 0;
    uint64_t event_count = 0;
    uint64_t device_counts[channel_count] = {};
    uint64_t delivered[channel_count] = {};
    uint64_t lost[channel_count] = {};
    uint64_t missing_from_recording = 0;
    double start_ns = 0.0;
    double window_ns = 0.0;
    uint32_t binning = 0;
};

// What the file says once about the program and the device.
struct RecordingHeader {
    std::string program;
    std::string program_version;
    std::string created; // ISO 8601
    std::string device_configuration;
};

// An event recording in HDF5, written by one thread: the root attributes,
// the growing event columns /events/channel and /events/time, and the
// exposure table /exposures. Every call answers false after a failure and
// leaves the reason in error().
class EventFile {
public:
    static constexpr int format_version = 1;
    static constexpr uint64_t chunk_events = 65536;

    EventFile();
    ~EventFile();
    EventFile(const EventFile &) = delete;
    EventFile &operator=(const EventFile &) = delete;

    // Creates a new file; an existing one is never opened, let alone
    // truncated. `deflate_level` 0 writes the events uncompressed.
    bool create(const std::string &path, const RecordingHeader &header, int deflate_level);
    // The device's attributes, written with the first exposure.
    bool write_device(const DeviceSnapshot &device);
    bool append_events(const uint8_t *channel, const uint64_t *time, uint64_t count);
    bool append_row(const ExposureRow &row);
    // Drops the events from `count` on (those no exposure row covers).
    bool truncate_events(uint64_t count);
    bool flush();
    bool close();

    bool is_open() const { return file >= 0; }
    uint64_t events() const { return event_total; }
    uint64_t rows() const { return row_total; }
    const std::string &error() const { return last_error; }

private:
    bool fail(const std::string &what);
    bool extend(int64_t dataset, uint64_t old_size, uint64_t added, int64_t memtype,
                const void *data);

    int64_t file = -1;
    int64_t channel_set = -1;
    int64_t time_set = -1;
    int64_t exposure_set = -1;
    int64_t row_type = -1;
    uint64_t event_total = 0;
    uint64_t row_total = 0;
    std::string path_name;
    std::string last_error;
};

#endif // EVENTFILE_H
