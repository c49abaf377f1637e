#include "simulator/ds3902.h"

#include "simulator/simerrors.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace {
double efficiency(int threshold) {
    return 1.0 / (1.0 + std::exp((threshold - 128) / 24.0));
}

std::string hex(int v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v & 0xff);
    return text;
}
} // namespace

Ds3902::Ds3902(uint8_t threshold, uint8_t zero) : regs{threshold, zero} {}

double Ds3902::rate_scale(int threshold, int nominal) {
    return efficiency(threshold) / efficiency(nominal);
}

int Ds3902::write(const uint8_t *bytes, int length) {
    if (length < 1 || length > 3)
        return SimErrors::fail(SimErrors::BusMalformed,
                               "two-wire bus: DS3902 write of " + std::to_string(length) +
                                   " bytes (1: register pointer, 2 or 3: register and values)");
    const int reg = bytes[0];
    if (!valid(reg))
        return SimErrors::fail(SimErrors::BusMalformed, "two-wire bus: DS3902 has no register " +
                                                            hex(reg) +
                                                            " (registers 0x02 and 0x03)");
    if (reg + length - 2 > zero_register)
        return SimErrors::fail(SimErrors::BusMalformed, "two-wire bus: DS3902 write of " +
                                                            std::to_string(length - 1) +
                                                            " values from register " + hex(reg) +
                                                            " runs past register 0x03");
    pointer = uint8_t(reg);
    for (int i = 1; i < length; ++i)
        regs[reg - threshold_register + i - 1] = bytes[i];
    return 0;
}

int Ds3902::read(uint8_t *bytes, int length) {
    if (length < 1 || pointer + length - 1 > zero_register)
        return SimErrors::fail(SimErrors::BusMalformed, "two-wire bus: DS3902 read of " +
                                                            std::to_string(length) +
                                                            " bytes from register " + hex(pointer) +
                                                            " runs past register 0x03");
    for (int i = 0; i < length; ++i)
        bytes[i] = regs[pointer - threshold_register + i];
    return 0;
}
