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

bool same(double a, double b, double tolerance) {
    return (std::isnan(a) && std::isnan(b)) || std::abs(a - b) <= tolerance;
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
        const double fwhm_of_sigma = 2.0 * std::sqrt(2.0 * std::log(2.0)); // 2.3548
        const std::vector<double> noisy_peak = noisy(gaussian(300, 0.125, 960, 360, 2.5, 1e6));
        const double noisy_counts = std::accumulate(noisy_peak.begin(), noisy_peak.end(), 0.0);
        const Case cases[] = {
            // Small shapes worked by hand: bin centres 0.5, 1.5, ...
            {"triangle", {0, 2, 4, 6, 4, 2, 0}, 0.0, 1.0, 18, 3.5, 3.0, 3.5, 1e-12},
            // The vertex of 4, 8, 2 lies 0.1 bins left of the top; half height 4 is reached at
            // the left neighbour's centre and two thirds of the way to the right one's.
            {"skewed",
             {0, 4, 8, 2, 0},
             10.0,
             2.0,
             14,
             14.8,
             2.0 + 4.0 / 3.0,
             10 + 2 * 33.0 / 14,
             1e-12},
            // A flat top peaks between its two bins.
            {"flat top", {1, 5, 5, 1}, 0.0, 1.0, 12, 2.0, 2.25, 2.0, 1e-12},
            {"peak at the edge", {9, 5, 1}, 0.0, 1.0, 15, 0.5, none, 14.5 / 15, 1e-12},
            {"half height never reached", {0, 3, 4, 3}, 0.0, 1.0, 10, 2.5, none, 2.5, 1e-12},
            {"single bin", {7}, 100.0, 0.5, 7, 100.25, none, 100.25, 1e-12},
            {"empty", {0, 0, 0}, 0.0, 1.0, 0, none, none, none, 0},
            {"nothing", {}, 0.0, 1.0, 0, none, none, none, 0},
            // The simulated device's peak channel: sigma 2.5 ns at 360 ns, 0.125 ns bins; the
            // width within 1 % of 2.3548 sigma.
            {"gaussian, fine bins", gaussian(300, 0.125, 960, 360, 2.5, 1e6), 300, 0.125, 1e6, 360,
             fwhm_of_sigma * 2.5, 360, 0.01 * fwhm_of_sigma * 2.5},
            // With counting noise the peak stays within a bin of its place, the width within 1 %.
            {"gaussian, fine bins, noisy", noisy_peak, 300, 0.125, noisy_counts, 360,
             fwhm_of_sigma * 2.5, 360, 0.01 * fwhm_of_sigma * 2.5},
            // Off the bin grid and with coarse bins the parabola still finds the mean.
            {"gaussian, coarse bins off the grid", gaussian(300, 1.0, 120, 360.3, 2.5, 1e6), 300,
             1.0, 1e6, 360.3, fwhm_of_sigma * 2.5, 360.3, 0.02 * fwhm_of_sigma * 2.5},
        };
        for (const Case &c : cases) {
            const PeakSummary s =
                summarize_peak(c.bins.data(), c.bins.size(), c.first_edge, c.width);
            const QString got = QStringLiteral("%1: counts %2 peak %3 fwhm %4 centroid %5")
                                    .arg(c.name)
                                    .arg(s.counts)
                                    .arg(s.peak_ns, 0, 'g', 10)
                                    .arg(s.fwhm_ns, 0, 'g', 10)
                                    .arg(s.centroid_ns, 0, 'g', 10);
            QVERIFY2(same(s.counts, c.counts, 1e-6 * c.counts), qPrintable(got));
            QVERIFY2(same(s.peak_ns, c.peak, c.tolerance), qPrintable(got));
            QVERIFY2(same(s.fwhm_ns, c.fwhm, c.tolerance), qPrintable(got));
            QVERIFY2(same(s.centroid_ns, c.centroid, c.tolerance), qPrintable(got));
        }
    }
};

QTEST_MAIN(TestPeakSummary)
#include "tst_peaksummary.moc"
