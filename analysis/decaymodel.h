#ifndef DECAYMODEL_H
#define DECAYMODEL_H

#include <cstddef>
#include <vector>

// How the decay is seen: cut at the range start (tail fit), through a
// Gaussian response, or through a measured response of another channel.
enum class IrfKind { None, Gaussian, Measured };

// A measured instrument response on the data's bin grid: normalised weights
// of consecutive bins, the first at `first_bin` counted from the first bin of
// the fit range (negative when it lies before the range).
struct MeasuredIrf {
    long first_bin = 0;
    std::vector<double> weights;
};

// Expected counts per bin of a fit range for one or two exponential
// components plus a constant background, and their derivatives.
//
// Parameter vector, in this order: per component the amplitude (counts of
// the component over all times after its onset) and the natural logarithm
// of its lifetime in ns; the background in counts per bin; then the
// response's parameters: Gaussian - onset in ns and the logarithm of the
// width sigma in ns; measured - the response's shift in ns; none - nothing
// (the decay starts at the range's lower edge). Logarithms keep lifetimes
// and widths positive whatever step the optimiser tries.
class DecayModel {
public:
    DecayModel(int components, IrfKind irf, double first_edge, double bin_width, size_t bins,
               MeasuredIrf measured = {});

    int components() const { return n_components; }
    IrfKind irf() const { return irf_kind; }
    size_t bins() const { return n_bins; }
    double first_edge() const { return lo; }
    double bin_width() const { return width; }
    size_t parameter_count() const;
    const MeasuredIrf &response_used() const { return response; }

    static size_t amplitude_index(int k) { return size_t(2 * k); }
    static size_t log_lifetime_index(int k) { return size_t(2 * k + 1); }
    size_t background_index() const { return size_t(2 * n_components); }
    size_t position_index() const { return background_index() + 1; }
    size_t log_width_index() const { return background_index() + 2; }

    // Fills mu (bins values) and, when jac is not null, the derivatives
    // d mu_i / d x_j row by row (bins x parameter_count values).
    void evaluate(const double *x, double *mu, double *jac) const;
    // The response's share of its area in each bin (bins values) at the
    // parameters x: the Gaussian's or the shifted measured one's; zeros for
    // a tail fit, which has none.
    void response_in_bins(const double *x, double *share) const;

private:
    void add_tail_components(const double *x, double *mu, double *jac) const;
    void add_gaussian_components(const double *x, double *mu, double *jac) const;
    void add_measured_components(const double *x, double *mu, double *jac) const;
    void shifted_irf(double shift_bins, long domain_lo, size_t domain_bins) const;

    int n_components;
    IrfKind irf_kind;
    double lo;
    double width;
    size_t n_bins;
    MeasuredIrf response;
    std::vector<double> response_cumulative; // weights summed up to each bin edge

    // The shifted response's density in one bin of the domain over [u_lo,
    // u_hi], u the time to the bin's upper edge in bins: c0 + c1 u + c2 u^2.
    struct Piece {
        size_t bin;
        double u_lo, u_hi;
        double c[3];
    };

    // Work arrays of the measured response, reused between evaluations.
    mutable std::vector<double> mass, mass_shift, edge_density, survive, survive_moment;
    mutable std::vector<Piece> pieces;
};

#endif // DECAYMODEL_H
