#include "analysis/peaksummary.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// The centre of bin `top`, moved to the vertex of the parabola through it and
// its neighbours.
double vertex(const double *bins, std::size_t n, std::size_t top, double first_edge, double width) {
    double shift = 0.0;
    if (top > 0 && top + 1 < n) {
        const double left = bins[top - 1], right = bins[top + 1];
        const double curvature = left - 2.0 * bins[top] + right;
        // A flat top has no vertex; a vertex beyond the neighbours is noise.
        if (curvature < 0.0)
            shift = std::clamp(0.5 * (left - right) / curvature, -0.5, 0.5);
    }
    return first_edge + (double(top) + 0.5 + shift) * width;
}

} // namespace

PeakSummary summarize_peak(const double *bins, std::size_t n, double first_edge, double width) {
    PeakSummary summary;
    if (n == 0 || !(width > 0.0))
        return summary;
    auto centre = [&](double i) { return first_edge + (i + 0.5) * width; };
    double weighted = 0.0;
    std::size_t top = 0;
    for (std::size_t i = 0; i < n; ++i) {
        summary.counts += bins[i];
        weighted += bins[i] * centre(double(i));
        if (bins[i] > bins[top])
            top = i;
    }
    const double height = bins[top];
    if (!(summary.counts > 0.0) || !(height > 0.0))
        return summary;
    summary.centroid_ns = weighted / summary.counts;
    summary.peak_ns = vertex(bins, n, top, first_edge, width);

    // Walk out from the peak to the first bin at or below half height on
    // each side; the crossing lies between it and the bin inside it.
    const double half = height / 2.0;
    std::size_t inner_left = top;
    while (inner_left > 0 && bins[inner_left - 1] > half)
        --inner_left;
    std::size_t inner_right = top;
    while (inner_right + 1 < n && bins[inner_right + 1] > half)
        ++inner_right;
    if (inner_left == 0 || inner_right + 1 == n)
        return summary;
    const double below_left = bins[inner_left - 1], above_left = bins[inner_left];
    const double below_right = bins[inner_right + 1], above_right = bins[inner_right];
    const double rise =
        centre(double(inner_left - 1)) + width * (half - below_left) / (above_left - below_left);
    const double fall =
        centre(double(inner_right)) + width * (above_right - half) / (above_right - below_right);
    summary.fwhm_ns = fall - rise;

    // A peak many bins wide is located on bins merged to about a fifth of
    // its width: across three fine bins it is nearly flat, so counting noise
    // would decide which is highest and where the parabola's vertex lies.
    const std::size_t merge = std::max<std::size_t>(1, std::size_t(summary.fwhm_ns / width / 5.0));
    if (merge > 1) {
        std::vector<double> merged(n / merge, 0.0);
        for (std::size_t i = 0; i < merged.size() * merge; ++i)
            merged[i / merge] += bins[i];
        const std::size_t merged_top =
            std::size_t(std::max_element(merged.begin(), merged.end()) - merged.begin());
        summary.peak_ns =
            vertex(merged.data(), merged.size(), merged_top, first_edge, width * double(merge));
    }
    return summary;
}
