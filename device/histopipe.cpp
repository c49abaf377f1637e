#include "device/histopipe.h"

#include "device/histogeometry.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {

constexpr HistoParams initial_params{0.0, 1000.0, 1.0, 0, 0};

HistoStats reset_values() {
    return HistoStats{0, ~uint64_t(0), 0, 0, 0, 0};
}

// Truncates toward zero like a conversion to int64, with negative quotients
// kept as their two's complement and quotients from 2^63 up to below 2^64
// converted as unsigned. Anything else (not finite, out of range) gives 0 so
// that a nonsensical offset never reaches the event path as undefined data.
uint64_t truncate_to_bins(double quotient) {
    if (!std::isfinite(quotient))
        return 0;
    const double two63 = 9223372036854775808.0;
    if (quotient >= -two63 && quotient < two63)
        return static_cast<uint64_t>(static_cast<int64_t>(quotient));
    if (quotient >= two63 && quotient < 2.0 * two63)
        return static_cast<uint64_t>(quotient);
    return 0;
}

// Sizes a channel's histogram to nbins zeros. Large histograms are read at
// random addresses for every event; backing them with huge pages keeps the
// address translations of the whole array in the TLB. The hint is given
// before the zeros are written, so the pages are huge from the first fault.
template <typename T> void allocate_bins(std::vector<T> &bins, uint64_t nbins) {
    bins.reserve(nbins);
#ifdef __linux__
    constexpr uintptr_t huge_page = uintptr_t(2) << 20;
    const uintptr_t begin = reinterpret_cast<uintptr_t>(bins.data());
    const uintptr_t end = begin + nbins * sizeof(T);
    const uintptr_t first = (begin + huge_page - 1) & ~(huge_page - 1);
    const uintptr_t last = end & ~(huge_page - 1);
    if (last > first)
        madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#endif
    bins.resize(nbins, T(0));
}

bool same_params(const HistoParams &a, const HistoParams &b) {
    return a.start == b.start && a.size == b.size && a.binsize == b.binsize &&
           a.binning == b.binning && a.channels == b.channels;
}

// Bin count used only to decide whether a rebuild is needed; records whose
// count cannot be computed all compare as the same invalid count.
uint64_t nbins_or_invalid(const HistoParams &params) {
    uint64_t n = 0;
    return HistoPipe::compute_nbins(params, n) ? n : ~uint64_t(0);
}

} // namespace

HistoPipe::HistoPipe()
    : priv(this), pending(initial_params), active(initial_params), stats(reset_values()),
      statistics(new PipeStatistics()) {
    use_spare_counters();
}

HistoPipe::~HistoPipe() = default;

bool HistoPipe::compute_nbins(const HistoParams &params, uint64_t &nbins) {
    return HistoGeometry::compute_nbins(params, nbins);
}

void HistoPipe::set_device(int32_t dev) {
    device = dev;
}

bool HistoPipe::set_pipe_open(bool open) {
    if (open == pipe_open)
        return open;
    if (device < 0)
        return pipe_open;
    if (!open) {
        close_pipe();
        pipe_open = false;
        return false;
    }
    if (pipe_device >= 0)
        return pipe_open;

    PipeCallbacks callbacks{};
    callbacks.priv = priv;
    callbacks.start_of_meas = &HistoPipe::on_start_of_meas;
    callbacks.end_of_meas = &HistoPipe::on_end_of_meas;
    callbacks.slot3 = &HistoPipe::on_nothing;
    callbacks.statistics = &HistoPipe::on_statistics;
    callbacks.events = &HistoPipe::on_tdc_events;
    callbacks.slot6 = &HistoPipe::on_nothing;
    PipeCallbackArgs args{&callbacks};

    pipe_device = device;
    const int r = ox_pipe_open2(device, OX_PIPE_TYPE_USER_CALLBACKS, &args);
    pipe_open_result = r;
    if (r >= 0) {
        pipe_id = r;
        pipe_open = true;
        return true;
    }
    // A failed open holds no pipe, so a later open may try again.
    pipe_device = -1;
    return pipe_open;
}

int32_t HistoPipe::close_pipe() {
    if (pipe_device < 0 || pipe_id < 0)
        return -1;
    const int r = ox_pipe_close2(pipe_device, pipe_id);
    pipe_device = -1;
    pipe_id = -1;
    return r;
}

void HistoPipe::forget_pipe() {
    pipe_device = -1;
    pipe_id = -1;
    pipe_open = false;
}

void HistoPipe::set_params(const HistoParams &params) {
    std::lock_guard<std::mutex> lock(params_mutex);
    if (params.channels != pending.channels ||
        nbins_or_invalid(params) != nbins_or_invalid(pending))
        needs_resize = true;
    if (same_params(params, pending))
        return;
    pending = params;
    params_pending = true;
}

const HistoParams *HistoPipe::get_params() const {
    return &pending;
}

HistoParams HistoPipe::get_active_params() const {
    std::lock_guard<std::mutex> lock(params_mutex);
    return active;
}

void HistoPipe::request_clear(bool histograms, bool statistics) {
    std::lock_guard<std::mutex> lock(params_mutex);
    clear_histos_requested = histograms;
    reset_stats_requested = statistics;
}

const HistoStats *HistoPipe::get_stats() const {
    return &stats;
}

// The counts not yet added belong to the statistics being reset (and to the
// histograms being cleared): they are added first.
void HistoPipe::reset_stats() {
    fold_counts();
    stats = reset_values();
}

const std::vector<double> *HistoPipe::get_channel_histo(uint32_t channel) const {
    if (channel >= active.channels || !histos)
        return nullptr;
    return &histos[channel];
}

void HistoPipe::clear_histos() {
    fold_counts();
    if (!histos)
        return;
    for (uint32_t c = 0; c < active.channels; ++c)
        std::fill(histos[c].begin(), histos[c].end(), 0.0);
}

const PipeStatistics *HistoPipe::get_pipe_statistics() const {
    return statistics.get();
}

ChannelCounts HistoPipe::get_device_counts() const {
    ChannelCounts counts{};
    for (uint32_t c = 0; c < channel_count; ++c)
        counts[c] = statistics->words[c];
    return counts;
}

void HistoPipe::set_end_of_meas_action(std::function<void(uint64_t)> action) {
    end_of_meas_action = std::move(action);
}

void HistoPipe::on_start_of_meas(void *priv) {
    auto *self = static_cast<HistoPipe *>(priv);
    // Events after the last end (or an exposure that never ended) are added
    // to the exposure they came in, before its deliveries are forgotten.
    self->fold_counts();
    // Each exposure counts its deliveries from zero; like the clearing
    // requested for it, this happens before its first event.
    self->delivered.fill(0);
    self->delivered_running.store(0, std::memory_order_relaxed);
    std::memset(self->statistics.get(), 0, sizeof(PipeStatistics));
    self->block_arrived = false;
    self->exposure_open = true;
    const uint64_t number = self->starts.fetch_add(1, std::memory_order_acq_rel) + 1;
    self->queue = self->queue_request.load(std::memory_order_acquire);
    if (self->queue)
        self->queue->begin_exposure(number);
    try {
        self->apply_pending_params();
    } catch (const std::system_error &) {
        // The mutex could not be taken: the parameters stay pending and are
        // applied at the next start of a measurement.
    }
}

void HistoPipe::apply_pending_params() {
    std::lock_guard<std::mutex> lock(params_mutex);
    bool rebuilt = false;
    // Histograms that could not be allocated are tried again at every start,
    // so freed memory or a smaller window is taken up without a field edit.
    if (histo_alloc_failed)
        params_pending = needs_resize = true;
    if (params_pending) {
        active = pending;
        start_bins = truncate_to_bins(active.start / active.binsize);
        if (needs_resize) {
            rebuild_histos();
            needs_resize = false;
            rebuilt = true;
        }
        params_pending = false;
    }
    apply_clear_request(rebuilt);
}

// Runs under the parameter lock at the start of a measurement, before its
// first event. Freshly rebuilt histograms are zeros already.
void HistoPipe::apply_clear_request(bool rebuilt) {
    if (clear_histos_requested && !rebuilt)
        clear_histos();
    if (reset_stats_requested)
        reset_stats();
    clear_histos_requested = false;
    reset_stats_requested = false;
}

// Runs on the library's thread: nothing may throw out of it. When the bins
// cannot be counted or allocated, every channel gets an empty histogram, so
// the event path drops all events into no bin and the readers see no data.
void HistoPipe::rebuild_histos() {
    // The histograms (and the plot's buffers) of the old size are given back.
    uint64_t total = 0, longest = 0;
    for (const ChannelView &view : views) {
        total += view.size;
        longest = std::max(longest, view.size);
    }
    const double held = HistoGeometry::footprint_of(total, longest, views.size());
    generation.fetch_add(1, std::memory_order_acq_rel);
    histos.reset();
    views.clear();
    use_spare_counters();
    std::vector<uint32_t>().swap(counts);
    std::vector<CountSlot>().swap(channel_slots);
    std::vector<uint32_t>().swap(staged);
    std::vector<uint32_t>().swap(staged_fill);
    histo_alloc_failed = false;
    prefetch_bins = false;

    const uint32_t channels = active.channels;
    const HistoGeometry geometry(active);
    const double budget = HistoGeometry::memory_budget(held);
    const uint64_t nbins = geometry.bins();
    const bool countable = geometry.countable() && geometry.footprint_bytes() <= budget;
    if (double(channels) * sizeof(std::vector<double>) > budget) {
        // Not even the empty per-channel arrays fit: no histograms at all.
        histo_alloc_failed = true;
        params_pending = false;
        return;
    }
    try {
        std::unique_ptr<std::vector<double>[]> fresh(new std::vector<double>[channels]);
        views.reserve(channels);
        if (countable) {
            for (uint32_t c = 0; c < channels; ++c)
                allocate_bins(fresh[c], nbins);
        }
        histos = std::move(fresh);
        for (uint32_t c = 0; c < channels; ++c)
            views.push_back(ChannelView{histos[c].data(), histos[c].size()});
        build_counters();
        histo_alloc_failed = !countable && channels > 0;
    } catch (const std::exception &) {
        histo_alloc_failed = true;
        histos.reset();
        views.clear();
        use_spare_counters();
        std::vector<uint32_t>().swap(counts);
        std::vector<CountSlot>().swap(channel_slots);
        std::vector<uint32_t>().swap(staged);
        std::vector<uint32_t>().swap(staged_fill);
        try {
            histos.reset(new std::vector<double>[channels]);
            views.assign(channels, ChannelView{nullptr, 0});
        } catch (const std::exception &) {
            histos.reset();
            views.clear();
        }
    }
    // Counters that do not fit in the core's own cache are fetched ahead of
    // their events.
    const uint64_t total_bytes = uint64_t(channels) * (countable ? nbins : 0) * sizeof(uint32_t);
    prefetch_bins = !histo_alloc_failed && total_bytes > (uint64_t(1) << 20);
    params_pending = false;
}

// Lays the counters out channel after channel, each followed by the counter
// of its events outside the window, then those of the channels without a
// histogram. May throw std::bad_alloc; the spares stay in use then.
void HistoPipe::build_counters() {
    uint64_t total = 0;
    for (const ChannelView &view : views)
        total += view.size;
    const uint64_t table_size = HistoGeometry::counter_channels(views.size());
    std::vector<CountSlot> table;
    table.reserve(table_size);
    uint64_t offset = 0;
    for (const ChannelView &view : views) {
        table.push_back(CountSlot{offset, view.size});
        offset += view.size + 1;
    }
    while (table.size() < table_size)
        table.push_back(CountSlot{offset++, 0});
    const uint64_t slot_count = HistoGeometry::counter_slots(total, views.size());
    const uint64_t ranges = HistoGeometry::staging_ranges(slot_count);
    allocate_bins(counts, slot_count);
    allocate_bins(staged, ranges * HistoGeometry::staging_capacity);
    staged_fill.assign(ranges, 0);
    channel_slots = std::move(table);
    slot_table = channel_slots.data();
    count_base = counts.data();
    slot_last = static_cast<uint32_t>(channel_slots.size() - 1);
}

// No histograms: every event is counted only per channel.
void HistoPipe::use_spare_counters() {
    for (uint32_t c = 0; c < spare_slots; ++c)
        spare_table[c] = CountSlot{c, 0};
    spare_counts.fill(0);
    slot_table = spare_table.data();
    count_base = spare_counts.data();
    slot_last = spare_slots - 1;
}

void HistoPipe::on_end_of_meas(void *priv) {
    auto *self = static_cast<HistoPipe *>(priv);
    const uint64_t number =
        self->exposure_open ? self->starts.load(std::memory_order_relaxed) : uint64_t(0);
    // The histograms, the fullest bin, the channel mask and the deliveries are
    // complete before anyone is told the exposure ended.
    self->fold_counts();
    // The end goes to the queue before the exposure is announced, so a
    // consumer told of the exposure finds its end in the queue already.
    if (self->queue && self->exposure_open)
        self->queue->end_exposure();
    self->exposure_open = false;
    try {
        self->end_of_meas_action(number);
    } catch (const std::bad_function_call &) {
        // No action installed: nothing to announce.
    } catch (...) {
        // An exception must not unwind through the library's frames.
    }
}

void HistoPipe::on_statistics(void *priv, const PipeStatistics *block) {
    if (block == nullptr)
        return;
    auto *self = static_cast<HistoPipe *>(priv);
    std::memcpy(self->statistics.get(), block, sizeof(PipeStatistics));
    self->block_arrived = true;
}

void HistoPipe::on_tdc_events(void *priv, const TdcEvent *events, size_t count) {
    if (events == nullptr)
        return;
    auto *self = static_cast<HistoPipe *>(priv);
    if (self->queue)
        self->queue->push(events, count);
    self->accumulate(events, count);
}

void HistoPipe::on_nothing() {}

// Events are counted in blocks that keep every counter below 2^32: no counter
// can exceed the events counted since the last fold, which stay at most
// `fold_limit`.
void HistoPipe::accumulate(const TdcEvent *events, size_t count) {
    while (count > 0) {
        if (unfolded >= fold_limit)
            fold_counts();
        const size_t n = static_cast<size_t>(std::min<uint64_t>(count, fold_limit - unfolded));
        if (!staged_fill.empty())
            accumulate_impl<Reach::staged>(events, n);
        else if (prefetch_bins)
            accumulate_impl<Reach::prefetched>(events, n);
        else
            accumulate_impl<Reach::direct>(events, n);
        unfolded += n;
        events += n;
        count -= n;
    }
}

template <HistoPipe::Reach How>
void HistoPipe::accumulate_impl(const TdcEvent *events, size_t count) {
    uint64_t sum = stats.sum_time, lowest = stats.min_time, highest = stats.max_time;
    const CountSlot *table = slot_table;
    uint32_t *const base = count_base;
    uint32_t *const stage = staged.data();
    uint32_t *const fill = staged_fill.data();
    const uint32_t last = slot_last;
    const uint64_t start = start_bins;
    const uint32_t shift = active.binning % 64;
    constexpr size_t prefetch_distance = 24;
    constexpr size_t event_distance = 96;
    constexpr uint32_t range_shift = HistoGeometry::staging_range_shift;
    constexpr uint32_t capacity = HistoGeometry::staging_capacity;

    // Without a branch: a channel beyond the table takes the last entry, an
    // index beyond the channel's bins (an early event wraps far out) its
    // counter after them.
    auto counter = [&](const TdcEvent &e) {
        const CountSlot &slot = table[std::min(e.channel, last)];
        return slot.offset + std::min((e.time - start) >> shift, slot.size);
    };
    auto one = [&](const TdcEvent &e) {
        const uint64_t t = e.time;
        sum += t;
        lowest = std::min(lowest, t);
        highest = std::max(highest, t);
        const uint64_t n = counter(e);
        if (How != Reach::staged) {
            base[n] += 1;
            return;
        }
        // Fewer than 2^32 counters are staged, so the number fits.
        const uint32_t range = static_cast<uint32_t>(n >> range_shift);
        const uint32_t held = fill[range];
        stage[uint64_t(range) * capacity + held] = static_cast<uint32_t>(n);
        if (held + 1 < capacity) {
            fill[range] = held + 1;
        } else {
            count_staged(range, capacity);
            fill[range] = 0;
        }
    };

    size_t i = 0;
    if (How == Reach::prefetched) {
        // Written out here rather than in a helper: the compiler deletes a
        // call whose only effect is a prefetch.
        for (; i + prefetch_distance < count; ++i) {
            __builtin_prefetch(base + counter(events[i + prefetch_distance]), 1, 3);
            __builtin_prefetch(events + i + event_distance, 0, 3);
            one(events[i]);
        }
    }
    const size_t whole = i + (count - i) / 4 * 4;
    for (; i < whole; i += 4) {
        // The events are read well ahead, since the hardware's prefetcher
        // stops at page boundaries; three lines per four events of 40 bytes
        // leave no line out.
        const char *ahead = reinterpret_cast<const char *>(events + i + event_distance);
        __builtin_prefetch(ahead, 0, 3);
        __builtin_prefetch(ahead + 64, 0, 3);
        __builtin_prefetch(ahead + 128, 0, 3);
        one(events[i]);
        one(events[i + 1]);
        one(events[i + 2]);
        one(events[i + 3]);
    }
    for (; i < count; ++i)
        one(events[i]);

    stats.sum_time = sum;
    stats.min_time = lowest;
    stats.max_time = highest;
    stats.nr_events += count;
    // Only this thread writes the count, so a load and a store suffice.
    delivered_running.store(delivered_running.load(std::memory_order_relaxed) + count,
                            std::memory_order_relaxed);
}

// Counts the first `entries` numbers of a range's staging buffer; they all
// fall in the same 1 MiB of counters.
void HistoPipe::count_staged(uint32_t range, uint32_t entries) {
    constexpr size_t prefetch_distance = 16;
    uint32_t *const base = count_base;
    const uint32_t *const numbers =
        staged.data() + uint64_t(range) * HistoGeometry::staging_capacity;
    uint32_t k = 0;
    for (; k + prefetch_distance < entries; ++k) {
        __builtin_prefetch(base + numbers[k + prefetch_distance], 1, 3);
        base[numbers[k]] += 1;
    }
    for (; k < entries; ++k)
        base[numbers[k]] += 1;
}

namespace {

// Adds one channel's counters to its bins, zeroes them and returns their sum;
// `fullest` rises to the largest bin a counter was added to. Without a branch
// per bin (how many bins were hit varies from fold to fold), and groups of
// counters all zero, frequent in sparse histograms, are passed over.
uint64_t fold_channel(uint32_t *counts, double *bins, uint64_t size, double &fullest) {
    constexpr uint64_t group = 8;
    uint64_t binned = 0;
    // One maximum per position in a group: independent chains, which the
    // compiler may also run side by side in vector registers.
    double top[group] = {};
    auto add = [&](uint64_t first, uint64_t end) {
        for (uint64_t i = first; i < end; ++i) {
            const uint32_t k = counts[i];
            const double value = bins[i] + double(k);
            bins[i] = value;
            binned += k;
            const double reached = k != 0 ? value : 0.0;
            double &lane = top[i % group];
            lane = lane < reached ? reached : lane;
        }
    };
    uint64_t i = 0;
    for (; i + group <= size; i += group) {
        uint64_t words[group / 2];
        std::memcpy(words, counts + i, sizeof(words));
        if ((words[0] | words[1] | words[2] | words[3]) == 0)
            continue;
        add(i, i + group);
        std::memset(counts + i, 0, group * sizeof(uint32_t));
    }
    add(i, size);
    std::fill(counts + i, counts + size, 0u);
    for (double lane : top)
        fullest = std::max(fullest, lane);
    return binned;
}

} // namespace

// Adds the counters to the histograms and zeroes them. A bin's content only
// grows between folds (clearing and rebuilding fold first), so the largest
// content any increment reached is the largest a counted bin holds now; a
// bin left uncounted since the last fold reached nothing new.
void HistoPipe::fold_counts() {
    if (unfolded == 0)
        return;
    for (uint32_t range = 0; range < staged_fill.size(); ++range) {
        count_staged(range, staged_fill[range]);
        staged_fill[range] = 0;
    }
    // Bins hold whole numbers, so the fullest can be compared as a double.
    double fullest = static_cast<double>(stats.max_count);
    uint32_t mask = stats.channel_mask;
    for (uint32_t c = 0; c <= slot_last; ++c) {
        const CountSlot slot = slot_table[c];
        uint32_t *const n = count_base + slot.offset;
        uint64_t binned = 0;
        if (c < views.size())
            binned = fold_channel(n, views[c].bins, slot.size, fullest);
        if (binned != 0)
            mask |= uint32_t(1) << (c % 32);
        if (c < channel_count)
            delivered[c] += binned + n[slot.size];
        n[slot.size] = 0;
    }
    stats.max_count = static_cast<uint64_t>(fullest);
    stats.channel_mask = mask;
    unfolded = 0;
}
