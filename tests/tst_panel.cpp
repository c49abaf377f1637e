// The measurement panel against the device library's test double: the run
// state machine in its four modes, stopping, the event threshold, parameter
// hand-over, losing the device, the memory guard, the error boxes and the
// stored parameters.

#include "exposureprogress.h"
#include "fakeoxtdc.h"
#include "modalanswerer.h"
#include "mwidget.h"
#include "statswindow.h"
#include "tdciface.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>
#include <numeric>

namespace {

FakeOxTdc &fake() {
    return FakeOxTdc::instance();
}

// Every exposure has channel 0's events at 50, 100 and 150 ns and channel 1's
// at 20 ns (device bins of 0.5 ns); its statistics block counts `counts`.
void play_exposure(const QVector<uint> &counts) {
    std::vector<TdcEvent> events;
    for (uint64_t time : {100, 200, 300})
        events.push_back(FakeOxTdc::make_event(0, time));
    events.push_back(FakeOxTdc::make_event(1, 40));
    fake().play_exposure(events, FakeOxTdc::make_statistics({counts.begin(), counts.end()}));
}

// A run mode: its controls, the rounds of completions handled, and what is
// seen after each completion.
struct RunMode {
    bool accumulate, autorun;
    int iterations, rounds, exposures;
    QList<int> left, states;
    QList<double> sums;
    uint64_t stats_events;
    int total;
    double final_sum;
};

} // namespace

Q_DECLARE_METATYPE(RunMode)

class TestPanel : public QObject {
    Q_OBJECT

    std::unique_ptr<TdcIface> tdc;
    std::unique_ptr<Mwidget> panel;
    QList<QVector<uint>> script; // counts played first, then `repeat` over and over
    QVector<uint> repeat;
    QList<int> left_after, state_after; // right after each completion is handled
    QList<double> sum_at_start;         // channel 0's sum as each exposure begins
    ModalAnswerer modals;               // error boxes and file dialogs, each armed before the step
    template <typename T = QSpinBox> T *child(const char *name) const {
        T *w = panel->findChild<T *>(QString::fromLatin1(name));
        if (!w)
            qFatal("no child %s", name);
        return w;
    }
    // The run state, the enabled buttons and an active automatic repetition,
    // e.g. "2 stop autorun"; "0" is idle with nothing to press.
    QString run() const {
        QStringList s{QString::number(panel->get_run_state())};
        if (child<QPushButton>("bu_start")->isEnabled())
            s << "start";
        if (child<QPushButton>("bu_stop")->isEnabled())
            s << "stop";
        if (panel->is_autorun_active())
            s << "autorun";
        return s.join(' ');
    }
    void click(const char *name) { child<QAbstractButton>(name)->click(); }
    int starts() const { return fake().count("ox_tdc_start_measure2"); }
    int interrupts() const { return fake().count("ox_tdc_interrupt2"); }
    double histo_sum() const {
        const std::vector<double> *h = tdc->get_channel_histo(0);
        return h ? std::accumulate(h->begin(), h->end(), 0.0) : 0.0;
    }
    void connect_device() {
        panel->slot_init_deinit(true);
        QVERIFY(tdc->is_initialized());
    }
    void set_run(bool accumulate, bool autorun, int iterations, int threshold = 0) {
        child<QCheckBox>("cb_accumulate")->setChecked(accumulate);
        child<QCheckBox>("cb_autorun")->setChecked(autorun);
        child("sb_iterations")->setValue(iterations);
        child("sb_event_threshold")->setValue(threshold);
    }
    // Each round handles the completions posted so far; a completion that
    // starts another exposure posts the next one for a later round.
    void deliver(int rounds = 1) {
        for (int i = 0; i < rounds; ++i)
            QCoreApplication::processEvents();
    }
    void play_next() {
        sum_at_start << histo_sum();
        play_exposure(script.isEmpty() ? repeat : script.takeFirst());
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() {
        fake().reset();
        fake().set_binsize(0.5);
        fake().set_auto_exposure([this]() { play_next(); });
        script = {};
        repeat = {3, 1};
        left_after = state_after = {};
        sum_at_start = {};
        modals.take();
        tdc = std::make_unique<TdcIface>();
        panel = std::make_unique<Mwidget>(tdc.get(), nullptr);
        // Queued after the panel's own connection: sees each completion once
        // handled. Queued to `tdc`, so stray completions die with the test.
        auto seen = [this](int) {
            left_after << child("sb_iterations_left")->value();
            state_after << panel->get_run_state();
        };
        connect(tdc.get(), &TdcIface::complete_callback, tdc.get(), seen, Qt::QueuedConnection);
    }

    void cleanup() {
        panel.reset();
        tdc.reset();
    }

    // One key stored as a settings file holds it (or none); every other key
    // falls back to its default. Saving again shows what the controls took.
    void storedParameters_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QVariant>("loaded");
        QTest::newRow("defaults") << QString() << QVariant() << QVariant();
        QTest::newRow("exposure > max") << "exposure" << QVariant(20000000) << QVariant(10000000);
        QTest::newRow("binning") << "binning" << QVariant(64) << QVariant(64);
        QTest::newRow("binning 2^20") << "binning" << QVariant(1048576) << QVariant(1048576);
        QTest::newRow("binning 3") << "binning" << QVariant(3) << QVariant(1);
        QTest::newRow("binning 2^32+64") << "binning" << QVariant(4294967360LL) << QVariant(1);
        QTest::newRow("start") << "histo_start" << QVariant(250) << QVariant(250);
        QTest::newRow("size < 0") << "histo_size" << QVariant(-5) << QVariant(0);
        QTest::newRow("autostart") << "autostart" << QVariant(true) << QVariant(true);
        QTest::newRow("accumulate") << "accumulate" << QVariant(true) << QVariant(true);
        QTest::newRow("iterations 0") << "iterations" << QVariant(0) << QVariant(1);
        QTest::newRow("threshold > max")
            << "event_threshold" << QVariant(1500000000) << QVariant(1000000000);
    }

    void storedParameters() {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(QVariant, loaded);
        QMap<QString, QVariant> expected{{"exposure", 100},    {"binning", 1},
                                         {"histo_start", 0},   {"histo_size", 1000},
                                         {"autostart", false}, {"accumulate", false},
                                         {"iterations", 1000}, {"event_threshold", 10000000}};
        QTemporaryDir dir;
        QSettings in(dir.filePath("in.ini"), QSettings::IniFormat);
        if (!key.isEmpty()) {
            in.setValue("mwidget/" + key, stored.toString()); // as read from the file
            expected[key] = loaded;
        }
        set_run(true, true, 9, 11); // every control away from its default first
        for (const char *name : {"sb_exposure", "sb_histo_start", "sb_histo_size"})
            child(name)->setValue(3);
        child<QComboBox>("cb_binning")->setCurrentIndex(5);
        panel->load_settings(in, "mwidget/");
        QSettings out(dir.filePath("out.ini"), QSettings::IniFormat);
        panel->save_settings(out, "mwidget/");
        QCOMPARE(out.allKeys().size(), expected.size());
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QCOMPARE(out.value("mwidget/" + it.key()).toString(), it.value().toString());
        QCOMPARE(run(), QStringLiteral("0")); // a stored autorun only ticks the box
    }

    // Device bins of 0.125 ns.
    void displays_data() {
        QTest::addColumn<int>("binning_index");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("bin_text");
        QTest::addColumn<QString>("colour");
        QTest::addColumn<QString>("points");
        const QString black = "color: #000000;", brown = "color: #402000;",
                      orange = "color: #A04000; background-color: #FFF8E0;",
                      red = "color: #C00000; background-color: #F8E8E0;";
        QTest::newRow("19992") << 0 << 2499 << "125 ps" << black << "19.992 k";
        QTest::newRow("20 k") << 0 << 2500 << "125 ps" << brown << "20 k";
        QTest::newRow("100 k") << 0 << 12500 << "125 ps" << orange << "100 k";
        QTest::newRow("2 M") << 0 << 250000 << "125 ps" << red << "2 M";
        QTest::newRow("8 G") << 0 << 1000000000 << "125 ps" << red << "8 G";
        QTest::newRow("999") << 3 << 999 << "1 ns" << black << "999";
        QTest::newRow("1.5 rounds up") << 4 << 3 << "2 ns" << black << "2";
        QTest::newRow("2^20") << 20 << 1000 << "131.072 us" << black << "0";
    }

    void displays() {
        QFETCH(int, binning_index);
        QFETCH(int, size);
        QFETCH(QString, colour);
        fake().set_binsize(0.125);
        connect_device();
        child<QComboBox>("cb_binning")->setCurrentIndex(binning_index);
        child("sb_histo_size")->setValue(size);
        QTEST(child<QLineEdit>("le_binsize")->text(), "bin_text");
        auto *points = child<QLineEdit>("le_histo_points");
        QTEST(points->text(), "points");
        QCOMPARE(points->styleSheet(), "QLineEdit { " + colour + " }");
        // Bold from 20 k points on, else the panel's own font.
        QCOMPARE(points->font().bold(), !colour.contains("#000000"));
        if (!points->font().bold())
            QCOMPARE(points->font(), panel->font());
    }

    void connectStartDisconnect() {
        QTemporaryDir dir; // nothing measured yet: no histograms to write
        modals.expect<QFileDialog>("Save Data", dir.filePath("nothing.txt"));
        modals.expect<QMessageBox>("Error");
        panel->save_data();
        QCOMPARE(modals.take(), QStringList{"Error: Could not save data"});
        fake().set_binsize(0.125);
        fake().queue_result("ox_tdc_init_inifile", -17);
        fake().set_error_text(-17, "no device at this port");
        QAction action("Connect", nullptr);
        action.setCheckable(true);
        connect(&action, &QAction::triggered, panel.get(), &Mwidget::slot_init_deinit);
        QSignalSpy status(panel.get(), &Mwidget::show_this);
        child("sb_histo_size")->setValue(2000);
        modals.expect<QMessageBox>("Error");
        action.trigger();
        QVERIFY(!action.isChecked());
        QCOMPARE(modals.take(), QStringList{"Error: no device at this port"});
        QCOMPARE(run(), QStringLiteral("0"));
        QVERIFY(!child<QComboBox>("cb_binning")->isEnabled());
        QCOMPARE(child<QLineEdit>("le_histo_points")->text(), QString()); // no bin size yet
        QCOMPARE(status.count(), 0);

        action.trigger();
        QVERIFY(action.isChecked());
        QCOMPARE(run(), QStringLiteral("0 start"));
        QVERIFY(child<QComboBox>("cb_binning")->isEnabled());
        QCOMPARE(child<QLineEdit>("le_histo_points")->text(), QStringLiteral("16 k"));
        QCOMPARE(status.takeFirst().at(0).toString(), QStringLiteral("Device is initialized"));

        // A refused start leaves the panel idle, with the histograms cleared.
        click("bu_start");
        deliver();
        QCOMPARE(histo_sum(), 3.0);
        fake().set_error_text(-7, "start refused");
        fake().queue_result("ox_tdc_start_measure2", -7);
        modals.expect<QMessageBox>("Error");
        click("bu_start");
        QCOMPARE(modals.take(), QStringList{"Error: start refused"});
        QCOMPARE(run(), QStringLiteral("0 start"));
        QCOMPARE(histo_sum(), 0.0);

        status.clear();
        action.trigger();
        QVERIFY(!tdc->is_initialized());
        QCOMPARE(run(), QStringLiteral("0"));
        QVERIFY(!child<QComboBox>("cb_binning")->isEnabled());
        QVERIFY(child<QLineEdit>("le_binsize")->isEnabled()); // once a device was seen
        QCOMPARE(status.takeFirst().at(0).toString(), QStringLiteral("Device is deinitialized"));

        // A failed disconnect during a run interrupts, without a status text.
        action.trigger();
        fake().set_auto_exposure(nullptr);
        click("bu_start");
        status.clear();
        fake().queue_result("ox_tdc_deinit2", -4);
        fake().set_error_text(-4, "release failed");
        modals.expect<QMessageBox>("Error");
        action.trigger();
        QCOMPARE(interrupts(), 1);
        QCOMPARE(modals.take(), QStringList{"Error: release failed"});
        QCOMPARE(status.count(), 0);
        // The interface has let go of the device all the same, so no completion
        // will end the run: it ends at once, and its data can be exported.
        QVERIFY(!tdc->is_initialized());
        QCOMPARE(run(), QStringLiteral("0 start"));
        modals.expect<QFileDialog>("Save Data"); // cancelled
        panel->save_data();
        QCOMPARE(modals.take(), QStringList());
    }

    // Each run mode, then a first stop: it interrupts nothing, and the
    // exposure under way (if any) completes and ends the run.
    void runModes_data() {
        QTest::addColumn<RunMode>("mode");
        // Single: iterations left is only set, not counted.
        QTest::newRow("single") << RunMode{false, false, 4, 3, 1, {4}, {0}, {0.0}, 4, 4, 3.0};
        // Accumulate: cleared only at start, so the sum grows by one exposure.
        QTest::newRow("accumulate 3")
            << RunMode{true, false, 3, 10, 3, {2, 1, 0}, {2, 2, 0}, {0.0, 3.0, 6.0}, 12, 12, 9.0};
        QTest::newRow("accumulate 1") << RunMode{true, false, 1, 5, 1, {0}, {0}, {0.0}, 4, 4, 3.0};
        // Autorun: histograms and statistics cleared after drawing each
        // exposure, except the last, which stays for export.
        QTest::newRow("autorun") << RunMode{
            false, true, 5, 4, 5, {5, 5, 5, 5}, {2, 2, 2, 2}, {0, 0, 0, 0, 0}, 4, 16, 3.0};
        // Accumulating autorun: histograms cleared after each cycle, statistics
        // and the event total not. The stop lets the cycle run to its end.
        QTest::newRow("accumulating autorun") << RunMode{
            true, true, 2,  5, 6, {1, 2, 1, 2, 1}, {2, 2, 2, 2, 2}, {0.0, 3.0, 0.0, 3.0, 0.0, 3.0},
            24,   20,   6.0};
    }

    void runModes() {
        QFETCH(RunMode, mode);
        connect_device();
        set_run(mode.accumulate, mode.autorun, mode.iterations);
        QSignalSpy status(panel.get(), &Mwidget::show_this);
        click("bu_start");
        QCOMPARE(status.count(), 1);
        QCOMPARE(status.at(0).at(0).toString(), QStringLiteral("exposure running"));
        QCOMPARE(run(), QString(mode.autorun ? "2 stop autorun" : "2 stop"));
        QCOMPARE(child("sb_iterations_left")->value(), mode.iterations);
        deliver(mode.rounds);
        QCOMPARE(starts(), mode.exposures);
        QCOMPARE(left_after, mode.left);
        QCOMPARE(state_after, mode.states);
        QCOMPARE(sum_at_start, mode.sums);
        QCOMPARE(tdc->get_histo_stats()->nr_events, mode.stats_events);
        QCOMPARE(panel->get_event_total(), mode.total);
        // The statistics window shows min, max and average before any clearing.
        QStringList texts;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (qobject_cast<StatsWindow *>(w))
                for (QLabel *l : w->findChildren<QLabel *>())
                    texts << l->text();
        for (const char *value : {"      20.000", "     150.000", "      80.000"})
            QVERIFY2(texts.contains(value), qPrintable(texts.join('|')));
        if (mode.autorun) {
            click("bu_stop");
            QCOMPARE(run(), QStringLiteral("2 stop"));
            deliver(5);
        }
        QCOMPARE(interrupts(), 0);
        QCOMPARE(starts(), mode.exposures);
        QCOMPARE(run(), QStringLiteral("0 start"));
        QCOMPARE(left_after.last(), mode.accumulate ? 0 : mode.iterations);
        QCOMPARE(histo_sum(), mode.final_sum);
    }

    // A stop that interrupts the exposure under way (in an automatic run the
    // second press): the completion that follows ends the run with one
    // iteration left to count. Starting again before it is a new run.
    void stopInterrupts_data() {
        QTest::addColumn<bool>("accumulate");
        QTest::addColumn<bool>("autorun");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("stopped");
        QTest::addColumn<bool>("restart");
        QTest::newRow("single") << false << false << 0 << "1 start" << false;
        QTest::newRow("accumulate") << true << false << 0 << "1 start" << false;
        QTest::newRow("autorun") << false << true << 0 << "1 start" << false;
        QTest::newRow("accumulating autorun") << true << true << 0 << "1 start" << false;
        QTest::newRow("busy, then start") << false << false << -11 << "1 start" << true;
        QTest::newRow("refused") << true << false << -5 << "2 start" << false;
    }

    void stopInterrupts() {
        QFETCH(bool, accumulate);
        QFETCH(bool, autorun);
        QFETCH(int, answer);
        QFETCH(bool, restart);
        connect_device();
        set_run(accumulate, autorun, 5);
        fake().set_auto_exposure(nullptr); // the exposure runs until the test ends it
        fake().set_error_text(-5, "interrupt refused");
        click("bu_start");
        fake().queue_result("ox_tdc_interrupt2", answer);
        if (answer == -5)
            modals.expect<QMessageBox>("Error");
        if (autorun) {
            click("bu_stop");
            QCOMPARE(interrupts(), 0);
        }
        click("bu_stop");
        QCOMPARE(interrupts(), 1);
        QTEST(run(), "stopped");
        QCOMPARE(child("sb_iterations_left")->value(), 1);
        QCOMPARE(modals.take(),
                 answer == -5 ? QStringList{"Error: interrupt refused"} : QStringList());
        panel->save_data(); // not while the device may still fill the histograms
        QCOMPARE(modals.take(), QStringList()); // no file dialog
        if (restart) {
            click("bu_start");
            QCOMPARE(run(), QStringLiteral("2 stop"));
        }
        play_exposure(repeat);
        deliver(3);
        QCOMPARE(starts(), restart ? 2 : 1);
        QCOMPARE(run(), QStringLiteral("0 start"));
        QCOMPARE(left_after, QList<int>{restart ? 5 : accumulate ? 0 : 1});
    }

    // Event counts of the first exposure and of the others (empty: the same),
    // each with channel 0's three events in the histograms; 10 iterations.
    void eventThreshold_data() {
        QTest::addColumn<QVector<uint>>("first");
        QTest::addColumn<QVector<uint>>("rest");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("threshold");
        QTest::addColumn<QString>("outcome");
        const QVector<uint> c{500, 100}, same;
        const QVector<uint> max{4294967295u}, all(16, 200000000u);
        QTest::newRow("exceeded") << c << same << "acc" << 1000
                                  << "2 starts, state 0, left 8, total 1200, sum 6";
        QTest::newRow("equal") << c << same << "acc" << 1200
                               << "3 starts, state 0, left 7, total 1800, sum 9";
        QTest::newRow("none") << c << same << "acc" << 0
                              << "10 starts, state 0, left 0, total 6000, sum 30";
        QTest::newRow("autorun") << c << same << "acc auto" << 1000
                                 << "2 starts, state 0, left 8, total 1200, sum 6";
        QTest::newRow("not accumulating")
            << c << same << "auto" << 100 << "16 starts, state 2, left 10, total 9000, sum 3";
        // Mend: ended on the exposure completing a cycle, the cycle's data
        // stay; cleared for the next cycle only when the run goes on.
        QTest::newRow("at cycle end")
            << c << same << "acc auto" << 5400 << "10 starts, state 0, left 10, total 6000, sum 30";
        QTest::newRow("after cycle end")
            << c << same << "acc auto" << 6000 << "11 starts, state 0, left 9, total 6600, sum 3";
        // The total saturates instead of wrapping, also below the threshold.
        QTest::newRow("2^32-1") << max << same << "single" << 0
                                << "1 starts, state 0, left 10, total 2147483647, sum 3";
        QTest::newRow("16 x 2e8") << all << same << "single" << 0
                                  << "1 starts, state 0, left 10, total 2147483647, sum 3";
        QTest::newRow("saturated")
            << QVector<uint>{900000000u} << QVector<uint>{1500000000u} << "acc auto" << 1000000000
            << "2 starts, state 0, left 8, total 2147483647, sum 6";
    }

    void eventThreshold() {
        QFETCH(QVector<uint>, first);
        QFETCH(QVector<uint>, rest);
        QFETCH(QString, mode);
        QFETCH(int, threshold);
        connect_device();
        script = {first};
        repeat = rest.isEmpty() ? first : rest;
        set_run(mode.contains("acc"), mode.contains("auto"), 10, threshold);
        click("bu_start");
        deliver(15);
        QTEST(QString("%1 starts, state %2, left %3, total %4, sum %5")
                  .arg(starts())
                  .arg(panel->get_run_state())
                  .arg(child("sb_iterations_left")->value())
                  .arg(panel->get_event_total())
                  .arg(histo_sum()),
              "outcome");
    }

    void parametersTakeEffectWithNextExposure() {
        fake().set_binsize(0.125);
        connect_device();
        set_run(true, false, 3);
        child("sb_histo_start")->setValue(40);
        child<QComboBox>("cb_binning")->setCurrentIndex(3);
        child("sb_exposure")->setValue(10);
        click("bu_start");
        const HistoParams p = *tdc->get_histo_params();
        QCOMPARE(
            QVector<double>({p.start, p.size, p.binsize, double(p.binning), double(p.channels)}),
            QVector<double>({40, 1000, 0.125, 3, 16}));
        // Changed during the exposure: the running one keeps the old window.
        child("sb_histo_size")->setValue(3000);
        child("sb_exposure")->setValue(20);
        QCOMPARE(tdc->get_histo_params()->size, 1000.0);
        deliver();
        QCOMPARE(tdc->get_histo_params()->size, 3000.0);
        QCOMPARE(tdc->get_channel_histo(0)->size(), size_t(3000 / (8 * 0.125) + 1));
        const auto calls = fake().calls_of("ox_tdc_start_measure2");
        QCOMPARE(calls.at(0).args.at(1), 10LL);
        QCOMPARE(calls.at(1).args.at(1), 20LL);
    }

    // Mend: histograms that cannot fit in memory are refused, at a start or a
    // continuation, before anything is cleared, handed over or started.
    void oversizedHistogramsRefused_data() {
        QTest::addColumn<bool>("continuation");
        QTest::newRow("start") << false;
        QTest::newRow("continuation") << true;
    }

    void oversizedHistogramsRefused() {
        QFETCH(bool, continuation);
        fake().set_binsize(0.001);
        connect_device();
        set_run(true, continuation, 1);
        click("bu_start");
        deliver(continuation ? 0 : 2);
        modals.expect<QMessageBox>("Error");
        child("sb_histo_size")->setValue(1000000000); // 10^12 points per channel
        if (continuation)
            deliver();
        else
            click("bu_start");
        const QStringList boxes = modals.take();
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith("Error: The histograms would need 116 TiB of memory (16 "
                                     "channels x 1000000000001 points x 8 bytes), more than the "),
                 qPrintable(boxes[0]));
        QCOMPARE(starts(), 1);
        QCOMPARE(run(), QString(continuation ? "2 stop autorun" : "0 start"));
        QCOMPARE(histo_sum(), 3.0);
        QCOMPARE(tdc->get_histo_stats()->nr_events, 4u);
        QCOMPARE(tdc->get_histo_params()->size, 1000.0);
    }

    void unavailableHistogramsEndTheRun() {
        connect_device();
        set_run(false, true, 1);
        modals.expect<QMessageBox>("Error");
        click("bu_start");
        deliver();
        // Parameters handed over behind the panel whose bins cannot be counted
        // leave the accumulator without histograms from the next exposure on.
        HistoParams p = *tdc->get_histo_params();
        p.binsize = 1e-300;
        tdc->set_histo_params(p);
        deliver();
        QCOMPARE(run(), QStringLiteral("2 stop autorun"));
        deliver();
        QVERIFY(tdc->histos_unavailable());
        QCOMPARE(run(), QStringLiteral("0 start"));
        QCOMPARE(modals.take(),
                 QStringList{"Error: The histograms could not be allocated; the run was "
                             "ended. Choose a smaller window or a larger binning."});
    }

    // Mend: a device closed or lost during a run reports no completion any
    // more, so the panel goes idle at once and the data can be exported.
    void deviceGoneDuringRun_data() {
        QTest::addColumn<bool>("lost");
        QTest::newRow("disconnected") << false;
        QTest::newRow("connection lost") << true;
    }

    void deviceGoneDuringRun() {
        QFETCH(bool, lost);
        connect_device();
        set_run(lost, !lost, 3);
        fake().set_error_text(-90, "connection lost");
        fake().queue_result("ox_tdc_start_measure2", 0);
        fake().queue_result("ox_tdc_start_measure2", -90);
        if (lost)
            modals.expect<QMessageBox>("Error");
        click("bu_start");
        if (lost)
            deliver();
        else
            panel->slot_init_deinit(false);
        QCOMPARE(interrupts(), int(!lost));
        QCOMPARE(modals.take(), lost ? QStringList{"Error: connection lost"} : QStringList());
        // A completion still on its way is drawn but restarts nothing.
        for (int round = 0; round < 2; ++round, deliver(3)) {
            QVERIFY(!tdc->is_initialized());
            QCOMPARE(run(), QStringLiteral("0"));
            QVERIFY(!child<QComboBox>("cb_binning")->isEnabled());
        }
        QCOMPARE(starts(), lost ? 2 : 1);
        QCOMPARE(histo_sum(), 3.0);
        QTemporaryDir dir;
        modals.expect<QFileDialog>("Save Data", dir.filePath("scan.txt"));
        panel->save_data_filter_zeros();
        QCOMPARE(modals.take(), QStringList());
        for (const char *name : {"scan_rates.txt", "scan_ch0.txt", "scan_ch1.txt"})
            QVERIFY2(QFile::exists(dir.filePath(name)), name);
        QVERIFY(!QFile::exists(dir.filePath("scan_ch2.txt"))); // zeros filtered
        connect_device();
        QCOMPARE(run(), QStringLiteral("0 start"));
    }

    // The status bar's progress texts: three significant digits, the unit
    // moving up before a rounded value would read 1000.
    void progressTexts() {
        const std::pair<QString, QString> texts[] = {
            {ExposureProgress::time_text(12.34, 60), "12.3 s / 60 s"},
            {ExposureProgress::time_text(0.05, 0.25), "0.1 s / 0.25 s"},
            {ExposureProgress::events_text(1, 0), "1 event, 0/s"},
            {ExposureProgress::events_text(999, 999.7), "999 events, 1.00 k/s"},
            {ExposureProgress::events_text(1234567, 2.014e6), "1.23 M events, 2.01 M/s"},
            {ExposureProgress::events_text(99960, 12345), "100 k events, 12.3 k/s"},
        };
        for (const auto &[text, expected] : texts)
            QCOMPARE(text, expected);
    }
};

QTEST_MAIN(TestPanel)
#include "tst_panel.moc"
