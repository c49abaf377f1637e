// Throughput of the histogram accumulator's event callback against a plain
// reference accumulation, measured in the same run on the same events.
//
// Each pass is one exposure of 8 Mi events, handed to the callbacks in blocks
// in two ways. Handed over: every block is first written into one buffer of
// a library's block size, as a library does that builds the records from its
// link's words just before the callback (the simulated device does so too),
// and only the callbacks are timed. Streamed: the callbacks read the blocks
// in place from a buffer larger than the caches, which bounds every pass by
// the memory's bandwidth. Large
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
#include <string>
#include <time.h>
#include <utility>
#include <vector>

namespace {

constexpr size_t event_count = size_t(8) << 20; // 8 Mi records, 320 MiB
constexpr size_t block = 4096;                  // events per streamed callback
constexpr size_t handed_block = 8192;           // the simulated device's block
constexpr int passes = 7;
constexpr uint32_t channels = 16;

using Clock = std::chrono::steady_clock;

// Events spread uniformly over `nbins` device bins of 16 channels; with
// `mixed`, one in sixteen falls outside: before or after the window, or on a
// channel without a histogram.
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
    uint32_t shift;

    Reference(uint64_t nbins, uint32_t binning)
        : histos(channels, std::vector<double>(nbins, 0.0)), shift(binning) {}

    void add(const TdcEvent *events, size_t count) {
        shift == 0 ? add_binned<false>(events, count) : add_binned<true>(events, count);
    }

    template <bool Binned> void add_binned(const TdcEvent *events, size_t count) {
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
            const uint64_t idx = Binned ? e.time >> shift : e.time; // start 0
            if (idx >= bins.size())
                continue;
            const double value = bins[idx] += 1.0;
            stats.max_count = std::max(stats.max_count, static_cast<uint64_t>(value));
            stats.channel_mask |= uint32_t(1) << (e.channel % 32);
        }
    }
};

uint64_t read_only(const TdcEvent *p, size_t n) {
    uint64_t sum = 0;
    for (size_t k = 0; k < n; ++k)
        sum += p[k].time ^ p[k].channel;
    asm volatile("" : "+r"(sum));
    return sum;
}

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

enum class Source { handed_over, streamed };

// Seconds per pass: for streamed events this thread's CPU time (which leaves
// out the time it spent descheduled on a shared machine); for events handed
// over, the wall time of the callbacks alone, summed.
struct Times {
    std::vector<double> seconds;
    static double median(std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    double rate() const { return double(event_count) / median(seconds) / 1e6; }
};

// Hands the events to `consume(events, count)` block by block, as the source
// has it, and adds the pass's time to `times`.
class Feed {
public:
    Feed(Source source, const std::vector<TdcEvent> &events)
        : source(source), events(events), staging(handed_block) {}

    template <typename F> void pass(Times &times, F &&consume) {
        if (source == Source::streamed) {
            const double c0 = thread_cpu_seconds();
            for (size_t i = 0; i < events.size(); i += block)
                consume(events.data() + i, std::min(block, events.size() - i));
            times.seconds.push_back(thread_cpu_seconds() - c0);
            return;
        }
        Clock::duration spent{};
        for (size_t i = 0; i < events.size(); i += handed_block) {
            const size_t n = std::min(handed_block, events.size() - i);
            std::copy_n(events.data() + i, n, staging.data());
            const auto t0 = Clock::now();
            consume(staging.data(), n);
            spent += Clock::now() - t0;
        }
        times.seconds.push_back(std::chrono::duration<double>(spent).count());
    }

private:
    Source source;
    const std::vector<TdcEvent> &events;
    std::vector<TdcEvent> staging;
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

void run_case(const char *name, Source source, uint64_t nbins, uint32_t binning, bool mixed,
              uint32_t seed) {
    HistoPipe pipe;
    const uint64_t times = nbins << binning; // device bins the histograms span
    pipe.set_params(HistoParams{0.0, double(times - 1), 1.0, binning, channels});
    HistoPipe::on_start_of_meas(&pipe);
    Reference ref(nbins, binning);
    const std::vector<TdcEvent> events = make_events(times, mixed, seed);
    Feed feed(source, events);

    uint64_t sink = 0;
    Times read, plain, acc, fold, whole;
    // The passes take turns, so that each meets the same load.
    for (int p = 0; p < passes; ++p) {
        feed.pass(read, [&](const TdcEvent *e, size_t n) { sink += read_only(e, n); });
        feed.pass(plain, [&](const TdcEvent *e, size_t n) { ref.add(e, n); });
        feed.pass(acc, [&](const TdcEvent *e, size_t n) { HistoPipe::on_tdc_events(&pipe, e, n); });
        const double c0 = thread_cpu_seconds();
        HistoPipe::on_end_of_meas(&pipe);
        pipe.fold_live();
        fold.seconds.push_back(thread_cpu_seconds() - c0);
        // With the end of the exposure: what one exposure of these events costs.
        whole.seconds.push_back(acc.seconds.back() + fold.seconds.back());
    }
    std::printf("%-46s %6.1f %6.1f %6.1f %6.1f  %5.2fx %5.2fx %7.2f  %s\n", name, read.rate(),
                plain.rate(), acc.rate(), whole.rate(), acc.rate() / plain.rate(),
                whole.rate() / plain.rate(), 1e3 * Times::median(fold.seconds),
                same_results(pipe, ref) ? "same" : "MISMATCH");
    if (sink == 42)
        std::printf("\n");
}

} // namespace

// An argument picks the rows whose name contains it (for a profiler).
int main(int argc, char **argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    std::printf("%zu events of %zu bytes (%zu MiB) per pass, median of %d passes, M events/s\n",
                event_count, sizeof(TdcEvent), event_count * sizeof(TdcEvent) >> 20, passes);
    std::printf(
        "handed over: each block of %zu events written just before its callback, the "
        "callbacks timed; streamed: blocks of %zu read in place, by the thread's CPU time\n",
        handed_block, block);
    std::printf("read: read-only pass; plain: the reference; accum: the accumulator's event "
                "callbacks; +end: with the end of measurement and the fold of the tallies (ms in "
                "'end ms')\n");
    std::printf("%-46s %6s %6s %6s %6s  %6s %6s %7s  %s\n", "case", "read", "plain", "accum",
                "+end", "ratio", "+end", "end ms", "bins+stats");
    struct Case {
        const char *name;
        uint64_t nbins;
        uint32_t binning;
        bool mixed;
    };
    // The middle size shows what the end of a measurement costs there.
    const Case cases[] = {{"16 x 1001, all inside", 1001, 0, false},
                          {"16 x 1001, 1/16 outside", 1001, 0, true},
                          {"16 x 1001 binned by 2, 1/16 outside", 1001, 1, true},
                          {"16 x 100,001, 1/16 outside", 100001, 0, true},
                          {"16 x 1,000,000, all inside", 1000000, 0, false},
                          {"16 x 1,000,000, 1/16 outside", 1000000, 0, true}};
    const std::pair<Source, const char *> sources[] = {{Source::handed_over, "handed over"},
                                                       {Source::streamed, "streamed"}};
    uint32_t seed = 1;
    for (const auto &[source, how] : sources)
        for (const Case &c : cases) {
            const std::string name = std::string(how) + ", " + c.name;
            if (name.find(only) == std::string::npos)
                continue;
            run_case(name.c_str(), source, c.nbins, c.binning, c.mixed, seed++);
        }
    return 0;
}
