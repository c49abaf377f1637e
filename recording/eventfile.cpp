#include "recording/eventfile.h"

#include <hdf5.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <type_traits>

static_assert(std::is_same<hid_t, int64_t>::value, "HDF5 identifiers are 64-bit");

namespace {

// The innermost message of HDF5's error stack (the one that names the cause,
// such as "unable to open file" or "No space left on device").
herr_t keep_message(unsigned, const H5E_error2_t *error, void *data) {
    auto *text = static_cast<std::string *>(data);
    if (error->desc && *error->desc)
        *text = error->desc;
    return 0;
}

std::string hdf5_message() {
    std::string text;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, keep_message, &text);
    H5Eclear2(H5E_DEFAULT);
    return text;
}

// Variable-length UTF-8 text, which h5py, MATLAB and Julia read as strings.
bool write_text(hid_t target, const char *name, const std::string &value) {
    const hid_t type = H5Tcopy(H5T_C_S1);
    H5Tset_size(type, H5T_VARIABLE);
    H5Tset_cset(type, H5T_CSET_UTF8);
    const hid_t space = H5Screate(H5S_SCALAR);
    const hid_t attr = H5Acreate2(target, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    const char *text = value.c_str();
    const bool ok = attr >= 0 && H5Awrite(attr, type, &text) >= 0;
    if (attr >= 0)
        H5Aclose(attr);
    H5Sclose(space);
    H5Tclose(type);
    return ok;
}

template <class T>
bool write_numbers(hid_t target, const char *name, hid_t file_type, hid_t memory_type,
                   const T *values, hsize_t count, bool scalar) {
    const hid_t space = scalar ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, &count, nullptr);
    const hid_t attr = H5Acreate2(target, name, file_type, space, H5P_DEFAULT, H5P_DEFAULT);
    const bool ok = attr >= 0 && H5Awrite(attr, memory_type, values) >= 0;
    if (attr >= 0)
        H5Aclose(attr);
    H5Sclose(space);
    return ok;
}

hid_t growing_column(hid_t group, const char *name, hid_t type, int deflate_level) {
    const hsize_t start = 0, unlimited = H5S_UNLIMITED, chunk = EventFile::chunk_events;
    const hid_t space = H5Screate_simple(1, &start, &unlimited);
    const hid_t props = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(props, 1, &chunk);
    if (deflate_level > 0) {
        H5Pset_shuffle(props);
        H5Pset_deflate(props, unsigned(deflate_level));
    }
    const hid_t set = H5Dcreate2(group, name, type, space, H5P_DEFAULT, props, H5P_DEFAULT);
    H5Pclose(props);
    H5Sclose(space);
    return set;
}

hid_t counts_type(hid_t element) {
    const hsize_t dims = channel_count;
    return H5Tarray_create2(element, 1, &dims);
}

// The exposure table's row, in memory and in the file alike (native
// little-endian types, the struct's own offsets).
hid_t make_row_type() {
    const hid_t type = H5Tcreate(H5T_COMPOUND, sizeof(ExposureRow));
    const hid_t counts = counts_type(H5T_NATIVE_UINT64);
    H5Tinsert(type, "number", HOFFSET(ExposureRow, number), H5T_NATIVE_UINT64);
    H5Tinsert(type, "start", HOFFSET(ExposureRow, start), H5T_NATIVE_DOUBLE);
    H5Tinsert(type, "requested_ms", HOFFSET(ExposureRow, requested_ms), H5T_NATIVE_DOUBLE);
    H5Tinsert(type, "actual_ms", HOFFSET(ExposureRow, actual_ms), H5T_NATIVE_DOUBLE);
    H5Tinsert(type, "first_event", HOFFSET(ExposureRow, first_event), H5T_NATIVE_UINT64);
    H5Tinsert(type, "event_count", HOFFSET(ExposureRow, event_count), H5T_NATIVE_UINT64);
    H5Tinsert(type, "device_counts", HOFFSET(ExposureRow, device_counts), counts);
    H5Tinsert(type, "delivered", HOFFSET(ExposureRow, delivered), counts);
    H5Tinsert(type, "lost", HOFFSET(ExposureRow, lost), counts);
    H5Tinsert(type, "missing_from_recording", HOFFSET(ExposureRow, missing_from_recording),
              H5T_NATIVE_UINT64);
    H5Tinsert(type, "start_ns", HOFFSET(ExposureRow, start_ns), H5T_NATIVE_DOUBLE);
    H5Tinsert(type, "window_ns", HOFFSET(ExposureRow, window_ns), H5T_NATIVE_DOUBLE);
    H5Tinsert(type, "binning", HOFFSET(ExposureRow, binning), H5T_NATIVE_UINT32);
    H5Tclose(counts);
    return type;
}

} // namespace

EventFile::EventFile() = default;

EventFile::~EventFile() {
    close();
}

bool EventFile::fail(const std::string &what) {
    const std::string cause = hdf5_message();
    last_error = what + " (" + path_name + ")";
    if (!cause.empty())
        last_error += ": " + cause;
    if (errno != 0)
        last_error += std::string(": ") + std::strerror(errno);
    return false;
}

bool EventFile::create(const std::string &path, const RecordingHeader &header, int deflate_level) {
    // Failures are reported through error(), not printed by the library.
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    close();
    path_name = path;
    errno = 0;
    // H5F_ACC_EXCL fails on an existing file instead of truncating it.
    file = H5Fcreate(path.c_str(), H5F_ACC_EXCL, H5P_DEFAULT, H5P_DEFAULT);
    if (file < 0)
        return fail("cannot create the recording");
    const int version = format_version;
    bool ok =
        write_text(file, "format", "velmora-events") &&
        write_numbers(file, "format_version", H5T_STD_I32LE, H5T_NATIVE_INT, &version, 1, true) &&
        write_text(file, "program", header.program) &&
        write_text(file, "program_version", header.program_version) &&
        write_text(file, "created", header.created) &&
        write_text(file, "device_configuration", header.device_configuration);
    if (!ok)
        return fail("cannot write the recording's attributes");
    const hid_t group = H5Gcreate2(file, "events", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    if (group < 0)
        return fail("cannot create /events");
    const int level = deflate_level < 0 ? 0 : deflate_level > 9 ? 9 : deflate_level;
    channel_set = growing_column(group, "channel", H5T_STD_U8LE, level);
    time_set = growing_column(group, "time", H5T_STD_U64LE, level);
    H5Gclose(group);
    row_type = make_row_type();
    const hsize_t start = 0, unlimited = H5S_UNLIMITED, chunk = 64;
    const hid_t space = H5Screate_simple(1, &start, &unlimited);
    const hid_t props = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(props, 1, &chunk);
    exposure_set = H5Dcreate2(file, "exposures", row_type, space, H5P_DEFAULT, props, H5P_DEFAULT);
    H5Pclose(props);
    H5Sclose(space);
    if (channel_set < 0 || time_set < 0 || exposure_set < 0)
        return fail("cannot create the recording's tables");
    event_total = row_total = 0;
    return flush();
}

bool EventFile::write_device(const DeviceSnapshot &device) {
    bool ok = write_numbers(file, "device_binsize_ns", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE,
                            &device.binsize_ns, 1, true);
    if (ok && device.corrections_known)
        ok = write_numbers(file, "corrections", H5T_STD_I32LE, H5T_NATIVE_INT32,
                           device.corrections.data(), device.corrections.size(), false);
    if (ok && device.epot.threshold_known) {
        const int value = device.epot.threshold;
        ok = write_numbers(file, "potentiometer_threshold", H5T_STD_I32LE, H5T_NATIVE_INT, &value,
                           1, true);
    }
    if (ok && device.epot.zero_known) {
        const int value = device.epot.zero;
        ok = write_numbers(file, "potentiometer_zero", H5T_STD_I32LE, H5T_NATIVE_INT, &value, 1,
                           true);
    }
    return ok || fail("cannot write the device's attributes");
}

bool EventFile::extend(int64_t dataset, uint64_t old_size, uint64_t added, int64_t memtype,
                       const void *data) {
    const hsize_t size = old_size + added, offset = old_size, count = added;
    if (H5Dset_extent(dataset, &size) < 0)
        return false;
    const hid_t space = H5Dget_space(dataset);
    const hid_t memory = H5Screate_simple(1, &count, nullptr);
    bool ok = space >= 0 && memory >= 0 &&
              H5Sselect_hyperslab(space, H5S_SELECT_SET, &offset, nullptr, &count, nullptr) >= 0 &&
              H5Dwrite(dataset, memtype, memory, space, H5P_DEFAULT, data) >= 0;
    if (memory >= 0)
        H5Sclose(memory);
    if (space >= 0)
        H5Sclose(space);
    return ok;
}

bool EventFile::append_events(const uint8_t *channel, const uint64_t *time, uint64_t count) {
    if (count == 0)
        return true;
    errno = 0;
    if (!extend(channel_set, event_total, count, H5T_NATIVE_UINT8, channel) ||
        !extend(time_set, event_total, count, H5T_NATIVE_UINT64, time))
        return fail("cannot write events");
    event_total += count;
    return true;
}

bool EventFile::append_row(const ExposureRow &row) {
    errno = 0;
    if (!extend(exposure_set, row_total, 1, row_type, &row))
        return fail("cannot write an exposure");
    ++row_total;
    return true;
}

bool EventFile::truncate_events(uint64_t count) {
    if (count >= event_total)
        return true;
    const hsize_t size = count;
    if (H5Dset_extent(channel_set, &size) < 0 || H5Dset_extent(time_set, &size) < 0)
        return fail("cannot drop the events of an unfinished exposure");
    event_total = count;
    return true;
}

bool EventFile::flush() {
    errno = 0;
    if (H5Fflush(file, H5F_SCOPE_GLOBAL) < 0)
        return fail("cannot flush the recording");
    return true;
}

bool EventFile::close() {
    if (file < 0)
        return true;
    for (int64_t *id : {&channel_set, &time_set, &exposure_set}) {
        if (*id >= 0)
            H5Dclose(*id);
        *id = -1;
    }
    if (row_type >= 0)
        H5Tclose(row_type);
    row_type = -1;
    errno = 0;
    const bool ok = H5Fclose(file) >= 0;
    file = -1;
    return ok || fail("cannot close the recording");
}
