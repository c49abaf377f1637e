// Throughput of the histogram accumulator's event callback.
//
// Events are streamed from a buffer far larger than the caches, in blocks as
// the device library hands them over. A read-only pass over the same records
// in the same run is the yardstick: no accumulator can be faster than reading
// its input.

#include "device/histopipe.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <time.h>
#include <vector>

namespace {

constexpr size_t event_count = size_t(8) << 20; // 8 Mi records, 320 MiB
constexpr size_t block = 4096;                  // events per callback
constexpr int passes = 7;

using Clock = std::chrono::steady_clock;

std::vector<TdcEvent> make_events(uint64_t time_span, uint32_t seed) {
    std::vector<TdcEvent> events(event_count);
    std::mt19937_64 rng(seed);
    for (TdcEvent &e : events) {
        const uint64_t r = rng();
        e.channel = static_cast<uint32_t>(r & 15u);
        e.time = (r >> 8) % time_span;
    }
    return events;
}

// Sums the fields the accumulator reads, block by block, so the compiler
// cannot drop the reads.
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

// The memory-bound floor of any histogram: one increment per event at its
// bin, with no statistics and no checks (every event is inside the window).
void bare_increment_pass(std::vector<std::vector<double>> &bins,
                         const std::vector<TdcEvent> &events) {
    for (const TdcEvent &e : events)
        bins[e.channel][e.time] += 1.0;
}

void accumulate_pass(HistoPipe &pipe, const std::vector<TdcEvent> &events) {
    for (size_t i = 0; i < events.size(); i += block)
        HistoPipe::on_tdc_events(&pipe, events.data() + i, std::min(block, events.size() - i));
}

// Best time of one pass, by the wall clock and by this thread's CPU clock.
// On a shared machine the CPU figure leaves out the time the thread spent
// descheduled; both are printed.
struct Timing {
    double wall = 1e30;
    double cpu = 1e30;
};

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

template <typename F> void time_pass(Timing &best, F &&work) {
    const double c0 = thread_cpu_seconds();
    const auto t0 = Clock::now();
    work();
    const std::chrono::duration<double> dt = Clock::now() - t0;
    best.wall = std::min(best.wall, dt.count());
    best.cpu = std::min(best.cpu, thread_cpu_seconds() - c0);
}

void print_rate(const char *what, const Timing &t, const Timing *against) {
    const double n = double(event_count);
    std::printf("  %-18s %7.1f M events/s wall, %7.1f M events/s CPU", what, n / t.wall / 1e6,
                n / t.cpu / 1e6);
    if (against)
        std::printf("   accumulator at %5.1f %% (wall), %5.1f %% (CPU)",
                    100.0 * t.wall / against->wall, 100.0 * t.cpu / against->cpu);
    std::printf("\n");
}

void run_case(const char *name, double window_ns, uint32_t seed) {
    HistoPipe pipe;
    pipe.set_params(HistoParams{0.0, window_ns, 1.0, 0, 16});
    HistoPipe::on_start_of_meas(&pipe);
    const uint64_t nbins = pipe.get_channel_histo(0)->size();

    const std::vector<TdcEvent> events = make_events(nbins, seed);

    std::vector<std::vector<double>> bare(16, std::vector<double>(nbins, 0.0));
    uint64_t sink = 0;
    Timing read, acc, naked;
    // The three passes take turns, so that each meets the same load.
    for (int p = 0; p < passes; ++p) {
        time_pass(read, [&] { sink += read_only_pass(events); });
        time_pass(acc, [&] { accumulate_pass(pipe, events); });
        time_pass(naked, [&] { bare_increment_pass(bare, events); });
    }

    double counted = 0;
    for (uint32_t c = 0; c < 16; ++c)
        for (double v : *pipe.get_channel_histo(c))
            counted += v;
    const double expected = double(event_count) * passes;
    std::printf("%s (%llu bins per channel)%s\n", name, static_cast<unsigned long long>(nbins),
                counted == expected && pipe.get_stats()->nr_events == uint64_t(expected)
                    ? ""
                    : "  COUNT MISMATCH");
    print_rate("accumulator", acc, nullptr);
    print_rate("read-only pass", read, &acc);
    print_rate("bare increments", naked, &acc);
    sink += static_cast<uint64_t>(bare[0][0]);
    if (sink == 42)
        std::printf("\n");
}

} // namespace

int main() {
    std::printf("%zu events of %zu bytes (%zu MiB) per pass, %zu events per callback, best of "
                "%d passes\n",
                event_count, sizeof(TdcEvent), event_count * sizeof(TdcEvent) >> 20, block, passes);
    run_case("16 x 1001 bins", 1000.0, 1);
    run_case("16 x 1,000,000 bins", 999999.0, 2);
    return 0;
}
