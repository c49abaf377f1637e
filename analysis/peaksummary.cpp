#include "analysis/peaksummary.h"

#include <algorithm>
#include <cmath>

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

    double shift = 0.0;
    if (top > 0 && top + 1 < n) {
        const double left = bins[top - 1], right = bins[top + 1];
        const double curvature = left - 2.0 * height + right;
        // A flat top has no vertex; a vertex beyond the neighbours is noise.
        if (curvature < 0.0)
            shift = std::clamp(0.5 * (left - right) / curvature, -0.5, 0.5);
    }
    summary.peak_ns = centre(double(top) + shift);

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
    return summary;
}
