#include "simulator/devicetable.h"

#include "simulator/replaysource.h"
#include "simulator/simconfig.h"
#include "simulator/simdevice.h"
#include "simulator/simerrors.h"

#include <new>
#include <string>
#include <vector>

DeviceTable &DeviceTable::instance() {
    static DeviceTable table;
    return table;
}

int DeviceTable::open(const char *ini_path) {
    SimConfig config;
    if (const int r = SimConfig::load(ini_path, config))
        return r;
    std::shared_ptr<ReplaySource> replay;
    if (!config.replay.empty()) {
        replay = std::make_shared<ReplaySource>();
        if (const int r = replay->open(config.replay))
            return r;
        // The recording's events are counted in its device's bins.
        config.binsize_ns = replay->binsize_ns();
    }

    std::vector<std::shared_ptr<SimDevice>> forgotten;
    std::shared_ptr<SimDevice> device;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = devices.begin(); it != devices.end();) {
            if (!it->second->is_lost())
                return SimErrors::fail(SimErrors::AlreadyOpen,
                                       "a device is already open (descriptor " +
                                           std::to_string(it->first) + "); release it first");
            forgotten.push_back(it->second);
            it = devices.erase(it);
        }
        try {
            device = std::make_shared<SimDevice>(next_descriptor, config, replay);
        } catch (const std::bad_alloc &) {
            return SimErrors::fail(SimErrors::ResourceFailure,
                                   "out of memory while setting up the device from '" +
                                       std::string(ini_path) + "'");
        }
        if (const int r = device->start_worker())
            return r;
        devices.emplace(next_descriptor, device);
        ++next_descriptor;
    }
    for (auto &old : forgotten)
        old->shutdown();
    return device->descriptor();
}

int DeviceTable::release(int descriptor) {
    std::shared_ptr<SimDevice> device;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = devices.find(descriptor);
        if (it == devices.end())
            return SimErrors::fail(SimErrors::NotOpen, "ox_tdc_deinit2: descriptor " +
                                                           std::to_string(descriptor) +
                                                           " is not an open device");
        if (it->second->on_worker_thread())
            return SimErrors::fail(SimErrors::OwnThread,
                                   "ox_tdc_deinit2: device " + std::to_string(descriptor) +
                                       " cannot be released from its own callback");
        device = it->second;
        devices.erase(it);
    }
    device->shutdown();
    return 0;
}

std::shared_ptr<SimDevice> DeviceTable::find(int descriptor, int &error, const char *caller) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = devices.find(descriptor);
    if (it == devices.end()) {
        error = SimErrors::fail(SimErrors::NotOpen, std::string(caller) + ": descriptor " +
                                                        std::to_string(descriptor) +
                                                        " is not an open device");
        return nullptr;
    }
    error = 0;
    return it->second;
}
