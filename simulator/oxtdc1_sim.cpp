// C entry points of the simulated device library.

#include "device/oxtdc1.h"
#include "simulator/devicetable.h"
#include "simulator/oxsim.h"
#include "simulator/simdevice.h"
#include "simulator/simerrors.h"

#include <string>

namespace {

template <class F> int with_device(int dev, const char *caller, F &&call) {
    int error = 0;
    const std::shared_ptr<SimDevice> device = DeviceTable::instance().find(dev, error, caller);
    if (!device)
        return error;
    return call(*device);
}

} // namespace

extern "C" {

int ox_tdc_init_inifile(const char *ini_path_utf8) {
    if (!ini_path_utf8)
        return SimErrors::fail(SimErrors::NullPointer,
                               "ox_tdc_init_inifile: null configuration file path");
    return DeviceTable::instance().open(ini_path_utf8);
}

int ox_tdc_deinit2(int dev) {
    return DeviceTable::instance().release(dev);
}

int ox_tdc_get_binsize2(int dev, double *binsize_ns) {
    return with_device(dev, "ox_tdc_get_binsize2",
                       [&](SimDevice &d) { return d.get_binsize(binsize_ns); });
}

int ox_tdc_start_measure2(int dev, int exposure_ms) {
    return with_device(dev, "ox_tdc_start_measure2",
                       [&](SimDevice &d) { return d.start_measure(exposure_ms); });
}

int ox_tdc_interrupt2(int dev) {
    return with_device(dev, "ox_tdc_interrupt2", [](SimDevice &d) { return d.interrupt(); });
}

int ox_tdc_get_corrections2(int dev, int *count, int *values) {
    return with_device(dev, "ox_tdc_get_corrections2",
                       [&](SimDevice &d) { return d.get_corrections(count, values); });
}

int ox_tdc_set_corrections2(int dev, int count, const int *values, int reserved) {
    return with_device(dev, "ox_tdc_set_corrections2",
                       [&](SimDevice &d) { return d.set_corrections(count, values, reserved); });
}

int ox_twi_read2(int dev, unsigned char address, unsigned char *buffer, int length, int flag) {
    return with_device(dev, "ox_twi_read2",
                       [&](SimDevice &d) { return d.twi_read(address, buffer, length, flag); });
}

int ox_twi_write2(int dev, unsigned char address, unsigned char *buffer, int length, int flag) {
    return with_device(dev, "ox_twi_write2",
                       [&](SimDevice &d) { return d.twi_write(address, buffer, length, flag); });
}

int ox_pipe_open2(int dev, int type, void *args) {
    return with_device(dev, "ox_pipe_open2", [&](SimDevice &d) { return d.pipe_open(type, args); });
}

int ox_pipe_close2(int dev, int pipe) {
    return with_device(dev, "ox_pipe_close2", [&](SimDevice &d) { return d.pipe_close(pipe); });
}

int ox_get_err_msg(int code, char *buffer) {
    if (!buffer)
        return SimErrors::NullPointer;
    SimErrors::message(code, buffer, OX_ERR_MSG_SIZE);
    return 0;
}

long long oxsim_generated_events(int dev) {
    int error = 0;
    const auto device = DeviceTable::instance().find(dev, error, "oxsim_generated_events");
    if (!device)
        return error;
    return static_cast<long long>(device->generated_events());
}

} // extern "C"
