// Peak position, width at half height and centroid of histograms whose answers are known.

#include "analysis/peaksummary.h"

#include <QtTest>

#include <cmath>
#include <numeric>
#include <vector>

namespace {

const double none = std::nan("");

// Counts of a Gaussian of `total` events at `mean` with `sigma`, integrated over each bin.
std::vector<double> gaussian(double first_edge, double width, std::size_t n, double mean,
                             double sigma, double total) {
    std::vector<double> bins(n);
    auto below = [&](double t) { return 0.5 * std::erfc((mean - t) / (sigma * std::sqrt(2.0))); };
    for (std::size_t i = 0; i < n; ++i)
        bins[i] = total * (below(first_edge + (i + 1) * width) - below(first_edge + i * width));
    return bins;
}

// The same with counting noise of about 1/sqrt(n) per bin, from a fixed sequence.
std::vector<double> noisy(std::vector<double> bins) {
    uint32_t state = 20261207;
    for (double &b : bins) {
        double sum = 0.0; // twelve uniforms: close enough to a standard normal
        for (int k = 0; k < 12; ++k)
            sum += ((state = state * 1664525u + 1013904223u) >> 8) / double(1 << 24);
        b = std::max(0.0, std::round(b + (sum - 6.0) * std::sqrt(b)));
    }
    return bins;
}

} // namespace

class TestPeakSummary : public QObject {
    Q_OBJECT
private slots:
    void summaries() {
        struct Case {
            const char *name;
            std::vector<double> bins;
            double first_edge, width;
            double counts, peak, fwhm, centroid, tolerance;
        };
        const double fwhm = 2.5 * 2.0 * std::sqrt(2.0 * std::log(2.0)); // of sigma 2.5 ns
        const std::vector<double> noisy_peak = noisy(gaussian(300, 0.125, 960, 360, 2.5, 1e6));
        const double noisy_counts = std::accumulate(noisy_peak.begin(), noisy_peak.end(), 0.0);
        const Case cases[] = {
            // Small shapes worked by hand: bin centres 0.5, 1.5, ...
            {"triangle", {0, 2, 4, 6, 4, 2, 0}, 0.0, 1.0, 18, 3.5, 3.0, 3.5, 1e-12},
            // Vertex 0.1 bins left of the top; half height at the left centre, 2/3 to the right.
            {"skewed", {0, 4, 8, 2, 0}, 10, 2, 14, 14.8, 2 + 4.0 / 3, 10 + 66.0 / 14, 1e-12},
            // A flat top peaks between its two bins.
            {"flat top", {1, 5, 5, 1}, 0.0, 1.0, 12, 2.0, 2.25, 2.0, 1e-12},
            {"peak at the edge", {9, 5, 1}, 0.0, 1.0, 15, 0.5, none, 14.5 / 15, 1e-12},
            {"half height never reached", {0, 3, 4, 3}, 0.0, 1.0, 10, 2.5, none, 2.5, 1e-12},
            {"single bin", {7}, 100.0, 0.5, 7, 100.25, none, 100.25, 1e-12},
            {"empty", {0, 0, 0}, 0.0, 1.0, 0, none, none, none, 0},
            {"nothing", {}, 0.0, 1.0, 0, none, none, none, 0},
            // The simulated device's peak (0.125 ns bins) with counting noise: both within 1 %.
            {"gaussian, fine bins, noisy", noisy_peak, 300, 0.125, noisy_counts, 360, fwhm, 360,
             0.01 * fwhm},
            // Off the bin grid and with coarse bins the parabola still finds the mean.
            {"gaussian, coarse bins off the grid", gaussian(300, 1.0, 120, 360.3, 2.5, 1e6), 300,
             1.0, 1e6, 360.3, fwhm, 360.3, 0.02 * fwhm},
        };
        for (const Case &c : cases) {
            const PeakSummary s =
                summarize_peak(c.bins.data(), c.bins.size(), c.first_edge, c.width);
            const double got[] = {s.counts, s.peak_ns, s.fwhm_ns, s.centroid_ns};
            const double want[] = {c.counts, c.peak, c.fwhm, c.centroid};
            const char *what[] = {"counts", "peak", "fwhm", "centroid"};
            for (int q = 0; q < 4; ++q)
                QVERIFY2((std::isnan(got[q]) && std::isnan(want[q])) ||
                             std::abs(got[q] - want[q]) <= (q == 0 ? 1e-6 * c.counts : c.tolerance),
                         qPrintable(QString::asprintf("%s: %s %.10g, not %.10g", c.name, what[q],
                                                      got[q], want[q])));
        }
    }
};

QTEST_MAIN(TestPeakSummary)
#include "tst_peaksummary.moc"
