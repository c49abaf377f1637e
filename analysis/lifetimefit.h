#ifndef LIFETIMEFIT_H
#define LIFETIMEFIT_H

#include "analysis/decaymodel.h"

#include <array>
#include <cstddef>
#include <limits>
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
    // Parameters held at a typed value instead of fitted; NaN leaves one
    // free. Lifetimes in ns, per component in the order of the model (the
    // first starts as the shorter one); the background in counts per bin
    // (e.g. the mean of the bins before the rise); the response's onset
    // (Gaussian) or shift (measured) and its width sigma in ns.
    struct Held {
        static constexpr double free = std::numeric_limits<double>::quiet_NaN();
        std::array<double, 2> lifetime{free, free};
        double background = free;
        double irf_position = free;
        double irf_width = free;
    } held;
};

struct FitValue {
    double value = 0.0;
    double error = 0.0; // standard error; 0 when held
    bool held = false;  // at a value given with the request
    // At the edge of what it can be (a background or an amplitude fraction of
    // 0, a fraction of 1): the likelihood's maximum lies there, where the
    // curvature says nothing about an error, so there is none (0).
    bool at_bound = false;
};

// A 68 % profile-likelihood interval of a lifetime: where the deviance,
// minimised over all other parameters, lies 1 above its minimum. NaN for a
// side not found (the deviance never rose by 1 within a factor 4096, or a
// fit failed) or a lifetime that was held.
struct ProfileInterval {
    double lower = std::numeric_limits<double>::quiet_NaN();
    double upper = std::numeric_limits<double>::quiet_NaN();
};

struct FitResult {
    bool ok = false;
    std::string message;                       // why there is no result, empty when ok
    std::vector<FitValue> lifetimes;           // ns, shortest first
    std::vector<FitValue> fractions;           // amplitude fractions, same order
    std::vector<FitValue> intensity_fractions; // shares of the decay's counts, same order
    FitValue mean_lifetime_amplitude;          // two components: amplitude-weighted mean, ns
    FitValue mean_lifetime_intensity;          // and intensity-weighted mean, ns
    // Two components: a lifetime whose amplitude ended at zero is not
    // determined by the data; its error is NaN.
    FitValue background;   // counts per bin, at or above zero
    FitValue irf_position; // Gaussian: onset in ns; measured: shift in ns
    FitValue irf_width;    // Gaussian: sigma in ns
    double counts = 0.0;   // in the range
    // Goodness of fit: the Poisson deviance (whatever the estimator) against
    // its expectation for the fitted expected counts. The
    // expected deviance per bin depends on the expected count (0.47 at 0.1,
    // 1.15 at 1, 1 only for many counts), so a correct model scores a ratio
    // near 1 and a z within a few units of 0 at any count level.
    double deviance = 0.0;
    double expected_deviance = 0.0; // sum of E[D(mu_i)], less the free parameters
    double deviance_z = 0.0;        // (deviance - expected) / sd of the deviance
    long dof = 0;
    int iterations = 0;
    // Two components against one, fitted to the same bins: the likelihood-
    // ratio statistic (the drop in deviance) and AIC(one) - AIC(two), above
    // zero when the data support the second component.
    bool compared = false;
    double likelihood_ratio = 0.0;
    double aic_difference = 0.0;
    // Reasons not to take the numbers at face value, one sentence each; empty
    // for a clean result. Those that say the model does not describe the data
    // start with model_mismatch.
    std::vector<std::string> warnings;
    // Bins of the range: the first one's index in the histogram, the lower
    // edge of each, the fitted expected counts and (y - mu) / sqrt(mu).
    size_t first_bin = 0;
    std::vector<double> edges;
    std::vector<double> data;
    std::vector<double> model;
    std::vector<double> residuals;
    std::vector<double> response; // the response's share of its area in each bin, at the fit
    std::vector<ProfileInterval> intervals; // per lifetime once asked for; empty before
};

// Fits lifetimes to a decay histogram. Poisson maximum likelihood by
// default; the least-squares choice minimises chi-square weighted by the
// model. Standard errors come from the inverse Fisher information at the
// optimum, the curvature of the log-likelihood. Runs on any thread: it
// touches nothing but its arguments.
class LifetimeFit {
public:
    static FitResult fit(const FitRequest &request);
    // The profile-likelihood intervals of the lifetimes of `best`, the
    // likelihood fit of `request`, in its order; each side a search by
    // refits with the lifetime held (some ten per side).
    static std::vector<ProfileInterval> profile_intervals(const FitRequest &request,
                                                          const FitResult &best);

    // Counts needed in the range per fitted parameter.
    static constexpr double counts_per_parameter = 20.0;
    // Below this many counts in the range least squares is visibly biased
    // (+1.4 % lifetime at 3e3 counts, +6 % at 1e3).
    static constexpr double least_squares_counts = 2e4;
    // A deviance this many of its standard deviations above its expectation
    // says the model does not describe the data.
    static constexpr double mismatch_z = 5.0;
    // The expectation and variance of one bin's Poisson deviance
    // 2 (y ln(y / mu) - (y - mu)) for y drawn with mean mu.
    static void deviance_moments(double mu, double &mean, double &variance);
};

// Start of every warning that says the model does not describe the data.
extern const char *const model_mismatch;

#endif // LIFETIMEFIT_H
