#ifndef HISTOPIPE_H
#define HISTOPIPE_H

#include "device/devicesnapshot.h"
#include "device/eventqueue.h"
#include "device/oxtdc1.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// Histogram parameters, handed over as a whole. Times in ns; one histogram
// bin spans 2^binning device bins.
struct HistoParams {
    double start;
    double size;
    double binsize;
    uint32_t binning;
    uint32_t channels;
};

// Running statistics over every event received; times in device bins.
struct HistoStats {
    uint64_t max_time;
    uint64_t min_time;
    uint64_t max_count;
    uint64_t sum_time;
    uint64_t nr_events;
    uint32_t channel_mask;
};

// Receiving end of the device library's user-callback pipe. The library's
// thread runs the four working callbacks; everything else is called from the
// GUI thread. Only the parameter hand-over is locked: the GUI thread resets,
// clears and reads the live histograms between measurements, never while one
// runs; the held and spare sets are the GUI thread's alone.
class HistoPipe {
public:
    HistoPipe();
    ~HistoPipe();
    HistoPipe(const HistoPipe &) = delete;
    HistoPipe &operator=(const HistoPipe &) = delete;

    void set_device(int32_t device);
    bool set_pipe_open(bool open);
    int32_t close_pipe();
    void set_params(const HistoParams &params);
    const HistoParams *get_params() const;
    // The record the histograms were last filled with (the one applied at the
    // last start of a measurement). Safe to call from the GUI thread at any
    // time; between measurements it describes the histograms as they are.
    HistoParams get_active_params() const;
    // Clearing for the next measurement: the histograms and/or the statistics
    // are cleared at its start, under the parameter lock, so a measurement
    // that never starts leaves the data as they are. Replaces any earlier
    // request; (false, false) withdraws it.
    void request_clear(bool histograms, bool statistics);
    // The statistics and the histograms as the events left them; for large
    // histograms the fullest bin and the bins are whole after fold_live.
    const HistoStats *get_stats() const;
    void reset_stats();
    const std::vector<double> *get_channel_histo(uint32_t channel) const;
    void clear_histos();
    const PipeStatistics *get_pipe_statistics() const;
    // Whether the current (or last) exposure's statistics block arrived, and
    // its per-channel counts (zeros when none did). The block is forgotten at
    // each start, so a missing one never leaves an older exposure's counts.
    bool statistics_arrived() const { return block_arrived; }
    ChannelCounts get_device_counts() const;
    // Runs on the library's thread at every end of a measurement, with the
    // exposure's number; an end with no unmatched start before it (a
    // duplicate, or one the device sends late) reports number 0.
    void set_end_of_meas_action(std::function<void(uint64_t number)> action);
    // Exposures whose start the library has reported so far. Before a start
    // is requested from an idle device every earlier start has been
    // reported, so that exposure's number is this count plus one.
    uint64_t exposures_started() const { return starts.load(std::memory_order_acquire); }

    // Result of the last ox_pipe_open2 call (0 before any), so the owner can
    // report why a pipe could not be opened.
    int32_t get_pipe_open_result() const { return pipe_open_result; }
    // Forgets the pipe without calling the library: after the connection to
    // the device was lost the descriptor means nothing any more.
    void forget_pipe();
    // True when the last rebuild could not size the histograms (the bin count
    // was not a finite number, the histograms would not fit in the memory
    // budget, or they could not be allocated); there are no histogram bins
    // until a later rebuild succeeds.
    bool histos_unavailable() const { return histo_alloc_failed; }
    // Counts the rebuilds of the histograms: arrays handed out under one
    // generation are freed when it changes. Any thread may read it.
    uint64_t histo_generation() const { return generation.load(std::memory_order_acquire); }

    // Keeps the completed exposure's histograms for the readers while the
    // next exposure fills the live ones, so the displays need not be done
    // before the next start. GUI thread, between measurements, before that
    // start: when the next exposure starts from zero the live set becomes
    // the held one and the next exposure fills a cleared spare set (or the
    // old held set, cleared at its start); otherwise the live counts are
    // copied. Earlier hand-outs are invalid afterwards (the generation
    // changes). False, with nothing changed, when there are no histograms or
    // the second set cannot be had: the readers must then be done before the
    // next start.
    bool hold_completed(bool next_clears);
    // Makes the second set ready for histograms of `params` ahead of the
    // hold, so that it is not allocated in the pause between exposures: any
    // time, even while a measurement runs, for it touches only that set. A
    // set made anew invalidates what was handed out of the old one (the
    // generation changes): call it where no record of a held set is due.
    void prepare_hold_for(const HistoParams &params);
    // Undoes the last hold after the next exposure did not start: the live
    // histograms are the completed ones again, at the addresses the hold
    // handed out.
    void release_hold();
    // Adds the live tallies to the live histograms (see ChannelView), so
    // that the histograms and the fullest bin of the statistics are whole:
    // GUI thread, between measurements, before reading them. Nothing to do
    // for histograms counted directly.
    void fold_live();
    // The same for the held set, any time after a hold (it is the GUI
    // thread's); returns its fullest bin, which the statistics of the
    // completed exposure lack until then.
    uint64_t fold_held();
    // The measurement under way is the last of its run: its tallies are
    // folded on the library's thread at its end (taken back by false).
    void set_fold_at_end(bool fold) { fold_at_end.store(fold, std::memory_order_release); }
    // Raises the statistics' fullest bin to at least `count`: between
    // measurements, for a fullest bin folded from a held set after its
    // exposure's statistics went on without a reset.
    void raise_max_count(uint64_t count);
    // Clears the spare set the last hold left with old counts; GUI thread,
    // any time (no one reads that set), best while the device measures.
    void clear_spare();
    // A held channel (see hold_completed); null before any hold and when
    // the channel has none. Stays as it is until the next hold.
    const std::vector<double> *get_held_histo(uint32_t channel) const;

    // Events of channels 0 to 15 delivered since the current (or last)
    // exposure's start-of-measurement callback. Written by the library's
    // thread; read like the histograms, after the end of the exposure.
    const ChannelCounts &get_delivered_counts() const { return delivered; }
    // Events of every channel delivered so far in the current exposure,
    // published once per events callback: any thread may read it any time.
    uint64_t get_delivered_running() const {
        return delivered_running.load(std::memory_order_relaxed);
    }

    // Copies of every event received go to `queue` (null: to none) from the
    // next start of a measurement on; the exposure under way keeps the queue
    // it began with, so the queue must outlive that exposure's end.
    void set_event_queue(EventQueue *queue) {
        queue_request.store(queue, std::memory_order_release);
    }

    // Number of histogram bins for a parameter record (HistoGeometry's); false
    // when the count cannot be represented (not finite, negative or beyond 2^64).
    static bool compute_nbins(const HistoParams &params, uint64_t &nbins);

    static void on_start_of_meas(void *priv);
    static void on_end_of_meas(void *priv);
    static void on_statistics(void *priv, const PipeStatistics *block);
    static void on_tdc_events(void *priv, const TdcEvent *events, size_t count);
    static void on_nothing();

private:
    // A channel as the event path sees it. Large histograms are counted in
    // byte tallies beside the bins (a quarter of a cache line per 32 bins
    // rather than four): the tallies are added to the bins by a fold, on the
    // GUI thread, and a tally that wraps adds 256 to its bin at once.
    struct ChannelView {
        double *bins;
        uint64_t size;
        uint8_t *tally; // null: the bins are counted directly
    };
    using Tallies = std::unique_ptr<std::vector<uint8_t>[]>;
    enum class Reach { direct, prefetched, tallied };

    void apply_pending_params();
    void apply_clear_request(bool rebuilt);
    void rebuild_histos();
    void accumulate(const TdcEvent *events, size_t count);
    template <Reach How> void accumulate_reach(const TdcEvent *events, size_t count);
    template <Reach How, bool Wide, bool Binned>
    void accumulate_impl(const TdcEvent *events, size_t count);
    // Whether histograms of this many bytes are counted in tallies.
    static bool tallied_size(uint64_t total_bytes);

    HistoPipe *priv;
    int32_t pipe_device = -1;
    int32_t pipe_id = -1;
    HistoParams pending;
    HistoParams active;
    mutable std::mutex params_mutex;
    HistoStats stats;
    int32_t device = -1;
    bool pipe_open = false;
    bool params_pending = true;
    bool needs_resize = true;
    uint64_t start_bins = 0;
    std::unique_ptr<std::vector<double>[]> histos;
    // The live tallies (null when the histograms are counted directly).
    Tallies tallies;
    std::unique_ptr<PipeStatistics> statistics;
    std::function<void(uint64_t)> end_of_meas_action;

    // The completed histograms the readers keep while the next exposure runs,
    // owned by the GUI thread (see hold_completed), and whether the last hold
    // exchanged them with the live set.
    std::unique_ptr<std::vector<double>[]> held;
    Tallies held_tallies;
    uint32_t held_channels = 0;
    // A cleared set of the held set's shape for the next exposure, and
    // whether it still holds old counts.
    std::unique_ptr<std::vector<double>[]> spare;
    Tallies spare_tallies;
    bool spare_dirty = false;
    // How the last hold kept the completed histograms (release_hold undoes it).
    enum class HoldKind { None, Copied, Exchanged, Rotated };
    HoldKind hold_kind = HoldKind::None;
    // The live set is all zeros already: the next start's clearing is done.
    // Written under the parameter lock; the start takes it.
    bool live_cleared = false;
    // The live tallies may hold counts not yet folded (written like the
    // live histograms), and the fold asked for at the end of a measurement.
    bool live_tallied = false;
    std::atomic<bool> fold_at_end{false};
    void point_views_at_live();
    void set_live_cleared(bool cleared);
    bool held_matches_live() const;
    // Makes the held set ready for the live set's shape; false when a hold
    // is impossible (no histograms, or no memory for the second set).
    bool prepare_hold();
    bool allocate_held(uint32_t channels, uint64_t nbins_of_each, bool tallied);
    bool allocate_held_like_live();

    // Direct pointers into `histos` for the event path, rebuilt with it.
    std::vector<ChannelView> views;
    bool prefetch_bins = false;
    bool histo_alloc_failed = false;
    int32_t pipe_open_result = 0;
    // Delivered-event counts of the current exposure (see the accessors).
    ChannelCounts delivered{};
    // Exposure numbering, written by the library's thread only: the count of
    // starts (read by the GUI thread) and whether the last one is unmatched.
    std::atomic<uint64_t> starts{0};
    std::atomic<uint64_t> generation{0};
    bool exposure_open = false;
    bool block_arrived = false;
    std::atomic<uint64_t> delivered_running{0};
    // The clearing requested for the next start of a measurement.
    bool clear_histos_requested = false;
    bool reset_stats_requested = false;
    // The queue asked for by the GUI thread, and the one the exposure under
    // way took over at its start (the library's thread's own).
    std::atomic<EventQueue *> queue_request{nullptr};
    EventQueue *queue = nullptr;
};

#endif // HISTOPIPE_H
