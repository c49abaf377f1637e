#include "run/exposureresult.h"

#include <numeric>

QString exposure_end_text(ExposureEnd end) {
    switch (end) {
    case ExposureEnd::Completed:
        return QStringLiteral("completed");
    case ExposureEnd::Interrupted:
        return QStringLiteral("interrupted");
    case ExposureEnd::ConnectionLost:
        return QStringLiteral("connection lost");
    case ExposureEnd::TimedOut:
        return QStringLiteral("timed out");
    }
    return QStringLiteral("unknown");
}

uint64_t ExposureResult::total_counts() const {
    const ChannelCounts &c = counts();
    return std::accumulate(c.begin(), c.end(), uint64_t(0));
}

uint64_t ExposureResult::total_lost() const {
    return std::accumulate(lost.begin(), lost.end(), uint64_t(0));
}
