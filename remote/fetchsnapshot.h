#ifndef FETCHSNAPSHOT_H
#define FETCHSNAPSHOT_H

#include "device/histopipe.h"
#include "run/exposureresult.h"

#include <QElapsedTimer>
#include <QObject>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class RunController;

// The histograms of the last completed exposure as a fetch sees them: the
// accumulator's own arrays while they hold that exposure, a copy once the
// next exposure is about to change them. Replies being streamed share the
// record, so a start from the windows or another client never hands them a
// half-filled histogram.
struct FetchSnapshot {
    uint64_t number = 0;
    HistoParams params{0.0, 0.0, 0.0, 0, 0};
    std::vector<const std::vector<double> *> live;
    std::vector<std::vector<double>> copy;
    bool copied = false;

    std::size_t channels() const { return copied ? copy.size() : live.size(); }
    // The values of a channel as the export writes them (no more bins than
    // the parameters give); null with count 0 when the channel has none.
    const double *values(std::size_t channel, std::size_t &count) const;
    // Lower bin edges in ns: as many as channel 0 has values.
    std::size_t axis_points() const;
};

// Keeps the FetchSnapshot of the run controller's last exposure current.
class FetchHold : public QObject {
    Q_OBJECT
public:
    explicit FetchHold(RunController *run, QObject *parent = nullptr);

    // Null when no exposure has completed since the hold began, or when the
    // one that did can no longer be read.
    std::shared_ptr<FetchSnapshot> current() const { return snapshot; }
    // Copies are taken only while someone may still fetch.
    void set_keeping(bool keep) { keeping = keep; }
    // Seconds since the exposure under way began.
    double exposure_elapsed_s() const;

private:
    void exposure_completed(const ExposureResult &result);
    void exposure_starting();

    std::shared_ptr<FetchSnapshot> snapshot;
    bool keeping = true;
    QElapsedTimer exposure_clock;
};

#endif // FETCHSNAPSHOT_H
