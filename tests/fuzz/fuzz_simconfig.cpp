// libFuzzer target for the simulated device's configuration reader: any bytes
// given as a device file either open a device or fail with a negative code
// and a message that names the cause. Crashes, hangs and sanitizer reports
// are what the fuzzer looks for.

#include "device/oxtdc1.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string scratch_file() {
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/velmora_fuzz_" + std::to_string(getpid()) +
           ".ini";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = scratch_file();
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    const int dev = ox_tdc_init_inifile(path.c_str());
    if (dev >= 0) {
        double binsize = 0.0;
        if (ox_tdc_get_binsize2(dev, &binsize) < 0 || !(binsize > 0.0))
            std::abort(); // an opened device always has a bin size
        if (ox_tdc_deinit2(dev) < 0)
            std::abort();
        return 0;
    }
    char text[OX_ERR_MSG_SIZE];
    std::memset(text, 0, sizeof text);
    ox_get_err_msg(dev, text);
    if (text[0] == '\0' || std::memchr(text, '\0', sizeof text) == nullptr)
        std::abort(); // every failure explains itself in a terminated text
    return 0;
}
