// The lifetime fit on synthetic histograms drawn event by event (no widgets):
// its estimates must be unbiased and its standard errors honest, and bad
// input must give a message instead of numbers.
#include "lifetimefit.h"

#include <gsl/gsl_randist.h>
#include <gsl/gsl_rng.h>

#include <QtTest>

#include <cmath>
#include <memory>

namespace {

// A decay source: components (lifetime, share of the decay's events), a
// response (Gaussian or measured), a flat background share, on a grid of
// `bins` bins of `width` ns from 0.
struct Source {
    std::vector<std::pair<double, double>> components;
    double onset = 2.0;
    double sigma = 0.3;
    double background_share = 0.05;
    size_t bins = 500;
    double width = 0.05;
};

using Rng = std::unique_ptr<gsl_rng, void (*)(gsl_rng *)>;

// An exponential time; log of a uniform number is cheaper than GSL's log1p.
double exponential(gsl_rng *rng, double mean) {
    return -mean * std::log(gsl_rng_uniform_pos(rng));
}

// One response time: a Gaussian, or a skewed response (Gaussian plus a short
// exponential) that the Gaussian model would not describe.
double response_time(gsl_rng *rng, const Source &s, bool skewed) {
    const double t = s.onset + gsl_ran_gaussian_ziggurat(rng, s.sigma);
    return skewed ? t + exponential(rng, 0.1) : t;
}

std::vector<double> draw(gsl_rng *rng, const Source &s, double mean_counts, bool skewed) {
    std::vector<double> h(s.bins, 0.0);
    const double span = double(s.bins) * s.width;
    const unsigned total = gsl_ran_poisson(rng, mean_counts);
    for (unsigned e = 0; e < total; ++e) {
        double t;
        if (gsl_rng_uniform(rng) < s.background_share) {
            t = gsl_rng_uniform(rng) * span;
        } else {
            double pick = gsl_rng_uniform(rng);
            size_t k = 0;
            while (k + 1 < s.components.size() && pick >= s.components[k].second)
                pick -= s.components[k++].second;
            t = response_time(rng, s, skewed) + exponential(rng, s.components[k].first);
        }
        if (t >= 0.0 && t < span)
            h[size_t(t / s.width)] += 1.0;
    }
    return h;
}

FitRequest request_for(const Source &s, int components, IrfKind irf) {
    FitRequest r;
    r.first_edge = 0.0;
    r.bin_width = s.width;
    r.range_from = 0.0;
    r.range_to = double(s.bins) * s.width;
    r.components = components;
    r.irf = irf;
    return r;
}

} // namespace

class TstLifetimeFit : public QObject {
    Q_OBJECT
private slots:
    void honestErrors_data() {
        QTest::addColumn<int>("components");
        // "Gaussian", "measured", "tail" (no response, the range after it),
        // "least squares" (Gaussian) or "clean" (Gaussian, no background).
        QTest::addColumn<QString>("variant");
        QTest::addColumn<double>("counts");
        QTest::addColumn<int>("draws");
        // Two components from a thousand counts: the likelihood's small-sample
        // bias of the lifetimes is 2-3 % there (the pulls stay honest); 500
        // draws pin it down.
        QTest::addColumn<double>("tolerance");
        QTest::newRow("one, tail, 1e4") << 1 << "tail" << 1e4 << 200 << 0.01;
        QTest::newRow("one, least squares, 1e4") << 1 << "least squares" << 1e4 << 200 << 0.01;
        QTest::newRow("one, clean, 1e3") << 1 << "clean" << 1e3 << 200 << 0.01;
        QTest::newRow("one, Gaussian, 1e3") << 1 << "Gaussian" << 1e3 << 200 << 0.01;
        QTest::newRow("one, Gaussian, 1e5") << 1 << "Gaussian" << 1e5 << 200 << 0.01;
        QTest::newRow("two, Gaussian, 1e3") << 2 << "Gaussian" << 1e3 << 500 << 0.04;
        QTest::newRow("two, Gaussian, 1e5") << 2 << "Gaussian" << 1e5 << 200 << 0.01;
        QTest::newRow("two, measured, 1e5") << 2 << "measured" << 1e5 << 200 << 0.01;
    }
    // Over many draws the mean lifetime lies within 1 % of the truth and the
    // pulls (fitted - true) / error scatter with a standard deviation near 1.
    void honestErrors() {
        QFETCH(int, components);
        QFETCH(QString, variant);
        QFETCH(double, counts);
        QFETCH(int, draws);
        QFETCH(double, tolerance);
        Source source;
        source.components = components == 1
                                ? std::vector<std::pair<double, double>>{{2.5, 1.0}}
                                : std::vector<std::pair<double, double>>{{0.5, 0.5}, {3.0, 0.5}};
        const bool measured = variant == "measured";
        const int irf = int(measured ? IrfKind::Measured
                                     : (variant == "tail" ? IrfKind::None : IrfKind::Gaussian));
        if (variant == "clean")
            source.background_share = 0.0;
        Rng rng(gsl_rng_alloc(gsl_rng_mt19937), gsl_rng_free);
        gsl_rng_set(rng.get(), 20261207u + unsigned(components * 10 + irf) + unsigned(counts));

        FitRequest request = request_for(source, components, IrfKind(irf));
        if (variant == "least squares")
            request.estimator = FitEstimator::LeastSquares;
        if (IrfKind(irf) == IrfKind::None) // a tail fit starts after the response
            request.range_from = source.onset + 6.0 * source.sigma;
        std::vector<double> sum(size_t(components), 0.0), pull_sum(size_t(components), 0.0),
            pull_sq(size_t(components), 0.0);
        int failed = 0;
        if (measured) { // the response, measured well, at another time
            Source irf_source = source;
            irf_source.components = {{1e-9, 1.0}};
            irf_source.onset = 8.0;
            irf_source.background_share = 0.001;
            request.irf_counts = draw(rng.get(), irf_source, 1e6, true);
        }
        for (int d = 0; d < draws; ++d) {
            request.counts = draw(rng.get(), source, counts, measured);
            const FitResult fit = LifetimeFit::fit(request);
            if (!fit.ok) {
                ++failed;
                continue;
            }
            for (int k = 0; k < components; ++k) {
                const double truth = source.components[size_t(k)].first;
                const FitValue &tau = fit.lifetimes[size_t(k)];
                const double pull = (tau.value - truth) / tau.error;
                sum[size_t(k)] += tau.value;
                pull_sum[size_t(k)] += pull;
                pull_sq[size_t(k)] += pull * pull;
            }
        }
        const double good = double(draws - failed);
        QVERIFY2(failed <= draws / 50, qPrintable(QString("%1 fits failed").arg(failed)));
        bool honest = true;
        for (int k = 0; k < components; ++k) {
            const double truth = source.components[size_t(k)].first;
            const double mean = sum[size_t(k)] / good;
            const double pull_mean = pull_sum[size_t(k)] / good;
            const double pull_sd = std::sqrt(pull_sq[size_t(k)] / good - pull_mean * pull_mean);
            qInfo("tau %.2f ns: mean %.4f ns (%+.2f %%), pull mean %+.3f sd %.3f, %d of %d "
                  "fitted",
                  truth, mean, 100.0 * (mean / truth - 1.0), pull_mean, pull_sd, int(good), draws);
            honest = honest && std::fabs(mean / truth - 1.0) < tolerance && pull_sd > 0.85 &&
                     pull_sd < 1.15;
        }
        QVERIFY(honest);
    }

    void badInput_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty range") << "empty"
                                     << "The fit range holds no histogram bins.";
        QTest::newRow("no counts") << "zeros"
                                   << "The channel has no counts in the fit range.";
        QTest::newRow("few counts") << "few"
                                    << "Too few counts in the fit range";
        QTest::newRow("few bins") << "narrow"
                                  << "Too few bins in the fit range";
        QTest::newRow("silent IRF") << "irf"
                                    << "The IRF channel has no counts.";
        QTest::newRow("flat IRF") << "flatirf"
                                  << "The IRF channel shows no peak";
        QTest::newRow("flat data") << "flat"
                                   << "The fit did not converge";
    }
    void badInput() {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        Source source;
        source.components = {{2.5, 1.0}};
        Rng rng(gsl_rng_alloc(gsl_rng_mt19937), gsl_rng_free);
        gsl_rng_set(rng.get(), 7);
        FitRequest request = request_for(source, 1, IrfKind::Gaussian);
        request.counts = draw(rng.get(), source, 1e4, false);
        if (kind == "empty")
            request.range_from = request.range_to = 10.0;
        if (kind == "zeros")
            request.counts.assign(source.bins, 0.0);
        if (kind == "few")
            request.counts = draw(rng.get(), source, 60, false);
        if (kind == "narrow")
            request.range_to = 0.4;
        if (kind == "irf" || kind == "flatirf") {
            request.irf = IrfKind::Measured;
            request.irf_counts.assign(source.bins, kind == "irf" ? 0.0 : 50.0);
        }
        if (kind == "flat") {
            source.background_share = 1.0;
            request.counts = draw(rng.get(), source, 1e5, false);
        }
        const FitResult fit = LifetimeFit::fit(request);
        QVERIFY(!fit.ok);
        QVERIFY(fit.lifetimes.empty() && fit.model.empty());
        QVERIFY2(QString::fromStdString(fit.message).startsWith(message), fit.message.c_str());
    }
};

QTEST_APPLESS_MAIN(TstLifetimeFit)
#include "tst_lifetimefit.moc"
