// Event generation rate of the simulated device, not in real time, with the
// histogram accumulator (HistoPipe) attached and, for comparison, with a
// callback that only counts. Also the rate of the default configuration in
// real time.

#include "device/histopipe.h"
#include "device/oxtdc1.h"
#include "simulator/oxsim.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Completion {
    std::mutex mutex;
    std::condition_variable cv;
    int ends = 0;
    void notify() {
        std::lock_guard<std::mutex> lock(mutex);
        ++ends;
        cv.notify_all();
    }
    void wait(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return ends >= n; });
    }
};

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

std::string write_config(const std::string &path, double rate_per_channel, bool realtime) {
    std::ofstream out(path);
    out << "[device]\nbinsize_ns = 0.125\nchannels = 16\nseed = 5\nrange_ns = 1000\n"
        << "realtime = " << (realtime ? "true" : "false") << "\nblock_events = 8192\n";
    for (int c = 0; c < 16; ++c)
        out << "[channel" << c << "]\nshape = decay\nrate_hz = " << rate_per_channel
            << "\ndelay_ns = " << 50 + 55 * c << "\nlifetime_ns = " << 2 + 7 * c
            << "\nsigma_ns = 0.4\nbackground_hz = " << rate_per_channel / 100 << "\n";
    return path;
}

struct Figures {
    double events = 0;
    double wall = 0;
    double cpu = 0;
};

// Runs `exposures` exposures of `ms` each with the accumulator attached.
Figures run_with_accumulator(const std::string &ini, int exposures, int ms) {
    Figures f;
    const int dev = ox_tdc_init_inifile(ini.c_str());
    if (dev < 0) {
        char text[OX_ERR_MSG_SIZE];
        ox_get_err_msg(dev, text);
        std::fprintf(stderr, "open failed: %s\n", text);
        return f;
    }
    Completion done;
    {
        HistoPipe pipe;
        HistoParams params = *pipe.get_params();
        params.binsize = 0.125;
        params.channels = 16;
        pipe.set_params(params);
        pipe.set_end_of_meas_action([&done](uint64_t) { done.notify(); });
        pipe.set_device(dev);
        if (!pipe.set_pipe_open(true)) {
            std::fprintf(stderr, "pipe open failed\n");
            ox_tdc_deinit2(dev);
            return f;
        }
        const auto t0 = Clock::now();
        const double c0 = cpu_seconds();
        for (int i = 1; i <= exposures; ++i) {
            ox_tdc_start_measure2(dev, ms);
            done.wait(i);
        }
        f.wall = std::chrono::duration<double>(Clock::now() - t0).count();
        f.cpu = cpu_seconds() - c0;
        f.events = double(pipe.get_stats()->nr_events);
        if (f.events != double(oxsim_generated_events(dev)))
            std::fprintf(stderr, "accounting mismatch!\n");
        pipe.set_pipe_open(false);
    }
    ox_tdc_deinit2(dev);
    return f;
}

struct Counter {
    Completion done;
    unsigned long long events = 0;
    static void start(void *) {}
    static void end(void *p) { static_cast<Counter *>(p)->done.notify(); }
    static void stats(void *, const PipeStatistics *) {}
    static void count(void *p, const TdcEvent *, size_t n) {
        static_cast<Counter *>(p)->events += n;
    }
    static void nothing() {}
};

Figures run_counting_only(const std::string &ini, int exposures, int ms) {
    Figures f;
    const int dev = ox_tdc_init_inifile(ini.c_str());
    if (dev < 0)
        return f;
    Counter counter;
    PipeCallbacks table{&counter,       Counter::start, Counter::end,    Counter::nothing,
                        Counter::stats, Counter::count, Counter::nothing};
    PipeCallbackArgs args{&table};
    const int pipe = ox_pipe_open2(dev, OX_PIPE_TYPE_USER_CALLBACKS, &args);
    const auto t0 = Clock::now();
    const double c0 = cpu_seconds();
    for (int i = 1; i <= exposures; ++i) {
        ox_tdc_start_measure2(dev, ms);
        counter.done.wait(i);
    }
    f.wall = std::chrono::duration<double>(Clock::now() - t0).count();
    f.cpu = cpu_seconds() - c0;
    f.events = double(oxsim_generated_events(dev));
    ox_pipe_close2(dev, pipe);
    ox_tdc_deinit2(dev);
    return f;
}

void print(const char *what, const Figures &f) {
    std::printf("%-44s %12.0f events  %7.3f s wall  %7.3f s CPU  %8.1f M events/s (wall)  "
                "%8.1f M events/s (CPU)\n",
                what, f.events, f.wall, f.cpu, f.events / f.wall * 1e-6, f.events / f.cpu * 1e-6);
}

} // namespace

int main() {
    const std::string dir = "/tmp/bench_simulator_" + std::to_string(getpid());
    const std::string fast = write_config(dir + "_fast.ini", 50e6, false);
    const std::string slow = write_config(dir + "_rt.ini", 100e3, true);

    std::printf("Simulated device, 16 channels, 8192 events per block, not in real time\n");
    run_with_accumulator(fast, 1, 10); // warm-up: page in tables and histograms
    const Figures with = run_with_accumulator(fast, 3, 100);
    const Figures counting = run_counting_only(fast, 3, 100);
    print("generation + accumulator (HistoPipe)", with);
    print("generation + counting callback only", counting);
    // On a shared machine the wall clock also counts other processes' turns;
    // the CPU time of the process is what one core spends on the events.
    std::printf("accumulator share of the CPU time: %.0f %%\n",
                100.0 * (1.0 - (with.events / with.cpu) / (counting.events / counting.cpu)));
    std::printf("goal: >= 50 M events/s on one core with the accumulator: %s (%.1f M/s CPU, "
                "%.1f M/s wall)\n",
                with.events / with.cpu >= 50e6 ? "met" : "NOT met", with.events / with.cpu * 1e-6,
                with.events / with.wall * 1e-6);

    std::printf("\nIn real time (1.6 M events/s asked, 1000 ms exposure):\n");
    const Figures rt = run_with_accumulator(slow, 1, 1000);
    print("real-time exposure + accumulator", rt);
    std::printf("CPU load of the real-time device: %.1f %% of one core\n",
                100.0 * rt.cpu / rt.wall);

    std::remove(fast.c_str());
    std::remove(slow.c_str());
    return 0;
}
