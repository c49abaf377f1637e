#ifndef LOGCOUNTS_H
#define LOGCOUNTS_H

#include <qwt_transform.h>

class QwtScaleEngine;

// The lowest count a logarithmic count axis shows: below one count, so a bin
// with a single count stands clear of the axis, and where empty bins lie.
constexpr double log_counts_floor = 0.5;

// A logarithm that takes every value below its floor for the floor, so empty
// bins are drawn along the bottom of a log axis rather than at minus infinity,
// and no curve needs its zeros replaced.
class FlooredLogTransform : public QwtLogTransform {
public:
    explicit FlooredLogTransform(double floor) : floor(floor) {}
    double transform(double value) const override;
    QwtTransform *copy() const override { return new FlooredLogTransform(floor); }
    double floor_value() const { return floor; }

private:
    double floor;
};

// A decade scale engine whose transform floors at log_counts_floor.
QwtScaleEngine *make_log_counts_engine();

#endif // LOGCOUNTS_H
