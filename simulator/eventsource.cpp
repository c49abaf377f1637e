#include "simulator/eventsource.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

constexpr double sqrt2 = 1.41421356237309504880;
constexpr double log_sqrt_2pi = 0.91893853320467274178;

double normal_cdf(double z) {
    return 0.5 * std::erfc(-z / sqrt2);
}

// log of the standard normal CDF, accurate far into the lower tail.
double log_normal_cdf(double z) {
    if (z > -20.0)
        return std::log(normal_cdf(z));
    const double z2 = z * z;
    return -0.5 * z2 - std::log(-z) - log_sqrt_2pi + std::log1p(-1.0 / z2 + 3.0 / (z2 * z2));
}

double peak_cdf(double x, double centre, double sigma) {
    if (sigma <= 0.0)
        return x > centre ? 1.0 : 0.0; // a time on a bin edge belongs to the later bin
    return normal_cdf((x - centre) / sigma);
}

// Exponential decay starting at `delay`, seen through a Gaussian response
// (the exponentially modified Gaussian).
double decay_cdf(double x, double delay, double lifetime, double sigma) {
    const double lambda = 1.0 / lifetime;
    if (sigma <= 0.0)
        return x <= delay ? 0.0 : -std::expm1(-lambda * (x - delay));
    const double u = (x - delay) / sigma;
    const double tail = std::exp(-lambda * (x - delay) + 0.5 * lambda * lambda * sigma * sigma +
                                 log_normal_cdf(u - lambda * sigma));
    const double f = normal_cdf(u) - tail;
    return f < 0.0 ? 0.0 : (f > 1.0 ? 1.0 : f);
}

} // namespace

EventSource::EventSource(const ChannelConfig &config, double binsize_ns, uint64_t range_bins) {
    std::vector<double> weights(range_bins, 0.0);
    double shape_rate = config.shape == ChannelConfig::Shape::Off ? 0.0 : config.rate_hz;

    if (shape_rate > 0.0 && config.shape != ChannelConfig::Shape::Flat) {
        auto cdf = [&](double x) {
            if (config.shape == ChannelConfig::Shape::Peak)
                return peak_cdf(x, config.delay_ns, config.sigma_ns);
            return decay_cdf(x, config.delay_ns, config.lifetime_ns, config.sigma_ns);
        };
        // Events of the shape that fall outside the range are not detected.
        double prev = cdf(0.0);
        double inside = 0.0;
        for (uint64_t i = 0; i < range_bins; ++i) {
            const double next = cdf(double(i + 1) * binsize_ns);
            const double mass = next > prev ? next - prev : 0.0;
            weights[i] = mass;
            inside += mass;
            prev = next;
        }
        if (inside > 0.0) {
            for (double &w : weights)
                w *= shape_rate / inside;
        } else {
            shape_rate = 0.0;
        }
    }
    double flat_rate = config.shape == ChannelConfig::Shape::Off ? 0.0 : config.background_hz;
    if (config.shape == ChannelConfig::Shape::Flat)
        flat_rate += shape_rate;
    if (flat_rate > 0.0) {
        const double per_bin = flat_rate / double(range_bins);
        for (double &w : weights)
            w += per_bin;
    }
    total_rate = (config.shape == ChannelConfig::Shape::Flat ? 0.0 : shape_rate) + flat_rate;
    if (total_rate > 0.0)
        build(weights);
}

// Vose's alias method.
void EventSource::build(const std::vector<double> &weights) {
    const size_t n = weights.size();
    double sum = 0.0;
    for (double w : weights)
        sum += w;
    std::vector<double> scaled(n);
    std::vector<uint32_t> small, large;
    small.reserve(n);
    large.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        scaled[i] = weights[i] * double(n) / sum;
        (scaled[i] < 1.0 ? small : large).push_back(uint32_t(i));
    }
    table.assign(n, Entry{0, 0});
    auto threshold_of = [](double p) {
        const double t = std::floor(p * 4294967296.0);
        return t >= 4294967295.0 ? 0xffffffffu : (t <= 0.0 ? 0u : uint32_t(t));
    };
    while (!small.empty() && !large.empty()) {
        const uint32_t s = small.back();
        small.pop_back();
        const uint32_t l = large.back();
        table[s] = Entry{threshold_of(scaled[s]), l};
        scaled[l] = (scaled[l] + scaled[s]) - 1.0;
        if (scaled[l] < 1.0) {
            large.pop_back();
            small.push_back(l);
        }
    }
    for (uint32_t i : large)
        table[i] = Entry{0xffffffffu, i};
    for (uint32_t i : small) // only rounding leftovers
        table[i] = Entry{0xffffffffu, i};
    size = n;
    uniform = std::adjacent_find(weights.begin(), weights.end(), std::not_equal_to<double>()) ==
              weights.end();
}

std::vector<double> EventSource::probabilities() const {
    std::vector<double> p(size, 0.0);
    for (size_t i = 0; i < size; ++i) {
        const double keep =
            table[i].threshold == 0xffffffffu ? 1.0 : table[i].threshold / 4294967296.0;
        p[i] += keep / double(size);
        p[table[i].alias] += (1.0 - keep) / double(size);
    }
    return p;
}
