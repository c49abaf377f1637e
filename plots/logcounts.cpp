#include "plots/logcounts.h"

#include <qwt_scale_engine.h>

#include <algorithm>

double FlooredLogTransform::transform(double value) const {
    // NaN is taken for the floor too: std::max keeps its first argument then.
    return QwtLogTransform::transform(std::max(floor, value));
}

QwtScaleEngine *make_log_counts_engine() {
    auto *engine = new QwtLogScaleEngine(10);
    engine->setTransformation(new FlooredLogTransform(log_counts_floor));
    return engine;
}
