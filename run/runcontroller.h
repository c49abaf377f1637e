#ifndef RUNCONTROLLER_H
#define RUNCONTROLLER_H

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

struct HistoParams;
struct PipeStatistics;
class TdcIface;

// The run controls as they stand when an exposure starts or completes.
struct RunSettings {
    int exposure_ms = 100;
    int iterations = 1;
    int event_threshold = 0; // 0: no threshold
    bool accumulate = false;
    bool autorun = false; // the check box; the run's own flag is autorun_active()
};

// What follows a completed exposure: whether the run goes on, what is cleared
// when the next exposure begins, and the iterations then left.
struct RunStep {
    bool go_on = false;
    bool clear = false;
    bool reset_stats = false;
    int iterations_left = 0;
};

// The run of exposures: start, continuation after each completion, stop,
// interrupt, loss of the device and disconnection. It counts the exposures it
// started and not yet saw complete, so a completion is counted only for the
// exposure it belongs to; it never clears data before the exposure that needs
// it has really begun. Failures and status texts leave through signals.
class RunController : public QObject {
    Q_OBJECT
public:
    enum RunState : int32_t { Idle = 0, Stopping = 1, Running = 2 };

    // Asked before every exposure: hands changed histogram parameters to the
    // device; a non-empty answer refuses the exposure and says why.
    using ParamsHandOver = std::function<QString()>;

    RunController(TdcIface *tdc, QObject *parent = nullptr);

    // The table of run modes, after `event_total` events were counted.
    static RunStep next_step(bool accumulate, bool autorun, int iterations, int iterations_left,
                             int event_threshold, int32_t event_total);
    // Why histograms of `next` would not fit in the memory budget, which the
    // accumulator applies as well; empty when they fit.
    static QString memory_refusal(const TdcIface &tdc, const HistoParams &next);
    // The total plus the first sixteen counts of the block, saturating at 2^31 - 1.
    static int32_t add_counts(int32_t total, const PipeStatistics &block);

    void set_params_hand_over(ParamsHandOver hand_over);
    // How long a disconnect or a new start waits for an interrupted exposure.
    void set_completion_wait_ms(int ms) { completion_wait_ms = ms; }

    RunState state() const { return run_state; }
    bool autorun_active() const { return autorun; }
    int32_t event_total() const { return events; }
    int iterations_left() const { return left; }
    // A start is possible: a device is open and no exposure of a run is
    // running (an interrupted one is waited for).
    bool can_start() const;
    bool can_stop() const { return run_state == Running && !waiting; }
    // The last disconnect released the device before the cut exposure's
    // completion arrived.
    bool last_exposure_incomplete() const { return exposure_incomplete; }

    void start(const RunSettings &settings);
    void stop();
    void set_autorun(bool on);
    void handle_completion(int code, const RunSettings &settings);
    // Ends a run under way (waiting for the cut exposure's completion) and
    // releases the device; returns TdcIface::deinit's result.
    int32_t disconnect_device();

signals:
    // Run state, automatic repetition, iterations left or event total changed.
    void run_changed();
    // A run began with its first exposure; every exposure of it, the first
    // included, is announced as it begins.
    void run_started();
    void exposure_started();
    // The run is over; `how` records why, in a few words ("finished",
    // "stopped", "connection lost", "ended: <reason>", ...).
    void run_ended(const QString &how);
    // An exposure of the run completed; its data are in the accumulator.
    void exposure_completed();
    void status(const QString &text);
    // A failed device step; the device interface holds its text.
    void device_error(int code);
    // A step refused by the program itself, with the reason.
    void refused(const QString &text);

private:
    void connection_lost();
    int32_t begin_exposure(const RunSettings &settings, bool clear, bool reset_stats);
    void continue_run(const RunStep &step, const RunSettings &settings);
    void interrupt_exposure();
    void end_run(const QString &text, const QString &how);
    bool wait_for_completion();
    QString hand_over_params();

    TdcIface *tdc;
    ParamsHandOver params_hand_over;
    RunState run_state = Idle;
    bool autorun = false;
    int32_t events = 0;
    int left = 0;
    // Exposures started and not yet reported complete.
    int in_flight = 0;
    // A disconnect or start is waiting for an interrupted exposure.
    bool waiting = false;
    bool releasing = false;
    bool exposure_incomplete = false;
    // Stop was pressed during the run under way.
    bool stop_pressed = false;
    int completion_wait_ms = 2000;
};

#endif // RUNCONTROLLER_H
