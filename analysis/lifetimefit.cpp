#include "analysis/lifetimefit.h"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_multifit_nlinear.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <locale.h>
#include <numeric>

namespace {

// GSL's default handler aborts the program; every GSL status is checked here.
const bool gsl_handler_off = [] {
    gsl_set_error_handler_off();
    return true;
}();

// Messages read the same in every locale: numbers with a decimal point. The
// locale is switched for this thread only (fits run on workers).
template <typename... Args> std::string format(const char *pattern, Args... args) {
    static const locale_t c_numeric = newlocale(LC_NUMERIC_MASK, "C", locale_t(0));
    const locale_t previous = c_numeric ? uselocale(c_numeric) : locale_t(0);
    char text[512];
    std::snprintf(text, sizeof text, pattern, args...);
    if (previous)
        uselocale(previous);
    return text;
}

FitResult failure(std::string message) {
    FitResult result;
    result.message = std::move(message);
    return result;
}

// The residuals the optimiser squares and sums: Poisson deviance residuals,
// whose squares add up to the deviance (so their least-squares minimum is the
// likelihood maximum), or Pearson residuals weighted by the model.
// The optimiser moves the free parameters only; a fixed one keeps its value
// in `full`. The background and the amplitudes cannot go below zero: the
// optimiser's value of such a parameter stands for its magnitude, so a step
// across zero comes back mirrored, and the model never sees a negative one
// (nor has to reject the step, which left the optimiser creeping towards
// zero without reaching it).
struct Problem {
    const DecayModel *model;
    const double *y;
    FitEstimator estimator;
    std::vector<size_t> free;
    std::vector<bool> mirrored; // per free parameter: kept at or above zero
    std::vector<double> full;
    std::vector<double> mu, jac_mu, x_of_jac, sign;

    Problem(const DecayModel &m, const double *data, FitEstimator e, std::vector<double> start,
            const std::vector<bool> &held)
        : model(&m), y(data), estimator(e), full(std::move(start)), mu(m.bins()),
          jac_mu(m.bins() * m.parameter_count()) {
        for (size_t a = 0; a < full.size(); ++a) {
            if (held[a])
                continue;
            free.push_back(a);
            mirrored.push_back(bounded(m, a));
        }
        sign.assign(free.size(), 1.0);
    }
    static bool bounded(const DecayModel &m, size_t a) {
        return a == m.background_index() ||
               (a < m.background_index() && a % 2 == DecayModel::amplitude_index(0));
    }
    bool holds(size_t a) const { return std::find(free.begin(), free.end(), a) == free.end(); }
    std::vector<double> free_values() const {
        std::vector<double> x;
        for (size_t a : free)
            x.push_back(full[a]);
        return x;
    }
    void evaluate(const double *x) {
        x_of_jac.assign(x, x + free.size());
        for (size_t j = 0; j < free.size(); ++j) {
            sign[j] = mirrored[j] && x[j] < 0.0 ? -1.0 : 1.0;
            full[free[j]] = sign[j] * x[j];
        }
        model->evaluate(full.data(), mu.data(), jac_mu.data());
    }
    bool cached(const double *x) const { return std::equal(x_of_jac.begin(), x_of_jac.end(), x); }
    // d mu_i / d (free parameter j)
    double derivative(size_t i, size_t j) const {
        return sign[j] * jac_mu[i * full.size() + free[j]];
    }
    // A bin may expect nothing at all (before a measured response, or far
    // before a Gaussian one, without background) as long as it holds nothing.
    bool possible(size_t i) const { return mu[i] > 0.0 || (mu[i] == 0.0 && y[i] == 0.0); }
    // Residual of bin i and its derivative by mu; 0 for a bin that expects
    // and holds nothing, whose derivatives by the parameters are 0 as well.
    void residual(size_t i, double &r, double &dr) const {
        const double m = mu[i];
        const double yi = y[i];
        if (m == 0.0) {
            r = dr = 0.0;
            return;
        }
        if (estimator == FitEstimator::LeastSquares) {
            const double s = std::sqrt(m);
            r = (yi - m) / s;
            dr = -(yi + m) / (2.0 * m * s);
            return;
        }
        const double d = yi > 0.0 ? m - yi + yi * std::log(yi / m) : m;
        const double a = std::sqrt(2.0 * std::max(d, 0.0));
        r = yi > m ? a : -a;
        dr = a > 1e-8 * std::sqrt(m) ? -std::fabs(m - yi) / (m * a) : -1.0 / std::sqrt(m);
    }
};

// Steps that make an expected count zero or negative are answered with a
// residual so large that the trust region rejects them.
constexpr double rejected_residual = 1e100;

int residuals_f(const gsl_vector *x, void *params, gsl_vector *f) {
    auto &p = *static_cast<Problem *>(params);
    p.evaluate(x->data);
    for (size_t i = 0; i < p.mu.size(); ++i) {
        if (!p.possible(i) || !std::isfinite(p.mu[i])) {
            gsl_vector_set_all(f, rejected_residual);
            return GSL_SUCCESS;
        }
        double r, dr;
        p.residual(i, r, dr);
        gsl_vector_set(f, i, r);
    }
    return GSL_SUCCESS;
}

int residuals_df(const gsl_vector *x, void *params, gsl_matrix *jac) {
    auto &p = *static_cast<Problem *>(params);
    if (!p.cached(x->data))
        p.evaluate(x->data);
    const size_t np = p.free.size();
    for (size_t i = 0; i < p.mu.size(); ++i) {
        double r = 0.0, dr = 0.0;
        if (p.possible(i))
            p.residual(i, r, dr);
        double *row = jac->data + i * jac->tda;
        for (size_t j = 0; j < np; ++j)
            row[j] = dr * p.derivative(i, j);
    }
    return GSL_SUCCESS;
}

double bin_deviance(double y, double mu) {
    return 2.0 * ((y > 0.0 ? y * std::log(y / mu) : 0.0) - y + mu);
}

struct Range {
    size_t first = 0;
    size_t count = 0;
};

// Bins whose centre lies in [from, to).
Range range_bins(const FitRequest &request) {
    Range range;
    const double w = request.bin_width;
    const double n = double(request.counts.size());
    const double first = std::ceil((request.range_from - request.first_edge) / w - 0.5);
    const double end = std::ceil((request.range_to - request.first_edge) / w - 0.5);
    const double lo = std::clamp(first, 0.0, n);
    const double hi = std::clamp(end, 0.0, n);
    if (std::isfinite(lo) && std::isfinite(hi) && hi > lo) {
        range.first = size_t(lo);
        range.count = size_t(hi - lo);
    }
    return range;
}

double mean_of(const double *v, size_t n) {
    return n == 0 ? 0.0 : std::accumulate(v, v + n, 0.0) / double(n);
}

// Index of the highest three-bin sum.
size_t peak_index(const double *y, size_t n) {
    size_t best = 0;
    double best_sum = -1.0;
    for (size_t i = 0; i < n; ++i) {
        const double s = y[i] + (i > 0 ? y[i - 1] : 0.0) + (i + 1 < n ? y[i + 1] : 0.0);
        if (s > best_sum) {
            best_sum = s;
            best = i;
        }
    }
    return best;
}

// Last bin before the peak whose count above the base lies below level times
// the peak's; the peak itself when there is none.
size_t rise_crossing(const double *y, size_t peak, double base, double level) {
    const double top = mean_of(y + (peak > 0 ? peak - 1 : 0), peak > 0 ? 3 : 2) - base;
    for (size_t i = peak; i-- > 0;) {
        if (y[i] - base < level * top)
            return i;
    }
    return peak;
}

// The measured response: the other channel's peak above its background
// (the median bin), out to where it sinks into the background's noise.
bool prepare_irf(const FitRequest &request, size_t range_first, MeasuredIrf &irf,
                 double &half_rise_time, std::string &message) {
    const std::vector<double> &h = request.irf_counts;
    if (std::accumulate(h.begin(), h.end(), 0.0) <= 0.0) {
        message = "The IRF channel has no counts.";
        return false;
    }
    std::vector<double> sorted(h);
    std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
    const double base = sorted[sorted.size() / 2];
    const double noise = base + 3.0 * std::sqrt(base);
    const size_t peak = size_t(std::max_element(h.begin(), h.end()) - h.begin());
    if (h[peak] - base < 10.0 * std::sqrt(std::max(base, 1.0))) {
        message = "The IRF channel shows no peak above its background.";
        return false;
    }
    size_t lo = peak, hi = peak + 1;
    while (lo > 0 && h[lo - 1] > noise)
        --lo;
    while (hi < h.size() && h[hi] > noise)
        ++hi;
    irf.first_bin = long(lo) - long(range_first);
    irf.weights.assign(hi - lo, 0.0);
    for (size_t j = lo; j < hi; ++j)
        irf.weights[j - lo] = std::max(h[j] - base, 0.0);
    const double sum = std::accumulate(irf.weights.begin(), irf.weights.end(), 0.0);
    for (double &v : irf.weights)
        v /= sum;
    const size_t half = rise_crossing(h.data(), peak, base, 0.5);
    half_rise_time = request.first_edge + double(half + 1) * request.bin_width;
    return true;
}

// Rough values the optimiser starts from: background from the bins before
// the rise (or the last tenth of the range), onset and width from the rising
// edge, lifetime from the first moment of the decay above the background.
std::vector<double> start_values(const DecayModel &model, const double *y, size_t n,
                                 double irf_half_rise, double range_start) {
    const double w = model.bin_width();
    const size_t peak = peak_index(y, n);
    // A background that starts at zero cannot grow: the likelihood of a
    // count where the model expects almost nothing is too steep for a
    // linearised step. Half a count over the bins looked at is the floor.
    const size_t tail = std::max<size_t>(1, n / 10);
    const size_t before = model.irf() != IrfKind::None ? peak / 2 : 0;
    const double tail_sum = std::accumulate(y + n - tail, y + n, 0.0);
    const double before_sum = std::accumulate(y, y + before, 0.0);
    double base = (tail_sum + before_sum + 0.5) / double(tail + before);
    if (before >= 8 && before_sum >= 10.0) // a long decay may not have ended in the range
        base = before_sum / double(before);

    const size_t half = rise_crossing(y, peak, base, 0.5);
    const double t_half = model.first_edge() + double(half + 1) * w;
    const double t_peak = model.first_edge() + (double(peak) + 0.5) * w;
    double moment = 0.0, weight = 0.0;
    for (size_t i = peak; i < n; ++i) {
        const double above = std::max(y[i] - base, 0.0);
        moment += above * (double(i) - double(peak)) * w;
        weight += above;
    }
    const double length = double(n) * w;
    const double tau = std::clamp(weight > 0.0 ? moment / weight : length / 4.0, w, 10.0 * length);
    const double onset = model.irf() == IrfKind::None ? range_start : t_half;
    const double inside = -std::expm1(-std::max(model.first_edge() + length - onset, w) / tau);
    const double above = std::max(std::accumulate(y, y + n, 0.0) - base * double(n), 1.0);

    std::vector<double> x(model.parameter_count(), 0.0);
    const int nk = model.components();
    for (int k = 0; k < nk; ++k) {
        const double factor = nk == 1 ? 1.0 : (k == 0 ? 0.4 : 1.6);
        x[DecayModel::amplitude_index(k)] = above / inside / nk;
        x[DecayModel::log_lifetime_index(k)] = std::log(tau * factor);
    }
    x[model.background_index()] = base;
    if (model.irf() == IrfKind::Gaussian) {
        const size_t low = rise_crossing(y, peak, base, 0.1);
        const size_t high = rise_crossing(y, peak, base, 0.9);
        const double sigma = std::max(0.5 * w, double(high - std::min(low, high)) * w / 2.56);
        x[model.position_index()] = std::min(t_half, t_peak);
        x[model.log_width_index()] = std::log(sigma);
    } else if (model.irf() == IrfKind::Measured) {
        x[model.position_index()] = t_half - irf_half_rise;
    }
    return x;
}

struct Optimum {
    std::vector<double> x;
    int iterations = 0;
    bool converged = false;
};

Optimum optimise(Problem &problem, std::vector<double> start) {
    const size_t n = problem.model->bins();
    const size_t np = start.size();
    gsl_multifit_nlinear_fdf fdf{};
    fdf.f = residuals_f;
    fdf.df = residuals_df;
    fdf.fvv = nullptr;
    fdf.n = n;
    fdf.p = np;
    fdf.params = &problem;
    gsl_multifit_nlinear_parameters settings = gsl_multifit_nlinear_default_parameters();
    settings.scale = gsl_multifit_nlinear_scale_more;
    settings.solver = gsl_multifit_nlinear_solver_cholesky;
    gsl_multifit_nlinear_workspace *work =
        gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &settings, n, np);
    Optimum optimum;
    if (work == nullptr)
        return optimum;
    gsl_vector_view x0 = gsl_vector_view_array(start.data(), np);
    int info = 0;
    int status = gsl_multifit_nlinear_init(&x0.vector, &fdf, work);
    if (status == GSL_SUCCESS)
        status = gsl_multifit_nlinear_driver(200, 1e-9, 1e-9, 0.0, nullptr, nullptr, &info, work);
    const gsl_vector *x = gsl_multifit_nlinear_position(work);
    optimum.x.assign(x->data, x->data + np);
    optimum.iterations = int(gsl_multifit_nlinear_niter(work));
    // "No progress" is what a trust region reports at an optimum it cannot
    // refine further, and so is running out of trial steps before the
    // iterations are used up (as when it starts from the optimum of a fit
    // that only differed by a parameter now held at its bound); the Newton
    // step test after the fit decides.
    optimum.converged = status == GSL_SUCCESS || status == GSL_ENOPROG ||
                        (status == GSL_EMAXITER && optimum.iterations < 200);
    gsl_multifit_nlinear_free(work);
    problem.evaluate(optimum.x.data()); // the last evaluation may have been a rejected step
    return optimum;
}

bool all_finite(const std::vector<double> &v) {
    return std::all_of(v.begin(), v.end(), [](double a) { return std::isfinite(a); });
}

double cost_at(Problem &problem, const std::vector<double> &x);

// How much the fit improves as free parameter j rises from where the problem
// was last evaluated: minus half the derivative of the summed squared
// residuals. A bin that expects nothing contributes its one-sided slope;
// one that expects nothing yet holds counts makes any rise welcome.
double upward_slope(const Problem &problem, size_t j) {
    double slope = 0.0;
    for (size_t i = 0; i < problem.mu.size(); ++i) {
        const double d = problem.derivative(i, j);
        if (problem.mu[i] == 0.0) {
            if (problem.y[i] > 0.0)
                return HUGE_VAL;
            slope -= problem.estimator == FitEstimator::LeastSquares ? 0.5 * d : d;
            continue;
        }
        double r, dr;
        problem.residual(i, r, dr);
        slope -= r * dr * d;
    }
    return slope;
}

// The optimum with the background and the amplitudes at or above zero. The
// model is linear in these and the likelihood concave, so one whose rise
// from zero would not improve the fit belongs at zero: it is held there, at
// its bound, and the rest fitted again (one at a time, as holding one
// changes what the others want). A component without amplitude takes its
// lifetime along, which the data then do not determine.
struct Bounded {
    Problem problem;
    Optimum optimum;
    std::vector<bool> at_bound;
};

Bounded optimise_bounded(const DecayModel &model, const double *y, FitEstimator estimator,
                         std::vector<double> start, std::vector<bool> held) {
    std::vector<bool> at_bound(start.size(), false);
    const std::vector<bool> held_before = held;
    bool tried = false;
    size_t tried_index = 0;
    int iterations = 0;
    for (;;) {
        Problem problem(model, y, estimator, start, held);
        Optimum optimum = optimise(problem, problem.free_values());
        iterations += optimum.iterations;
        optimum.iterations = iterations;
        // How much the likelihood wants parameter j to rise from zero.
        const auto slope_at_zero = [&](size_t j) {
            std::vector<double> x = optimum.x;
            x[j] = 0.0;
            problem.evaluate(x.data());
            return upward_slope(problem, j);
        };
        size_t pin = problem.free.size();
        double lowest = 0.0;
        for (size_t j = 0; j < problem.free.size() && all_finite(optimum.x); ++j) {
            if (!problem.mirrored[j])
                continue;
            const double slope = slope_at_zero(j);
            if (slope <= lowest) {
                lowest = slope;
                pin = j;
            }
        }
        // Circling the bound (the mirror's kink) a trust region may not
        // settle: the parameter that least wants to rise is tried at zero,
        // and freed again below should the fit there want it up.
        if (pin == problem.free.size() && !optimum.converged && !tried) {
            double least = HUGE_VAL;
            for (size_t j = 0; j < problem.free.size() && all_finite(optimum.x); ++j) {
                if (!problem.mirrored[j])
                    continue;
                if (const double slope = slope_at_zero(j); slope < least) {
                    least = slope;
                    pin = tried_index = j;
                }
            }
            tried = pin != problem.free.size();
            if (tried)
                tried_index = problem.free[pin];
        }
        problem.evaluate(optimum.x.data());
        if (pin == problem.free.size()) {
            if (!tried || !at_bound[tried_index] || !optimum.converged)
                return {std::move(problem), std::move(optimum), std::move(at_bound)};
            std::vector<bool> freed = held;
            freed[tried_index] = false;
            if (tried_index != model.background_index())
                freed[tried_index + 1] = held_before[tried_index + 1];
            Problem again(model, y, estimator, problem.full, freed);
            const size_t j = size_t(std::find(again.free.begin(), again.free.end(), tried_index) -
                                    again.free.begin());
            std::vector<double> x = again.free_values();
            again.evaluate(x.data());
            if (!(upward_slope(again, j) > 0.0))
                return {std::move(problem), std::move(optimum), std::move(at_bound)};
            Optimum freed_optimum = optimise(again, x);
            freed_optimum.iterations += iterations;
            // A second lifetime that runs off towards infinity becomes
            // background, which the fit can approach without end. When it
            // gains less than one unit of deviance over the amplitude at zero
            // the data do not tell the two apart: zero it stays.
            const std::vector<double> pinned_x = optimum.x;
            if (freed_optimum.converged ||
                cost_at(again, freed_optimum.x) < cost_at(problem, pinned_x) - 1.0) {
                again.evaluate(freed_optimum.x.data());
                at_bound[tried_index] = false;
                return {std::move(again), std::move(freed_optimum), std::move(at_bound)};
            }
            problem.evaluate(pinned_x.data());
            return {std::move(problem), std::move(optimum), std::move(at_bound)};
        }
        start = problem.full;
        const size_t a = problem.free[pin];
        start[a] = 0.0;
        held[a] = at_bound[a] = true;
        if (a != model.background_index())
            held[a + 1] = true; // its lifetime
    }
}

// Inverse Fisher information sum_i grad(mu_i) grad(mu_i)^T / mu_i, and the
// scoring step I^-1 grad(log L) that would still improve the fit.
bool covariance_at(const Problem &problem, std::vector<double> &cov, std::vector<double> &step) {
    const size_t n = problem.mu.size();
    const size_t np = problem.free.size();
    gsl_matrix *info = gsl_matrix_calloc(np, np);
    gsl_vector *grad = gsl_vector_calloc(np);
    std::vector<double> g(np);
    for (size_t i = 0; i < n; ++i) {
        const double m = problem.mu[i];
        if (m == 0.0)
            continue;
        for (size_t a = 0; a < np; ++a)
            g[a] = problem.derivative(i, a);
        double r, dr;
        problem.residual(i, r, dr);
        const double score = -r * dr; // minus half the derivative of r^2 by mu
        for (size_t a = 0; a < np; ++a) {
            grad->data[a] += score * g[a];
            for (size_t b = 0; b <= a; ++b)
                info->data[a * np + b] += g[a] * g[b] / m;
        }
    }
    for (size_t a = 0; a < np; ++a)
        for (size_t b = 0; b < a; ++b)
            gsl_matrix_set(info, b, a, gsl_matrix_get(info, a, b));
    bool ok = gsl_linalg_cholesky_decomp1(info) == GSL_SUCCESS;
    if (ok) {
        gsl_vector *delta = gsl_vector_alloc(np);
        ok = gsl_linalg_cholesky_solve(info, grad, delta) == GSL_SUCCESS &&
             gsl_linalg_cholesky_invert(info) == GSL_SUCCESS;
        cov.assign(info->data, info->data + np * np);
        step.assign(delta->data, delta->data + np);
        gsl_vector_free(delta);
    }
    gsl_vector_free(grad);
    gsl_matrix_free(info);
    return ok;
}

// Sum of squared residuals at x; infinite where a bin expects no counts.
double cost_at(Problem &problem, const std::vector<double> &x) {
    problem.evaluate(x.data());
    double sum = 0.0;
    for (size_t i = 0; i < problem.mu.size(); ++i) {
        if (!problem.possible(i))
            return HUGE_VAL;
        double r, dr;
        problem.residual(i, r, dr);
        sum += r * r;
    }
    return sum;
}

// A trust region stops once its steps are small against the parameters,
// which in the long valley of two correlated parameters (an amplitude and its
// lifetime) can still be a good part of a standard error away from the
// optimum. A few scoring steps, halved while they do not improve the fit,
// finish the way. Leaves the problem evaluated at x with the covariance.
bool polish(Problem &problem, std::vector<double> &x, std::vector<double> &cov,
            std::vector<double> &step) {
    double cost = cost_at(problem, x);
    for (int round = 0; round < 10; ++round) {
        if (!std::isfinite(cost) || !covariance_at(problem, cov, step) || !all_finite(cov))
            return false;
        double largest = 0.0; // step in standard errors
        for (size_t a = 0; a < x.size(); ++a)
            largest = std::max(largest, std::fabs(step[a]) / std::sqrt(cov[a * x.size() + a]));
        if (!std::isfinite(largest))
            return false;
        if (largest < 0.01)
            return true;
        std::vector<double> trial(x.size());
        double scale = 1.0;
        double trial_cost = HUGE_VAL;
        for (int halving = 0; halving < 8 && !(trial_cost < cost); ++halving, scale *= 0.5) {
            for (size_t a = 0; a < x.size(); ++a)
                trial[a] = x[a] + scale * step[a];
            trial_cost = cost_at(problem, trial);
        }
        if (!(trial_cost < cost))
            break;
        x = trial;
        cost = trial_cost;
    }
    cost_at(problem, x);
    return covariance_at(problem, cov, step) && all_finite(cov);
}

// The result at the optimum the problem was last evaluated at; free_cov is
// the covariance of the free parameters (a fixed one has no error).
FitResult describe(const Problem &problem, int iterations, const std::vector<double> &free_cov,
                   const std::vector<bool> &at_bound, const Range &range) {
    const DecayModel &model = *problem.model;
    const size_t np = model.parameter_count();
    const size_t n = range.count;
    const std::vector<double> &x = problem.full;
    std::vector<double> cov(np * np, 0.0);
    for (size_t a = 0; a < problem.free.size(); ++a)
        for (size_t b = 0; b < problem.free.size(); ++b)
            cov[problem.free[a] * np + problem.free[b]] = free_cov[a * problem.free.size() + b];
    auto error_of = [&](size_t a) { return std::sqrt(cov[a * np + a]); };
    auto held_if = [&](FitValue value, size_t a) {
        value.at_bound = at_bound[a];
        value.held = problem.holds(a) && !value.at_bound;
        return value;
    };

    FitResult result;
    result.ok = true;
    result.iterations = iterations;
    result.first_bin = range.first;
    const int nk = model.components();
    std::vector<int> order(static_cast<size_t>(nk));
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        return x[DecayModel::log_lifetime_index(a)] < x[DecayModel::log_lifetime_index(b)];
    });
    // Amplitude fractions a_k / sum a, a_k = A_k / tau_k (the decay's height
    // at its onset); their errors by the delta method.
    double height_sum = 0.0;
    std::vector<double> height(static_cast<size_t>(nk));
    for (int k = 0; k < nk; ++k) {
        height[size_t(k)] =
            x[DecayModel::amplitude_index(k)] * std::exp(-x[DecayModel::log_lifetime_index(k)]);
        height_sum += height[size_t(k)];
    }
    double counts_sum = 0.0;
    for (int k = 0; k < nk; ++k)
        counts_sum += x[DecayModel::amplitude_index(k)];
    // Standard error of a function of the parameters with gradient grad.
    auto error_along = [&](const std::vector<double> &grad) {
        double var = 0.0;
        for (size_t a = 0; a < np; ++a)
            for (size_t b = 0; b < np; ++b)
                var += grad[a] * cov[a * np + b] * grad[b];
        return std::sqrt(std::max(var, 0.0));
    };
    // With one amplitude at zero both fractions are at their bounds, 0 and 1.
    const bool one_left = nk > 1 && std::any_of(order.begin(), order.end(), [&](int k) {
                              return at_bound[DecayModel::amplitude_index(k)];
                          });
    for (int k : order) {
        const double tau = std::exp(x[DecayModel::log_lifetime_index(k)]);
        FitValue lifetime = held_if({tau, tau * error_of(DecayModel::log_lifetime_index(k))},
                                    DecayModel::log_lifetime_index(k));
        if (at_bound[DecayModel::amplitude_index(k)]) {
            lifetime.held = false;
            lifetime.error = std::numeric_limits<double>::quiet_NaN();
        }
        result.lifetimes.push_back(lifetime);
        std::vector<double> grad(np, 0.0);
        const double fraction = height[size_t(k)] / height_sum;
        for (int j = 0; j < nk; ++j) {
            const double d_height = ((j == k ? 1.0 : 0.0) - fraction) / height_sum;
            const double tau_j = std::exp(x[DecayModel::log_lifetime_index(j)]);
            grad[DecayModel::amplitude_index(j)] = d_height / tau_j;
            grad[DecayModel::log_lifetime_index(j)] = -d_height * height[size_t(j)];
        }
        result.fractions.push_back({fraction, one_left ? 0.0 : error_along(grad), false, one_left});
        // Intensity fraction: the component's share of the decay's counts.
        std::fill(grad.begin(), grad.end(), 0.0);
        const double share = x[DecayModel::amplitude_index(k)] / counts_sum;
        for (int j = 0; j < nk; ++j)
            grad[DecayModel::amplitude_index(j)] = ((j == k ? 1.0 : 0.0) - share) / counts_sum;
        result.intensity_fractions.push_back(
            {share, one_left ? 0.0 : error_along(grad), false, one_left});
    }
    if (nk > 1) {
        // Amplitude-weighted mean sum a_k tau_k / sum a_k = sum A_k / sum a_k
        // and intensity-weighted mean sum A_k tau_k / sum A_k, with a_k =
        // A_k / tau_k the heights and A_k the counts of the components.
        double weighted = 0.0;
        for (int k = 0; k < nk; ++k)
            weighted +=
                x[DecayModel::amplitude_index(k)] * std::exp(x[DecayModel::log_lifetime_index(k)]);
        const double amplitude_mean = counts_sum / height_sum;
        const double intensity_mean = weighted / counts_sum;
        std::vector<double> by_amplitude(np, 0.0), by_intensity(np, 0.0);
        for (int k = 0; k < nk; ++k) {
            const double tau = std::exp(x[DecayModel::log_lifetime_index(k)]);
            const double counts_k = x[DecayModel::amplitude_index(k)];
            by_amplitude[DecayModel::amplitude_index(k)] =
                (1.0 - amplitude_mean / tau) / height_sum;
            by_amplitude[DecayModel::log_lifetime_index(k)] =
                amplitude_mean * height[size_t(k)] / height_sum;
            by_intensity[DecayModel::amplitude_index(k)] = (tau - intensity_mean) / counts_sum;
            by_intensity[DecayModel::log_lifetime_index(k)] = counts_k * tau / counts_sum;
        }
        result.mean_lifetime_amplitude = {amplitude_mean, error_along(by_amplitude)};
        result.mean_lifetime_intensity = {intensity_mean, error_along(by_intensity)};
    }
    result.background = held_if({x[model.background_index()], error_of(model.background_index())},
                                model.background_index());
    if (model.irf() != IrfKind::None)
        result.irf_position = held_if({x[model.position_index()], error_of(model.position_index())},
                                      model.position_index());
    if (model.irf() == IrfKind::Gaussian) {
        const double sigma = std::exp(x[model.log_width_index()]);
        result.irf_width =
            held_if({sigma, sigma * error_of(model.log_width_index())}, model.log_width_index());
    }

    // The Poisson deviance whatever the estimator: least squares minimises
    // chi-square, which then lies below its expectation at low counts. Fitting
    // takes about one unit of deviance per free parameter away from its
    // expectation at the true means, so those are taken off again.
    double sum = 0.0, expected = -double(problem.free.size()), variance = 0.0;
    result.edges.resize(n);
    result.residuals.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const double m = problem.mu[i];
        sum += bin_deviance(problem.y[i], m);
        double mean = 0.0, var = 0.0;
        LifetimeFit::deviance_moments(m, mean, var);
        expected += mean;
        variance += var;
        result.edges[i] = model.first_edge() + double(i) * model.bin_width();
        result.residuals[i] = m > 0.0 ? (problem.y[i] - m) / std::sqrt(m) : 0.0;
    }
    result.data.assign(problem.y, problem.y + n);
    result.model = problem.mu;
    result.response.resize(n);
    model.response_in_bins(x.data(), result.response.data());
    result.counts = std::accumulate(result.data.begin(), result.data.end(), 0.0);
    result.dof = long(n) - long(problem.free.size());
    result.deviance = sum;
    result.expected_deviance = expected;
    result.deviance_z = (sum - expected) / std::sqrt(variance);
    return result;
}

// Longest run of equal counts at the highest count of the range, and that
// count. A channel that saturates shows a flat top; Poisson counts of a
// real peak hardly repeat three times in a row once they are in the tens.
size_t flat_top(const double *y, size_t n, double &top) {
    top = n > 0 ? *std::max_element(y, y + n) : 0.0;
    size_t longest = 0, run = 0;
    for (size_t i = 0; i < n; ++i) {
        run = y[i] == top ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

// Two Poisson counts near mu agree with a chance of about 1 / sqrt(4 pi mu);
// a run at the top is taken for saturation when luck would give it less than
// once in 1e4 ranges (at 24 counts five bins, at 500 four, at 5000 three).
std::string saturation_warning(const double *y, size_t n) {
    double top = 0.0;
    const size_t run = flat_top(y, n, top);
    if (run < 3 || top < 10.0 || double(run - 1) * 0.5 * std::log(4.0 * M_PI * top) < std::log(1e4))
        return std::string();
    return std::string(model_mismatch) +
           format("the peak is flat at %.0f counts over %.0f bins, as a saturated channel's is.",
                  top, double(run));
}

// A tail fit takes the decay to start at the range's first bin, so the
// counts must fall from there on. Windows of 1, 2, 4, ... bins are compared
// with the range's first window of the same size: one holding significantly
// more counts means the range takes in part of the rise.
bool starts_before_peak(const double *y, size_t n) {
    for (size_t m = 1; 2 * m <= n; m *= 2) {
        const double first = std::accumulate(y, y + m, 0.0);
        double window = first;
        for (size_t i = m; i < n; ++i) {
            window += y[i] - y[i - m];
            if (window - first > 5.0 * std::sqrt(window + first) + 2.0)
                return true;
        }
    }
    return false;
}

// Counts are whole and not negative; anything else (a NaN, an infinity, a
// negative number from a subtraction done elsewhere) is named rather than
// fitted, which would end in a misleading "no counts" or "did not converge".
std::string invalid_bin(const char *what, const FitRequest &request, const std::vector<double> &h,
                        size_t first, size_t count) {
    for (size_t i = first; i < first + count && i < h.size(); ++i) {
        const double time = request.first_edge + double(i) * request.bin_width;
        if (!std::isfinite(h[i]))
            return format("%s holds a bin that is not a finite number (%g) at %.7g ns: no fit.",
                          what, h[i], time);
        if (h[i] < 0.0)
            return format("%s holds a negative count (%g) at %.7g ns: no fit.", what, h[i], time);
    }
    return std::string();
}

// Warnings on a result: whether the model describes the data, whether each
// number is determined by them, whether the estimator suits the counts.
void assess(const FitRequest &request, const double *y, FitResult &result) {
    std::vector<std::string> &warnings = result.warnings;
    const size_t n = result.data.size();
    const std::string saturated = saturation_warning(y, n);
    if (!saturated.empty())
        warnings.push_back(saturated);
    if (result.deviance_z > LifetimeFit::mismatch_z)
        warnings.push_back(
            std::string(model_mismatch) +
            format("the deviance lies %.1f standard deviations above its expectation.",
                   result.deviance_z));
    if (request.irf != IrfKind::None && result.background.value <= 0.0) {
        // Before the rise are the bins where the fitted decay is still below
        // a thousandth of its peak; their counts should be what the model
        // expects there, nearly nothing without background.
        const std::vector<double> &mu = result.model;
        const double bg = result.background.value;
        double peak = 0.0;
        for (double m : mu)
            peak = std::max(peak, m - bg);
        size_t before = 0;
        while (before < n && mu[before] - bg < 1e-3 * peak)
            ++before;
        const double counts = std::accumulate(y, y + before, 0.0);
        const double expected = std::accumulate(mu.begin(), mu.begin() + long(before), 0.0);
        if (counts > expected + 3.0 * std::sqrt(expected) + 3.0)
            warnings.push_back(std::string(model_mismatch) +
                               format("the background came out at %.3g counts per bin, yet the "
                                      "%zu bins before the rise hold %.0f counts.",
                                      bg, before, counts));
    }
    const double length = double(n) * request.bin_width;
    const size_t nk = result.lifetimes.size();
    for (size_t k = 0; k < nk; ++k) {
        const FitValue tau = result.lifetimes[k];
        if (tau.held)
            continue;
        const std::string name = nk > 1 ? format("lifetime %zu", k + 1) : "the lifetime";
        if (tau.value > 3.0 * length && !std::isnan(tau.error)) // NaN: no amplitude, said below
            warnings.push_back(name + format(" (%.3g ns) lies far beyond the range (%.3g ns): the "
                                             "data hardly tell it from the background.",
                                             tau.value, length));
        else if (tau.error > tau.value / 3.0)
            warnings.push_back(name + format(" (%.3g ns) is not determined by these data: its "
                                             "standard error is %.3g ns.",
                                             tau.value, tau.error));
        if (nk > 1 && result.fractions[k].at_bound && result.fractions[k].value == 0.0)
            warnings.push_back(format("the amplitude of lifetime %zu ended at zero: the data "
                                      "support one component, and do not determine that "
                                      "lifetime.",
                                      k + 1));
        else if (nk > 1 && !result.fractions[k].at_bound &&
                 !(result.fractions[k].value > 2.0 * result.fractions[k].error))
            warnings.push_back(format("the amplitude fraction of lifetime %zu (%.2g +- %.2g) is "
                                      "not above zero by two standard errors: the data support "
                                      "one component.",
                                      k + 1, result.fractions[k].value, result.fractions[k].error));
    }
    if (result.compared && !(result.aic_difference > 0.0))
        warnings.push_back(format("the data support one component: AIC(one) - AIC(two) = %.3g.",
                                  result.aic_difference));
    if (request.estimator == FitEstimator::LeastSquares &&
        result.counts < LifetimeFit::least_squares_counts)
        warnings.push_back("least squares is biased at low counts: use the Poisson likelihood");
}

} // namespace

const char *const model_mismatch = "the model does not describe these data: ";

namespace {
// y ln y for the counts the deviance's moments sum over.
const std::vector<double> y_log_y = [] {
    std::vector<double> t(256, 0.0);
    for (size_t y = 1; y < t.size(); ++y)
        t[y] = double(y) * std::log(double(y));
    return t;
}();
} // namespace

// Summed over the Poisson distribution below 100 expected counts; above, the
// expansion 1 + 1 / (6 mu) + 1 / (6 mu^2) and 2 + 2 / (3 mu), which agree with
// the sums there to 1e-6.
void LifetimeFit::deviance_moments(double mu, double &mean, double &variance) {
    if (!(mu > 0.0)) {
        mean = variance = 0.0;
        return;
    }
    if (mu >= 100.0) {
        mean = 1.0 + 1.0 / (6.0 * mu) + 1.0 / (6.0 * mu * mu);
        variance = 2.0 + 2.0 / (3.0 * mu);
        return;
    }
    const size_t last = std::min(y_log_y.size() - 1, size_t(mu + 12.0 * std::sqrt(mu) + 30.0));
    const double log_mu = std::log(mu);
    double p = std::exp(-mu), s1 = 0.0, s2 = 0.0;
    for (size_t y = 0; y <= last; ++y) {
        const double d = 2.0 * (y_log_y[y] - double(y) * log_mu - double(y) + mu);
        s1 += p * d;
        s2 += p * d * d;
        p *= mu / double(y + 1);
    }
    mean = s1;
    variance = s2 - s1 * s1;
}

const char *const no_convergence = "The fit did not converge: no result. A narrower range, "
                                   "fewer components or another IRF model may help.";

// Marks the parameters the request holds (and the background when it is
// held at zero) and puts their values into x; lifetimes only when asked, as
// the one-component start of a two-component fit has a lifetime of its own.
std::vector<bool> hold(const FitRequest &request, const DecayModel &model, bool lifetimes,
                       std::vector<double> &x) {
    std::vector<bool> held(x.size(), false);
    auto put = [&](size_t a, double value) {
        if (std::isfinite(value)) {
            held[a] = true;
            x[a] = value;
        }
    };
    for (int k = 0; lifetimes && k < model.components(); ++k)
        put(DecayModel::log_lifetime_index(k), std::log(request.held.lifetime[size_t(k)]));
    put(model.background_index(), request.held.background);
    if (model.irf() != IrfKind::None)
        put(model.position_index(), request.held.irf_position);
    if (model.irf() == IrfKind::Gaussian)
        put(model.log_width_index(), std::log(request.held.irf_width));
    return held;
}

// One fit of the model.
FitResult fit_model(const FitRequest &request, const Range &range, const DecayModel &model,
                    const double *y, double irf_half_rise) {
    const size_t n = model.bins();
    const double lo = model.first_edge();
    std::vector<double> start = start_values(model, y, n, irf_half_rise, lo);
    const std::vector<bool> held = hold(request, model, true, start);
    size_t single_free = 0;
    int earlier_iterations = 0;
    double single_deviance = HUGE_VAL;
    if (model.components() == 2) {
        // Two components start from the one-component optimum, split around
        // its lifetime: the single decay is the better guide to onset,
        // width and background than any look at the raw bins.
        const DecayModel single(1, model.irf(), lo, model.bin_width(), n, model.response_used());
        std::vector<double> single_start = start_values(single, y, n, irf_half_rise, lo);
        const std::vector<bool> single_held = hold(request, single, false, single_start);
        Bounded bounded_one =
            optimise_bounded(single, y, request.estimator, single_start, single_held);
        const Problem &first = bounded_one.problem;
        const Optimum &one = bounded_one.optimum;
        earlier_iterations = one.iterations;
        if (one.converged && all_finite(one.x)) {
            single_free = first.free.size();
            single_deviance = 0.0;
            for (size_t i = 0; i < n; ++i)
                single_deviance += bin_deviance(y[i], first.mu[i]);
            const double amplitude = first.full[DecayModel::amplitude_index(0)];
            const double log_tau = first.full[DecayModel::log_lifetime_index(0)];
            start[DecayModel::amplitude_index(0)] = 0.3 * amplitude;
            start[DecayModel::log_lifetime_index(0)] = log_tau - std::log(3.0);
            start[DecayModel::amplitude_index(1)] = 0.7 * amplitude;
            start[DecayModel::log_lifetime_index(1)] = log_tau + std::log(1.5);
            for (size_t a = single.background_index(); a < single.parameter_count(); ++a)
                start[a + 2] = first.full[a];
            hold(request, model, true, start);
        }
    }

    Bounded bounded = optimise_bounded(model, y, request.estimator, start, held);
    Problem &problem = bounded.problem;
    Optimum &optimum = bounded.optimum;
    bool decay_left = false;
    for (int k = 0; k < model.components(); ++k)
        decay_left = decay_left || !bounded.at_bound[DecayModel::amplitude_index(k)];
    if (!optimum.converged || !all_finite(optimum.x) || !decay_left)
        return failure(no_convergence);
    std::vector<double> cov, step;
    if (!polish(problem, optimum.x, cov, step))
        return failure(no_convergence);
    const size_t np = problem.free.size();
    for (size_t a = 0; a < np; ++a) {
        if (!(cov[a * np + a] > 0.0) || std::fabs(step[a]) > 0.05 * std::sqrt(cov[a * np + a]))
            return failure(no_convergence);
    }
    // A component far shorter than a bin is no lifetime the data can tell,
    // whatever its curvature says; it stands in for a sharp part of the
    // response.
    for (int k = 0; k < model.components(); ++k) {
        const double tau = std::exp(problem.full[DecayModel::log_lifetime_index(k)]);
        if (tau < 0.25 * model.bin_width())
            return failure(format("A lifetime came out at %.3g ns, below a quarter of a bin "
                                  "(%.3g ns): the data cannot resolve it; no result. Try one "
                                  "component fewer.",
                                  tau, model.bin_width()));
    }
    FitResult result =
        describe(problem, optimum.iterations + earlier_iterations, cov, bounded.at_bound, range);
    if (std::isfinite(single_deviance)) {
        // Each more parameter (amplitude and lifetime unless held) must buy
        // more than two units of deviance for Akaike's criterion to prefer it.
        result.compared = true;
        result.likelihood_ratio = single_deviance - result.deviance;
        result.aic_difference =
            result.likelihood_ratio - 2.0 * (double(problem.free.size()) - double(single_free));
    }
    return result;
}

FitResult LifetimeFit::fit(const FitRequest &request) {
    const Range range = range_bins(request);
    if (range.count == 0)
        return failure("The fit range holds no histogram bins.");
    const double *y = request.counts.data() + range.first;
    if (const std::string bad =
            invalid_bin("The histogram", request, request.counts, range.first, range.count);
        !bad.empty())
        return failure(bad);
    if (request.irf == IrfKind::Measured) {
        const std::string bad = invalid_bin("The IRF channel", request, request.irf_counts, 0,
                                            request.irf_counts.size());
        if (!bad.empty())
            return failure(bad);
    }
    const double counts = std::accumulate(y, y + range.count, 0.0);
    if (!(counts > 0.0))
        return failure("The channel has no counts in the fit range.");

    if (request.irf == IrfKind::None && starts_before_peak(y, range.count)) {
        const size_t peak = size_t(std::max_element(y, y + range.count) - y);
        return failure(
            format("A tail fit (IRF none) takes the decay to begin at the range "
                   "start, but the counts still rise after it: start the range at or "
                   "after the peak at %.7g ns.",
                   request.first_edge + (double(range.first + peak) + 0.5) * request.bin_width));
    }

    const FitRequest::Held &held = request.held;
    auto positive = [](double v) { return std::isnan(v) || (v > 0.0 && std::isfinite(v)); };
    for (int k = 0; k < request.components && k < 2; ++k)
        if (!positive(held.lifetime[size_t(k)]))
            return failure("A held lifetime must be above 0 ns.");
    if (request.irf == IrfKind::Gaussian && !positive(held.irf_width))
        return failure("A held IRF width must be above 0 ns.");
    if (std::isinf(held.background) || std::isinf(held.irf_position))
        return failure("A held value must be a finite number.");

    MeasuredIrf irf;
    double irf_half_rise = 0.0;
    std::string message;
    if (request.irf == IrfKind::Measured &&
        !prepare_irf(request, range.first, irf, irf_half_rise, message))
        return failure(message);

    const double lo = request.first_edge + double(range.first) * request.bin_width;
    const DecayModel model(request.components, request.irf, lo, request.bin_width, range.count,
                           irf);
    const size_t np = model.parameter_count();
    if (range.count < 2 * np)
        return failure(format("Too few bins in the fit range for this model: %.0f bins, at least "
                              "%.0f needed.",
                              double(range.count), double(2 * np)));
    if (counts < counts_per_parameter * double(np))
        return failure(format("Too few counts in the fit range for this model: %.0f counts, at "
                              "least %.0f needed.",
                              counts, counts_per_parameter * double(np)));

    FitResult result = fit_model(request, range, model, y, irf_half_rise);
    if (result.ok)
        assess(request, y, result);
    else if (const std::string saturated = saturation_warning(y, range.count); !saturated.empty())
        result.message += " Also, " + saturated;
    return result;
}

std::vector<ProfileInterval> LifetimeFit::profile_intervals(const FitRequest &request,
                                                            const FitResult &best) {
    std::vector<ProfileInterval> intervals(best.lifetimes.size());
    if (!best.ok || request.estimator != FitEstimator::PoissonLikelihood)
        return intervals;
    FitRequest probe = request;
    for (size_t k = 0; k < best.lifetimes.size(); ++k) {
        const FitValue tau = best.lifetimes[k];
        if (tau.held)
            continue;
        // The shorter lifetime is held in the component that starts shorter.
        double &held = probe.held.lifetime[k];
        // Deviance above the optimum's, less 1, with ln tau held at s.
        auto excess = [&](double s) {
            held = std::exp(s);
            const FitResult fit = LifetimeFit::fit(probe);
            return fit.ok ? fit.deviance - best.deviance - 1.0 : std::nan("");
        };
        const double centre = std::log(tau.value);
        const double step = std::max(tau.error / tau.value, 1e-4);
        for (double direction : {-1.0, 1.0}) {
            // Steps of one standard error, doubled, until the deviance has
            // risen by more than 1; then false position (Illinois) on the
            // bracket, to 0.01 of a unit of deviance.
            double a = centre, fa = -1.0, b = centre, fb = -1.0, h = step;
            for (int i = 0; i < 13 && fb < 0.0; ++i, h *= 2.0) {
                a = b;
                fa = fb;
                b = centre + direction * h;
                fb = excess(b);
                if (std::isnan(fb))
                    break;
            }
            if (!(fb >= 0.0))
                continue;
            for (int i = 0; i < 30 && std::fabs(fb) > 0.01; ++i) {
                const double c = b - fb * (b - a) / (fb - fa);
                const double fc = excess(c);
                if (std::isnan(fc))
                    break;
                if ((fc > 0.0) != (fb > 0.0)) {
                    a = b;
                    fa = fb;
                } else {
                    fa *= 0.5;
                }
                b = c;
                fb = fc;
            }
            if (std::fabs(fb) <= 0.01)
                (direction < 0.0 ? intervals[k].lower : intervals[k].upper) = std::exp(b);
        }
        held = FitRequest::Held::free;
    }
    return intervals;
}
