#include "remote/fetchsnapshot.h"

#include "device/histogeometry.h"
#include "run/runcontroller.h"

#include <algorithm>

const double *FetchSnapshot::values(std::size_t channel, std::size_t &count) const {
    count = 0;
    const std::vector<double> *h = nullptr;
    if (copied && channel < copy.size())
        h = &copy[channel];
    else if (!copied && channel < live.size())
        h = live[channel];
    if (h == nullptr)
        return nullptr;
    count = static_cast<std::size_t>(std::min<uint64_t>(HistoGeometry(params).bins(), h->size()));
    return h->data();
}

std::size_t FetchSnapshot::axis_points() const {
    std::size_t count = 0;
    if (values(0, count) == nullptr)
        count = static_cast<std::size_t>(HistoGeometry(params).bins());
    return count;
}

FetchHold::FetchHold(RunController *run, QObject *parent) : QObject(parent) {
    connect(run, &RunController::exposure_completed, this, &FetchHold::exposure_completed);
    connect(run, &RunController::exposure_starting, this, &FetchHold::exposure_starting);
    connect(run, &RunController::exposure_started, this, [this] { exposure_clock.start(); });
    // While a run goes on, the arrays of its last exposure are being filled.
    if (run->last_result() && run->state() == RunController::Idle)
        exposure_completed(*run->last_result());
}

void FetchHold::exposure_completed(const ExposureResult &result) {
    snapshot = std::make_shared<FetchSnapshot>();
    snapshot->number = result.number;
    snapshot->params = result.params;
    snapshot->live = result.histos;
}

void FetchHold::exposure_starting() {
    if (!snapshot || snapshot->copied)
        return;
    // Replies in flight hold the record as well; they need the copy even
    // when nobody could fetch anew.
    if (!keeping && snapshot.use_count() == 1) {
        snapshot.reset();
        return;
    }
    snapshot->copy.resize(snapshot->live.size());
    for (std::size_t c = 0; c < snapshot->live.size(); ++c) {
        std::size_t count = 0;
        const double *values = snapshot->values(c, count);
        if (values != nullptr)
            snapshot->copy[c].assign(values, values + count);
    }
    snapshot->live.clear();
    snapshot->copied = true;
}

double FetchHold::exposure_elapsed_s() const {
    return exposure_clock.isValid() ? double(exposure_clock.nsecsElapsed()) / 1e9 : 0.0;
}
