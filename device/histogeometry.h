#ifndef HISTOGEOMETRY_H
#define HISTOGEOMETRY_H

#include "device/histopipe.h"

#include <cstdint>

// The shape of the histograms a parameter record asks for, and the one
// memory budget they must fit in. The panel's guard and displays, the
// accumulator and the export all size histograms through here, so they
// cannot disagree about a bin count or about what fits.
class HistoGeometry {
public:
    explicit HistoGeometry(const HistoParams &params);

    // Width of one histogram bin in ns: 2^binning device bins.
    double bin_width() const { return width; }
    // False when the bin count is not a finite number below 2^64.
    bool countable() const { return is_countable; }
    // Bins per channel; 0 when not countable.
    uint64_t bins() const { return nbins; }
    // Lower edge of bin i in ns, counted from the unrounded start offset.
    double time_of_bin(uint64_t i) const { return start + static_cast<double>(i) * width; }
    // Bytes of the histograms of all channels.
    double histo_bytes() const;
    // Bytes the program holds for these histograms: the histograms being
    // filled, the completed ones the displays read meanwhile and a cleared
    // set for the next exposure, the plot's
    // time axis as long as one of them, and the x and y samples the plot
    // keeps per channel, each at most as long as its histogram.
    double footprint_bytes() const;

    // Footprint of histograms of `total_bins` bins over all channels, the
    // longest `longest_bins`: the three sets of them, their plot samples and the
    // time axis.
    static double footprint_of(uint64_t total_bins, uint64_t longest_bins);
    // Bytes per bin of one channel: its histograms with their tallies and
    // its plot samples.
    static double held_bytes_per_bin();

    // 2^binning as a double, the shift taken modulo 64 as the event path does.
    static double binning_factor(uint32_t binning);
    // Bin count of one channel: trunc(size / (2^binning x binsize) + 1); false
    // when that is not finite, negative beyond -1 or not below 2^64.
    static bool compute_nbins(const HistoParams &params, uint64_t &nbins);

    // Bytes that histograms (with the plot's buffers) may take, given that
    // `held_bytes` are held by the histograms they replace: no more than three
    // quarters of the physical memory, and no more than what the machine (and
    // the control group the program runs in) can still hand out plus what is
    // given back. Negative never; unknown figures count as no limit from them.
    static double memory_budget(double held_bytes);
    // An upper bound on the budget, for a program that shares the machine
    // with other work (and for tests); 0 or less: none.
    static void set_memory_cap(double bytes);

    static constexpr double bytes_per_bin = sizeof(double);
    // Large histograms count their events in a byte per bin beside each bin.
    static constexpr double tally_bytes_per_bin = 1;
    // The histograms the device fills, the completed ones held for the
    // displays while it does, and a cleared set for the next exposure.
    static constexpr int histogram_sets = 3;
    // Per channel the plot keeps an x and a y sample array.
    static constexpr int plot_sample_arrays = 2;

private:
    double start;
    double width;
    uint32_t channels;
    uint64_t nbins = 0;
    bool is_countable = false;
};

#endif // HISTOGEOMETRY_H
