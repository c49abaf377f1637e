#include "analysis/decaymodel.h"

#include <gsl/gsl_sf_erf.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double sqrt2 = 1.41421356237309504880;
constexpr double inv_sqrt_2pi = 0.39894228040143267794;

// The part of the exponentially modified Gaussian's distribution function
// that the decay takes away from the plain Gaussian's:
//   G = exp(-lambda (x - t0) + (lambda sigma)^2 / 2) Phi(u - lambda sigma)
// with u = (x - t0) / sigma and ls = lambda sigma. Far before the onset the
// two factors under- and overflow; there the Mills ratio form
// G = phi(u) / hazard(ls - u) stays finite.
double emg_tail(double u, double ls, double phi_u) {
    const double z = u - ls;
    if (z > -5.0)
        return std::exp(ls * (0.5 * ls - u)) * 0.5 * std::erfc(-z / sqrt2);
    return phi_u / gsl_sf_hazard(-z);
}

double edge_slope(double a, double b) {
    return a > 0.0 && b > 0.0 ? 2.0 * a * b / (a + b) : 0.0;
}

} // namespace

DecayModel::DecayModel(int components, IrfKind irf, double first_edge, double bin_width,
                       size_t bins, MeasuredIrf measured)
    : n_components(components), irf_kind(irf), lo(first_edge), width(bin_width), n_bins(bins),
      response(std::move(measured)) {
    response_cumulative.assign(response.weights.size() + 1, 0.0);
    for (size_t j = 0; j < response.weights.size(); ++j)
        response_cumulative[j + 1] = response_cumulative[j] + response.weights[j];
}

size_t DecayModel::parameter_count() const {
    const size_t irf_parameters =
        irf_kind == IrfKind::Gaussian ? 2 : (irf_kind == IrfKind::Measured ? 1 : 0);
    return background_index() + 1 + irf_parameters;
}

void DecayModel::evaluate(const double *x, double *mu, double *jac) const {
    const size_t np = parameter_count();
    std::fill(mu, mu + n_bins, x[background_index()]);
    if (jac != nullptr) {
        std::fill(jac, jac + n_bins * np, 0.0);
        for (size_t i = 0; i < n_bins; ++i)
            jac[i * np + background_index()] = 1.0;
    }
    switch (irf_kind) {
    case IrfKind::None:
        add_tail_components(x, mu, jac);
        break;
    case IrfKind::Gaussian:
        add_gaussian_components(x, mu, jac);
        break;
    case IrfKind::Measured:
        add_measured_components(x, mu, jac);
        break;
    }
}

void DecayModel::response_in_bins(const double *x, double *share) const {
    std::fill(share, share + n_bins, 0.0);
    if (irf_kind == IrfKind::Gaussian) {
        const double t0 = x[position_index()], sigma = std::exp(x[log_width_index()]);
        auto below = [&](size_t e) {
            return 0.5 * std::erfc(-(lo + double(e) * width - t0) / (sigma * sqrt2));
        };
        for (size_t i = 0; i < n_bins; ++i)
            share[i] = below(i + 1) - below(i);
    } else if (irf_kind == IrfKind::Measured) {
        // A decay that ends at once leaves each bin of the response its own
        // mass: the model with one such component and no background.
        std::vector<double> y = {1.0, -300.0, 0.0, x[position_index()]};
        const DecayModel just_response(1, IrfKind::Measured, lo, width, n_bins, response);
        just_response.evaluate(y.data(), share, nullptr);
    }
}

// Decays that start at the range's lower edge: the distribution function of
// component k is 1 - exp(-lambda_k (x - lo)).
void DecayModel::add_tail_components(const double *x, double *mu, double *jac) const {
    const size_t np = parameter_count();
    for (int k = 0; k < n_components; ++k) {
        const double amplitude = x[amplitude_index(k)];
        const double lambda = std::exp(-x[log_lifetime_index(k)]);
        double g_prev = 1.0;  // 1 - F at the lower edge of bin 0
        double dl_prev = 0.0; // -lambda dF/dlambda at that edge
        for (size_t i = 0; i < n_bins; ++i) {
            const double dx = double(i + 1) * width;
            const double g = std::exp(-lambda * dx);
            const double dl = -lambda * dx * g;
            mu[i] += amplitude * (g_prev - g);
            if (jac != nullptr) {
                double *row = jac + i * np;
                row[amplitude_index(k)] = g_prev - g;
                row[log_lifetime_index(k)] = amplitude * (dl - dl_prev);
            }
            g_prev = g;
            dl_prev = dl;
        }
    }
}

// The exponentially modified Gaussian, integrated over each bin as the
// difference of its distribution function F = Phi(u) - G at the bin's edges.
// With G as in emg_tail, d/dt0 F = -lambda G,
// d/dlambda F = G ((x - t0) - lambda sigma^2) + sigma phi(u) and
// d/dsigma F = lambda (phi(u) - lambda sigma G).
void DecayModel::add_gaussian_components(const double *x, double *mu, double *jac) const {
    const size_t np = parameter_count();
    const int nk = n_components;
    const double t0 = x[position_index()];
    const double sigma = std::exp(x[log_width_index()]);
    double amplitude[2], lambda[2];
    for (int k = 0; k < nk; ++k) {
        amplitude[k] = x[amplitude_index(k)];
        lambda[k] = std::exp(-x[log_lifetime_index(k)]);
    }
    // Per component: F (or 1 - F), d F / d ln tau, d F / d t0, d F / d ln sigma at one edge.
    struct Edge {
        bool survival;
        double f[2], dtau[2], dt0[2], dsigma[2];
    };
    auto edge_at = [&](size_t e, Edge &out) {
        const double dx = lo + double(e) * width - t0;
        const double u = dx / sigma;
        // Beyond 38 widths from the onset the Gaussian's density is 0 and its
        // distribution function 0 or 1 in double precision.
        const bool far = std::fabs(u) > 38.0;
        // After the onset the edge keeps the survival function 1 - F =
        // Phi(-u) + G instead of F: late in the decay F is close to 1 and
        // its differences would lose the digits that 1 - F keeps, as 1 - F
        // would lose the tiny masses before the onset.
        out.survival = u > 0.0;
        const double phi = far ? 0.0 : inv_sqrt_2pi * std::exp(-0.5 * u * u);
        const double big_phi = far ? 0.0 : 0.5 * std::erfc((out.survival ? u : -u) / sqrt2);
        for (int k = 0; k < nk; ++k) {
            const double l = lambda[k];
            const double ls = l * sigma;
            // Far after the onset G still needs its Phi(u - ls) factor when the
            // decay is far shorter than the width (ls > u), or the exponential
            // overflows; emg_tail keeps it (phi(u) is 0 there).
            const double g = u < -38.0 ? 0.0 : emg_tail(u, ls, phi);
            out.f[k] = out.survival ? big_phi + g : big_phi - g;
            out.dtau[k] = -l * (g * (dx - l * sigma * sigma) + sigma * phi);
            out.dt0[k] = -l * g;
            out.dsigma[k] = sigma * l * (phi - l * sigma * g);
        }
    };
    Edge prev, cur;
    edge_at(0, prev);
    for (size_t i = 0; i < n_bins; ++i) {
        edge_at(i + 1, cur);
        double *row = jac != nullptr ? jac + i * np : nullptr;
        for (int k = 0; k < nk; ++k) {
            const double df = !cur.survival   ? cur.f[k] - prev.f[k]
                              : prev.survival ? prev.f[k] - cur.f[k]
                                              : (1.0 - cur.f[k]) - prev.f[k];
            mu[i] += amplitude[k] * df;
            if (row == nullptr)
                continue;
            row[amplitude_index(k)] = df;
            row[log_lifetime_index(k)] = amplitude[k] * (cur.dtau[k] - prev.dtau[k]);
            row[position_index()] += amplitude[k] * (cur.dt0[k] - prev.dt0[k]);
            row[log_width_index()] += amplitude[k] * (cur.dsigma[k] - prev.dsigma[k]);
        }
        prev = cur;
    }
}

// Mass of the shifted response in each bin of the domain, its density at the
// bins' edges and, in every bin it touches, its density as polynomial pieces.
// Between bin edges the response's cumulative sum is a cubic Hermite curve
// through the exact sums: its density is continuous, so the mass changes
// smoothly with the shift and the optimum in the shift is not stuck on a
// kink. The slope at an edge is the harmonic mean of the two neighbouring
// bins (Fritsch-Butland), zero beside an empty bin: it never exceeds twice
// the smaller bin, which keeps the curve monotone, so a response one or two
// bins wide shifted by a fraction of a bin has no negative mass (the plain
// mean gave up to -7 % of it beside a sharp peak, and with it negative
// expected counts).
void DecayModel::shifted_irf(double shift_bins, long domain_lo, size_t domain_bins) const {
    const std::vector<double> &w = response.weights;
    const long length = long(w.size());
    auto weight = [&](long j) { return j < 0 || j >= length ? 0.0 : w[size_t(j)]; };
    // Cumulative sum and density at y bins from the response's first edge.
    auto at = [&](double y, double &cumulative, double &density) {
        if (y <= 0.0 || y >= double(length)) {
            cumulative = y <= 0.0 ? 0.0 : response_cumulative.back();
            density = 0.0;
            return;
        }
        const long j = long(y);
        const double t = y - double(j);
        const double p0 = response_cumulative[size_t(j)];
        const double p1 = response_cumulative[size_t(j + 1)];
        const double m0 = edge_slope(weight(j - 1), weight(j));
        const double m1 = edge_slope(weight(j), weight(j + 1));
        const double t2 = t * t, t3 = t2 * t;
        cumulative = (2 * t3 - 3 * t2 + 1) * p0 + (t3 - 2 * t2 + t) * m0 + (3 * t2 - 2 * t3) * p1 +
                     (t3 - t2) * m1;
        density = (6 * t2 - 6 * t) * (p0 - p1) + (3 * t2 - 4 * t + 1) * m0 + (3 * t2 - 2 * t) * m1;
    };
    mass.assign(domain_bins, 0.0);
    mass_shift.assign(domain_bins, 0.0);
    edge_density.assign(domain_bins + 1, 0.0);
    const double origin = double(response.first_bin) + shift_bins;
    double c_lo, d_lo;
    at(double(domain_lo) - origin, c_lo, d_lo);
    edge_density[0] = d_lo;
    for (size_t d = 0; d < domain_bins; ++d) {
        double c_hi, d_hi;
        at(double(domain_lo + long(d) + 1) - origin, c_hi, d_hi);
        mass[d] = c_hi - c_lo;
        mass_shift[d] = d_lo - d_hi;
        edge_density[d + 1] = d_hi;
        c_lo = c_hi;
        d_lo = d_hi;
    }
    // On response interval j the density is a0 + a1 t + a2 t^2 (t from 0 to
    // 1 across it); in a bin it is written in u, the time left to the bin's
    // upper edge, over the part of the bin the interval covers.
    pieces.clear();
    const double first = std::max(0.0, std::floor(origin - double(domain_lo)));
    const double last = std::min(double(domain_bins), origin + double(length) - double(domain_lo));
    for (size_t d = size_t(first); double(d) < last; ++d) {
        const double y_lo = double(domain_lo + long(d)) - origin;
        const long j0 = long(std::floor(y_lo));
        for (long j = j0; j <= j0 + 1; ++j) {
            if (j < 0 || j >= length)
                continue;
            const double ta = std::max(y_lo, double(j)) - double(j);
            const double tb = std::min(y_lo + 1.0, double(j + 1)) - double(j);
            if (!(tb > ta))
                continue;
            const double m0 = edge_slope(weight(j - 1), weight(j));
            const double m1 = edge_slope(weight(j), weight(j + 1));
            const double wj = weight(j);
            const double a1 = 6.0 * wj - 4.0 * m0 - 2.0 * m1;
            const double a2 = -6.0 * wj + 3.0 * m0 + 3.0 * m1;
            const double top = y_lo + 1.0 - double(j); // t at the bin's upper edge
            pieces.push_back(
                {d, top - tb, top - ta, m0 + a1 * top + a2 * top * top, -a1 - 2.0 * a2 * top, a2});
        }
    }
}

namespace {

// m[k] = integral from a to b of u^k exp(-r u) du, k = 0..3, for 0 <= a <= b
// <= 1: a power series for small r, where the recurrence would divide away
// all digits, the recurrence m[k] = (a^k e^-ra - b^k e^-rb + k m[k-1]) / r
// for large r, where it is stable.
void exp_moments(double r, double a, double b, double m[4]) {
    if (r < 2.0) {
        double pa = a, pb = b, coefficient = 1.0; // a^(n+1), b^(n+1), (-r)^n / n!
        std::fill(m, m + 4, 0.0);
        for (int n = 0; n < 40 && std::fabs(coefficient) > 1e-19; ++n) {
            double qa = pa, qb = pb;
            for (int k = 0; k < 4; ++k) {
                m[k] += coefficient * (qb - qa) / double(k + n + 1);
                qa *= a;
                qb *= b;
            }
            pa *= a;
            pb *= b;
            coefficient *= -r / double(n + 1);
        }
        return;
    }
    const double ea = std::exp(-r * a), eb = std::exp(-r * b);
    m[0] = (ea - eb) / r;
    double ak = 1.0, bk = 1.0;
    for (int k = 1; k < 4; ++k) {
        ak *= a;
        bk *= b;
        m[k] = (ak * ea - bk * eb + double(k) * m[k - 1]) / r;
    }
}

} // namespace

// A decay started at u before a bin's upper edge survives to it with
// exp(-r u), r = w / tau. With e_d the response's mass in bin d weighted so
// (the integral of its density times exp(-r u)), the bin itself keeps
// m_d - e_d and bin d + k receives e_d (1 - E) E^(k-1), E = exp(-r): one
// recursion per component. Using the response's density inside the bin
// rather than a uniform spread matters for a response narrower than a bin,
// where it decides how much of the decay lands in the peak bin.
// By the shift o (bins) e_d moves as -g(d + 1) + g(d) E + r e_d (by parts,
// g the density at the bin's edges); by ln tau as r times the first moment.
void DecayModel::add_measured_components(const double *x, double *mu, double *jac) const {
    const size_t np = parameter_count();
    double shift_bins = x[position_index()] / width;
    if (std::isnan(shift_bins)) {
        std::fill(mu, mu + n_bins, std::numeric_limits<double>::quiet_NaN());
        return;
    }
    // The optimiser may try any shift. Beyond a range's length on either side
    // the response lies wholly outside it, so the shift is held there: the
    // work arrays then stay bounded by the range and the response.
    const double reach = double(n_bins + response.weights.size());
    shift_bins = std::clamp(shift_bins, -reach - double(response.first_bin),
                            reach - double(response.first_bin));
    const long irf_start = long(std::floor(double(response.first_bin) + shift_bins));
    const long domain_lo = std::min(0L, irf_start);
    const size_t domain_bins = size_t(long(n_bins) - domain_lo);
    shifted_irf(shift_bins, domain_lo, domain_bins);

    for (int k = 0; k < n_components; ++k) {
        const double amplitude = x[amplitude_index(k)];
        const double r = width * std::exp(-x[log_lifetime_index(k)]);
        const double one_minus_e = -std::expm1(-r);
        const double e = 1.0 - one_minus_e;
        const double de = e * r; // dE / d ln tau
        survive.assign(domain_bins, 0.0);
        survive_moment.assign(domain_bins, 0.0);
        for (const Piece &piece : pieces) {
            double m[4];
            exp_moments(r, piece.u_lo, piece.u_hi, m);
            survive[piece.bin] += piece.c[0] * m[0] + piece.c[1] * m[1] + piece.c[2] * m[2];
            survive_moment[piece.bin] += piece.c[0] * m[1] + piece.c[1] * m[2] + piece.c[2] * m[3];
        }
        double s = 0.0, s_tau = 0.0, s_shift = 0.0;
        for (size_t d = 0; d < domain_bins; ++d) {
            const long i = domain_lo + long(d);
            const double out = survive[d];
            const double out_tau = r * survive_moment[d];
            const double out_shift = -edge_density[d + 1] + edge_density[d] * e + r * out;
            if (i >= 0) {
                const double c = mass[d] - out + one_minus_e * s;
                mu[i] += amplitude * c;
                if (jac != nullptr) {
                    double *row = jac + size_t(i) * np;
                    row[amplitude_index(k)] = c;
                    row[log_lifetime_index(k)] =
                        amplitude * (-out_tau - de * s + one_minus_e * s_tau);
                    row[position_index()] +=
                        amplitude * (mass_shift[d] - out_shift + one_minus_e * s_shift) / width;
                }
            }
            s_tau = de * s + e * s_tau + out_tau;
            s = e * s + out;
            s_shift = e * s_shift + out_shift;
        }
    }
}
