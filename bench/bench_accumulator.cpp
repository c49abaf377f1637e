// Throughput of the histogram accumulator's event callback against a plain
// reference accumulation, measured in the same run on the same events.
//
// Events are streamed from a buffer larger than the caches, in blocks as the
// device library hands them over; each pass is one exposure. Large
// histograms are counted in byte tallies, added to the bins by a fold that
// the program runs on the GUI thread while the next exposure is measured; it
// is timed apart ('end ms') and with the callbacks ('+end'). The reference does what the
// accumulator must do in the plainest way: per event the time statistics, the bin of doubles, the
// fullest bin, the channel mask and the per-channel deliveries. After the passes both must hold the
// same bins and statistics to the last count. A read-only pass over the same records is the
// yardstick no accumulator can beat.

#include "device/histopipe.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <time.h>
#include <vector>

namespace {

constexpr size_t event_count = size_t(8) << 20; // 8 Mi records, 320 MiB
constexpr size_t block = 4096;                  // events per callback
constexpr int passes = 7;
constexpr uint32_t channels = 16;

using Clock = std::chrono::steady_clock;

// Events spread uniformly over the bins of 16 channels; with `mixed`, one in
// sixteen falls outside: before or after the window, or on a channel without
// a histogram.
std::vector<TdcEvent> make_events(uint64_t nbins, bool mixed, uint32_t seed) {
    std::vector<TdcEvent> events(event_count);
    std::mt19937_64 rng(seed);
    for (TdcEvent &e : events) {
        const uint64_t r = rng();
        e.channel = static_cast<uint32_t>(r & 15u);
        e.time = (r >> 8) % nbins;
        if (mixed && (r >> 4 & 15u) == 0) {
            switch (r >> 60 & 3u) {
            case 0:
                e.time = nbins + (r >> 8) % nbins;
                break;
            case 1:
                e.time = ~uint64_t(0) - (r >> 8) % 1000;
                break;
            default:
                e.channel = channels + static_cast<uint32_t>(r >> 40 & 255u);
                break;
            }
        }
    }
    return events;
}

// The accumulation the plain way, event by event in one loop.
struct Reference {
    std::vector<std::vector<double>> histos;
    HistoStats stats{0, ~uint64_t(0), 0, 0, 0, 0};
    std::array<uint64_t, 17> delivered{};

    explicit Reference(uint64_t nbins) : histos(channels, std::vector<double>(nbins, 0.0)) {}

    void add(const TdcEvent *events, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            const TdcEvent &e = events[i];
            stats.nr_events += 1;
            stats.sum_time += e.time;
            stats.min_time = std::min(stats.min_time, e.time);
            stats.max_time = std::max(stats.max_time, e.time);
            delivered[std::min<uint32_t>(e.channel, 16)] += 1;
            if (e.channel >= histos.size())
                continue;
            std::vector<double> &bins = histos[e.channel];
            const uint64_t idx = e.time; // start 0, binning 0
            if (idx >= bins.size())
                continue;
            const double value = bins[idx] += 1.0;
            stats.max_count = std::max(stats.max_count, static_cast<uint64_t>(value));
            stats.channel_mask |= uint32_t(1) << (e.channel % 32);
        }
    }
};

uint64_t read_only_pass(const std::vector<TdcEvent> &events) {
    uint64_t sum = 0;
    for (size_t i = 0; i < events.size(); i += block) {
        const size_t n = std::min(block, events.size() - i);
        const TdcEvent *p = events.data() + i;
        for (size_t k = 0; k < n; ++k)
            sum += p[k].time ^ p[k].channel;
        asm volatile("" : "+r"(sum));
    }
    return sum;
}

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// Per-pass times by this thread's CPU clock (which leaves out the time the
// thread spent descheduled on a shared machine) and by the wall clock.
struct Times {
    std::vector<double> cpu, wall;
    template <typename F> void time(F &&work) {
        const double c0 = thread_cpu_seconds();
        const auto t0 = Clock::now();
        work();
        const std::chrono::duration<double> dt = Clock::now() - t0;
        wall.push_back(dt.count());
        cpu.push_back(thread_cpu_seconds() - c0);
    }
    static double median(std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    double rate_cpu() const { return double(event_count) / median(cpu) / 1e6; }
    double rate_wall() const { return double(event_count) / median(wall) / 1e6; }
};

bool same_results(const HistoPipe &pipe, const Reference &ref) {
    const HistoStats &a = *pipe.get_stats(), &b = ref.stats;
    if (a.nr_events != b.nr_events || a.sum_time != b.sum_time || a.min_time != b.min_time ||
        a.max_time != b.max_time || a.max_count != b.max_count || a.channel_mask != b.channel_mask)
        return false;
    for (uint32_t c = 0; c < channels; ++c)
        if (*pipe.get_channel_histo(c) != ref.histos[c] ||
            pipe.get_delivered_counts()[c] != ref.delivered[c])
            return false;
    return true;
}

void run_case(const char *name, uint64_t nbins, bool mixed, uint32_t seed) {
    HistoPipe pipe;
    pipe.set_params(HistoParams{0.0, double(nbins - 1), 1.0, 0, channels});
    HistoPipe::on_start_of_meas(&pipe);
    Reference ref(nbins);
    const std::vector<TdcEvent> events = make_events(nbins, mixed, seed);

    uint64_t sink = 0;
    Times read, plain, acc, fold;
    // The passes take turns, so that each meets the same load.
    for (int p = 0; p < passes; ++p) {
        read.time([&] { sink += read_only_pass(events); });
        plain.time([&] {
            for (size_t i = 0; i < events.size(); i += block)
                ref.add(events.data() + i, std::min(block, events.size() - i));
        });
        acc.time([&] {
            for (size_t i = 0; i < events.size(); i += block)
                HistoPipe::on_tdc_events(&pipe, events.data() + i,
                                         std::min(block, events.size() - i));
        });
        fold.time([&] {
            HistoPipe::on_end_of_meas(&pipe);
            pipe.fold_live();
        });
    }
    // With the end of the exposure: what one exposure of these events costs.
    Times whole;
    for (int p = 0; p < passes; ++p) {
        whole.cpu.push_back(acc.cpu[p] + fold.cpu[p]);
        whole.wall.push_back(acc.wall[p] + fold.wall[p]);
    }
    std::printf("%-30s %6.1f %6.1f %6.1f %6.1f  %5.2fx %5.2fx %5.2fx %7.2f  %s\n", name,
                read.rate_cpu(), plain.rate_cpu(), acc.rate_cpu(), whole.rate_cpu(),
                acc.rate_cpu() / plain.rate_cpu(), acc.rate_wall() / plain.rate_wall(),
                whole.rate_cpu() / plain.rate_cpu(), 1e3 * Times::median(fold.cpu),
                same_results(pipe, ref) ? "same" : "MISMATCH");
    if (sink == 42)
        std::printf("\n");
}

} // namespace

int main() {
    std::printf("%zu events of %zu bytes (%zu MiB) per pass, %zu events per callback, median of "
                "%d passes; M events/s by the thread's CPU time\n",
                event_count, sizeof(TdcEvent), event_count * sizeof(TdcEvent) >> 20, block, passes);
    std::printf("read: read-only pass; plain: the reference; accum: the accumulator's event "
                "callbacks; +end: with the end of measurement and the fold of the tallies (ms in "
                "'end ms')\n");
    std::printf("%-30s %6s %6s %6s %6s  %6s %6s %6s %7s  %s\n", "case", "read", "plain", "accum",
                "+end", "ratio", "(wall)", "+end", "end ms", "bins+stats");
    run_case("16 x 1001, all inside", 1001, false, 1);
    run_case("16 x 1001, 1/16 outside", 1001, true, 2);
    // The middle size shows what the end of a measurement costs there.
    run_case("16 x 100,001, 1/16 outside", 100001, true, 5);
    run_case("16 x 1,000,000, all inside", 1000000, false, 3);
    run_case("16 x 1,000,000, 1/16 outside", 1000000, true, 4);
    return 0;
}
