#ifndef PEAKSUMMARY_H
#define PEAKSUMMARY_H

#include <cstddef>
#include <limits>

// Where a histogram's peak sits and how wide it is. Times are bin centres in
// ns; NaN where the histogram gives no answer (no counts, or a peak whose half
// height is not crossed on both sides within the histogram).
struct PeakSummary {
    double counts = 0.0;
    double peak_ns = std::numeric_limits<double>::quiet_NaN();
    double fwhm_ns = std::numeric_limits<double>::quiet_NaN();
    double centroid_ns = std::numeric_limits<double>::quiet_NaN();
};

// The summary of n bins of `width` ns whose first starts at `first_edge` ns.
// The peak is the highest bin (the first of equals), moved to the vertex of
// the parabola through it and its neighbours; for a peak wider than ten bins,
// bins are merged first to about a fifth of its width. The width is taken between
// the half-height crossings, each interpolated linearly between the centres
// of the bins on either side of it; the centroid is the count-weighted mean
// of the bin centres.
PeakSummary summarize_peak(const double *bins, std::size_t n, double first_edge, double width);

#endif // PEAKSUMMARY_H
