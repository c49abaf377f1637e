#include "device/epotsettings.h"

void EpotSettings::note_register(uint8_t value) {
    if (pointer == reg_threshold) {
        threshold = value;
        threshold_known = true;
    } else if (pointer == reg_zero) {
        zero = value;
        zero_known = true;
    }
    ++pointer;
}

void EpotSettings::note_write(uint8_t address, const uint8_t *bytes, int32_t length) {
    if (address != bus_address || bytes == nullptr || length < 1)
        return;
    pointer = bytes[0];
    for (int32_t i = 1; i < length; ++i)
        note_register(bytes[i]);
}

void EpotSettings::note_read(uint8_t address, const uint8_t *bytes, int32_t length) {
    if (address != bus_address || bytes == nullptr)
        return;
    for (int32_t i = 0; i < length; ++i)
        note_register(bytes[i]);
}
