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

// A set of `channels` arrays of nbins zeros each; false, with `set` empty,
// when the memory cannot be had.
template <typename T>
bool allocate_set(std::unique_ptr<std::vector<T>[]> &set, uint32_t channels, uint64_t nbins) {
    set.reset();
    try {
        std::unique_ptr<std::vector<T>[]> fresh(new std::vector<T>[channels]);
        for (uint32_t c = 0; c < channels; ++c)
            allocate_bins(fresh[c], nbins);
        set = std::move(fresh);
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

// Adds a set's tallies to its bins and clears them; returns the fullest bin
// among those a tally was added to. Without a branch per bin (which bins were
// hit is random): whole non-negative doubles order like their bit patterns,
// and an untouched bin's pattern is masked to 0.
double fold_tallies(std::vector<double> *bins, std::vector<uint8_t> *tallies, uint32_t channels) {
    uint64_t top = 0;
    for (uint32_t c = 0; c < channels; ++c) {
        double *const b = bins[c].data();
        uint8_t *const t = tallies[c].data();
        const size_t n = std::min(bins[c].size(), tallies[c].size());
        for (size_t i = 0; i < n; ++i) {
            const uint8_t tally = t[i];
            const double value = b[i] + double(tally);
            b[i] = value;
            t[i] = 0;
            uint64_t pattern;
            std::memcpy(&pattern, &value, sizeof pattern);
            pattern &= uint64_t(0) - uint64_t(tally != 0);
            top = pattern > top ? pattern : top;
        }
    }
    double fullest;
    std::memcpy(&fullest, &top, sizeof fullest);
    return fullest;
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
      statistics(new PipeStatistics()) {}

HistoPipe::~HistoPipe() = default;

bool HistoPipe::compute_nbins(const HistoParams &params, uint64_t &nbins) {
    return HistoGeometry::compute_nbins(params, nbins);
}

// Histograms beyond the caches are tallied: the same bins at an eighth of
// the bytes stay in the caches far longer.
bool HistoPipe::tallied_size(uint64_t total_bytes) {
    return total_bytes > (uint64_t(4) << 20);
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

void HistoPipe::reset_stats() {
    stats = reset_values();
}

const std::vector<double> *HistoPipe::get_channel_histo(uint32_t channel) const {
    if (channel >= active.channels || !histos)
        return nullptr;
    return &histos[channel];
}

void HistoPipe::clear_histos() {
    if (!histos)
        return;
    for (uint32_t c = 0; c < active.channels; ++c) {
        std::fill(histos[c].begin(), histos[c].end(), 0.0);
        if (tallies)
            std::fill(tallies[c].begin(), tallies[c].end(), uint8_t(0));
    }
    live_tallied = false;
}

void HistoPipe::fold_live() {
    if (!tallies || !histos || !live_tallied)
        return;
    live_tallied = false;
    const double top = fold_tallies(histos.get(), tallies.get(), uint32_t(views.size()));
    stats.max_count = std::max(stats.max_count, static_cast<uint64_t>(top));
}

uint64_t HistoPipe::fold_held() {
    if (!held_tallies || !held)
        return 0;
    return static_cast<uint64_t>(fold_tallies(held.get(), held_tallies.get(), held_channels));
}

void HistoPipe::raise_max_count(uint64_t count) {
    stats.max_count = std::max(stats.max_count, count);
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

bool HistoPipe::held_matches_live() const {
    if (!held || held_channels != views.size() || bool(held_tallies) != bool(tallies))
        return false;
    for (uint32_t c = 0; c < held_channels; ++c)
        if (held[c].size() != views[c].size)
            return false;
    return true;
}

// The held and the spare set are made for the first run that can go on
// after an exposure (or at the first hold), so a program that never overlaps
// exposures never pays for them; the budget counts them all the same. The
// spare set is a convenience: without it the live set is cleared at the
// start of a measurement, as it is without holds.
bool HistoPipe::allocate_held(uint32_t channels, uint64_t nbins_of_each, bool tallied) {
    // Records that point into the old set learn that it is gone.
    if (held)
        generation.fetch_add(1, std::memory_order_acq_rel);
    held.reset();
    spare.reset();
    held_tallies.reset();
    spare_tallies.reset();
    held_channels = 0;
    spare_dirty = false;
    if (!allocate_set(held, channels, nbins_of_each) ||
        (tallied && !allocate_set(held_tallies, channels, nbins_of_each))) {
        held.reset();
        return false;
    }
    held_channels = channels;
    if (allocate_set(spare, channels, nbins_of_each) && tallied &&
        !allocate_set(spare_tallies, channels, nbins_of_each))
        spare.reset();
    return true;
}

// Every live channel has the same size (or none, when they could not be
// allocated, which no hold follows).
bool HistoPipe::allocate_held_like_live() {
    return allocate_held(static_cast<uint32_t>(views.size()), views.empty() ? 0 : views[0].size,
                         bool(tallies));
}

void HistoPipe::prepare_hold_for(const HistoParams &params) {
    const HistoGeometry geometry(params);
    if (!geometry.countable() || geometry.footprint_bytes() > HistoGeometry::memory_budget(0.0))
        return;
    const uint64_t nbins = geometry.bins();
    bool same = held && held_channels == params.channels;
    for (uint32_t c = 0; same && c < held_channels; ++c)
        same = held[c].size() == nbins;
    if (!same)
        allocate_held(params.channels, nbins,
                      tallied_size(uint64_t(params.channels) * nbins * sizeof(double)));
}

bool HistoPipe::prepare_hold() {
    if (histo_alloc_failed || !histos || views.empty())
        return false;
    return held_matches_live() || allocate_held_like_live();
}

void HistoPipe::point_views_at_live() {
    for (uint32_t c = 0; c < held_channels; ++c) {
        views[c].bins = histos[c].data();
        views[c].tally = tallies ? tallies[c].data() : nullptr;
    }
}

void HistoPipe::set_live_cleared(bool cleared) {
    std::lock_guard<std::mutex> lock(params_mutex);
    live_cleared = cleared;
}

bool HistoPipe::hold_completed(bool next_clears) {
    hold_kind = HoldKind::None;
    if (!prepare_hold())
        return false;
    // The vectors change owner, not address: what was handed out of the live
    // set is now held. The next exposure fills the spare set when it is
    // clear (the old held set becomes the spare, cleared while the device
    // measures), or else the old held set, cleared at its start.
    if (next_clears && spare && !spare_dirty) {
        std::swap(held, histos);
        std::swap(histos, spare);
        std::swap(held_tallies, tallies);
        std::swap(tallies, spare_tallies);
        spare_dirty = true;
        point_views_at_live();
        set_live_cleared(true);
        live_tallied = false; // the held set keeps its tallies for fold_held
        hold_kind = HoldKind::Rotated;
    } else if (next_clears) {
        histos.swap(held);
        tallies.swap(held_tallies);
        point_views_at_live();
        live_tallied = false;
        hold_kind = HoldKind::Exchanged;
    } else {
        // The sum goes on in the live set: its tallies are added first.
        fold_live();
        for (uint32_t c = 0; c < held_channels; ++c)
            std::copy(histos[c].begin(), histos[c].end(), held[c].begin());
        hold_kind = HoldKind::Copied;
    }
    generation.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

void HistoPipe::release_hold() {
    if (hold_kind == HoldKind::Rotated) {
        // The live set got no event: it goes back to being the clear spare.
        std::swap(histos, spare);
        std::swap(held, histos);
        std::swap(tallies, spare_tallies);
        std::swap(held_tallies, tallies);
        spare_dirty = false;
        set_live_cleared(false);
    } else if (hold_kind == HoldKind::Exchanged) {
        histos.swap(held);
        tallies.swap(held_tallies);
    }
    if (hold_kind == HoldKind::Rotated || hold_kind == HoldKind::Exchanged) {
        point_views_at_live();
        live_tallied = true; // the completed tallies are live again, maybe unfolded
    }
    hold_kind = HoldKind::None;
}

void HistoPipe::clear_spare() {
    if (!spare || !spare_dirty)
        return;
    for (uint32_t c = 0; c < held_channels; ++c) {
        std::fill(spare[c].begin(), spare[c].end(), 0.0);
        if (spare_tallies)
            std::fill(spare_tallies[c].begin(), spare_tallies[c].end(), uint8_t(0));
    }
    spare_dirty = false;
}

const std::vector<double> *HistoPipe::get_held_histo(uint32_t channel) const {
    if (channel >= held_channels || !held)
        return nullptr;
    return &held[channel];
}

void HistoPipe::set_end_of_meas_action(std::function<void(uint64_t)> action) {
    end_of_meas_action = std::move(action);
}

void HistoPipe::on_start_of_meas(void *priv) {
    auto *self = static_cast<HistoPipe *>(priv);
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
    if (clear_histos_requested && !rebuilt && !live_cleared)
        clear_histos();
    live_cleared = false;
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
    const double held = HistoGeometry::footprint_of(total, longest);
    generation.fetch_add(1, std::memory_order_acq_rel);
    histos.reset();
    tallies.reset();
    views.clear();
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
        // Without memory for the tallies the bins are counted directly.
        if (countable && tallied_size(uint64_t(channels) * nbins * sizeof(double)))
            allocate_set(tallies, channels, nbins);
        for (uint32_t c = 0; c < channels; ++c)
            views.push_back(ChannelView{histos[c].data(), histos[c].size(),
                                        tallies ? tallies[c].data() : nullptr});
        histo_alloc_failed = !countable && channels > 0;
    } catch (const std::exception &) {
        histo_alloc_failed = true;
        histos.reset();
        tallies.reset();
        views.clear();
        try {
            histos.reset(new std::vector<double>[channels]);
            views.assign(channels, ChannelView{nullptr, 0, nullptr});
        } catch (const std::exception &) {
            histos.reset();
            views.clear();
        }
    }
    // Bins that do not fit in the caches are fetched ahead of their events.
    const uint64_t total_bytes = uint64_t(channels) * (countable ? nbins : 0) * sizeof(double);
    prefetch_bins = !histo_alloc_failed && tallied_size(total_bytes);
    params_pending = false;
}

void HistoPipe::on_end_of_meas(void *priv) {
    auto *self = static_cast<HistoPipe *>(priv);
    const uint64_t number =
        self->exposure_open ? self->starts.load(std::memory_order_relaxed) : uint64_t(0);
    // The end goes to the queue before the exposure is announced, so a
    // consumer told of the exposure finds its end in the queue already.
    if (self->queue && self->exposure_open)
        self->queue->end_exposure();
    self->exposure_open = false;
    // The last exposure of a run is folded here, before it is announced: no
    // exposure waits for it, and the window gets the record whole.
    if (self->fold_at_end.exchange(false, std::memory_order_acq_rel))
        self->fold_live();
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

void HistoPipe::accumulate(const TdcEvent *events, size_t count) {
    if (tallies) {
        live_tallied = true;
        accumulate_reach<Reach::tallied>(events, count);
    } else if (prefetch_bins)
        accumulate_reach<Reach::prefetched>(events, count);
    else
        accumulate_reach<Reach::direct>(events, count);
}

template <HistoPipe::Reach How>
void HistoPipe::accumulate_reach(const TdcEvent *events, size_t count) {
    // More than 32 histograms share bits of the channel mask and slots of the
    // binned counts; that rare case takes the variant that tells them apart.
    // Without binning (the default) the event path needs no shift.
    if (views.size() > 32)
        accumulate_impl<How, true, true>(events, count);
    else if (active.binning % 64 != 0)
        accumulate_impl<How, false, true>(events, count);
    else
        accumulate_impl<How, false, false>(events, count);
}

namespace {

// The time statistics kept in registers for one callback and written back at
// its end; the library's thread is the only writer while a measurement runs.
struct LocalStats {
    uint64_t max_time, min_time, sum_time;
};

} // namespace

template <HistoPipe::Reach How, bool Wide, bool Binned>
void HistoPipe::accumulate_impl(const TdcEvent *events, size_t count) {
    constexpr bool Prefetch = How != Reach::direct;
    LocalStats s{stats.max_time, stats.min_time, stats.sum_time};
    // Counting every delivery per channel costs the event path no more than
    // the channel mask did: an event that lands in a bin is counted in slot
    // channel % 32 (the slot's count being non-zero is the mask's bit), one
    // that misses every bin in `missed` (channels from 16 on share slot 16).
    // `aliased` takes the channels from 32 on out of the slots again.
    uint64_t binned[32] = {};
    uint64_t aliased[32] = {};
    uint64_t missed[17] = {};
    const ChannelView *table = views.data();
    const uint32_t channels = static_cast<uint32_t>(views.size());
    // Prefetching needs a channel with bins; without one there is none.
    const uint32_t last_channel = channels - 1;
    const uint64_t start = start_bins;
    const uint32_t shift = Binned ? active.binning % 64 : 0;
    constexpr size_t prefetch_distance = 32;
    // The times seen lie in [min_time, min_time + span]; before any event
    // the first event of this callback sets both extremes.
    if (count > 0 && s.min_time > s.max_time)
        s.min_time = s.max_time = events[0].time;
    uint64_t span = s.max_time - s.min_time;
    // Bins only ever hold whole numbers (cleared to 0.0, then raised by 1.0),
    // so truncating a bin to an integer is exact and the fullest bin can be
    // compared as a double, converted once at the end of the callback. Each
    // of the four events of a step keeps its own maximum: one running maximum
    // would chain every event to the last by the comparison's latency.
    const double fullest_before = static_cast<double>(stats.max_count);
    double top0 = fullest_before, top1 = fullest_before, top2 = fullest_before,
           top3 = fullest_before;
    // Up to 32 histograms, the bins, sizes and tallies are looked up in
    // arrays of their own, which an instruction indexes by channel directly.
    double *bins_of[32];
    uint64_t size_of[32];
    uint8_t *tally_of[32];
    if (!Wide)
        for (uint32_t c = 0; c < channels; ++c) {
            bins_of[c] = table[c].bins;
            size_of[c] = table[c].size;
            tally_of[c] = table[c].tally;
        }
    auto size_at = [&](uint32_t ch) { return Wide ? table[ch].size : size_of[ch]; };
    auto bins_at = [&](uint32_t ch) { return Wide ? table[ch].bins : bins_of[ch]; };
    auto tally_at = [&](uint32_t ch) { return Wide ? table[ch].tally : tally_of[ch]; };

    // Inlined by force: a call per event costs more than the event.
    auto one = [&](const TdcEvent &e, double &top) __attribute__((always_inline)) {
        const uint64_t t = e.time;
        s.sum_time += t;
        // One comparison for both extremes, as a branch that is rarely
        // taken once the first events have set them.
        if (__builtin_expect(t - s.min_time > span, 0)) {
            s.min_time = std::min(s.min_time, t);
            s.max_time = std::max(s.max_time, t);
            span = s.max_time - s.min_time;
        }
        const uint32_t ch = e.channel;
        if (ch >= channels) {
            missed[ch < 16 ? ch : 16] += 1;
            return;
        }
        const uint64_t idx = (t - start) >> shift;
        if (idx >= size_at(ch)) {
            missed[ch < 16 ? ch : 16] += 1;
            return;
        }
        double *const bins = bins_at(ch);
        if (How == Reach::tallied) {
            // The fold finds the fullest bin among those tallied; a bin whose
            // tally wrapped to 0 is looked at here.
            uint8_t *const tallies = tally_at(ch);
            if (__builtin_expect(++tallies[idx] == 0, 0)) {
                const double value = bins[idx] + 256.0;
                bins[idx] = value;
                top = top > value ? top : value;
            }
        } else {
            const double value = bins[idx] + 1.0;
            bins[idx] = value;
            top = top > value ? top : value;
        }
        binned[Wide ? ch % 32 : ch] += 1;
        if (Wide && ch >= 32)
            aliased[ch % 32] += 1;
    };

    size_t i = 0;
    constexpr size_t step = 8;
    const size_t whole = count - count % step;
    constexpr size_t event_distance = 128;
    for (; i < whole; i += step) {
        // The events are read well ahead, since the hardware's prefetcher
        // stops at page boundaries; five lines per eight events of 40 bytes
        // leave no line out.
        if (i + event_distance + step <= count) {
            const char *ahead = reinterpret_cast<const char *>(events + i + event_distance);
            __builtin_prefetch(ahead, 0, 3);
            __builtin_prefetch(ahead + 64, 0, 3);
            __builtin_prefetch(ahead + 128, 0, 3);
            __builtin_prefetch(ahead + 192, 0, 3);
            __builtin_prefetch(ahead + 256, 0, 3);
        }
        // Written out here rather than in a helper: the compiler deletes a
        // call whose only effect is a prefetch.
        if (Prefetch && i + prefetch_distance + step <= count) {
            // Without a branch, which events outside the window would
            // mispredict: those fetch some line of the last channel or bin.
            for (size_t k = i + prefetch_distance; k < i + prefetch_distance + step; ++k) {
                const TdcEvent &ahead = events[k];
                const uint32_t ch = std::min(ahead.channel, last_channel);
                const uint64_t idx = std::min((ahead.time - start) >> shift, size_at(ch) - 1);
                if (How == Reach::tallied)
                    __builtin_prefetch(tally_at(ch) + idx, 1, 3);
                else
                    __builtin_prefetch(bins_at(ch) + idx, 0, 3);
            }
        }
        one(events[i], top0);
        one(events[i + 1], top1);
        one(events[i + 2], top2);
        one(events[i + 3], top3);
        one(events[i + 4], top0);
        one(events[i + 5], top1);
        one(events[i + 6], top2);
        one(events[i + 7], top3);
    }
    for (; i < count; ++i)
        one(events[i], top0);

    stats.max_time = s.max_time;
    stats.min_time = s.min_time;
    stats.max_count = static_cast<uint64_t>(std::max(std::max(top0, top1), std::max(top2, top3)));
    stats.sum_time = s.sum_time;
    stats.nr_events += count;
    for (uint32_t c = 0; c < 32; ++c)
        if (binned[c] != 0)
            stats.channel_mask |= uint32_t(1) << c;
    for (uint32_t c = 0; c < 16; ++c)
        delivered[c] += binned[c] - aliased[c] + missed[c];
    // Only this thread writes the count, so a load and a store suffice.
    delivered_running.store(delivered_running.load(std::memory_order_relaxed) + count,
                            std::memory_order_relaxed);
}
