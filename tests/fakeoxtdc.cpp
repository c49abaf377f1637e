#include "tests/fakeoxtdc.h"

#include <cstdio>
#include <cstring>

FakeOxTdc &FakeOxTdc::instance() {
    static FakeOxTdc fake;
    return fake;
}

namespace {
FakeOxTdc &fake = FakeOxTdc::instance();
using Bytes = std::vector<unsigned char>;
Bytes bytes_of(const void *data, int length) {
    const auto *p = static_cast<const unsigned char *>(data);
    return p && length > 0 ? Bytes(p, p + length) : Bytes{};
}
} // namespace

extern "C" {

int ox_tdc_init_inifile(const char *path) {
    return fake.take_result(__func__, {}, bytes_of(path, path ? int(std::strlen(path)) : 0));
}

int ox_tdc_deinit2(int dev) {
    return fake.take_result(__func__, {dev});
}

int ox_tdc_get_binsize2(int dev, double *binsize_ns) {
    const int r = fake.take_result(__func__, {dev});
    if (r >= 0 && binsize_ns)
        *binsize_ns = fake.binsize;
    return r;
}

int ox_tdc_start_measure2(int dev, int exposure_ms) {
    const int r = fake.take_result(__func__, {dev, exposure_ms});
    if (r >= 0 && fake.auto_exposure)
        fake.auto_exposure();
    return r;
}

int ox_tdc_interrupt2(int dev) {
    return fake.take_result(__func__, {dev});
}

// A null `values` asks for the count.
int ox_tdc_get_corrections2(int dev, int *count, int *values) {
    const int r = fake.take_result(__func__, {dev, count ? *count : -1, values ? 1 : 0});
    const size_t n = fake.corrections.size();
    if (r >= 0 && count && !values)
        *count = int(n);
    if (r >= 0 && count && values)
        std::copy_n(fake.corrections.begin(), std::min<size_t>(*count, n), values);
    return r;
}

int ox_tdc_set_corrections2(int dev, int count, const int *values, int reserved) {
    const int r = fake.take_result(__func__, {dev, count, reserved},
                                   bytes_of(values, count * int(sizeof(int))));
    if (r >= 0 && values && count >= 0)
        fake.corrections.assign(values, values + count);
    return r;
}

int ox_twi_read2(int dev, unsigned char address, unsigned char *buffer, int length, int flag) {
    const int r = fake.take_result(__func__, {dev, address, length, flag});
    for (int i = 0; r >= 0 && buffer && i < length; ++i) {
        buffer[i] = fake.twi_bytes.empty() ? 0 : fake.twi_bytes.front();
        if (!fake.twi_bytes.empty())
            fake.twi_bytes.pop_front();
    }
    return r;
}

int ox_twi_write2(int dev, unsigned char address, unsigned char *buffer, int length, int flag) {
    return fake.take_result(__func__, {dev, address, length, flag}, bytes_of(buffer, length));
}

int ox_pipe_open2(int dev, int type, void *args) {
    const int r = fake.take_result(__func__, {dev, type});
    if (r >= 0 && args) {
        fake.pipe_open = true;
        fake.table = *static_cast<const PipeCallbackArgs *>(args)->callbacks;
    }
    return r;
}

int ox_pipe_close2(int dev, int pipe) {
    fake.pipe_open = false;
    fake.table = PipeCallbacks{};
    return fake.take_result(__func__, {dev, pipe});
}

int ox_get_err_msg(int code, char *buffer) {
    fake.take_result(__func__, {code});
    const auto it = fake.texts.find(code);
    const std::string text =
        it != fake.texts.end() ? it->second : "fake error " + std::to_string(code);
    if (buffer)
        std::snprintf(buffer, OX_ERR_MSG_SIZE, "%s", text.c_str());
    return 0;
}

} // extern "C"
