#ifndef RUNCONTROLLER_H
#define RUNCONTROLLER_H

#include "device/devicesnapshot.h"
#include "device/histopipe.h"
#include "run/exposureresult.h"
#include "run/lossaccount.h"
#include "run/runrecord.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>

class RunSettingsModel;
class TdcIface;

// What follows a completed exposure: whether the run goes on, what is cleared
// when the next exposure begins, and the iterations then left.
struct RunStep {
    bool go_on = false;
    bool clear = false;
    bool reset_stats = false;
    int iterations_left = 0;
};

// The run of exposures: start, continuation after each completion, stop,
// interrupt, loss of the device and disconnection. Each exposure it starts
// carries the number the accumulator will give it, so only that exposure's
// completion is taken; a duplicate or late end is dropped. At every
// completion it builds one ExposureResult and hands it to every consumer
// through exposure_completed. It never clears data before the exposure that
// needs it has really begun, and it holds changes of the histogram window
// while exposures are being accumulated. Failures and status texts leave
// through signals.
class RunController : public QObject {
    Q_OBJECT
public:
    enum RunState : int32_t { Idle = 0, Stopping = 1, Running = 2 };

    // Replaces the controller's own hand-over of histogram parameters (the
    // settings model's, guarded by settings_refusal and memory_refusal); a
    // non-empty answer refuses the exposure and says why.
    using ParamsHandOver = std::function<QString()>;

    RunController(TdcIface *tdc, QObject *parent = nullptr);

    // The table of run modes, after `event_total` events were counted.
    static RunStep next_step(bool accumulate, bool autorun, int iterations, int iterations_left,
                             int event_threshold, uint64_t event_total);
    // Why histograms of `next` would not fit in the memory budget, which the
    // accumulator applies as well; empty when they fit.
    static QString memory_refusal(const TdcIface &tdc, const HistoParams &next);
    // Why histogram parameters make no sense to run with (a window of 0 ns,
    // one narrower than a bin); empty when they do.
    static QString settings_refusal(const HistoParams &next);
    // The accumulator's state between exposures as a record: parameters,
    // statistics block, deliveries, time statistics and histograms (number,
    // times and device snapshot left to the caller).
    static ExposureResult read_exposure(const TdcIface &tdc);
    // The total plus the counts, saturating at 2^64 - 1.
    static uint64_t add_counts(uint64_t total, const ChannelCounts &counts);

    RunSettingsModel *settings_model() const { return model; }
    void set_params_hand_over(ParamsHandOver hand_over);
    // How long a disconnect or a new start waits for an interrupted exposure.
    void set_completion_wait_ms(int ms) { completion_wait_ms = ms; }
    // An exposure that has not ended by its time plus this margin (plus a
    // fifth of its time) is interrupted.
    void set_watchdog_margin_ms(int ms) { watchdog_margin_ms = ms; }

    RunState state() const { return run_state; }
    bool autorun_active() const { return autorun; }
    uint64_t event_total() const { return events; }
    int iterations_left() const { return left; }
    // A start is possible: a device is open and no exposure of a run is
    // running (an interrupted one is waited for).
    bool can_start() const;
    bool can_stop() const { return run_state == Running && !waiting; }
    // Stop was pressed during an automatic run: the run ends after the
    // exposure under way.
    bool stop_pending() const { return run_state == Running && stop_pressed; }
    // The last disconnect released the device before the cut exposure's
    // completion arrived.
    bool last_exposure_incomplete() const { return exposure_incomplete; }
    // Histogram settings of the model wait for the accumulation to end.
    bool histo_change_held() const;

    // The last completed exposure and the run it belongs to. After a run cut
    // short by a lost or silent device the accumulator may have rebuilt its
    // histograms since: then the record keeps its counts but no histograms.
    const std::optional<ExposureResult> &last_result() const;
    const RunRecord &run_record() const { return record; }
    const LossAccount &losses() const { return loss_account; }

    // Starts a run with the settings model as it stands (or with `settings`
    // put into it first).
    void start();
    void start(const RunSettings &settings);
    void stop();
    void set_autorun(bool on);
    // An end of a measurement, with the accumulator's exposure number.
    void handle_completion(int code, quint64 exposure);
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
    // An exposure is about to be started: the histograms of the last record
    // handed out are still whole and unchanged, for whoever needs to keep
    // them. Within a run the next record follows after the start.
    void exposure_starting();
    // The run is over; `how` records why, in a few words ("finished",
    // "stopped", "connection lost", "ended: <reason>", ...).
    void run_ended(const QString &how);
    // An exposure completed: everything known of it, for every consumer.
    void exposure_completed(const ExposureResult &result);
    void status(const QString &text);
    // A failed device step; the device interface holds its text.
    void device_error(int code);
    // A step refused by the program itself, with the reason.
    void refused(const QString &text);

private:
    void connection_lost();
    void settings_changed();
    int32_t begin_exposure(bool clear, bool reset_stats);
    QString hand_over_params(bool forced);
    QString default_hand_over(bool forced);
    void continue_run(const RunStep &step, ExposureResult &result);
    void point_at_held(ExposureResult &result) const;
    void point_at_live(ExposureResult &result) const;
    void hand_out_live(ExposureResult &result);
    void hand_out_pending();
    void interrupt_exposure();
    void end_run(const QString &text, const QString &how);
    bool wait_for_completion();
    void watchdog_fired();
    ExposureResult collect_result(uint64_t number);
    void record_exposure(const ExposureResult &result);
    void note_change(uint64_t exposure, const QString &setting, const QString &from,
                     const QString &to);
    void start_run_record();
    // The exposure under way will not complete: its events stay in the
    // histograms, and the run's record says so.
    void abandon_exposure();

    TdcIface *tdc;
    RunSettingsModel *model;
    ParamsHandOver params_hand_over;
    RunState run_state = Idle;
    bool autorun = false;
    uint64_t events = 0;
    int left = 0;
    // The exposure under way: its number, when it began, what it asked for.
    bool in_flight = false;
    uint64_t awaited = 0;
    bool cleared_at_start = false;
    QDateTime began_at;
    QElapsedTimer began;
    int requested_ms = 0;
    // The run settings each exposure began with, and the previous one's.
    RunSettings settings_in_force;
    RunSettings previous_settings;
    DeviceSnapshot device_at_start;
    ExposureEnd end_kind = ExposureEnd::Completed;
    // A disconnect or start is waiting for an interrupted exposure.
    bool waiting = false;
    bool releasing = false;
    bool exposure_incomplete = false;
    // Stop was pressed during the run under way.
    bool stop_pressed = false;
    bool held_change_announced = false;
    int completion_wait_ms = 2000;
    int watchdog_margin_ms = 2000;
    QTimer watchdog;
    QTimer spare_clearing;
    // A held exposure's record, handed out in the turn after its hold.
    std::optional<ExposureResult> pending_record;
    QTimer record_due;
    bool watchdog_interrupted = false;

    mutable std::optional<ExposureResult> last;
    // The fullest bin of a held set folded after its exposure's statistics
    // went on into the next exposure without a reset; added to them at the
    // next completion.
    uint64_t carried_max_count = 0;
    std::optional<ExposureResult> previous_in_run;
    RunRecord record;
    LossAccount loss_account;
};

#endif // RUNCONTROLLER_H
