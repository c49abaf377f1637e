#include "run/runcontroller.h"

#include "run/runsettingsmodel.h"

#include "device/histogeometry.h"
#include "device/tdciface.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace {

// "12.3 GiB" and the like, for texts that name an amount of memory.
QString format_bytes(double bytes) {
    static const char *const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 6) {
        bytes /= 1024.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(bytes, 0, 'g', unit == 0 ? 20 : 3).arg(units[unit]);
}

QString number_text(double value) {
    return QString::number(value, 'g', 12);
}

QString corrections_text(const DeviceSnapshot &d) {
    if (!d.corrections_known)
        return QStringLiteral("unknown");
    QStringList values;
    for (int32_t v : d.corrections)
        values << QString::number(v);
    return values.join(QLatin1Char(' '));
}

QString epot_text(const EpotSettings &e, bool threshold) {
    const bool known = threshold ? e.threshold_known : e.zero_known;
    return known ? QString::number(threshold ? e.threshold : e.zero) : QStringLiteral("unknown");
}

QString histo_text(const HistoParams &p) {
    return QStringLiteral("start %1 ns, size %2 ns, binning %3")
        .arg(number_text(p.start), number_text(p.size))
        .arg(uint64_t(1) << (p.binning % 64));
}

bool same_histograms(const HistoParams &a, const HistoParams &b) {
    return a.start == b.start && a.size == b.size && a.binsize == b.binsize &&
           a.binning == b.binning && a.channels == b.channels;
}

} // namespace

RunController::RunController(TdcIface *tdc, QObject *parent)
    : QObject(parent), tdc(tdc), model(new RunSettingsModel(this)) {
    // A lost device reports no completion for the exposure under way.
    connect(tdc, &TdcIface::connection_lost, this, &RunController::connection_lost);
    // Ends arrive on the library's thread; they are taken here, in order.
    connect(tdc, &TdcIface::exposure_ended, this, &RunController::handle_completion,
            Qt::QueuedConnection);
    connect(model, &RunSettingsModel::changed, this, &RunController::settings_changed);
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, this, &RunController::watchdog_fired);
    spare_clearing.setSingleShot(true);
    connect(&spare_clearing, &QTimer::timeout, tdc, &TdcIface::clear_spare);
    record_due.setSingleShot(true);
    connect(&record_due, &QTimer::timeout, this, &RunController::hand_out_pending);
}

RunStep RunController::next_step(bool accumulate, bool autorun, int iterations, int iterations_left,
                                 int event_threshold, uint64_t event_total) {
    RunStep step;
    step.iterations_left = iterations_left;
    if (accumulate && autorun) {
        // Cycles of `iterations` accumulated exposures, cleared between cycles.
        const int next_left = iterations_left - 1;
        step.iterations_left = next_left > 0 ? next_left : iterations;
        step.clear = next_left <= 0;
        step.go_on = true;
    } else if (accumulate) {
        step.iterations_left = iterations_left - 1;
        step.go_on = step.iterations_left > 0;
    } else if (autorun) {
        // Every picture shows one exposure.
        step.clear = step.reset_stats = true;
        step.go_on = true;
    }
    if (accumulate && event_threshold > 0 && event_total > uint64_t(event_threshold))
        step.go_on = false;
    // Without a next exposure there is nothing to clear for: the data stay.
    if (!step.go_on)
        step.clear = step.reset_stats = false;
    return step;
}

uint64_t RunController::add_counts(uint64_t total, const ChannelCounts &counts) {
    for (uint64_t c : counts)
        total = c > std::numeric_limits<uint64_t>::max() - total
                    ? std::numeric_limits<uint64_t>::max()
                    : total + c;
    return total;
}

// Why histograms of `next` would not fit in the memory budget; empty when
// they fit. What the current histograms hold is given back when they are
// replaced.
QString RunController::memory_refusal(const TdcIface &tdc, const HistoParams &next) {
    const HistoGeometry geometry(next);
    uint64_t total = 0, longest = 0;
    for (uint32_t c = 0; c < tdc.get_active_histo_params().channels; ++c) {
        if (const std::vector<double> *h = tdc.get_channel_histo(c)) {
            total += h->size();
            longest = std::max<uint64_t>(longest, h->size());
        }
    }
    const double held = HistoGeometry::footprint_of(total, longest);
    const double budget = HistoGeometry::memory_budget(held);
    if (geometry.countable() && geometry.footprint_bytes() <= budget)
        return QString();
    if (!geometry.countable())
        return QStringLiteral("The histograms cannot be created: the number of points per "
                              "channel is too large to count.");
    return QStringLiteral("The histograms would need %1 of memory (%2 channels x %3 points x 8 "
                          "bytes and a byte to count in, three times: those being filled, those "
                          "shown meanwhile and a cleared set for the next exposure; with the "
                          "plot's time axis and two sample arrays per channel), more than the %4 "
                          "available.")
        .arg(format_bytes(geometry.footprint_bytes()))
        .arg(next.channels)
        .arg(geometry.bins())
        .arg(format_bytes(budget));
}

QString RunController::settings_refusal(const HistoParams &next) {
    if (!(next.size > 0.0))
        return QStringLiteral("The histogram window size is 0 ns: choose a window of at least "
                              "one bin.");
    const double width = HistoGeometry(next).bin_width();
    if (next.size < width)
        return QStringLiteral("The histogram window (%1 ns) is narrower than one bin (%2 ns): "
                              "choose a wider window or a smaller binning.")
            .arg(number_text(next.size), number_text(width));
    return QString();
}

void RunController::set_params_hand_over(ParamsHandOver hand_over) {
    params_hand_over = std::move(hand_over);
}

bool RunController::can_start() const {
    return tdc->is_initialized() && !waiting && run_state != Running;
}

const std::optional<ExposureResult> &RunController::last_result() const {
    if (last && !last->histos.empty() && last->histo_generation != tdc->histo_generation())
        last->histos.clear();
    return last;
}

bool RunController::histo_change_held() const {
    if (run_state == Idle || !record.settings.accumulate || params_hand_over)
        return false;
    return !same_histograms(model->histo_params(tdc->get_binsize()), *tdc->get_histo_params());
}

// The model's histogram parameters go to the accumulator when they differ
// from what it holds, or when its last allocation failed (so that every
// start checks again, and the refusal is repeated rather than recording into
// no bins).
QString RunController::default_hand_over(bool forced) {
    const HistoParams next = model->histo_params(tdc->get_binsize());
    const bool unavailable = tdc->histos_unavailable();
    if (!forced && !unavailable && same_histograms(next, *tdc->get_histo_params()))
        return QString();
    QString refusal = settings_refusal(next);
    if (refusal.isEmpty())
        refusal = memory_refusal(*tdc, next);
    if (refusal.isEmpty())
        tdc->set_histo_params(next);
    return refusal;
}

QString RunController::hand_over_params(bool forced) {
    return params_hand_over ? params_hand_over() : default_hand_over(forced);
}

// The clearing asked for takes effect when the exposure really begins; a
// start that fails withdraws it, so the data of the last exposure stay. The
// exposure's number is known before it starts: the device is idle, so every
// earlier start has been reported.
int32_t RunController::begin_exposure(bool clear, bool reset_stats) {
    const RunSettings &settings = model->run();
    tdc->request_clear(clear, reset_stats);
    awaited = tdc->exposures_started() + 1;
    device_at_start = tdc->device_snapshot();
    requested_ms = settings.exposure_ms;
    settings_in_force = settings;
    settings_in_force.autorun = autorun;
    began_at = QDateTime::currentDateTime();
    began.start();
    // The last exposure of a run, as far as can be told now, is folded by
    // the library's thread at its end.
    const bool repeats = run_state == Running ? autorun : settings.autorun;
    tdc->set_fold_at_end(!repeats && (!settings.accumulate || left <= 1));
    const int32_t rc = tdc->start_measure(settings.exposure_ms);
    if (rc < 0) {
        tdc->request_clear(false, false);
        tdc->set_fold_at_end(false);
        return rc;
    }
    in_flight = true;
    cleared_at_start = clear;
    end_kind = ExposureEnd::Completed;
    watchdog_interrupted = false;
    const double margin = watchdog_margin_ms + 0.2 * settings.exposure_ms;
    watchdog.start(int(std::min<double>(settings.exposure_ms + margin, 2.0e9)));
    return rc;
}

void RunController::start(const RunSettings &settings) {
    model->set_run(settings);
    start();
}

void RunController::start() {
    hand_out_pending();
    if (!can_start())
        return;
    if (run_state == Stopping && !wait_for_completion()) {
        // The interrupted exposure never reported back: give up on it.
        abandon_exposure();
        end_run(QStringLiteral("run stopped; the interrupted exposure did not report back"),
                QStringLiteral("stopped"));
    }
    if (!can_start())
        return;
    const QString refusal = hand_over_params(false);
    if (!refusal.isEmpty()) {
        emit status(QStringLiteral("exposure not started: ") + refusal);
        emit refused(refusal);
        return;
    }
    const RunSettings &settings = model->run();
    left = settings.iterations;
    events = 0;
    carried_max_count = 0; // the first exposure resets the statistics
    // The device's settings as they stand at the run's start; within the
    // run they follow the program's own reads and writes.
    tdc->refresh_device_snapshot();
    if (!tdc->is_initialized())
        return; // lost while reading: connection_lost has said so
    emit exposure_starting();
    const int32_t rc = begin_exposure(true, true);
    if (rc < 0) {
        emit run_changed();
        emit status(QStringLiteral("exposure not started: ") + tdc->get_error_message());
        emit device_error(rc);
        return;
    }
    run_state = Running;
    autorun = settings.autorun;
    // A run that goes on after its first exposure holds each one aside while
    // the next runs: the second set is made now, while the device measures.
    if (autorun || (settings.accumulate && settings.iterations > 1))
        tdc->prepare_hold_for(*tdc->get_histo_params());
    exposure_incomplete = false;
    stop_pressed = false;
    held_change_announced = false;
    // The first exposure clears the histograms: the last record no longer
    // describes them.
    last.reset();
    start_run_record();
    emit run_changed();
    emit run_started();
    emit exposure_started();
    emit status(QStringLiteral("exposure running"));
}

void RunController::stop() {
    if (run_state != Running || waiting)
        return;
    // A first press during an automatic run only ends the repetition; the
    // exposure under way finishes and is drawn. A second press interrupts.
    if (autorun) {
        stop_pressed = true;
        autorun = false;
        tdc->set_fold_at_end(true);
        emit run_changed();
        emit status(QStringLiteral("stopping after this exposure — press stop again to "
                                   "interrupt"));
        return;
    }
    stop_pressed = true;
    interrupt_exposure();
}

// Ends the exposure under way early; its completion ends the run, with one
// iteration left to count. A busy answer means the device is already
// finishing, which is as good.
void RunController::interrupt_exposure() {
    left = 1;
    tdc->set_fold_at_end(true);
    const int32_t rc = tdc->interrupt();
    if (rc >= 0 || rc == TdcIface::DeviceBusy) {
        run_state = Stopping;
        end_kind = ExposureEnd::Interrupted;
        emit run_changed();
        return;
    }
    emit run_changed();
    emit device_error(rc);
}

void RunController::set_autorun(bool on) {
    autorun = on;
    emit run_changed();
}

void RunController::settings_changed() {
    if (!histo_change_held()) {
        held_change_announced = false;
        return;
    }
    if (held_change_announced)
        return;
    held_change_announced = true;
    emit status(model->run().autorun
                    ? QStringLiteral("the new histogram settings apply when this cycle of "
                                     "accumulated exposures ends")
                    : QStringLiteral("the new histogram settings apply when this accumulating "
                                     "run ends"));
}

ExposureResult RunController::read_exposure(const TdcIface &tdc) {
    ExposureResult r;
    r.params = tdc.get_active_histo_params();
    r.device.binsize_ns = tdc.get_binsize();
    r.statistics_arrived = tdc.statistics_arrived();
    r.device_counts = tdc.get_device_counts();
    r.delivered = tdc.get_delivered_counts();
    for (uint32_t c = 0; c < channel_count; ++c)
        r.lost[c] = r.statistics_arrived && r.device_counts[c] > r.delivered[c]
                        ? r.device_counts[c] - r.delivered[c]
                        : 0;
    r.histo_stats = *tdc.get_histo_stats();
    r.histo_generation = tdc.histo_generation();
    for (uint32_t c = 0; c < r.params.channels && c < channel_count; ++c)
        r.histos.push_back(tdc.get_channel_histo(c));
    return r;
}

ExposureResult RunController::collect_result(uint64_t number) {
    ExposureResult r = read_exposure(*tdc);
    r.number = number;
    r.run_index = record.exposures_completed + 1;
    r.started = began_at;
    r.duration_ms = double(began.nsecsElapsed()) / 1e6;
    r.exposure_ms = requested_ms;
    r.device = device_at_start;
    r.end = end_kind;
    return r;
}

void RunController::note_change(uint64_t exposure, const QString &setting, const QString &from,
                                const QString &to) {
    if (from != to)
        record.changes.push_back(RunChange{exposure, setting, from, to});
}

void RunController::abandon_exposure() {
    hand_out_pending();
    const bool begun = in_flight && tdc->exposures_started() >= awaited;
    if (begun && run_state != Idle)
        record.incomplete_exposure = record.exposures_completed + 1;
    // The last record was held aside while this exposure ran: the data
    // received since stay with it, as the histograms hold them.
    if (begun && last) {
        tdc->fold_live();
        point_at_live(*last);
    }
    in_flight = false;
}

void RunController::start_run_record() {
    record = RunRecord{};
    record.settings = model->run();
    record.autorun = autorun;
    record.ended = QStringLiteral("running");
    loss_account.start_run();
    previous_in_run.reset();
}

// Losses, totals and what changed since the run's previous exposure.
void RunController::record_exposure(const ExposureResult &result) {
    loss_account.add_exposure(result.statistics_arrived ? result.device_counts : result.delivered,
                              result.delivered);
    record.exposures_completed = result.run_index;
    record.delivered = loss_account.run_delivered();
    record.lost = loss_account.run_lost();
    if (cleared_at_start || record.exposures_in_histograms == 0) {
        record.exposures_in_histograms = 0;
        record.first_exposure_in_histograms = result.run_index;
        record.delivered_in_histograms = ChannelCounts{};
    }
    record.exposures_in_histograms += 1;
    for (uint32_t c = 0; c < channel_count; ++c)
        record.delivered_in_histograms[c] += result.delivered[c];
    if (previous_in_run) {
        const ExposureResult &p = *previous_in_run;
        const uint64_t n = result.run_index;
        note_change(n, QStringLiteral("exposure_ms"), QString::number(p.exposure_ms),
                    QString::number(result.exposure_ms));
        note_change(n, QStringLiteral("histograms"), histo_text(p.params),
                    histo_text(result.params));
        note_change(n, QStringLiteral("corrections"), corrections_text(p.device),
                    corrections_text(result.device));
        note_change(n, QStringLiteral("potentiometer_threshold"), epot_text(p.device.epot, true),
                    epot_text(result.device.epot, true));
        note_change(n, QStringLiteral("potentiometer_zero"), epot_text(p.device.epot, false),
                    epot_text(result.device.epot, false));
        note_change(n, QStringLiteral("binsize_ns"), number_text(p.device.binsize_ns),
                    number_text(result.device.binsize_ns));
    }
    if (previous_in_run) {
        const RunSettings &was = previous_settings, &now = settings_in_force;
        const uint64_t n = result.run_index;
        const auto flag = [](bool on) { return on ? QStringLiteral("on") : QStringLiteral("off"); };
        note_change(n, QStringLiteral("event_threshold"), QString::number(was.event_threshold),
                    QString::number(now.event_threshold));
        note_change(n, QStringLiteral("iterations"), QString::number(was.iterations),
                    QString::number(now.iterations));
        note_change(n, QStringLiteral("accumulate"), flag(was.accumulate), flag(now.accumulate));
        note_change(n, QStringLiteral("autorun"), flag(was.autorun), flag(now.autorun));
    }
    previous_settings = settings_in_force;
    previous_in_run = result;
    previous_in_run->histos.clear();
}

void RunController::handle_completion(int code, quint64 exposure) {
    hand_out_pending();
    if (code == TdcIface::CompletionIgnored)
        return;
    // Not ours: a duplicate end, the late end of an exposure given up on, or
    // one after the device was released or lost.
    if (!in_flight || exposure != awaited)
        return;
    in_flight = false;
    watchdog.stop();
    // A fullest bin folded from the last held set belongs to these
    // statistics too, which went on without a reset.
    if (carried_max_count != 0)
        tdc->raise_max_count(std::exchange(carried_max_count, 0));
    ExposureResult result = collect_result(exposure);
    if (run_state != Idle || releasing)
        record_exposure(result);
    last = result;
    if (run_state == Idle) {
        hand_out_live(result);
        return;
    }
    if (tdc->histos_unavailable()) {
        hand_out_live(result);
        const QString why = QStringLiteral("The histograms could not be allocated; the run was "
                                           "ended. Choose a smaller window or a larger binning.");
        end_run(QStringLiteral("run ended: the histograms could not be allocated"),
                QStringLiteral("ended: the histograms could not be allocated"));
        emit refused(why);
        return;
    }
    const RunSettings settings = model->run();
    events = add_counts(events, result.counts());
    const RunStep step = next_step(settings.accumulate, autorun, settings.iterations, left,
                                   settings.event_threshold, events);
    left = step.iterations_left;
    const bool goes_on = !watchdog_interrupted && run_state != Stopping && !releasing && step.go_on;
    if (goes_on) {
        continue_run(step, result);
        return;
    }
    hand_out_live(result);
    if (watchdog_interrupted) {
        end_run(QStringLiteral("run ended: the exposure did not end in time and was interrupted"),
                QStringLiteral("ended: the exposure did not end in time"));
    } else if (run_state == Stopping || releasing) {
        end_run(QStringLiteral("run stopped"),
                releasing ? QStringLiteral("device closed") : QStringLiteral("stopped"));
    } else {
        const bool threshold = settings.accumulate && settings.event_threshold > 0 &&
                               events > uint64_t(settings.event_threshold);
        // A stop pressed during an automatic run ended its repetition.
        if (threshold)
            end_run(QStringLiteral("run finished: event threshold exceeded"),
                    QStringLiteral("event threshold exceeded"));
        else if (stop_pressed)
            end_run(QStringLiteral("run stopped"), QStringLiteral("stopped"));
        else
            end_run(QStringLiteral("run finished"), QStringLiteral("finished"));
    }
}

// The record held back for a turn goes out now: before anything that would
// hand out another record or end the run, so consumers see them in order.
void RunController::hand_out_pending() {
    record_due.stop();
    if (!pending_record)
        return;
    const ExposureResult result = std::move(*pending_record);
    pending_record.reset();
    emit exposure_completed(result);
    // The set the hold let go of is cleared for the next one by a timer: in
    // a turn of its own, after the timers and input already waiting, so the
    // window stays responsive.
    spare_clearing.start(0);
}

// A record of the live histograms is whole once their tallies are added;
// then it goes out.
void RunController::hand_out_live(ExposureResult &result) {
    tdc->fold_live();
    result.histo_stats.max_count = tdc->get_histo_stats()->max_count;
    last = result;
    emit exposure_completed(result);
}

void RunController::point_at_live(ExposureResult &result) const {
    for (uint32_t c = 0; c < result.histos.size(); ++c)
        result.histos[c] = tdc->get_channel_histo(c);
    result.histo_generation = tdc->histo_generation();
}

// Points the record at the held copy of its histograms, which stays as it
// is while the next exposure fills the live set.
void RunController::point_at_held(ExposureResult &result) const {
    for (uint32_t c = 0; c < result.histos.size(); ++c)
        result.histos[c] = tdc->get_held_histo(c);
    result.histo_generation = tdc->histo_generation();
}

// The next exposure starts as soon as the completed one's counts are taken:
// its histograms are held aside (exchanged or copied) and the record goes to
// the displays while the device measures again. Where nothing can be held
// the record is drawn first, from the live set, before the next start. A
// continuation that is refused or fails ends the run and keeps the data.
// Within an accumulation the histogram parameters stay as they are: new ones
// would relabel or drop what was accumulated.
void RunController::continue_run(const RunStep &step, ExposureResult &result) {
    const bool accumulating = model->run().accumulate && !step.clear;
    const QString refusal = accumulating ? QString() : hand_over_params(false);
    if (!refusal.isEmpty()) {
        hand_out_live(result);
        end_run(QStringLiteral("run ended: ") + refusal, QStringLiteral("ended: ") + refusal);
        emit refused(refusal);
        return;
    }
    if (!accumulating)
        held_change_announced = false;
    // Whoever keeps a record's histograms copies them at exposure_starting,
    // before the hold (or a new held set) reuses them. Where nothing can be
    // held, this record is handed out first, and its live histograms are
    // about to change as well.
    emit exposure_starting();
    const bool held = tdc->hold_completed(step.clear);
    if (held) {
        point_at_held(result);
        // An accumulating hold added the live tallies first.
        result.histo_stats.max_count =
            std::max(result.histo_stats.max_count, tdc->get_histo_stats()->max_count);
        last = result;
    } else {
        hand_out_live(result);
        emit exposure_starting();
    }
    const int32_t rc = begin_exposure(step.clear, step.reset_stats);
    if (rc < 0) {
        if (held) {
            tdc->release_hold();
            point_at_live(result);
            hand_out_live(result);
        }
        // A lost connection has ended the run already.
        if (run_state != Idle)
            end_run(QStringLiteral("run ended: ") + tdc->get_error_message(),
                    QStringLiteral("ended: ") + tdc->get_error_message());
        emit device_error(rc);
        return;
    }
    if (held) {
        // The held tallies are added while the device measures, and the
        // record goes out in a turn of its own: the fold of millions of bins
        // and the plots' samples back to back would hold the window for both.
        result.histo_stats.max_count = std::max(result.histo_stats.max_count, tdc->fold_held());
        if (!step.reset_stats)
            carried_max_count = result.histo_stats.max_count;
        last = result;
        pending_record = result;
        record_due.start(0);
    }
    emit run_changed();
    emit exposure_started();
}

// The exposure has not ended by its time plus the margin: interrupt it; if
// even then no end arrives, give the run up. The data received stay.
void RunController::watchdog_fired() {
    if (!in_flight)
        return;
    if (!watchdog_interrupted) {
        watchdog_interrupted = true;
        end_kind = ExposureEnd::TimedOut;
        emit status(QStringLiteral("the exposure did not end in time; interrupting it"));
        const int32_t rc = tdc->interrupt();
        if (!tdc->is_initialized())
            return; // the connection was lost: the run has ended
        if (rc < 0 && rc != TdcIface::DeviceBusy)
            emit device_error(rc);
        watchdog.start(completion_wait_ms);
        return;
    }
    abandon_exposure();
    exposure_incomplete = true;
    if (run_state != Idle)
        end_run(QStringLiteral("run ended: the device did not end the exposure, even when "
                               "interrupted; the last exposure is incomplete"),
                QStringLiteral("ended: the device did not end the exposure"));
}

void RunController::connection_lost() {
    abandon_exposure();
    watchdog.stop();
    if (run_state != Idle)
        end_run(QStringLiteral("run ended: the connection to the device was lost (") +
                    tdc->get_error_message() + QStringLiteral("); the data so far are kept"),
                QStringLiteral("connection lost"));
}

void RunController::end_run(const QString &text, const QString &how) {
    hand_out_pending();
    run_state = Idle;
    autorun = false;
    record.ended = how;
    emit run_changed();
    emit run_ended(how);
    emit status(text);
}

// Runs the event loop until the exposure under way has reported back, or
// the wait's bound has passed; user input waits meanwhile.
bool RunController::wait_for_completion() {
    if (!in_flight)
        return true;
    waiting = true;
    emit run_changed();
    QEventLoop loop;
    QTimer bound;
    bound.setSingleShot(true);
    connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    auto quit_when_done = [&] {
        if (!in_flight)
            loop.quit();
    };
    connect(this, &RunController::exposure_completed, &loop, quit_when_done);
    connect(this, &RunController::run_changed, &loop, quit_when_done);
    bound.start(completion_wait_ms);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    waiting = false;
    emit run_changed();
    return !in_flight;
}

int32_t RunController::disconnect_device() {
    exposure_incomplete = false;
    if (run_state == Running) {
        autorun = false;
        interrupt_exposure();
    }
    // Histograms, statistics block and an export agree only once the cut
    // exposure has completed.
    releasing = true;
    if (!wait_for_completion()) {
        abandon_exposure();
        exposure_incomplete = true;
    }
    releasing = false;
    watchdog.stop();
    if (run_state != Idle) {
        if (exposure_incomplete)
            end_run(QStringLiteral("run ended: the last exposure is incomplete"),
                    QStringLiteral("device closed; the last exposure is incomplete"));
        else
            end_run(QStringLiteral("run stopped"), QStringLiteral("device closed"));
    }
    if (!tdc->is_initialized())
        return 0; // lost meanwhile: nothing left to release
    const int32_t rc = tdc->deinit();
    emit run_changed();
    if (rc < 0)
        emit device_error(rc);
    return rc;
}
