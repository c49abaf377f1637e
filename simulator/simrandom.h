#ifndef SIMRANDOM_H
#define SIMRANDOM_H

#include <cmath>
#include <cstdint>

// Small, fast pseudo-random generator (wyrand) with the few draws the device
// needs. Streams are derived from a seed and stream numbers, so an exposure's
// events do not depend on how earlier exposures ended.
class SimRandom {
public:
    explicit SimRandom(uint64_t seed = 0) : state(seed) {}

    static uint64_t mix(uint64_t x) {
        x += 0x9e3779b97f4a7c15ull;
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
        return x ^ (x >> 31);
    }
    static SimRandom stream(uint64_t seed, uint64_t a, uint64_t b = 0) {
        return SimRandom(mix(mix(mix(seed) ^ a) ^ (b * 0x632be59bd9b4e019ull)));
    }

    uint64_t next() {
        state += 0xa0761d6478bd642full;
        const __uint128_t m = __uint128_t(state) * (state ^ 0xe7037ed1a0b428dbull);
        return uint64_t(m >> 64) ^ uint64_t(m);
    }

    // Uniform in [0, 1).
    double uniform() { return double(next() >> 11) * 0x1.0p-53; }

    // Poisson-distributed count of the given mean: multiplication for small
    // means, Hormann's transformed rejection (PTRS) above.
    uint64_t poisson(double mean) {
        if (!(mean > 0.0))
            return 0;
        if (mean < 10.0) {
            const double limit = std::exp(-mean);
            uint64_t k = 0;
            double p = uniform();
            while (p > limit) {
                ++k;
                p *= uniform();
            }
            return k;
        }
        const double slam = std::sqrt(mean);
        const double loglam = std::log(mean);
        const double b = 0.931 + 2.53 * slam;
        const double a = -0.059 + 0.02483 * b;
        const double invalpha = 1.1239 + 1.1328 / (b - 3.4);
        const double vr = 0.9277 - 3.6224 / (b - 2.0);
        for (;;) {
            const double u = uniform() - 0.5;
            const double v = uniform();
            const double us = 0.5 - std::fabs(u);
            const double k = std::floor((2.0 * a / us + b) * u + mean + 0.43);
            if (us >= 0.07 && v <= vr)
                return uint64_t(k);
            if (k < 0.0 || (us < 0.013 && v > us))
                continue;
            if (std::log(v) + std::log(invalpha) - std::log(a / (us * us) + b) <=
                -mean + k * loglam - log_factorial(k))
                return uint64_t(k);
        }
    }

private:
    // log(k!) without lgamma, which writes a global and so is not thread-safe.
    static double log_factorial(double k) {
        if (k < 10.0) {
            double s = 0.0;
            for (int i = 2; i <= int(k); ++i)
                s += std::log(double(i));
            return s;
        }
        const double k2 = k * k;
        return (k + 0.5) * std::log(k) - k + 0.91893853320467274178 + 1.0 / (12.0 * k) -
               1.0 / (360.0 * k * k2) + 1.0 / (1260.0 * k2 * k2 * k);
    }

    uint64_t state;
};

#endif // SIMRANDOM_H
