// The lifetime fit on synthetic histograms: unbiased, honest errors, a message for bad input; then
// the fit window on the simulated device, whose configured lifetimes are the ground truth.
#include "analysis/lifetimefit.h"
#include "device/tdciface.h"
#include "run/runcontroller.h"
#include "tools/lifetimefitwindow.h"

#include <gsl/gsl_randist.h>
#include <gsl/gsl_rng.h>
#include <qwt_plot.h>
#include <qwt_plot_curve.h>

#include <QtTest>
#include <QtWidgets>

#include <cmath>
#include <memory>
#include <numeric>

namespace {

constexpr double sigma = 0.3, width = 0.05, span = 500 * width; // ns
constexpr size_t bins = 500;
const char *const start_at_peak = "start the range at or after the peak at [0-9.]+ ns";

// Decays (lifetime in ns, share) through a response at `onset` on a flat background; a skewed
// response has a short exponential tail that the Gaussian model does not describe.
struct Source {
    std::vector<std::pair<double, double>> components;
    double background_share = 0.05, onset = 2.0;
    bool skewed = false;
    double sigma = ::sigma;
};
const Source one{{{2.5, 1.0}}}, two{{{0.5, 0.5}, {3.0, 0.5}}};

// Draws histograms on a grid of n bins of w ns from a fixed seed.
struct Rig {
    explicit Rig(unsigned long seed) { gsl_rng_set(rng.get(), seed); }
    std::vector<double> draw(const Source &s, double mean_counts, double w = width,
                             size_t n = bins) {
        gsl_rng *r = rng.get();
        // Log of a uniform number is cheaper than GSL's log1p.
        auto exponential = [r](double mean) { return -mean * std::log(gsl_rng_uniform_pos(r)); };
        std::vector<double> h(n, 0.0);
        const double end = w * double(n);
        for (unsigned e = gsl_ran_poisson(r, mean_counts); e > 0; --e) {
            double t;
            if (gsl_rng_uniform(r) < s.background_share) {
                t = gsl_rng_uniform(r) * end;
            } else {
                double pick = gsl_rng_uniform(r);
                size_t k = 0;
                while (k + 1 < s.components.size() && pick >= s.components[k].second)
                    pick -= s.components[k++].second;
                t = s.onset + gsl_ran_gaussian_ziggurat(r, s.sigma);
                t += s.skewed ? exponential(0.1) : 0.0;
                t += exponential(s.components[k].first);
            }
            if (t >= 0.0 && t < end)
                h[size_t(t / w)] += 1.0;
        }
        return h;
    }
    std::unique_ptr<gsl_rng, void (*)(gsl_rng *)> rng{gsl_rng_alloc(gsl_rng_mt19937), gsl_rng_free};
};

constexpr IrfKind tail = IrfKind::None, gauss = IrfKind::Gaussian, measured = IrfKind::Measured;
constexpr FitEstimator ml = FitEstimator::PoissonLikelihood, ls = FitEstimator::LeastSquares;

// A row of the honest-errors table; the tolerance is of the mean lifetime.
struct Case {
    int components;
    IrfKind irf;
    double counts, background_share = 0.05;
    FitEstimator estimator = ml;
    int draws = 200;
    double tolerance = 0.01;
    double sharp = 0.0; // width of a sharp measured response in ns, 0 for a broad one
};

// Data a fit must refuse or warn about (regular expressions; neither for clean data): counts capped
// at `cap`, bin 101 replaced, a measured response flat at irf_level when those are set.
struct Trap {
    Source source;
    double counts;
    int components;
    IrfKind irf;
    double from = 0.0, to = span;
    const char *refusal = nullptr;
    const char *warning = nullptr;
    double cap = 0.0;
    FitEstimator estimator = ml;
    double irf_level = -1.0, bin101 = 0.0;
};

Trap with(Trap t, double Trap::*field, double value) {
    t.*field = value;
    return t;
}

// Mean and standard deviation of the values gathered over the draws.
std::pair<double, double> moments(const std::vector<double> &v) {
    double sum = 0.0, squares = 0.0;
    for (double x : v)
        sum += x, squares += x * x;
    const double n = double(v.size()), mean = sum / n;
    return {mean, std::sqrt(squares / n - mean * mean)};
}

struct Decay {
    int channel;
    double delay, lifetime;
};

} // namespace

Q_DECLARE_METATYPE(Case)
Q_DECLARE_METATYPE(Trap)
Q_DECLARE_METATYPE(IrfKind)

class TestLifetimeFit : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    TdcIface tdc;
    QList<Decay> decays;
    int completed = 0;
    bool expose(int ms) {
        const int before = completed;
        return tdc.start_measure(ms) >= 0 &&
               QTest::qWaitFor([&] { return completed > before; }, 60000);
    }
    double countsOf(int channel) {
        const std::vector<double> *h = tdc.get_channel_histo(uint32_t(channel));
        return h != nullptr ? std::accumulate(h->begin(), h->end(), 0.0) : 0.0;
    }
    // The row of the results table whose quantity starts with name.
    static double resultValue(QTableWidget *table, const QString &name, int column = 1) {
        const QList<QTableWidgetItem *> found = table->findItems(name, Qt::MatchStartsWith);
        return found.isEmpty() ? qQNaN() : table->item(found[0]->row(), column)->text().toDouble();
    }

private slots:
    // The default configuration, generated as fast as possible, to 1e5 counts per decay channel.
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QFile in(QCoreApplication::applicationDirPath() + "/tdc_qv5.ini");
        QFile out(dir.filePath("tdc_qv5.ini"));
        QVERIFY(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
        const QByteArray text = in.readAll().replace("realtime = true", "realtime = false");
        QVERIFY(out.write(text) == text.size());
        out.close();
        QSettings ini(out.fileName(), QSettings::IniFormat);
        for (int c = 0; c < 16; ++c) {
            ini.beginGroup(QString("channel%1").arg(c));
            if (ini.value("shape").toString() == "decay")
                decays.append(
                    {c, ini.value("delay_ns").toDouble(), ini.value("lifetime_ns").toDouble()});
            ini.endGroup();
        }
        QVERIFY(!decays.isEmpty());
        connect(
            &tdc, &TdcIface::complete_callback, this, [this](int) { ++completed; },
            Qt::QueuedConnection);
        QVERIFY2(tdc.init(out.fileName()) >= 0, qPrintable(tdc.get_error_message()));
        tdc.set_histo_params({0.0, 1000.0, tdc.get_binsize(), 0, 16});
        tdc.clear_histos();
        for (const Decay &d : decays) {
            for (int i = 0; i < 10 && countsOf(d.channel) < 1e5; ++i)
                QVERIFY(expose(1000));
            QVERIFY(countsOf(d.channel) >= 1e5);
        }
    }

    void honestErrors_data() {
        QTest::addColumn<Case>("c");
        QTest::newRow("one, tail, 1e4") << Case{1, tail, 1e4};
        QTest::newRow("one, least squares, 1e4") << Case{1, gauss, 1e4, 0.05, ls};
        QTest::newRow("one, no background, 1e3") << Case{1, gauss, 1e3, 0.0};
        QTest::newRow("one, Gaussian, 1e3") << Case{1, gauss, 1e3};
        QTest::newRow("one, Gaussian, 1e5") << Case{1, gauss, 1e5};
        QTest::newRow("two, Gaussian, 1e3") << Case{2, gauss, 1e3, 0.05, ml, 500, 0.04};
        QTest::newRow("two, Gaussian, 1e5") << Case{2, gauss, 1e5};
        QTest::newRow("two, measured, 1e5") << Case{2, measured, 1e5};
        for (double share : {0.01, 0.0})
            for (double sharp : {0.04, 0.1})
                QTest::addRow("sharp measured, sigma %g ns, background %g", sharp, share)
                    << Case{1, measured, 1e5, share, ml, 100, 0.01, sharp};
    }
    // Over many draws the mean lifetime is within the tolerance and the pulls (fitted - true) /
    // error have mean 0 and sd 1 (two components from 1e3 counts: the likelihood's bias is 2-3 %).
    // A sharp measured response is one to three 0.125 ns bins wide, the decay shifted against it
    // by every fraction of a bin: no negative mass, no guessed share of the peak bin.
    void honestErrors() {
        QFETCH(Case, c);
        const bool sharp = c.sharp > 0.0;
        const double w = sharp ? 0.125 : width;
        const size_t n = sharp ? 200 : bins;
        Source source{{{sharp ? 3.0 : 2.5, 1.0}}, c.background_share};
        source.skewed = c.irf == measured && !sharp;
        source.sigma = sharp ? c.sharp : sigma;
        if (c.components == 2)
            source.components = two.components;
        Rig rig(20261207u + unsigned(c.components * 10 + int(c.irf)) + unsigned(c.counts) +
                unsigned(1e3 * (c.sharp + c.background_share)));
        FitRequest request{{},
                           {},
                           0.0,
                           w,
                           0.0,
                           double(n) * w,
                           c.components,
                           c.irf,
                           FitEstimator::PoissonLikelihood,
                           {}};
        request.estimator = c.estimator;
        if (c.irf == tail)
            request.range_from = source.onset + 6.0 * sigma;
        if (c.irf == measured) // the response, measured well, at another time
            request.irf_counts =
                sharp ? rig.draw(Source{{{1e-9, 1.0}}, 0.0, 15.0 + 0.5 * w, false, c.sharp}, 1e5, w,
                                 n)
                      : rig.draw(Source{{{1e-9, 1.0}}, 0.001, 8.0, true}, 1e6);
        // Pulls of the response's onset and width, of the intensity fraction and mean lifetimes.
        std::vector<std::vector<double>> taus(c.components), pulls(c.components), others(5);
        std::vector<double> ratios, zs;
        int mismatched = 0;
        for (int d = 0; d < c.draws; ++d) {
            if (sharp)
                source.onset = 3.0 + w * double(d) / c.draws;
            request.counts = rig.draw(source, c.counts, w, n);
            const FitResult fit = LifetimeFit::fit(request);
            for (const std::string &warning : fit.warnings)
                mismatched += warning.rfind(model_mismatch, 0) == 0 ? 1 : 0;
            if (!fit.ok)
                continue;
            ratios.push_back(fit.deviance / fit.expected_deviance);
            zs.push_back(fit.deviance_z);
            for (size_t k = 0; k < fit.lifetimes.size(); ++k) {
                const FitValue tau = fit.lifetimes[k];
                taus[k].push_back(tau.value);
                pulls[k].push_back((tau.value - source.components[k].first) / tau.error);
            }
            std::vector<std::pair<FitValue, double>> more;
            if (c.irf == gauss)
                more = {{fit.irf_position, source.onset}, {fit.irf_width, sigma}};
            if (c.components == 2)
                more.insert(more.end(), {{fit.intensity_fractions[0], 0.5},
                                         {fit.mean_lifetime_amplitude, 3.0 / 3.5},
                                         {fit.mean_lifetime_intensity, 1.75}});
            for (size_t q = 0; q < more.size(); ++q)
                others[q].push_back((more[q].first.value - more[q].second) / more[q].first.error);
        }
        const int fitted = int(zs.size());
        QVERIFY2(fitted >= c.draws - c.draws / 50, qPrintable(QString("%1 fitted").arg(fitted)));
        bool honest = true;
        for (size_t k = 0; k < taus.size(); ++k) {
            const double truth = source.components[k].first;
            const double bias = moments(taus[k]).first / truth - 1.0;
            const auto [pull_mean, pull_sd] = moments(pulls[k]);
            qInfo("tau %.2f ns: mean %+.2f %%, pull mean %+.3f sd %.3f, %d of %d fitted", truth,
                  100.0 * bias, pull_mean, pull_sd, fitted, c.draws);
            honest = honest && std::fabs(bias) < c.tolerance && std::fabs(pull_mean) < 0.5 &&
                     pull_sd > 0.85 && pull_sd < 1.15;
        }
        for (size_t q = 0; q < others.size() && !others[q].empty(); ++q) {
            const auto [mean, sd] = moments(others[q]);
            qInfo("quantity %zu: pull mean %+.3f sd %.3f", q, mean, sd);
            honest = honest && std::fabs(mean) < 0.3 && sd > 0.8 && sd < 1.25;
        }
        QVERIFY(honest);
        // The deviance near its expectation, z standard normal, at any counts per bin; least
        // squares and a sharp response's unknown shape inside a bin raise it.
        const double ratio = moments(ratios).first;
        const auto [z_mean, z_sd] = moments(zs);
        qInfo("goodness: deviance / expected %.4f, z mean %+.2f sd %.2f, %d flagged", ratio, z_mean,
              z_sd, mismatched);
        QVERIFY(c.estimator == ls || sharp ||
                (std::fabs(ratio - 1.0) < 0.02 && std::fabs(z_mean) < 0.4 && z_sd > 0.6 &&
                 z_sd < 1.25 && mismatched == 0));
    }

    void untrustworthy_data() {
        QTest::addColumn<Trap>("t");
        QTest::newRow("tail with the rise") << Trap{one, 1e4, 1, tail, 0.0, span, start_at_peak};
        QTest::newRow("tail from 0.5 ns before the onset")
            << Trap{one, 1e4, 1, tail, 1.5, span, start_at_peak};
        QTest::newRow("tail after the peak, 1e3") << Trap{one, 1e3, 1, tail, 3.8};
        QTest::newRow("tail after the peak, 1e5") << Trap{one, 1e5, 1, tail, 3.8};
        auto warned = [](Source s, double counts, int components, const char *warning,
                         double cap = 0.0, FitEstimator estimator = ml) {
            return Trap{s, counts, components, gauss, 0.0, span, nullptr, warning, cap, estimator};
        };
        QTest::newRow("saturated at 500") << warned(one, 1e5, 1, "flat at 500 counts", 500.0);
        QTest::newRow("lifetime far beyond the range")
            << warned({{{200.0, 1.0}}}, 1e5, 1, "far beyond");
        QTest::newRow("two components on one")
            << warned(one, 1e5, 2, "not determined|the data support one component");
        QTest::newRow("one component on two") << warned(two, 1e5, 1, "the deviance lies");
        QTest::newRow("least squares at 1e3")
            << warned(one, 1e3, 1, "least squares is biased", 0.0, ls);
        QTest::newRow("clean, 1e3") << warned(one, 1e3, 1, nullptr);
        QTest::newRow("clean, 1e6") << warned(one, 1e6, 1, nullptr);
        QTest::newRow("clean, two, 1e5") << warned(two, 1e5, 2, nullptr);
        QTest::newRow("clean, least squares, 1e5") << warned(one, 1e5, 1, nullptr, 0.0, ls);
        // Input that gives no fit at all.
        auto refused = [](const char *message, double counts = 1e4, double share = 0.05) {
            return Trap{Source{{{2.5, 1.0}}, share}, counts, 1, gauss, 0.0, span, message};
        };
        QTest::newRow("empty range")
            << with(refused("^The fit range holds no histogram bins"), &Trap::to, 0.0);
        QTest::newRow("no counts") << refused("^The channel has no counts in the fit range", 0.0);
        QTest::newRow("few counts") << refused("^Too few counts in the fit range", 60.0);
        QTest::newRow("few bins") << with(refused("^Too few bins in the fit range"), &Trap::to,
                                          0.4);
        QTest::newRow("silent IRF")
            << with(refused("^The IRF channel has no counts"), &Trap::irf_level, 0.0);
        QTest::newRow("flat IRF") << with(refused("^The IRF channel shows no peak"),
                                          &Trap::irf_level, 50.0);
        QTest::newRow("flat data") << refused("^The fit did not converge", 1e5, 1.0);
        QTest::newRow("NaN bin") << with(refused("not a finite number \\(nan\\) at 5\\.05 ns"),
                                         &Trap::bin101, qQNaN());
        QTest::newRow("infinite bin")
            << with(refused("not a finite number \\(inf\\)"), &Trap::bin101, qInf());
        QTest::newRow("negative bin")
            << with(refused("a negative count \\(-3\\) at 5\\.05 ns"), &Trap::bin101, -3.0);
    }
    // Data a lifetime fit must not answer with a plain result: refused with a message naming
    // what to change, or a result carrying a warning. Clean data carry none.
    void untrustworthy() {
        QFETCH(Trap, t);
        std::vector<double> counts = Rig(11).draw(t.source, t.counts);
        for (double &v : counts)
            v = t.cap > 0.0 ? std::min(v, t.cap) : v;
        if (t.bin101 != 0.0)
            counts[101] = t.bin101;
        const bool level = t.irf_level >= 0.0;
        const FitResult fit = LifetimeFit::fit(
            {counts,
             level ? std::vector<double>(bins, t.irf_level) : std::vector<double>(),
             0.0,
             width,
             t.from,
             t.to,
             t.components,
             level ? measured : t.irf,
             t.estimator,
             {}});
        const QString warnings = QString::fromStdString(
            std::accumulate(fit.warnings.begin(), fit.warnings.end(), std::string(),
                            [](auto a, auto b) { return a + b + "\n"; }));
        qInfo("%s%s", fit.message.c_str(), qPrintable(warnings));
        QCOMPARE(fit.ok, t.refusal == nullptr);
        if (t.refusal != nullptr)
            QVERIFY(fit.lifetimes.empty() && fit.model.empty() &&
                    QString::fromStdString(fit.message).contains(QRegularExpression(t.refusal)));
        QVERIFY(t.warning ? warnings.contains(QRegularExpression(t.warning)) : warnings.isEmpty());
    }

    void heldParameters_data() {
        QTest::addColumn<int>("components");
        QTest::addColumn<int>("which"); // lifetime 1, 2, background, IRF position, width
        QTest::addColumn<double>("value");
        QTest::newRow("lifetime") << 1 << 0 << 2.5;
        QTest::newRow("background") << 1 << 2 << 10.0;
        QTest::newRow("IRF position") << 1 << 3 << 2.0;
        QTest::newRow("IRF width") << 1 << 4 << 0.3;
        QTest::newRow("shorter lifetime of two") << 2 << 0 << 0.5;
        QTest::newRow("negative lifetime") << 1 << 0 << -1.0;
    }
    // A parameter held at its true value: the result shows it as held, the others still find
    // the truth, and the fit has one degree of freedom more.
    void heldParameters() {
        QFETCH(int, components);
        QFETCH(int, which);
        QFETCH(double, value);
        const Source source = components == 2 ? two : one; // 10 background counts per bin
        FitRequest request{
            Rig(5).draw(source, 1e5),        {}, 0.0, width, 0.0, span, components, gauss,
            FitEstimator::PoissonLikelihood, {}};
        const FitResult free = LifetimeFit::fit(request);
        FitRequest::Held &held = request.held;
        double *slot[] = {&held.lifetime[0], &held.lifetime[1], &held.background,
                          &held.irf_position, &held.irf_width};
        *slot[which] = value;
        const FitResult fit = LifetimeFit::fit(request);
        if (value < 0.0) {
            QCOMPARE(fit.message, std::string("A held lifetime must be above 0 ns."));
            return;
        }
        QVERIFY(free.ok && fit.ok);
        const FitValue got[] = {fit.lifetimes[0], fit.lifetimes.back(), fit.background,
                                fit.irf_position, fit.irf_width};
        QVERIFY(got[which].held && got[which].error == 0.0);
        QCOMPARE(got[which].value, value);
        QCOMPARE(fit.dof, free.dof + 1);
        for (size_t k = 0; k < fit.lifetimes.size(); ++k)
            QVERIFY(fit.lifetimes[k].held ||
                    std::fabs(fit.lifetimes[k].value - source.components[k].first) <
                        4.0 * fit.lifetimes[k].error);
    }

    void bounds_data() {
        QTest::addColumn<int>("components");
        QTest::addColumn<IrfKind>("irf");
        QTest::addColumn<double>("share");    // of the background
        QTest::addColumn<bool>("two_source"); // data of two components, else of one
        QTest::newRow("one, Gaussian, no background") << 1 << gauss << 0.0 << false;
        QTest::newRow("one, measured, no background") << 1 << measured << 0.0 << false;
        QTest::newRow("two, Gaussian, no background") << 2 << gauss << 0.0 << true;
        QTest::newRow("two, measured, no background") << 2 << measured << 0.0 << true;
        QTest::newRow("one, Gaussian, background") << 1 << gauss << 0.05 << false;
        QTest::newRow("two on one, Gaussian") << 2 << gauss << 0.05 << false;
        QTest::newRow("two on one, measured") << 2 << measured << 0.05 << false;
    }
    // Background and amplitudes stay at or above zero: without background it ends "at bound" at 0
    // with no error, lifetimes unbiased, also where a measured response expects nothing in some
    // bins. Two components on one: a fraction at its bound, its lifetime undetermined.
    void bounds() {
        QFETCH(int, components);
        QFETCH(IrfKind, irf);
        QFETCH(double, share);
        QFETCH(bool, two_source);
        const Source source{(two_source ? two : one).components, share, 2.0, irf == measured};
        Rig rig(4242u + unsigned(components * 10 + int(irf)) + unsigned(1e3 * share));
        FitRequest request{
            {}, {}, 0.0, width, 0.0, span, components, irf, FitEstimator::PoissonLikelihood, {}};
        if (irf == measured)
            request.irf_counts = rig.draw(Source{{{1e-9, 1.0}}, 0.001, 8.0, true}, 1e6);
        const int draws = 20;
        std::vector<std::vector<double>> taus{size_t(components)};
        int at_bound = 0, vanished = 0, failed = 0;
        for (int d = 0; d < draws; ++d) {
            request.counts = rig.draw(source, 1e5);
            const FitResult fit = LifetimeFit::fit(request);
            // A second lifetime on data of one may run off to infinity: no result then.
            failed += fit.ok ? 0 : 1;
            if (!fit.ok && components == 2 && !two_source)
                continue;
            QVERIFY2(fit.ok, fit.message.c_str());
            const FitValue bg = fit.background;
            QVERIFY(bg.value >= 0.0 && !bg.held);
            QVERIFY(!bg.at_bound || (bg.value == 0.0 && bg.error == 0.0));
            at_bound += bg.at_bound ? 1 : 0;
            // Without background a free one is noise: within 3 errors of 0.
            QVERIFY(bg.at_bound || share > 0.0 || bg.value < 3.0 * bg.error);
            for (size_t k = 0; k < fit.lifetimes.size(); ++k) {
                for (const FitValue &f : {fit.fractions[k], fit.intensity_fractions[k]})
                    QVERIFY(
                        f.value >= 0.0 && f.value <= 1.0 &&
                        (!f.at_bound || ((f.value == 0.0 || f.value == 1.0) && f.error == 0.0)));
                const bool none = fit.fractions[k].at_bound && fit.fractions[k].value == 0.0;
                QCOMPARE(std::isnan(fit.lifetimes[k].error), none);
                vanished += none ? 1 : 0;
                if (!none)
                    taus[k].push_back(fit.lifetimes[k].value);
            }
        }
        qInfo("background at bound in %d of %d, a component without amplitude in %d, %d failed",
              at_bound, draws, vanished, failed);
        QVERIFY(failed <= draws / 4);
        QVERIFY(share > 0.0 ? at_bound == 0 : at_bound >= (draws - failed) / 2);
        if (components == 1 || two_source) {
            for (size_t k = 0; k < taus.size(); ++k) {
                const double truth = source.components[k].first;
                const double bias = moments(taus[k]).first / truth - 1.0;
                qInfo("tau %.2f ns: mean %+.2f %%", truth, 100.0 * bias);
                QVERIFY(std::fabs(bias) < 0.01);
            }
        } else {
            QVERIFY(vanished > 0);
        }
    }

    // Profile intervals: from 1e5 counts nearly the curvature's error bars; from 1e3 in a tail fit
    // longer above than below, holding the truth about 68 % of the time.
    void profileIntervals() {
        Rig rig(99);
        FitRequest request{
            {}, {}, 0.0, width, 2.0 + 6.0 * sigma, span, 1, tail, FitEstimator::PoissonLikelihood,
            {}};
        int covered = 0, longer_above = 0;
        constexpr int draws = 100;
        for (int d = 0; d < draws; ++d) {
            request.counts = rig.draw(one, 1e3);
            const FitResult fit = LifetimeFit::fit(request);
            const ProfileInterval i = LifetimeFit::profile_intervals(request, fit).at(0);
            const double tau = fit.lifetimes[0].value;
            covered += i.lower < 2.5 && 2.5 < i.upper ? 1 : 0;
            longer_above += i.upper - tau > tau - i.lower ? 1 : 0;
        }
        request.counts = rig.draw(one, 1e5);
        request.irf = gauss;
        request.range_from = 0.0;
        const FitResult fit = LifetimeFit::fit(request);
        const ProfileInterval i = LifetimeFit::profile_intervals(request, fit).at(0);
        const FitValue tau = fit.lifetimes[0];
        qInfo("1e3 counts: %d of %d cover the truth, %d longer above; 1e5: %.4f - %.4f "
              "(curvature %.4f +- %.4f)",
              covered, draws, longer_above, i.lower, i.upper, tau.value, tau.error);
        QVERIFY(covered >= 58 && covered <= 78 && longer_above >= 90);
        QVERIFY(std::fabs((i.upper - tau.value) / tau.error - 1.0) < 0.1 &&
                std::fabs((tau.value - i.lower) / tau.error - 1.0) < 0.1);
    }

    void jacobian_data() {
        QTest::addColumn<int>("components");
        QTest::addColumn<IrfKind>("irf");
        QTest::addColumn<std::vector<double>>("response");
        QTest::addColumn<double>("lifetime");
        const std::vector<double> none, sharp{0.1, 0.8, 0.1}, broad{1, 3, 7, 12, 9, 6, 4, 2, 1};
        QTest::newRow("one, tail") << 1 << tail << none << 2.5;
        QTest::newRow("two, tail") << 2 << tail << none << 2.5;
        QTest::newRow("one, Gaussian") << 1 << gauss << none << 2.5;
        QTest::newRow("two, Gaussian") << 2 << gauss << none << 2.5;
        QTest::newRow("one, measured sharp") << 1 << measured << sharp << 2.5;
        QTest::newRow("two, measured broad") << 2 << measured << broad << 2.5;
        QTest::newRow("two, measured, lifetimes below a bin") << 2 << measured << broad << 0.02;
    }
    // Every model's derivatives against central differences of its values; the response the
    // saved fit carries has all of its area in the range.
    void jacobian() {
        QFETCH(int, components);
        QFETCH(IrfKind, irf);
        QFETCH(std::vector<double>, response);
        QFETCH(double, lifetime);
        const double total = std::accumulate(response.begin(), response.end(), 0.0);
        for (double &v : response)
            v /= total;
        const DecayModel model(components, irf, 0.0, width, 200, MeasuredIrf{20, response});
        std::vector<double> x{1e4, std::log(lifetime), 3.0};
        if (components == 2)
            x = {4e3, std::log(0.16 * lifetime), 6e3, std::log(lifetime), 3.0};
        if (irf == gauss)
            x.insert(x.end(), {2.03, std::log(0.3)});
        if (irf == measured)
            x.push_back(0.537); // 10.74 bins
        const size_t np = x.size(), n = model.bins();
        std::vector<double> mu(n), up(n), down(n), jac(n * np);
        model.evaluate(x.data(), mu.data(), jac.data());
        double worst = 0.0;
        for (size_t a = 0; a < np; ++a) {
            const double h = 1e-6 * std::max(1.0, std::fabs(x[a]));
            std::vector<double> shifted = x;
            shifted[a] = x[a] + h;
            model.evaluate(shifted.data(), up.data(), nullptr);
            shifted[a] = x[a] - h;
            model.evaluate(shifted.data(), down.data(), nullptr);
            double scale = 0.0, error = 0.0;
            for (size_t i = 0; i < n; ++i) {
                const double numeric = (up[i] - down[i]) / (2.0 * h);
                scale = std::max(scale, std::fabs(numeric));
                error = std::max(error, std::fabs(jac[i * np + a] - numeric));
            }
            worst = std::max(worst, error / scale);
        }
        qInfo("largest difference %.2g of the column's largest value", worst);
        QVERIFY(worst < 1e-5);
        model.response_in_bins(x.data(), up.data());
        const double area = std::accumulate(up.begin(), up.end(), 0.0);
        QVERIFY(std::fabs(area - (irf == tail ? 0.0 : 1.0)) < 1e-9);
    }

    // A wild step of the response's shift neither throws nor sizes the work arrays by it.
    void wildShiftOfTheMeasuredResponse() {
        DecayModel model(1, measured, 0.0, 0.1, 100, MeasuredIrf{-5, std::vector<double>(10, 0.1)});
        std::vector<double> x = {1000.0, std::log(2.0), 1.0, 0.0}, mu(100);
        for (double shift : {1e15, -1e15, 3.0}) {
            x[3] = shift;
            model.evaluate(x.data(), mu.data(), nullptr);
            QVERIFY(std::isfinite(mu[50]) && mu[50] >= 1.0);
        }
        // A decay far shorter than the Gaussian's width: late bins hold the background, no
        // overflow.
        DecayModel gaussian(1, gauss, 0.0, 0.1, 400, {});
        x = {1000.0, std::log(0.003), 1.0, 2.0, std::log(0.3)};
        mu.resize(gaussian.bins());
        gaussian.evaluate(x.data(), mu.data(), nullptr);
        QVERIFY(std::all_of(mu.begin(), mu.end(), [](double m) { return m >= 1.0 && m < 200.0; }));
        QCOMPARE(mu.back(), 1.0);
        // Late bins without background keep the exponential tail's digits, 1e-100 and less.
        x = {1.0, std::log(0.1), 0.0, 2.0, std::log(0.3)};
        gaussian.evaluate(x.data(), mu.data(), nullptr);
        for (size_t i : {250, 399}) {
            const double after = double(i) * 0.1 - 2.0;
            const double tail = std::exp(0.5 * 9.0 - 10.0 * after) * -std::expm1(-1.0);
            QVERIFY2(std::fabs(mu[i] / tail - 1.0) < 1e-9, qPrintable(QString::number(mu[i])));
        }
    }

    // Each decay channel in the window: the configured lifetime within 3 errors and 2 %, curves
    // drawn; then intervals, saving, warnings, held values, refusals, live refits, a lost device.
    void groundTruthInTheWindow() {
        QSettings("VelmoraTests", "LifetimeFitSim").remove("lifetimefit/geometry"); // the default
        LifetimeFitWindow w(&tdc, "VelmoraTests", "LifetimeFitSim", nullptr);
        // Each exposure's record, as the run controller hands it over.
        connect(
            &tdc, &TdcIface::complete_callback, &w,
            [&] { w.exposureRecorded(RunController::read_exposure(tdc)); }, Qt::QueuedConnection);
        w.exposureRecorded(RunController::read_exposure(tdc));
        QSignalSpy done(&w, &LifetimeFitWindow::fitFinished);
        auto click = [&](const char *name) {
            QTest::mouseClick(w.findChild<QPushButton *>(name), Qt::LeftButton);
        };
        auto fit = [&](bool ok) {
            const int before = done.count(); // input refused at once, or a fit on a worker
            click("bu_fit");
            return (done.count() > before || done.wait(20000)) && done.last().at(0).toBool() == ok;
        };
        auto pick = [&](const char *box, const QString &text) {
            auto *b = w.findChild<QComboBox *>(box);
            b->setCurrentIndex(b->findText(text));
        };
        auto text = [&](const char *label) { return w.findChild<QLabel *>(label)->text(); };
        w.show();
        auto *channel = w.findChild<QComboBox *>("cb_channel");
        auto *table = w.findChild<QTableWidget *>("results");
        auto *warning = w.findChild<QLabel *>("lb_warning");
        QCOMPARE(channel->count(), 15); // ch8 sees nothing
        for (const Decay &d : decays) {
            pick("cb_channel", QString("ch%1").arg(d.channel));
            w.setFitRange(d.delay - 5.0, std::min(d.delay + 10.0 * d.lifetime, 1000.0));
            QVERIFY2(fit(true), qPrintable(text("lb_message")));
            const double tau = resultValue(table, "lifetime"),
                         error = resultValue(table, "lifetime", 2);
            qInfo("ch%-2d %8.0f counts: %6.2f ns fitted %8.4f +- %.4f ns (%+.2f %%, %+.2f sd), "
                  "deviance / expected %.3f",
                  d.channel, resultValue(table, "counts in range"), d.lifetime, tau, error,
                  100.0 * (tau / d.lifetime - 1.0), (tau - d.lifetime) / error,
                  resultValue(table, "deviance / expected"));
            QVERIFY(std::fabs(tau - d.lifetime) < 3.0 * error &&
                    std::fabs(tau / d.lifetime - 1.0) < 0.02 && warning->isHidden());
            for (QwtPlot *plot : w.findChildren<QwtPlot *>())
                for (QwtPlotItem *item : plot->itemList(QwtPlotItem::Rtti_PlotCurve))
                    QVERIFY(static_cast<QwtPlotCurve *>(item)->dataSize() > 50);
        }
        QVERIFY(w.resultText().startsWith("quantity\tvalue\tstd. error\nlifetime [ns]\t"));
        // Profile intervals on request, around the lifetime.
        QSignalSpy intervals(&w, &LifetimeFitWindow::intervalsFinished);
        click("bu_intervals");
        QVERIFY(intervals.wait(20000));
        const double tau = resultValue(table, "lifetime [ns]");
        QVERIFY(resultValue(table, "lifetime, 68 % interval from") < tau &&
                tau < resultValue(table, "lifetime, 68 % interval to"));
        // Saved: a CSV line per bin, the settings and results beside it.
        QVERIFY(w.saveFit(dir.filePath("fit.csv")));
        QFile csv(dir.filePath("fit.csv")), json(dir.filePath("fit.json"));
        QVERIFY(csv.open(QIODevice::ReadOnly) && json.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().split('\n');
        QCOMPARE(lines.size() - 2, int(resultValue(table, "degrees of freedom")) + 5);
        double response = 0.0; // the Gaussian lies wholly inside the range
        for (int i = 1; i + 1 < lines.size(); ++i)
            response += lines[i].split(',').value(4).toDouble();
        QVERIFY(std::fabs(response - 1.0) < 1e-9);
        const QJsonObject saved = QJsonDocument::fromJson(json.readAll()).object();
        QVERIFY(std::fabs(saved["results"][0]["value"].toDouble() / tau - 1.0) < 1e-5);
        QCOMPARE(saved["settings"]["irf"].toString(), QString("Gaussian"));
        // Two components on one: a result, with the reasons not to trust it above the table and
        // in the copied text.
        auto *components = w.findChild<QComboBox *>("cb_components");
        components->setCurrentIndex(1);
        QVERIFY(fit(true));
        QVERIFY(!warning->isHidden() && !warning->text().isEmpty());
        QVERIFY(resultValue(table, "AIC(one) - AIC(two)") < 0.0);
        QVERIFY(w.resultText().contains("\nwarning\t"));
        // At the window's default size, on a 1366 x 768 screen, the whole table of two components
        // with their intervals shows without scrolling, the warnings above it.
        click("bu_intervals");
        QVERIFY(intervals.wait(20000));
        QVERIFY(w.width() <= 1366 && w.frameGeometry().height() <= 740);
        QTRY_VERIFY(table->rowCount() > 20 && table->verticalScrollBar()->maximum() == 0 &&
                    table->horizontalScrollBar()->maximum() == 0);
        QVERIFY(warning->geometry().bottom() < w.height());
        components->setCurrentIndex(0);
        // A held lifetime: its value, "fixed" for its error.
        w.findChild<QCheckBox *>("ck_hold_tau1")->setChecked(true);
        w.findChild<QDoubleSpinBox *>("sb_hold_tau1")->setValue(6.0);
        QVERIFY(fit(true));
        QVERIFY(w.resultText().contains("\nlifetime [ns]\t6\tfixed\n"));
        w.findChild<QCheckBox *>("ck_hold_tau1")->setChecked(false);
        // A tail fit over the rise is refused, naming where to start.
        const Decay last = decays.back();
        pick("cb_irf", "none");
        w.setFitRange(last.delay - 5.0, last.delay + 10.0 * last.lifetime);
        QVERIFY(fit(false));
        QVERIFY(text("lb_message").contains(QRegularExpression(start_at_peak)));
        QVERIFY(warning->isHidden());
        pick("cb_irf", "Gaussian");
        QVERIFY(fit(true));
        const double counts = resultValue(table, "counts in range");
        pick("cb_irf", "measured");
        pick("cb_irf_channel", "ch7"); // flat light only
        QVERIFY(fit(false));
        QCOMPARE(table->rowCount(), 0);
        QVERIFY(w.findChild<QwtPlot *>()->title().text().contains("The IRF channel shows no peak"));
        QVERIFY(text("lb_message").startsWith("The IRF channel shows no peak"));
        pick("cb_irf_channel", channel->currentText());
        QVERIFY(fit(false));
        QVERIFY(text("lb_message").startsWith("The IRF must come from another channel"));
        pick("cb_irf", "Gaussian");
        w.findChild<QCheckBox *>("cb_live")->setChecked(true);
        const int fits = done.count();
        QVERIFY(expose(200));
        QTRY_VERIFY_WITH_TIMEOUT(done.count() > fits && done.last().at(0).toBool(), 20000);
        QVERIFY(resultValue(table, "counts in range") > counts);
        w.setHistogramsReadable([] { return false; });
        pick("cb_channel", "ch2");
        click("bu_fit");
        QVERIFY(text("lb_message").startsWith("An exposure is running"));
        QVERIFY(tdc.deinit() >= 0);
        QVERIFY(text("lb_message").startsWith("The exposure ended without completing"));
    }
};

QTEST_MAIN(TestLifetimeFit)
#include "tst_lifetimefit.moc"
