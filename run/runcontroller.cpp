#include "run/runcontroller.h"

#include "device/histogeometry.h"
#include "device/tdciface.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <limits>

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

} // namespace

RunController::RunController(TdcIface *tdc, QObject *parent) : QObject(parent), tdc(tdc) {
    // A lost device reports no completion for the exposure under way.
    connect(tdc, &TdcIface::connection_lost, this, &RunController::connection_lost);
}

RunStep RunController::next_step(bool accumulate, bool autorun, int iterations, int iterations_left,
                                 int event_threshold, int32_t event_total) {
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
    if (accumulate && event_threshold != 0 && event_total > event_threshold)
        step.go_on = false;
    // Without a next exposure there is nothing to clear for: the data stay.
    if (!step.go_on)
        step.clear = step.reset_stats = false;
    return step;
}

int32_t RunController::add_counts(int32_t total, const PipeStatistics &block) {
    constexpr int counted_channels = 16; // the block's first words count channels 0 to 15
    constexpr int64_t most = std::numeric_limits<int32_t>::max();
    int64_t sum = total;
    for (int c = 0; c < counted_channels; ++c)
        sum = std::min(sum + int64_t(block.words[c]), most);
    return static_cast<int32_t>(sum);
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
                          "bytes, with the plot's time axis and two sample arrays per channel), "
                          "more than the %4 available.")
        .arg(format_bytes(geometry.footprint_bytes()))
        .arg(next.channels)
        .arg(geometry.bins())
        .arg(format_bytes(budget));
}

void RunController::set_params_hand_over(ParamsHandOver hand_over) {
    params_hand_over = std::move(hand_over);
}

bool RunController::can_start() const {
    return tdc->is_initialized() && !waiting && run_state != Running;
}

QString RunController::hand_over_params() {
    return params_hand_over ? params_hand_over() : QString();
}

// The clearing asked for takes effect when the exposure really begins; a
// start that fails withdraws it, so the data of the last exposure stay.
int32_t RunController::begin_exposure(const RunSettings &settings, bool clear, bool reset_stats) {
    tdc->request_clear(clear, reset_stats);
    const int32_t rc = tdc->start_measure(settings.exposure_ms);
    if (rc < 0) {
        tdc->request_clear(false, false);
        return rc;
    }
    ++in_flight;
    return rc;
}

void RunController::start(const RunSettings &settings) {
    if (!can_start())
        return;
    if (run_state == Stopping && !wait_for_completion()) {
        // The interrupted exposure never reported back: give up on it.
        in_flight = 0;
        end_run(QStringLiteral("run stopped; the interrupted exposure did not report back"),
                QStringLiteral("stopped"));
    }
    if (!can_start())
        return;
    const QString refusal = hand_over_params();
    if (!refusal.isEmpty()) {
        emit status(QStringLiteral("exposure not started: ") + refusal);
        emit refused(refusal);
        return;
    }
    left = settings.iterations;
    events = 0;
    const int32_t rc = begin_exposure(settings, true, true);
    if (rc < 0) {
        emit run_changed();
        emit status(QStringLiteral("exposure not started: ") + tdc->get_error_message());
        emit device_error(rc);
        return;
    }
    run_state = Running;
    autorun = settings.autorun;
    exposure_incomplete = false;
    stop_pressed = false;
    emit run_changed();
    emit run_started();
    emit exposure_started();
    emit status(QStringLiteral("exposure running"));
}

void RunController::stop() {
    if (run_state != Running || waiting)
        return;
    stop_pressed = true;
    // A first press during an automatic run only ends the repetition; the
    // exposure under way finishes and is drawn.
    if (autorun) {
        autorun = false;
        emit run_changed();
        return;
    }
    interrupt_exposure();
}

// Ends the exposure under way early; its completion ends the run, with one
// iteration left to count. A busy answer means the device is already
// finishing, which is as good.
void RunController::interrupt_exposure() {
    left = 1;
    const int32_t rc = tdc->interrupt();
    if (rc >= 0 || rc == TdcIface::DeviceBusy) {
        run_state = Stopping;
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

void RunController::handle_completion(int code, const RunSettings &settings) {
    if (code == TdcIface::CompletionIgnored)
        return;
    // Not ours: the device was released or lost since, or this is the late
    // completion of an interrupted exposure while the next one already runs.
    if (in_flight == 0 || --in_flight > 0)
        return;
    emit exposure_completed();
    if (run_state == Idle)
        return;
    if (tdc->histos_unavailable()) {
        const QString why = QStringLiteral("The histograms could not be allocated; the run was "
                                           "ended. Choose a smaller window or a larger binning.");
        end_run(QStringLiteral("run ended: the histograms could not be allocated"),
                QStringLiteral("ended: the histograms could not be allocated"));
        emit refused(why);
        return;
    }
    events = add_counts(events, *tdc->get_pipe_statistics());
    const RunStep step = next_step(settings.accumulate, autorun, settings.iterations, left,
                                   settings.event_threshold, events);
    left = step.iterations_left;
    if (run_state == Stopping || releasing) {
        end_run(QStringLiteral("run stopped"),
                releasing ? QStringLiteral("device closed") : QStringLiteral("stopped"));
    } else if (!step.go_on) {
        const bool threshold = settings.accumulate && settings.event_threshold != 0 &&
                               events > settings.event_threshold;
        // A stop pressed during an automatic run ended its repetition.
        if (threshold)
            end_run(QStringLiteral("run finished: event threshold exceeded"),
                    QStringLiteral("event threshold exceeded"));
        else if (stop_pressed)
            end_run(QStringLiteral("run stopped"), QStringLiteral("stopped"));
        else
            end_run(QStringLiteral("run finished"), QStringLiteral("finished"));
    } else {
        continue_run(step, settings);
    }
}

// A continuation that is refused or fails ends the run and keeps the data.
void RunController::continue_run(const RunStep &step, const RunSettings &settings) {
    const QString refusal = hand_over_params();
    if (!refusal.isEmpty()) {
        end_run(QStringLiteral("run ended: ") + refusal, QStringLiteral("ended: ") + refusal);
        emit refused(refusal);
        return;
    }
    const int32_t rc = begin_exposure(settings, step.clear, step.reset_stats);
    if (rc < 0) {
        // A lost connection has ended the run already.
        if (run_state != Idle)
            end_run(QStringLiteral("run ended: ") + tdc->get_error_message(),
                    QStringLiteral("ended: ") + tdc->get_error_message());
        emit device_error(rc);
        return;
    }
    emit run_changed();
    emit exposure_started();
}

void RunController::connection_lost() {
    in_flight = 0;
    if (run_state != Idle)
        end_run(QStringLiteral("run ended: ") + tdc->get_error_message(),
                QStringLiteral("connection lost"));
}

void RunController::end_run(const QString &text, const QString &how) {
    run_state = Idle;
    autorun = false;
    emit run_changed();
    emit run_ended(how);
    emit status(text);
}

// Runs the event loop until the exposures under way have reported back, or
// the wait's bound has passed; user input waits meanwhile.
bool RunController::wait_for_completion() {
    if (in_flight == 0)
        return true;
    waiting = true;
    emit run_changed();
    QEventLoop loop;
    QTimer bound;
    bound.setSingleShot(true);
    connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    auto quit_when_done = [&] {
        if (in_flight == 0)
            loop.quit();
    };
    connect(this, &RunController::exposure_completed, &loop, quit_when_done);
    connect(this, &RunController::run_changed, &loop, quit_when_done);
    bound.start(completion_wait_ms);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    waiting = false;
    emit run_changed();
    return in_flight == 0;
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
        in_flight = 0;
        exposure_incomplete = true;
    }
    releasing = false;
    if (run_state != Idle) {
        if (exposure_incomplete)
            end_run(QStringLiteral("run ended: the last exposure is incomplete"),
                    QStringLiteral("device closed; the last exposure is incomplete"));
        else
            end_run(QStringLiteral("run stopped"), QStringLiteral("device closed"));
    }
    const int32_t rc = tdc->deinit();
    emit run_changed();
    if (rc < 0)
        emit device_error(rc);
    return rc;
}
