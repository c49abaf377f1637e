#ifndef SIMDEVICE_H
#define SIMDEVICE_H

#include "device/oxtdc1.h"
#include "simulator/ds3902.h"
#include "simulator/eventsource.h"
#include "simulator/replaysource.h"
#include "simulator/simconfig.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// One open simulated TDC. A worker thread of its own runs the exposures:
// start-of-measurement callback, events in blocks from one reused buffer,
// the statistics block and the end-of-measurement callback. Every public
// operation may be called from any thread; all of them return 0 (or a
// descriptor) on success and a negative SimErrors code on failure.
class SimDevice {
public:
    // With a replay source, every start delivers its next recorded exposure
    // instead of drawn events.
    SimDevice(int descriptor, const SimConfig &config,
              std::shared_ptr<const ReplaySource> replay = nullptr);
    ~SimDevice();
    SimDevice(const SimDevice &) = delete;
    SimDevice &operator=(const SimDevice &) = delete;

    // Starts the worker thread; 0 or a negative code.
    int start_worker();
    // Ends a running exposure without further callbacks and joins the worker.
    // Must not be called from the worker itself.
    void shutdown();

    int descriptor() const { return desc; }
    bool is_lost() const;
    bool on_worker_thread() const;

    int get_binsize(double *binsize_ns) const;
    int start_measure(int exposure_ms);
    int interrupt();
    int get_corrections(int *count, int *values) const;
    int set_corrections(int count, const int *values, int reserved);
    int twi_read(unsigned char address, unsigned char *buffer, int length, int flag);
    int twi_write(unsigned char address, unsigned char *buffer, int length, int flag);
    int pipe_open(int type, void *args);
    int pipe_close(int pipe);

    // Events the device has detected since it was opened, delivered or not.
    uint64_t generated_events() const { return generated.load(std::memory_order_acquire); }

private:
    enum class State { Idle, Running, Finishing };

    struct Exposure {
        int exposure_ms = 0;
        uint64_t index = 0;
        double rate_scale = 1.0;
        std::array<int64_t, SimConfig::max_channels> corrections{};
        bool silent = false; // a hung device: the start is reported, nothing after it
        size_t replay_index = 0;
    };

    // Where one exposure stands: its events per channel, what has been
    // detected and handed over, the buffer's fill (defined in simdevice.cpp).
    struct ExposureRun;

    void run();
    void run_exposure(const Exposure &exposure);
    void replay_exposure(const Exposure &exposure);
    // Hands over delivery interval `interval` of the exposure, as much of it as
    // the link carries; false when an interrupt ended the exposure meanwhile.
    bool hand_over_interval(ExposureRun &run, uint64_t interval);
    // Splits an interval's events over the link: every channel keeps its
    // share of the capacity, the rest is dropped.
    void limit_to_link(ExposureRun &run, uint64_t interval) const;
    // Calls `call` with the callback table unless the pipe is closed or the
    // device is shutting down; the pipe cannot close while it runs.
    template <class F> void deliver(F &&call);
    void deliver_events(size_t count);
    size_t generate(int channel, uint64_t count, const Exposure &exposure, SimRandom &rng,
                    size_t fill);
    // Draws `count` events of a channel that the link drops.
    void drop(int channel, uint64_t count, SimRandom &rng) const;
    // -90 when the connection is lost, -31 once released, else 0
    int check_alive(const char *what) const;
    int bus_check(unsigned char address, unsigned char *buffer, int length, int flag,
                  const char *what) const;

    const int desc;
    const SimConfig config;
    std::vector<EventSource> sources;
    const std::shared_ptr<const ReplaySource> replay;
    size_t replay_next = 0; // under the mutex

    mutable std::mutex mutex;
    std::condition_variable cv;
    State state = State::Idle;
    bool start_pending = false;
    bool stopping = false;
    bool lost = false;
    std::atomic<bool> interrupt_requested{false};
    Exposure next;
    uint64_t exposures_started = 0;
    int64_t start_calls = 0;
    std::array<int32_t, SimConfig::max_channels> corrections{};
    Ds3902 epot;

    bool pipe_active = false;
    int pipe_id = -1;
    int next_pipe_id = 0;
    PipeCallbacks callbacks{};
    bool in_callback = false;

    std::thread worker;
    std::thread::id worker_id;
    std::vector<TdcEvent> buffer; // used by the worker only
    std::atomic<uint64_t> generated{0};
};

#endif // SIMDEVICE_H
