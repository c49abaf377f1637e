#include "simulator/replaysource.h"

#include "simulator/simerrors.h"

#include <hdf5.h>

#include <cstddef>

namespace {

// The fields the replay needs from the recording's exposure table; HDF5
// picks them out of the stored rows by name.
struct StoredRow {
    uint64_t first_event;
    uint64_t event_count;
    double actual_ms;
    uint64_t device_counts[16];
};

bool read_slab(hid_t set, hid_t type, uint64_t first, uint64_t count, void *out) {
    const hsize_t offset = first, size = count;
    const hid_t space = H5Dget_space(set);
    const hid_t memory = H5Screate_simple(1, &size, nullptr);
    const bool ok =
        space >= 0 && memory >= 0 &&
        H5Sselect_hyperslab(space, H5S_SELECT_SET, &offset, nullptr, &size, nullptr) >= 0 &&
        H5Dread(set, type, memory, space, H5P_DEFAULT, out) >= 0;
    if (memory >= 0)
        H5Sclose(memory);
    if (space >= 0)
        H5Sclose(space);
    return ok;
}

} // namespace

ReplaySource::~ReplaySource() {
    if (channel_set >= 0)
        H5Dclose(channel_set);
    if (time_set >= 0)
        H5Dclose(time_set);
    if (file >= 0)
        H5Fclose(file);
}

int ReplaySource::open(const std::string &path) {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    const auto unreadable = [&](const std::string &what) {
        return SimErrors::fail(SimErrors::ReplayUnreadable,
                               "cannot replay '" + path + "': " + what);
    };
    file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0)
        return unreadable("not a readable HDF5 file");
    if (H5Aexists(file, "device_binsize_ns") <= 0)
        return unreadable("no device_binsize_ns (the recording holds no exposure)");
    const hid_t attr = H5Aopen(file, "device_binsize_ns", H5P_DEFAULT);
    const bool binsize_read = H5Aread(attr, H5T_NATIVE_DOUBLE, &binsize) >= 0;
    H5Aclose(attr);
    if (!binsize_read || !(binsize > 0.0))
        return unreadable("device_binsize_ns is not a bin size");
    channel_set = H5Dopen2(file, "/events/channel", H5P_DEFAULT);
    time_set = H5Dopen2(file, "/events/time", H5P_DEFAULT);
    const hid_t rows = H5Dopen2(file, "/exposures", H5P_DEFAULT);
    if (channel_set < 0 || time_set < 0 || rows < 0) {
        if (rows >= 0)
            H5Dclose(rows);
        return unreadable("no /events/channel, /events/time or /exposures");
    }
    const hid_t space = H5Dget_space(rows);
    const hssize_t count = H5Sget_simple_extent_npoints(space);
    H5Sclose(space);
    const hsize_t sixteen = 16;
    const hid_t counts = H5Tarray_create2(H5T_NATIVE_UINT64, 1, &sixteen);
    const hid_t type = H5Tcreate(H5T_COMPOUND, sizeof(StoredRow));
    H5Tinsert(type, "first_event", HOFFSET(StoredRow, first_event), H5T_NATIVE_UINT64);
    H5Tinsert(type, "event_count", HOFFSET(StoredRow, event_count), H5T_NATIVE_UINT64);
    H5Tinsert(type, "actual_ms", HOFFSET(StoredRow, actual_ms), H5T_NATIVE_DOUBLE);
    H5Tinsert(type, "device_counts", HOFFSET(StoredRow, device_counts), counts);
    std::vector<StoredRow> stored(count > 0 ? size_t(count) : 0);
    const bool rows_read =
        stored.empty() || H5Dread(rows, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, stored.data()) >= 0;
    H5Tclose(type);
    H5Tclose(counts);
    H5Dclose(rows);
    if (!rows_read)
        return unreadable("the exposure table cannot be read");
    const hid_t events_space = H5Dget_space(time_set);
    const uint64_t events = uint64_t(H5Sget_simple_extent_npoints(events_space));
    H5Sclose(events_space);
    for (const StoredRow &row : stored) {
        if (row.first_event > events || row.event_count > events - row.first_event)
            return unreadable("an exposure's events lie beyond /events");
        Exposure exposure;
        exposure.first_event = row.first_event;
        exposure.event_count = row.event_count;
        exposure.actual_ms = row.actual_ms;
        for (size_t c = 0; c < 16; ++c)
            exposure.device_counts[c] = row.device_counts[c];
        table.push_back(exposure);
    }
    return 0;
}

bool ReplaySource::read(uint64_t first, uint64_t count, uint8_t *channel, uint64_t *time) const {
    if (count == 0)
        return true;
    return read_slab(channel_set, H5T_NATIVE_UINT8, first, count, channel) &&
           read_slab(time_set, H5T_NATIVE_UINT64, first, count, time);
}
