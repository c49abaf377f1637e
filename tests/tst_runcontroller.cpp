// The run controller on the test double, no widgets: every run mode and abnormal end, a row each.

#include "device/histogeometry.h"
#include "device/tdciface.h"
#include "run/runcontroller.h"
#include "run/runsettingsmodel.h"
#include "tests/fakeoxtdc.h"

#include <QtTest>

#include <numeric>

// Script words: acc, auto, it=N, thr=N, counts=A,B (of each statistics block) set the controls;
// start, stop, disconnect act; deliver runs queued completions once, done until idle; manual stops
// playing exposures at their start, play plays one, late one within the next wait, begin and end
// report a start or an end alone, events delivers the sample events alone; fail=C, ifail=C queue a
// start's or interrupt's code; refuse, offset=N, widen=N (guarded) answer the next hand-over,
// force=N hands a window over unguarded; cap, uncap set a 1 MiB memory budget or none; bound=N the
// wait; nostats plays exposures without a statistics block; wd a 1 ms watchdog margin; wait runs
// the event loop until the run is idle.
Q_DECLARE_METATYPE(RunSettings)

class TestRunController : public QObject {
    Q_OBJECT
    std::unique_ptr<TdcIface> tdc;
    std::unique_ptr<RunController> run;
    RunSettings settings;
    std::vector<uint32_t> counts;
    QStringList statuses, errors;
    QString hand_over, ended; // "refuse", "offset=N" or empty; how the last run ended

    static FakeOxTdc &fake() { return FakeOxTdc::instance(); }
    bool with_statistics = true;
    static void deliver_sample_events() {
        fake().deliver_events({FakeOxTdc::make_event(0, 100), FakeOxTdc::make_event(0, 200),
                               FakeOxTdc::make_event(0, 300), FakeOxTdc::make_event(1, 40)});
    }
    void play() {
        if (with_statistics)
            return fake().play_sample_exposure(counts);
        fake().deliver_start();
        deliver_sample_events();
        fake().deliver_end();
    }
    QString answer_hand_over() {
        const QString next = std::exchange(hand_over, QString());
        if (next.isEmpty() || next == "refuse")
            return next.isEmpty() ? QString() : "too big";
        HistoParams p = *tdc->get_histo_params();
        (next.startsWith("offset=") ? p.start : p.size) = next.section('=', 1).toDouble();
        const QString refusal =
            next.startsWith("widen=") ? RunController::memory_refusal(*tdc, p) : QString();
        if (refusal.isEmpty())
            tdc->set_histo_params(p);
        return refusal;
    }
    void act(const QString &word) {
        const QString value = word.section('=', 1);
        if (word == "acc" || word == "auto")
            (word == "acc" ? settings.accumulate : settings.autorun) = true;
        else if (word.startsWith("it=") || word.startsWith("thr="))
            (word[0] == 'i' ? settings.iterations : settings.event_threshold) = value.toInt();
        else if (word.startsWith("counts="))
            counts = {value.section(',', 0, 0).toUInt(), value.section(',', 1).toUInt()};
        else if (word == "start")
            run->start(settings);
        else if (word == "stop")
            run->stop();
        else if (word == "disconnect")
            run->disconnect_device();
        else if (word == "deliver")
            QCoreApplication::processEvents();
        else if (word == "done")
            for (int i = 0; i < 30 && run->state() != RunController::Idle; ++i)
                QCoreApplication::processEvents();
        else if (word == "manual")
            fake().set_auto_exposure(nullptr);
        else if (word == "play" || word == "begin")
            word == "play" ? play() : fake().deliver_start();
        else if (word == "end")
            fake().deliver_end();
        else if (word == "events")
            deliver_sample_events();
        else if (word == "nostats")
            with_statistics = false;
        else if (word == "wd")
            run->set_watchdog_margin_ms(1);
        else if (word == "wait")
            QVERIFY(QTest::qWaitFor([this] { return run->state() == RunController::Idle; }, 20000));
        else if (word == "uncap")
            HistoGeometry::set_memory_cap(0);
        else if (word == "late")
            QTimer::singleShot(0, this, [this] { play(); });
        else if (word.startsWith("fail=") || word.startsWith("ifail="))
            fake().queue_result(word[0] == 'f' ? "ox_tdc_start_measure2" : "ox_tdc_interrupt2",
                                value.toInt());
        else if (word == "refuse" || word.startsWith("offset=") || word.startsWith("widen="))
            hand_over = word;
        else if (word.startsWith("force="))
            tdc->set_histo_params({0.0, value.toDouble(), 1.0, 0, 16});
        else if (word == "cap")
            HistoGeometry::set_memory_cap(1 << 20);
        else if (word.startsWith("bound="))
            run->set_completion_wait_ms(value.toInt());
        else
            QFAIL(qPrintable("unknown script word " + word));
    }
    // E.g. "0 start, 3 starts, left 0, total 12, sum 9: run finished", then what else is to say.
    QString outcome() const {
        const QString state = QString::number(run->state()) + (run->can_start() ? " start" : "") +
                              (run->can_stop() ? " stop" : "") +
                              (run->autorun_active() ? " autorun" : "");
        const std::vector<double> *h = tdc->get_channel_histo(0);
        const QString status = statuses.value(statuses.size() - 1),
                      how = !ended.isEmpty() && status.endsWith(ended) ? "" : " [" + ended + "]";
        QString text =
            QString::asprintf("%s, %d starts, left %d, total %llu, sum %g: %s%s", qPrintable(state),
                              fake().count("ox_tdc_start_measure2"), run->iterations_left(),
                              (unsigned long long)run->event_total(),
                              h ? std::accumulate(h->begin(), h->end(), 0.0) : 0.0,
                              qPrintable(status), qPrintable(how));
        for (const QString &e : errors)
            text += " | error: " + (status.endsWith(": " + e) ? "=" : e);
        const double filled = tdc->get_active_histo_params().start,
                     handed = tdc->get_histo_params()->start;
        if (filled != handed)
            text += QString(" | filled from %1 ns, handed %2 ns").arg(filled).arg(handed);
        if (const uint64_t part = run->run_record().incomplete_exposure)
            text += QString(" | holds part of exposure %1").arg(part);
        const auto &last = run->last_result();
        const std::vector<double> *recorded = last && !last->histos.empty() ? last->histos[0] : h;
        if (recorded != h)
            text += QString(" | record sum %1")
                        .arg(recorded ? std::accumulate(recorded->begin(), recorded->end(), 0.0)
                                      : -1.0);
        return text + (run->last_exposure_incomplete() ? " | incomplete" : "");
    }

private slots:
    void init() {
        fake().reset();
        for (auto [code, text] :
             {std::pair{-7, "start refused"}, {-5, "interrupt refused"}, {-90, "connection lost"}})
            fake().set_error_text(code, text);
        fake().set_auto_exposure([this] { play(); });
        tdc = std::make_unique<TdcIface>();
        tdc->init("tdc_qv5.ini");
        run = std::make_unique<RunController>(tdc.get());
        run->set_params_hand_over([this] { return answer_hand_over(); });
        settings = RunSettings{100, 5, 0, false, false};
        counts = {3, 1};
        with_statistics = true;
        statuses = errors = QStringList();
        hand_over = ended = QString();
        connect(run.get(), &RunController::status, this, [this](QString s) { statuses << s; });
        connect(run.get(), &RunController::run_ended, this, [this](QString how) { ended = how; });
        connect(run.get(), &RunController::refused, this, [this](QString e) { errors << e; });
        connect(run.get(), &RunController::device_error, this,
                [this] { errors << tdc->get_error_message(); });
    }

    void cleanup() { run.reset(), tdc.reset(), HistoGeometry::set_memory_cap(0); }

    void runs_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("outcome");
        auto row = [](const char *name, const char *script, const char *outcome) {
            QTest::newRow(name) << QString(script) << QString(outcome);
        };
        // The run modes; a first stop in an automatic run ends the repetition, the run stopped.
        row("single", "start done", "0 start, 1 starts, left 5, total 4, sum 3: run finished");
        row("accumulate 3", "acc it=3 start done",
            "0 start, 3 starts, left 0, total 12, sum 9: run finished");
        row("autorun", "auto start deliver deliver deliver stop done",
            "0 start, 4 starts, left 5, total 16, sum 3: run stopped");
        row("accumulating autorun", "acc auto it=2 start deliver deliver deliver stop done",
            "0 start, 4 starts, left 0, total 16, sum 6: run stopped");
        row("threshold", "acc it=10 thr=1000 counts=500,100 start done",
            "0 start, 2 starts, left 8, total 1200, sum 6: run finished: event threshold exceeded");
        row("threshold at cycle end", "acc auto it=10 thr=5400 counts=500,100 start done",
            "0 start, 10 starts, left 10, total 6000, sum 30: run finished: event threshold "
            "exceeded");
        row("threshold without accumulate", "auto thr=1 start deliver stop done",
            "0 start, 2 starts, left 5, total 8, sum 3: run stopped");
        row("saturated total", "counts=4294967295,9 start done",
            "0 start, 1 starts, left 5, total 4294967304, sum 3: run finished");
        // Stops that interrupt: the completion that follows ends the run.
        row("interrupted", "acc manual start stop play done",
            "0 start, 1 starts, left 0, total 4, sum 3: run stopped");
        row("interrupt busy", "manual auto start stop ifail=-11 stop play done",
            "0 start, 1 starts, left 1, total 4, sum 3: run stopped");
        row("interrupt refused", "acc manual start ifail=-5 stop",
            "2 stop, 1 starts, left 1, total 0, sum 0: exposure running [] | error: interrupt "
            "refused");
        // Abnormal ends keep the last exposure's data; a refused start leaves no clearing pending.
        row("start refused", "start done fail=-7 start begin",
            "0 start, 2 starts, left 5, total 0, sum 3: exposure not started: start refused "
            "[finished] | error: =");
        row("start refused by the guard", "start done refuse start",
            "0 start, 1 starts, left 5, total 4, sum 3: exposure not started: too big [finished] | "
            "error: =");
        // One memory budget for the guard and the accumulator, the plot's buffers counted.
        row("continuation refused", "cap acc auto it=1 start widen=8000 done",
            "0 start, 1 starts, left 1, total 4, sum 3: run ended: The histograms would need 5.31 "
            "MiB of memory (16 channels x 8001 points x 8 bytes and a byte to count in, three "
            "times: those being filled, those shown meanwhile and a cleared set for the next "
            "exposure; with the plot's time axis and two sample arrays per channel), more than the "
            "1 MiB available. | error: =");
        row("continuation fails", "acc auto it=1 fail=0 fail=-7 start done",
            "0 start, 2 starts, left 1, total 4, sum 3: run ended: start refused | error: =");
        // Within an accumulation a new offset is held: the second exposure is not handed one.
        row("lost after an offset change", "acc auto it=3 fail=0 fail=-90 start offset=200 done",
            "0, 2 starts, left 2, total 4, sum 3: run ended: the connection to the device was lost "
            "(connection lost); the data so far are kept [connection lost] | error: connection "
            "lost");
        row("histograms unavailable", "cap auto start force=8000 done",
            "0 start, 2 starts, left 5, total 4, sum 0: run ended: the histograms could not be "
            "allocated | error: The histograms could not be allocated; the run was ended. Choose a "
            "smaller window or a larger binning.");
        // Disconnecting waits for the cut exposure, so its counts come with it.
        row("disconnect", "acc manual start late disconnect",
            "0, 1 starts, left 0, total 4, sum 3: run stopped [device closed]");
        row("disconnect, no completion", "acc manual bound=1 start disconnect deliver",
            "0, 1 starts, left 1, total 0, sum 0: run ended: the last exposure is incomplete "
            "[device closed; the last exposure is incomplete] | incomplete");
        // An end that follows no start (a duplicate) is neither drawn nor counted.
        row("duplicated end", "acc it=2 start end deliver done",
            "0 start, 2 starts, left 0, total 8, sum 6: run finished");
        // An interrupted exposure's end arriving after the wait gave up belongs to no exposure.
        row("then the awaited exposure",
            "acc it=1 manual start begin stop bound=1 start end deliver play done",
            "0 start, 2 starts, left 0, total 4, sum 3: run finished");
        // Without a statistics block the received counts stand in; nothing of an earlier exposure.
        row("no statistics block", "counts=500,100 start done nostats start done",
            "0 start, 2 starts, left 5, total 4, sum 3: run finished");
        // A lost connection from any call ends the run.
        row("lost at interrupt", "acc manual start ifail=-90 stop",
            "0, 1 starts, left 1, total 0, sum 0: run ended: the connection to the device was lost "
            "(connection lost); the data so far are kept [connection lost] | error: connection "
            "lost");
        // A silent device: interrupted after its time and the margin, then given up.
        row("watchdog", "manual wd bound=1 start wait",
            "0 start, 1 starts, left 5, total 0, sum 0: run ended: the device did not end the "
            "exposure, even when interrupted; the last exposure is incomplete [ended: the device "
            "did not end the exposure] | incomplete");
        // A failed allocation is tried again at the next start instead of recording into nothing.
        row("allocation retried", "cap force=8000 start done uncap start done",
            "0 start, 2 starts, left 5, total 4, sum 3: run finished | error: The "
            "histograms could not be allocated; the run was ended. Choose a smaller window or a "
            "larger binning.");
        // The first stop of an automatic run says what it does, and the second can interrupt.
        row("stop in an automatic run", "auto manual start stop",
            "2 stop, 1 starts, left 5, total 0, sum 0: stopping after this exposure — press stop "
            "again to interrupt []");
        // An exposure that began and never ended leaves part of its events in the histograms.
        // A loss while the next exposure runs: the record takes what the histograms hold then,
        // unless that exposure never began (its held counts stay whole).
        row("lost while the next exposure runs",
            "auto start manual deliver begin ifail=-90 stop stop",
            "0, 2 starts, left 1, total 4, sum 0: run ended: the connection to the device was lost "
            "(connection lost); the data so far are kept [connection lost] | error: connection "
            "lost "
            "| holds part of exposure 2");
        // Histograms large enough to count in byte tallies: what the lost exposure received is
        // folded into the bins before the record points at them.
        row("lost while the next exposure runs, tallied",
            "force=40000 auto start manual deliver begin events ifail=-90 stop stop",
            "0, 2 starts, left 1, total 4, sum 3: run ended: the connection to the device was lost "
            "(connection lost); the data so far are kept [connection lost] | error: connection "
            "lost "
            "| holds part of exposure 2");
        row("lost before the next exposure began", "auto start manual deliver ifail=-90 stop stop",
            "0, 2 starts, left 1, total 4, sum 0: run ended: the connection to the device was lost "
            "(connection lost); the data so far are kept [connection lost] | error: connection "
            "lost "
            "| record sum 3");
        row("disconnect after a reported start", "acc manual bound=1 start begin disconnect",
            "0, 1 starts, left 1, total 0, sum 0: run ended: the last exposure is incomplete "
            "[device closed; the last exposure is incomplete] | holds part of exposure 1 | "
            "incomplete");
        // A start while stopping waits for the interrupted exposure, counted for its own run only.
        row("start while stopping", "acc it=3 manual start stop late start deliver deliver",
            "2 stop, 2 starts, left 3, total 0, sum 3: exposure running [stopped]");
    }

    // A run goes on while its records are drawn (the fake plays the next exposure within its
    // start): each record still holds exactly its exposure, or the sum of those accumulated, and
    // its fullest bin, also across a clearing without a reset of the statistics; small histograms
    // and large (tallied) ones alike.
    void records_hold_their_exposure_data() {
        QTest::addColumn<RunSettings>("settings");
        QTest::addColumn<QList<double>>("sums");
        QTest::addColumn<QList<uint64_t>>("fullest");
        QTest::addColumn<double>("window");
        for (const double window : {1000.0, 40000.0}) {
            const char *size = window > 1000.0 ? ", tallied" : "";
            QTest::addRow("accumulated%s", size)
                << RunSettings{100, 3, 0, true, false} << QList<double>{4, 8, 12}
                << QList<uint64_t>{1, 2, 3} << window;
            QTest::addRow("automatic%s", size)
                << RunSettings{100, 1, 0, false, true} << QList<double>{4, 4, 4, 4}
                << QList<uint64_t>{1, 1, 1, 1} << window;
            QTest::addRow("cycles of two%s", size)
                << RunSettings{100, 2, 0, true, true} << QList<double>{4, 8, 4, 8}
                << QList<uint64_t>{1, 2, 2, 2} << window;
        }
    }
    void records_hold_their_exposure() {
        QFETCH(RunSettings, settings);
        QFETCH(QList<double>, sums);
        QFETCH(QList<uint64_t>, fullest);
        QFETCH(double, window);
        tdc->set_histo_params({0.0, window, 1.0, 0, 16});
        QList<double> seen;
        QList<uint64_t> seen_fullest;
        connect(run.get(), &RunController::exposure_completed, this, [&](const ExposureResult &r) {
            double sum = 0.0;
            for (const std::vector<double> *h : r.histos)
                sum += h ? std::accumulate(h->begin(), h->end(), 0.0) : 0.0;
            seen << sum;
            seen_fullest << r.histo_stats.max_count;
            if (seen.size() == 3)
                run->stop(); // an automatic run ends with the exposure under way
        });
        run->start(settings);
        QVERIFY(QTest::qWaitFor([this] { return run->state() == RunController::Idle; }, 20000));
        QCOMPARE(seen, sums);
        QCOMPARE(seen_fullest, fullest);
    }

    // One record per completion, with the settings and device it ran with; what changed when.
    void records_of_a_run() {
        QList<ExposureResult> results;
        connect(run.get(), &RunController::exposure_completed, this,
                [&](const ExposureResult &r) { results << r; });
        connect(run.get(), &RunController::run_started, this, [&] { // edits while it goes on
            run->settings_model()->set_exposure_ms(50);
            run->settings_model()->set_event_threshold(99999);
            QVERIFY(tdc->set_corrections({7, 0}) >= 0);
        });
        run->start(RunSettings{100, 3, 0, true, false});
        QVERIFY(QTest::qWaitFor([this] { return run->state() == RunController::Idle; }, 20000));
        QCOMPARE(results.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const ExposureResult &r = results[i];
            QCOMPARE(r.number, uint64_t(i + 1));
            QCOMPARE(r.run_index, uint64_t(i + 1));
            QCOMPARE(r.exposure_ms, i == 0 ? 100 : 50);
            const std::vector<int32_t> shifts =
                i == 0 ? std::vector<int32_t>{} : std::vector<int32_t>{7, 0};
            QCOMPARE(r.device.corrections, shifts);
        }
        QStringList changes;
        for (const RunChange &c : run->run_record().changes)
            changes << QString("%1 %2: %3 -> %4").arg(c.exposure).arg(c.setting, c.from, c.to);
        QCOMPARE(changes, (QStringList{"2 exposure_ms: 100 -> 50", "2 corrections:  -> 7 0",
                                       "2 event_threshold: 0 -> 99999"}));
    }

    void runs() {
        QFETCH(QString, script);
        for (const QString &word : script.split(' '))
            act(word);
        QTEST(outcome(), "outcome");
    }
};

QTEST_GUILESS_MAIN(TestRunController)
#include "tst_runcontroller.moc"
