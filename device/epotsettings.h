#ifndef EPOTSETTINGS_H
#define EPOTSETTINGS_H

#include <cstdint>

// The two settings of the DS3902 potentiometer as this session last read or
// set them on the device's two-wire bus, followed from the transfers that
// succeeded: a write's first byte sets the register pointer, further bytes
// (and the bytes of a read) belong to the registers from the pointer on.
class EpotSettings {
public:
    static constexpr uint8_t bus_address = 0x20;
    static constexpr uint8_t reg_threshold = 0x02;
    static constexpr uint8_t reg_zero = 0x03;

    void note_write(uint8_t address, const uint8_t *bytes, int32_t length);
    void note_read(uint8_t address, const uint8_t *bytes, int32_t length);

    bool threshold_known = false;
    bool zero_known = false;
    uint8_t threshold = 0;
    uint8_t zero = 0;

private:
    void note_register(uint8_t value);

    uint8_t pointer = 0;
};

#endif // EPOTSETTINGS_H
