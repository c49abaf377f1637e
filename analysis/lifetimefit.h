#ifndef LIFETIMEFIT_H
#define LIFETIMEFIT_H

#include "analysis/decaymodel.h"

#include <cstddef>
#include <string>
#include <vector>

enum class FitEstimator { PoissonLikelihood, LeastSquares };

// What to fit: a histogram on an even time grid, the range, the model.
struct FitRequest {
    std::vector<double> counts;     // the whole histogram of the channel
    std::vector<double> irf_counts; // measured response: the other channel, same grid
    double first_edge = 0.0;        // lower edge of bin 0 in ns
    double bin_width = 1.0;         // ns
    double range_from = 0.0;        // ns; bins whose centre lies in [from, to)
    double range_to = 0.0;
    int components = 1; // 1 or 2
    IrfKind irf = IrfKind::Gaussian;
    FitEstimator estimator = FitEstimator::PoissonLikelihood;
};

struct FitValue {
    double value = 0.0;
    double error = 0.0; // standard error
};

struct FitResult {
    bool ok = false;
    std::string message;             // why there is no result, empty when ok
    std::vector<FitValue> lifetimes; // ns, shortest first
    std::vector<FitValue> fractions; // amplitude fractions, same order
    FitValue background;             // counts per bin
    bool background_fixed = false;   // at zero: the data show none
    FitValue irf_position;           // Gaussian: onset in ns; measured: shift in ns
    FitValue irf_width;              // Gaussian: sigma in ns
    double counts = 0.0;             // in the range
    double goodness = 0.0;           // deviance (likelihood) or chi-square (least squares) per dof
    long dof = 0;
    int iterations = 0;
    // Bins of the range: the first one's index in the histogram, the lower
    // edge of each, the fitted expected counts and (y - mu) / sqrt(mu).
    size_t first_bin = 0;
    std::vector<double> edges;
    std::vector<double> data;
    std::vector<double> model;
    std::vector<double> residuals;
};

// Fits lifetimes to a decay histogram. Poisson maximum likelihood by
// default; the least-squares choice minimises chi-square weighted by the
// model. Standard errors come from the inverse Fisher information at the
// optimum, the curvature of the log-likelihood. Runs on any thread: it
// touches nothing but its arguments.
class LifetimeFit {
public:
    static FitResult fit(const FitRequest &request);

    // Counts needed in the range per fitted parameter.
    static constexpr double counts_per_parameter = 20.0;
};

#endif // LIFETIMEFIT_H
