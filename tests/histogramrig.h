// A connected TdcIface on the device library's test double, for the plot tests: exposures are
// played so that the histograms come out exactly as asked.
#ifndef HISTOGRAMRIG_H
#define HISTOGRAMRIG_H

#include "device/tdciface.h"
#include "run/runcontroller.h"
#include "tests/fakeoxtdc.h"

#include <cmath>
#include <memory>
#include <vector>

// Counts per bin of one channel's histogram, as an exposure should produce them.
using Histogram = std::vector<uint32_t>;

struct HistogramRig {
    FakeOxTdc &fake = FakeOxTdc::instance();
    std::unique_ptr<TdcIface> tdc;

    HistogramRig() {
        fake.reset();
        tdc = std::make_unique<TdcIface>();
        tdc->init(QStringLiteral("x.ini"));
    }
    void set_params(double start, double size, double binsize, uint32_t binning,
                    uint32_t channels) {
        tdc->set_histo_params({start, size, binsize, binning, channels});
    }
    // Window of `bins` bins of 2^binning device bins (0.5 ns each) from start.
    void set_window(double start, uint32_t bins, uint32_t binning = 0, uint32_t channels = 16) {
        set_params(start, (bins - 1) * std::ldexp(0.5, int(binning)), 0.5, binning, channels);
    }
    // Plays one exposure of exactly these histograms, cleared first if `fresh`; the statistics
    // block holds each channel's events unless `block_counts` is given. Returns its record.
    ExposureResult expose(const std::vector<Histogram> &histos,
                          std::vector<uint32_t> block_counts = {}, bool fresh = true) {
        const HistoParams p = *tdc->get_histo_params();
        std::vector<TdcEvent> events;
        std::vector<uint32_t> counts(16, 0);
        for (uint32_t c = 0; c < histos.size(); ++c)
            for (uint64_t i = 0; i < histos[c].size(); ++i)
                for (uint32_t k = 0; k < histos[c][i]; ++k, ++counts[c])
                    events.push_back(FakeOxTdc::make_event(
                        c, static_cast<uint64_t>(p.start / p.binsize) + (i << p.binning)));
        return play(events, block_counts.empty() ? counts : block_counts, fresh);
    }
    ExposureResult play(const std::vector<TdcEvent> &events, const std::vector<uint32_t> &counts,
                        bool fresh) {
        if (fresh) {
            tdc->reset_histo_stats();
            tdc->clear_histos();
        }
        fake.play_exposure(events, FakeOxTdc::make_statistics(counts));
        return result();
    }
    // The exposure just played, as the run controller hands it to the plots.
    ExposureResult result() const { return RunController::read_exposure(*tdc); }
};

#endif // HISTOGRAMRIG_H
