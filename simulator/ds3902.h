#ifndef DS3902_H
#define DS3902_H

#include <cstdint>

// The DS3902 potentiometer on the device's two-wire bus: two 8-bit registers,
// 0x02 (threshold of the constant-fraction discriminators) and 0x03 (their
// zero setting), reached through a register pointer that every write sets
// to its first byte; a read returns the registers from the pointer on. Not locked: the device
// serialises bus transfers.
class Ds3902 {
public:
    static constexpr uint8_t bus_address = 0x20;
    static constexpr uint8_t threshold_register = 0x02;
    static constexpr uint8_t zero_register = 0x03;

    Ds3902(uint8_t threshold, uint8_t zero);

    // Both return 0 or a negative SimErrors code.
    int write(const uint8_t *bytes, int length);
    int read(uint8_t *bytes, int length);

    uint8_t threshold() const { return regs[0]; }
    uint8_t zero() const { return regs[1]; }

    // Detection efficiency of a threshold setting relative to `nominal`: a
    // higher threshold lets fewer pulses through.
    static double rate_scale(int threshold, int nominal);

private:
    static bool valid(int reg) { return reg == threshold_register || reg == zero_register; }

    uint8_t regs[2];
    uint8_t pointer = threshold_register;
};

#endif // DS3902_H
