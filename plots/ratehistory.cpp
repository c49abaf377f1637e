#include "plots/ratehistory.h"

void RateHistory::add(double end_s, double duration_s, const ChannelCounts &counts,
                      const ChannelCounts &lost) {
    if (!(duration_s > 0.0))
        return;
    if (!history.empty() && end_s < history.back().time_s)
        history.clear();
    Point point;
    point.time_s = end_s;
    for (std::size_t c = 0; c < channel_count; ++c) {
        point.rate[c] = double(counts[c]) / duration_s;
        point.lost[c] = double(lost[c]) / duration_s;
    }
    history.push_back(point);
    while (history.front().time_s < end_s - span_s || history.size() > max_points)
        history.pop_front();
}
