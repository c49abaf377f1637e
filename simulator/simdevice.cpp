#include "simulator/simdevice.h"

#include "simulator/simerrors.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>

namespace {
// Pace of a real-time exposure: events due by now are handed over at least
// this often, as a hardware link's transfers would be. The last interval's
// events are handed over after the exposure time, so this is also how late
// the end comes: a millisecond keeps that latency small beside the exposure.
constexpr std::chrono::milliseconds tick(1);
// How long a start waits for the end-of-measurement callback of the previous
// exposure to return before it answers busy.
constexpr std::chrono::seconds finishing_wait(2);

std::string desc_text(int desc) {
    return "device " + std::to_string(desc);
}
} // namespace

SimDevice::SimDevice(int descriptor, const SimConfig &cfg,
                     std::shared_ptr<const ReplaySource> replay_source)
    : desc(descriptor), config(cfg), replay(std::move(replay_source)),
      epot(uint8_t(cfg.threshold), uint8_t(cfg.zero)) {
    const uint64_t bins = config.range_bins();
    sources.reserve(size_t(config.channels));
    for (int c = 0; c < config.channels; ++c) {
        sources.emplace_back(config.sources[size_t(c)], config.binsize_ns, bins);
        corrections[size_t(c)] = config.sources[size_t(c)].correction;
    }
    buffer.assign(size_t(config.block_events), TdcEvent{});
}

SimDevice::~SimDevice() {
    shutdown();
}

int SimDevice::start_worker() {
    try {
        worker = std::thread(&SimDevice::run, this);
    } catch (const std::system_error &e) {
        return SimErrors::fail(SimErrors::ResourceFailure,
                               "cannot start the device's worker thread: " + std::string(e.what()));
    }
    std::lock_guard<std::mutex> lock(mutex);
    worker_id = worker.get_id();
    return 0;
}

void SimDevice::shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (worker_id == std::thread::id())
            return;
        stopping = true;
        interrupt_requested.store(true);
    }
    cv.notify_all();
    if (!worker.joinable())
        return;
    if (worker.get_id() == std::this_thread::get_id())
        worker.detach(); // last reference dropped inside a callback: nothing follows it
    else
        worker.join();
}

bool SimDevice::is_lost() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lost;
}

bool SimDevice::on_worker_thread() const {
    std::lock_guard<std::mutex> lock(mutex);
    return worker_id == std::this_thread::get_id();
}

int SimDevice::check_alive(const char *what) const {
    if (stopping) // released while this call was on its way
        return SimErrors::fail(SimErrors::NotOpen,
                               desc_text(desc) + " was released (" + what + ")");
    if (!lost)
        return 0;
    return SimErrors::fail(SimErrors::ConnectionLost,
                           "connection to " + desc_text(desc) + " lost (" + what + ")");
}

int SimDevice::get_binsize(double *binsize_ns) const {
    std::lock_guard<std::mutex> lock(mutex);
    if (const int r = check_alive("reading the bin size"))
        return r;
    if (!binsize_ns)
        return SimErrors::fail(SimErrors::NullPointer,
                               "ox_tdc_get_binsize2: null bin size pointer");
    *binsize_ns = config.binsize_ns;
    return 0;
}

int SimDevice::start_measure(int exposure_ms) {
    std::unique_lock<std::mutex> lock(mutex);
    if (const int r = check_alive("starting a measurement"))
        return r;
    ++start_calls;
    if (start_calls <= config.faults.busy_starts)
        return SimErrors::Busy;
    if (start_calls == config.faults.lose_connection_at_start) {
        // A lost device says nothing more: a running exposure ends silently.
        lost = true;
        interrupt_requested.store(true);
        cv.notify_all();
        return SimErrors::fail(SimErrors::ConnectionLost,
                               "connection to " + desc_text(desc) + " lost at start " +
                                   std::to_string(start_calls) + " (injected fault)");
    }
    if (exposure_ms < 0)
        return SimErrors::fail(SimErrors::InvalidExposure, "invalid exposure time " +
                                                               std::to_string(exposure_ms) +
                                                               " ms (must be 0 ms or more)");
    // The previous exposure is only handing over its end: wait for that
    // callback to return, unless it is the caller.
    if (state == State::Finishing && worker_id != std::this_thread::get_id())
        cv.wait_for(lock, finishing_wait, [this] { return state != State::Finishing || stopping; });
    if (state != State::Idle || stopping)
        return SimErrors::Busy;
    if (replay && replay_next >= replay->exposures().size())
        return SimErrors::fail(SimErrors::ReplayExhausted,
                               "the recording is exhausted: all " +
                                   std::to_string(replay->exposures().size()) +
                                   " recorded exposures have been replayed");

    next.exposure_ms = exposure_ms;
    next.silent = start_calls == config.faults.silent_at_start;
    if (replay)
        next.replay_index = replay_next++;
    next.index = exposures_started++;
    next.rate_scale = Ds3902::rate_scale(epot.threshold(), config.threshold);
    for (int c = 0; c < SimConfig::max_channels; ++c)
        next.corrections[size_t(c)] = corrections[size_t(c)];
    state = State::Running;
    start_pending = true;
    interrupt_requested.store(false);
    lock.unlock();
    cv.notify_all();
    return 0;
}

int SimDevice::interrupt() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (const int r = check_alive("interrupting a measurement"))
            return r;
        if (state != State::Running)
            return 0; // nothing to end
        interrupt_requested.store(true);
    }
    cv.notify_all();
    return 0;
}

int SimDevice::get_corrections(int *count, int *values) const {
    std::lock_guard<std::mutex> lock(mutex);
    if (const int r = check_alive("reading corrections"))
        return r;
    if (!count)
        return SimErrors::fail(SimErrors::NullPointer,
                               "ox_tdc_get_corrections2: null count pointer");
    if (values) {
        if (*count < config.channels)
            return SimErrors::fail(SimErrors::InvalidLength,
                                   "ox_tdc_get_corrections2: buffer of " + std::to_string(*count) +
                                       " values is too small for " +
                                       std::to_string(config.channels) + " channels");
        for (int c = 0; c < config.channels; ++c)
            values[c] = corrections[size_t(c)];
    }
    *count = config.channels;
    return 0;
}

int SimDevice::set_corrections(int count, const int *values, int reserved) {
    std::lock_guard<std::mutex> lock(mutex);
    if (const int r = check_alive("writing corrections"))
        return r;
    if (count != config.channels)
        return SimErrors::fail(SimErrors::InvalidLength,
                               "ox_tdc_set_corrections2: " + std::to_string(count) +
                                   " values given, the device has " +
                                   std::to_string(config.channels) + " channels");
    if (!values)
        return SimErrors::fail(SimErrors::NullPointer,
                               "ox_tdc_set_corrections2: null values pointer");
    if (reserved != 0)
        return SimErrors::fail(SimErrors::InvalidLength,
                               "ox_tdc_set_corrections2: fourth argument must be 0, not " +
                                   std::to_string(reserved));
    for (int c = 0; c < count; ++c) {
        if (values[c] < -32768 || values[c] > 32767)
            return SimErrors::fail(SimErrors::CorrectionOutOfRange,
                                   "correction of channel " + std::to_string(c) + " (" +
                                       std::to_string(values[c]) +
                                       ") is out of range (-32768 ... 32767 bins)");
    }
    // Applies from the next exposure on.
    for (int c = 0; c < count; ++c)
        corrections[size_t(c)] = values[c];
    return 0;
}

int SimDevice::bus_check(unsigned char address, unsigned char *buffer, int length, int flag,
                         const char *what) const {
    if (const int r = check_alive(what))
        return r;
    if (!buffer)
        return SimErrors::fail(SimErrors::NullPointer, std::string(what) + ": null buffer");
    if (length < 0)
        return SimErrors::fail(SimErrors::InvalidLength,
                               std::string(what) + ": negative length " + std::to_string(length));
    if (flag != 0 && flag != 1)
        return SimErrors::fail(SimErrors::BusMalformed,
                               std::string(what) +
                                   ": flag must be 0 (repeated start follows) or 1 (stop), not " +
                                   std::to_string(flag));
    if (config.faults.fail_bus)
        return SimErrors::fail(SimErrors::BusFailure,
                               std::string(what) + ": bus failure (injected fault)");
    if (address != Ds3902::bus_address) {
        char text[128];
        std::snprintf(text, sizeof text, "%s: no device answers at address 0x%02X", what,
                      unsigned(address));
        return SimErrors::fail(SimErrors::BusNoDevice, text);
    }
    return 0;
}

int SimDevice::twi_read(unsigned char address, unsigned char *buffer, int length, int flag) {
    std::lock_guard<std::mutex> lock(mutex);
    if (const int r = bus_check(address, buffer, length, flag, "two-wire bus read"))
        return r;
    return epot.read(buffer, length);
}

int SimDevice::twi_write(unsigned char address, unsigned char *buffer, int length, int flag) {
    std::lock_guard<std::mutex> lock(mutex);
    if (const int r = bus_check(address, buffer, length, flag, "two-wire bus write"))
        return r;
    return epot.write(buffer, length);
}

int SimDevice::pipe_open(int type, void *args) {
    std::lock_guard<std::mutex> lock(mutex);
    if (const int r = check_alive("opening a pipe"))
        return r;
    if (type != OX_PIPE_TYPE_USER_CALLBACKS)
        return SimErrors::fail(SimErrors::PipeTypeUnsupported,
                               "ox_pipe_open2: pipe type " + std::to_string(type) +
                                   " not supported (only 10, user callbacks)");
    const auto *pipe_args = static_cast<const PipeCallbackArgs *>(args);
    if (!pipe_args || !pipe_args->callbacks)
        return SimErrors::fail(SimErrors::NullPointer, "ox_pipe_open2: null callback arguments");
    const PipeCallbacks &table = *pipe_args->callbacks;
    if (!table.start_of_meas || !table.end_of_meas || !table.statistics || !table.events ||
        !table.slot3 || !table.slot6)
        return SimErrors::fail(SimErrors::NullPointer,
                               "ox_pipe_open2: the callback table has an empty slot");
    if (pipe_active)
        return SimErrors::fail(SimErrors::PipeAlreadyOpen,
                               "ox_pipe_open2: pipe " + std::to_string(pipe_id) +
                                   " is already open on " + desc_text(desc));
    if (config.faults.fail_pipe_open)
        return SimErrors::fail(SimErrors::PipeOpenFailure,
                               "the data pipe could not be opened (injected fault)");
    callbacks = table;
    pipe_active = true;
    pipe_id = next_pipe_id++;
    return pipe_id;
}

int SimDevice::pipe_close(int pipe) {
    std::unique_lock<std::mutex> lock(mutex);
    if (const int r = check_alive("closing a pipe"))
        return r;
    if (!pipe_active || pipe != pipe_id)
        return SimErrors::fail(SimErrors::PipeNotOpen, "ox_pipe_close2: pipe " +
                                                           std::to_string(pipe) +
                                                           " is not open on " + desc_text(desc));
    pipe_active = false;
    pipe_id = -1;
    // From inside a callback the caller is the callback: nothing else runs.
    if (worker_id != std::this_thread::get_id())
        cv.wait(lock, [this] { return !in_callback; });
    return 0;
}

template <class F> void SimDevice::deliver(F &&call) {
    PipeCallbacks table;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!pipe_active || stopping || lost)
            return;
        table = callbacks;
        in_callback = true;
    }
    call(table);
    {
        std::lock_guard<std::mutex> lock(mutex);
        in_callback = false;
    }
    cv.notify_all();
}

void SimDevice::deliver_events(size_t count) {
    if (count == 0)
        return;
    generated.fetch_add(count, std::memory_order_acq_rel);
    const TdcEvent *events = buffer.data();
    deliver([&](const PipeCallbacks &t) { t.events(t.priv, events, count); });
}

size_t SimDevice::generate(int channel, uint64_t count, const Exposure &exposure, SimRandom &rng,
                           size_t fill) {
    const EventSource &source = sources[size_t(channel)];
    const int64_t correction = exposure.corrections[size_t(channel)];
    TdcEvent *out = buffer.data() + fill;
    const uint32_t ch = uint32_t(channel);
    for (uint64_t i = 0; i < count; ++i) {
        const int64_t t = int64_t(source.draw(rng)) + correction;
        out[i].channel = ch;
        out[i].time = uint64_t(t < 0 ? 0 : t); // a negative shift saturates at 0
    }
    return fill + size_t(count);
}

void SimDevice::run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        cv.wait(lock, [this] { return stopping || start_pending; });
        if (stopping)
            break;
        start_pending = false;
        const Exposure exposure = next;
        lock.unlock();
        if (replay)
            replay_exposure(exposure);
        else
            run_exposure(exposure);
        lock.lock();
        state = State::Idle;
        cv.notify_all();
    }
}

// Where one exposure stands. The exposure is handed over in delivery
// intervals of `tick` exposure time; interval k carries every channel's events
// due between its two ends, which fixes the split (and so what the link drops)
// independently of how the worker is scheduled.
struct SimDevice::ExposureRun {
    explicit ExposureRun(const Exposure &of) : exposure(of) {}
    const Exposure &exposure;
    uint64_t intervals = 0;
    std::array<uint64_t, SimConfig::max_channels> total{};    // drawn up front
    std::array<uint64_t, SimConfig::max_channels> wanted{};   // of the interval
    std::array<uint64_t, SimConfig::max_channels> kept{};     // of the interval
    std::array<uint64_t, SimConfig::max_channels> detected{}; // so far, delivered or dropped
    // Of the link's capacity, what a channel was owed (positive) or given
    // beyond its share (negative) in earlier intervals, within one event.
    std::array<double, SimConfig::max_channels> share_owed{};
    std::vector<SimRandom> rngs;
    size_t fill = 0;
};

namespace {
// Events of a channel due once `intervals` delivery intervals (of `tick`
// exposure time each) have passed, out of `total` over the whole exposure.
uint64_t due_by(uint64_t total, uint64_t intervals, int exposure_ms) {
    const uint64_t end_ms = std::min<uint64_t>(intervals * uint64_t(tick.count()), exposure_ms);
    return uint64_t((unsigned __int128)total * end_ms / uint64_t(exposure_ms));
}
} // namespace

void SimDevice::limit_to_link(ExposureRun &run, uint64_t interval) const {
    const int channels = config.channels;
    // The link's capacity up to an interval's end, in whole events; an
    // interval gets the difference, so the fraction one interval cannot use
    // goes to the next and the configured rate holds at any value (150 Hz is
    // 0.75 events per interval). A quiet interval banks no whole events.
    const auto capacity_by = [&](uint64_t intervals) {
        const uint64_t end_ms =
            std::min<uint64_t>(intervals * uint64_t(tick.count()), run.exposure.exposure_ms);
        return std::floor(config.link_rate_hz * double(end_ms) / 1000.0);
    };
    const uint64_t capacity = uint64_t(capacity_by(interval + 1) - capacity_by(interval));
    uint64_t wanted = 0;
    for (int c = 0; c < channels; ++c)
        wanted += run.wanted[size_t(c)];
    if (wanted <= capacity) {
        run.kept = run.wanted;
        run.share_owed.fill(0.0);
        return;
    }
    // Whole events of each share go out at once; the fractions are carried
    // over, so a channel keeps its share also when the link carries less than
    // an event per channel and interval.
    uint64_t kept = 0;
    for (int c = 0; c < channels; ++c) {
        const size_t i = size_t(c);
        run.share_owed[i] += double(run.wanted[i]) * double(capacity) / double(wanted);
        const double whole = std::floor(std::max(run.share_owed[i], 0.0));
        run.kept[i] = std::min(run.wanted[i], uint64_t(whole));
        kept += run.kept[i];
    }
    // What the rounding left goes, an event at a time, to the channel owed the
    // most that still has events (there is one: more are wanted than fit).
    while (kept < capacity) {
        size_t best = SimConfig::max_channels;
        for (size_t i = 0; i < size_t(channels); ++i) {
            if (run.kept[i] < run.wanted[i] && (best == SimConfig::max_channels ||
                                                run.share_owed[i] - double(run.kept[i]) >
                                                    run.share_owed[best] - double(run.kept[best])))
                best = i;
        }
        ++run.kept[best];
        ++kept;
    }
    // Bounded, so a channel that wanted less than its share for a while does
    // not leave the others owing it for long after.
    for (size_t i = 0; i < size_t(channels); ++i)
        run.share_owed[i] = std::clamp(run.share_owed[i] - double(run.kept[i]), -1.0, 1.0);
}

void SimDevice::drop(int channel, uint64_t count, SimRandom &rng) const {
    // Drawn all the same, so the channel's later events do not depend on
    // what the link dropped.
    const EventSource &source = sources[size_t(channel)];
    for (uint64_t i = 0; i < count; ++i)
        (void)source.draw(rng);
}

bool SimDevice::hand_over_interval(ExposureRun &run, uint64_t interval) {
    const int channels = config.channels;
    for (int c = 0; c < channels; ++c)
        run.wanted[size_t(c)] =
            due_by(run.total[size_t(c)], interval + 1, run.exposure.exposure_ms) -
            due_by(run.total[size_t(c)], interval, run.exposure.exposure_ms);
    limit_to_link(run, interval);

    const size_t block = buffer.size();
    for (int c = 0; c < channels; ++c) {
        SimRandom &rng = run.rngs[size_t(c)];
        uint64_t left = run.kept[size_t(c)];
        while (left > 0) {
            const uint64_t n = std::min<uint64_t>(left, block - run.fill);
            run.fill = generate(c, n, run.exposure, rng, run.fill);
            run.detected[size_t(c)] += n;
            left -= n;
            if (run.fill == block) {
                deliver_events(run.fill);
                run.fill = 0;
                if (interrupt_requested.load(std::memory_order_relaxed))
                    return false;
            }
        }
        const uint64_t dropped = run.wanted[size_t(c)] - run.kept[size_t(c)];
        drop(c, dropped, rng);
        run.detected[size_t(c)] += dropped;
        generated.fetch_add(dropped, std::memory_order_acq_rel);
    }
    return true;
}

void SimDevice::run_exposure(const Exposure &exposure) {
    using clock = std::chrono::steady_clock;
    const int channels = config.channels;

    deliver([](const PipeCallbacks &t) { t.start_of_meas(t.priv); });
    if (exposure.silent) {
        // Hung: no event, no end, not even when interrupted, until released.
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [this] { return stopping; });
        return;
    }

    // How many events each channel detects in this exposure is drawn up front;
    // they are then handed over as the exposure time passes.
    ExposureRun run(exposure);
    SimRandom counts_rng = SimRandom::stream(config.seed, exposure.index, 0xffff);
    run.rngs.reserve(size_t(channels));
    const double seconds = exposure.exposure_ms / 1000.0;
    for (int c = 0; c < channels; ++c) {
        const double mean = sources[size_t(c)].rate_hz() * exposure.rate_scale * seconds;
        run.total[size_t(c)] = sources[size_t(c)].silent() ? 0 : counts_rng.poisson(mean);
        run.rngs.push_back(SimRandom::stream(config.seed, exposure.index, uint64_t(c)));
    }
    run.intervals =
        (uint64_t(exposure.exposure_ms) + uint64_t(tick.count()) - 1) / uint64_t(tick.count());

    const auto t0 = clock::now();
    uint64_t next_interval = 0;
    bool interrupted = false;
    while (next_interval < run.intervals && !interrupted) {
        uint64_t due = run.intervals;
        if (config.realtime) {
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - t0);
            if (elapsed.count() < exposure.exposure_ms)
                due = std::min<uint64_t>(due, uint64_t(elapsed / tick));
        }
        for (; next_interval < due && !interrupted; ++next_interval)
            interrupted = !hand_over_interval(run, next_interval);
        deliver_events(run.fill);
        run.fill = 0;
        if (interrupted || next_interval >= run.intervals)
            break;
        // Sleep to the end of the next interval (the exposure's end at most).
        std::unique_lock<std::mutex> lock(mutex);
        const auto wake = std::min(t0 + tick * int64_t(next_interval + 1),
                                   t0 + std::chrono::milliseconds(exposure.exposure_ms));
        if (cv.wait_until(lock, wake, [this] { return interrupt_requested.load(); }))
            break;
    }

    PipeStatistics statistics{};
    for (int c = 0; c < channels; ++c)
        statistics.words[c] = uint32_t(std::min<uint64_t>(run.detected[size_t(c)], 0xffffffffu));
    deliver([&](const PipeCallbacks &t) { t.statistics(t.priv, &statistics); });
    {
        std::lock_guard<std::mutex> lock(mutex);
        state = State::Finishing;
    }
    deliver([](const PipeCallbacks &t) { t.end_of_meas(t.priv); });
}

void SimDevice::replay_exposure(const Exposure &exposure) {
    using clock = std::chrono::steady_clock;
    const ReplaySource::Exposure &recorded = replay->exposures()[exposure.replay_index];
    deliver([](const PipeCallbacks &t) { t.start_of_meas(t.priv); });

    const size_t block = buffer.size();
    std::vector<uint8_t> channel(block);
    std::vector<uint64_t> time(block);
    const auto t0 = clock::now();
    const double span_ms = config.realtime ? recorded.actual_ms : 0.0;
    uint64_t done = 0;
    bool interrupted = false;
    while (done < recorded.event_count && !interrupted) {
        const uint64_t n = std::min<uint64_t>(block, recorded.event_count - done);
        if (!replay->read(recorded.first_event + done, n, channel.data(), time.data()))
            break; // the file failed: the exposure ends with what was delivered
        for (uint64_t i = 0; i < n; ++i) {
            // The recorded times carry the corrections in force when they were
            // recorded; this device's own come on top, as a device adds them.
            const uint32_t ch = channel[i];
            const int64_t shift = ch < SimConfig::max_channels ? exposure.corrections[ch] : 0;
            const uint64_t t = time[i];
            buffer[i].channel = ch;
            buffer[i].time = shift < 0 && t < uint64_t(-shift) ? 0 : t + uint64_t(shift);
        }
        done += n;
        if (span_ms > 0.0) {
            // Each block is handed over when its share of the recorded time has passed.
            const auto due =
                t0 + std::chrono::microseconds(
                         int64_t(span_ms * 1000.0 * double(done) / double(recorded.event_count)));
            std::unique_lock<std::mutex> lock(mutex);
            interrupted = cv.wait_until(lock, due, [this] { return interrupt_requested.load(); });
            if (interrupted)
                break;
        }
        deliver_events(size_t(n));
        interrupted = interrupt_requested.load(std::memory_order_relaxed);
    }
    if (recorded.event_count == 0 && span_ms > 0.0) {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_until(lock, t0 + std::chrono::microseconds(int64_t(span_ms * 1000.0)),
                      [this] { return interrupt_requested.load(); });
    }

    PipeStatistics statistics{};
    for (size_t c = 0; c < SimConfig::max_channels; ++c)
        statistics.words[c] = uint32_t(std::min<uint64_t>(recorded.device_counts[c], 0xffffffffu));
    deliver([&](const PipeCallbacks &t) { t.statistics(t.priv, &statistics); });
    {
        std::lock_guard<std::mutex> lock(mutex);
        state = State::Finishing;
    }
    deliver([](const PipeCallbacks &t) { t.end_of_meas(t.priv); });
}
