#ifndef DEVICETABLE_H
#define DEVICETABLE_H

#include <map>
#include <memory>
#include <mutex>

class SimDevice;

// The library's open devices by descriptor. One device can be open at a
// time; a device whose connection was lost no longer counts as open, and the
// next open releases it. Descriptors are never reused within a process, so a
// stale descriptor cannot reach a newer device.
class DeviceTable {
public:
    static DeviceTable &instance();

    // Opens a device from its configuration file: a descriptor or a negative code.
    int open(const char *ini_path);
    // Releases a device; returns only when none of its callbacks runs or follows.
    int release(int descriptor);
    // The device of a descriptor, or null with `error` set to a negative code.
    std::shared_ptr<SimDevice> find(int descriptor, int &error, const char *caller);

private:
    DeviceTable() = default;

    std::mutex mutex;
    std::map<int, std::shared_ptr<SimDevice>> devices;
    int next_descriptor = 0;
};

#endif // DEVICETABLE_H
