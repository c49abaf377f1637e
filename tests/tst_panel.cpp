// The measurement panel against the device library's test double: the run
// state machine, the four run modes, stop and disconnect paths, the event
// threshold, parameter hand-over, the displays and the stored parameters.

#include "fakeoxtdc.h"
#include "mhisto.h"
#include "mrates.h"
#include "mwidget.h"
#include "statswindow.h"
#include "tdciface.h"
#include "windowepot.h"

#include <qwt_plot_curve.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <deque>
#include <memory>
#include <numeric>

namespace {

FakeOxTdc &fake() {
    return FakeOxTdc::instance();
}

struct Exposure {
    std::vector<TdcEvent> events;
    PipeStatistics block{};
};

// One run mode and what it does: the run controls, how many rounds of
// completions are handled, and what is seen after each completion.
struct RunMode {
    bool accumulate;
    bool autorun;
    int iterations;
    int rounds;
    int exposures;
    QList<int> left;
    QList<int> states;
    QList<double> sums;
    uint64_t stats_events;
    int total;
    double final_sum;
};

// Events as (channel, time in device bins); the statistics block counts them.
Exposure exposure_of(const std::vector<std::pair<uint32_t, uint64_t>> &events) {
    Exposure e;
    std::vector<uint32_t> counts(16, 0);
    for (const auto &ev : events) {
        e.events.push_back(FakeOxTdc::make_event(ev.first, ev.second));
        ++counts[ev.first];
    }
    e.block = FakeOxTdc::make_statistics(counts);
    return e;
}

// A statistics block only, for the event counting.
Exposure counts_of(const std::vector<uint32_t> &counts) {
    Exposure e;
    e.block = FakeOxTdc::make_statistics(counts);
    return e;
}

// Closes every modal box and file dialog as soon as it is shown, recording
// what it said, so no test ever blocks on one.
class ModalCatcher : public QObject {
public:
    struct Seen {
        QString kind;
        QString title;
        QString text;
    };

    ModalCatcher() {
        timer.setInterval(0);
        connect(&timer, &QTimer::timeout, this, &ModalCatcher::check);
        timer.start();
    }

    QList<Seen> seen;
    QString file_to_choose; // empty: cancel file dialogs

    int boxes() const {
        return int(
            std::count_if(seen.begin(), seen.end(), [](const Seen &s) { return s.kind == "box"; }));
    }
    int file_dialogs() const { return int(seen.size()) - boxes(); }
    QString last_text() const { return seen.isEmpty() ? QString() : seen.last().text; }

private:
    void check() {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal == handled)
            return;
        handled = modal;
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            seen.append({"box", box->windowTitle(), box->text()});
            box->done(QMessageBox::Ok);
        } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            seen.append({"file", dialog->windowTitle(), QString()});
            if (file_to_choose.isEmpty()) {
                dialog->reject();
            } else {
                dialog->selectFile(file_to_choose);
                QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
            }
        }
    }

    QTimer timer;
    QPointer<QWidget> handled; // a dialog being closed is seen only once
};

} // namespace

Q_DECLARE_METATYPE(RunMode)

class TestPanel : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TdcIface> tdc;
    std::unique_ptr<Mwidget> panel;
    std::unique_ptr<ModalCatcher> catcher;
    std::deque<Exposure> script;
    Exposure repeat_exposure;
    // sb_iterations_left and the run state seen right after each completion.
    QList<int> left_after;
    QList<int> state_after;
    // Channel 0's histogram sum as each exposure begins: what the panel left
    // in the accumulator after handling the previous one.
    QList<double> sum_at_start;

    template <typename T> T *child(const char *name) const {
        T *w = panel->findChild<T *>(QString::fromLatin1(name));
        if (!w)
            qFatal("no child %s", name);
        return w;
    }
    QSpinBox *spin(const char *name) const { return child<QSpinBox>(name); }
    QPushButton *button(const char *name) const { return child<QPushButton>(name); }
    QCheckBox *check(const char *name) const { return child<QCheckBox>(name); }
    QComboBox *binning() const { return child<QComboBox>("cb_binning"); }
    QLineEdit *display(const char *name) const { return child<QLineEdit>(name); }

    StatsWindow *stats_window() const {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *s = qobject_cast<StatsWindow *>(w))
                return s;
        return nullptr;
    }

    QStringList stats_texts() const {
        QStringList texts;
        for (QLabel *l : stats_window()->findChildren<QLabel *>())
            texts << l->text();
        return texts;
    }

    double histo_sum(uint32_t channel = 0) const {
        const std::vector<double> *h = tdc->get_channel_histo(channel);
        return h ? std::accumulate(h->begin(), h->end(), 0.0) : 0.0;
    }

    int starts() const { return fake().count("ox_tdc_start_measure2"); }
    int interrupts() const { return fake().count("ox_tdc_interrupt2"); }

    void invoke(const char *slot) {
        QVERIFY(QMetaObject::invokeMethod(panel.get(), slot, Qt::DirectConnection));
    }

    void connect_device() {
        panel->slot_init_deinit(true);
        QVERIFY(tdc->is_initialized());
    }

    // The run controls: accumulate, autorun, iterations and event threshold.
    void set_run(bool accumulate, bool autorun, int iterations, int threshold = 0) {
        check("cb_accumulate")->setChecked(accumulate);
        check("cb_autorun")->setChecked(autorun);
        spin("sb_iterations")->setValue(iterations);
        spin("sb_event_threshold")->setValue(threshold);
    }

    // An "Error" box was the last modal seen, the count-th so far.
    void verify_error_box(int count, const QString &text) const {
        QCOMPARE(catcher->boxes(), count);
        QCOMPARE(catcher->seen.last().title, QStringLiteral("Error"));
        QCOMPARE(catcher->last_text(), text);
    }

    void verify_buttons(bool start_enabled, bool stop_enabled) const {
        QCOMPARE(button("bu_start")->isEnabled(), start_enabled);
        QCOMPARE(button("bu_stop")->isEnabled(), stop_enabled);
    }

    // Idle after the device went away: nothing can be started or stopped.
    void verify_idle_without_device() const {
        QCOMPARE(panel->get_run_state(), 0);
        QVERIFY(!panel->is_autorun_active());
        verify_buttons(false, false);
        QVERIFY(!binning()->isEnabled());
    }

    // Handles the completions the device has posted so far; each completion
    // that starts another exposure posts the next one for a later round.
    void deliver(int rounds = 1) {
        for (int i = 0; i < rounds; ++i)
            QCoreApplication::processEvents();
    }

    void play_next() {
        sum_at_start << histo_sum();
        Exposure e = repeat_exposure;
        if (!script.empty()) {
            e = script.front();
            script.pop_front();
        }
        fake().play_exposure(e.events, e.block);
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() {
        fake().reset();
        fake().set_binsize(0.5);
        script.clear();
        repeat_exposure = exposure_of({{0, 100}, {0, 200}, {0, 300}, {1, 40}});
        left_after.clear();
        state_after.clear();
        sum_at_start.clear();
        tdc = std::make_unique<TdcIface>();
        panel = std::make_unique<Mwidget>(tdc.get(), nullptr);
        catcher = std::make_unique<ModalCatcher>();
        fake().set_auto_exposure([this]() { play_next(); });
        // Queued after the panel's own connection, so it runs right after
        // the panel has handled each completion.
        connect(
            tdc.get(), &TdcIface::complete_callback, this,
            [this](int) {
                left_after << spin("sb_iterations_left")->value();
                state_after << panel->get_run_state();
            },
            Qt::QueuedConnection);
    }

    void cleanup() {
        catcher.reset();
        panel.reset();
        tdc.reset();
    }

    // ---- construction, settings, displays ----------------------------------

    void windowsShownAndFreedWithPanel() {
        auto *epot = panel->findChild<WindowEpot *>();
        QVERIFY(epot && epot->isWindow() && !epot->isVisible());
        panel->show_control_epot();
        QVERIFY(epot->isVisible());
        invoke("open_stats_window");
        QVERIFY(stats_window()->isVisible());

        QPointer<WindowEpot> epot_guard(epot);
        QPointer<StatsWindow> stats_guard(stats_window());
        panel.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(epot_guard.isNull());
        QVERIFY(stats_guard.isNull());
    }

    void loadDefaultsFromEmptySettings() {
        QTemporaryDir dir;
        QSettings settings(dir.filePath("empty.ini"), QSettings::IniFormat);
        check("cb_autorun")->setChecked(true);
        binning()->setCurrentIndex(5);
        spin("sb_exposure")->setValue(7);
        panel->load_settings(settings, "mwidget/");
        QCOMPARE(spin("sb_exposure")->value(), 100);
        QCOMPARE(binning()->currentIndex(), 0);
        QCOMPARE(spin("sb_histo_start")->value(), 0);
        QCOMPARE(spin("sb_histo_size")->value(), 1000);
        QVERIFY(!check("cb_autorun")->isChecked());
        QVERIFY(!check("cb_accumulate")->isChecked());
        QCOMPARE(spin("sb_iterations")->value(), 1000);
        QCOMPARE(spin("sb_event_threshold")->value(), 10000000);
    }

    void loadClampsStoredValues_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("expected");
        QTest::newRow("exposure above max")
            << "exposure" << QVariant(20000000) << "sb_exposure" << 10000000;
        QTest::newRow("iterations 0") << "iterations" << QVariant(0) << "sb_iterations" << 1;
        QTest::newRow("negative size") << "histo_size" << QVariant(-5) << "sb_histo_size" << 0;
        QTest::newRow("threshold too large")
            << "event_threshold" << QVariant(1500000000) << "sb_event_threshold" << 1000000000;
        QTest::newRow("start as text")
            << "histo_start" << QVariant("250") << "sb_histo_start" << 250;
        const QList<QPair<qlonglong, int>> binnings = {
            {64, 6}, {3, 0}, {0, 0}, {-64, 0}, {4294967297LL, 0}, {1048576, 20}};
        for (const auto &b : binnings)
            QTest::addRow("binning %lld", b.first)
                << "binning" << QVariant(b.first) << "cb_binning" << b.second;
    }

    void loadClampsStoredValues() {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(QString, control);
        QFETCH(int, expected);
        QTemporaryDir dir;
        QSettings settings(dir.filePath("v.ini"), QSettings::IniFormat);
        settings.setValue("mwidget/" + key, stored);
        settings.sync();
        QSettings reread(dir.filePath("v.ini"), QSettings::IniFormat);
        binning()->setCurrentIndex(3);
        panel->load_settings(reread, "mwidget/");
        if (control == "cb_binning")
            QCOMPARE(binning()->currentIndex(), expected);
        else
            QCOMPARE(spin(control.toLatin1().constData())->value(), expected);
    }

    void saveAndLoadRoundTrip() {
        QTemporaryDir dir;
        const QList<QPair<const char *, int>> spins = {{"sb_exposure", 250},
                                                       {"sb_histo_start", 30},
                                                       {"sb_histo_size", 5000},
                                                       {"sb_iterations", 7},
                                                       {"sb_event_threshold", 12345}};
        for (const auto &s : spins)
            spin(s.first)->setValue(s.second);
        binning()->setCurrentIndex(6);
        check("cb_autorun")->setChecked(true);
        check("cb_accumulate")->setChecked(true);
        {
            QSettings settings(dir.filePath("r.ini"), QSettings::IniFormat);
            panel->save_settings(settings, "mwidget/");
            QCOMPARE(settings.value("mwidget/binning").userType(), int(QMetaType::LongLong));
            QCOMPARE(settings.value("mwidget/binning").toLongLong(), 64LL);
            QCOMPARE(settings.value("mwidget/autostart").userType(), int(QMetaType::Bool));
            QCOMPARE(settings.allKeys().size(), 8);
        }
        Mwidget other(tdc.get(), nullptr);
        QSettings settings(dir.filePath("r.ini"), QSettings::IniFormat);
        other.load_settings(settings, "mwidget/");
        for (const auto &s : spins)
            QCOMPARE(other.findChild<QSpinBox *>(s.first)->value(), s.second);
        QCOMPARE(other.findChild<QComboBox *>("cb_binning")->currentIndex(), 6);
        QVERIFY(other.findChild<QCheckBox *>("cb_autorun")->isChecked());
        QVERIFY(other.findChild<QCheckBox *>("cb_accumulate")->isChecked());
        // The stored autorun only ticks the box: nothing starts.
        QVERIFY(!other.is_autorun_active());
        QCOMPARE(other.get_run_state(), 0);
        QCOMPARE(starts(), 0);
    }

    void loadingRecomputesDisplaysOnceConnected() {
        fake().set_binsize(0.125);
        QTemporaryDir dir;
        QSettings settings(dir.filePath("d.ini"), QSettings::IniFormat);
        settings.setValue("mwidget/histo_size", 5000);
        settings.setValue("mwidget/binning", 16);
        // Before the first connection there is no bin size to show.
        panel->load_settings(settings, "mwidget/");
        QVERIFY(display("le_histo_points")->text().isEmpty());
        QVERIFY(display("le_binsize")->text().isEmpty());
        connect_device();
        QCOMPARE(display("le_binsize")->text(), QStringLiteral("2 ns"));
        QCOMPARE(display("le_histo_points")->text(), QStringLiteral("2.5 k"));
        settings.setValue("mwidget/histo_size", 8000);
        panel->load_settings(settings, "mwidget/");
        QCOMPARE(display("le_histo_points")->text(), QStringLiteral("4 k"));
        QVERIFY(panel->histo_params_changed());
    }

    void binsizeDisplay_data() {
        QTest::addColumn<double>("binsize");
        QTest::addColumn<QString>("text");
        QTest::newRow("0.125") << 0.125 << "125 ps";
        QTest::newRow("0.999") << 0.999 << "999 ps";
        QTest::newRow("1") << 1.0 << "1 ns";
        QTest::newRow("999.5") << 999.5 << "999.5 ns";
        QTest::newRow("1000") << 1000.0 << "1 us";
        QTest::newRow("1e6") << 1e6 << "1 ms";
        QTest::newRow("1e9") << 1e9 << "1 s";
        QTest::newRow("2.5e12") << 2.5e12 << "2500 s";
        QTest::newRow("1234567 ns, 6 digits") << 1234567.0 << "1.23457 ms";
    }

    void binsizeDisplay() {
        QFETCH(double, binsize);
        QFETCH(QString, text);
        panel->update_binsize_display(binsize);
        QCOMPARE(display("le_binsize")->text(), text);
    }

    void binsizeFollowsBinning() {
        fake().set_binsize(0.125);
        connect_device();
        binning()->setCurrentIndex(4);
        QCOMPARE(display("le_binsize")->text(), QStringLiteral("2 ns"));
        binning()->setCurrentIndex(20);
        QCOMPARE(display("le_binsize")->text(), QStringLiteral("131.072 us"));
    }

    void histoPointsDisplay_data() {
        QTest::addColumn<int>("binning_index");
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("style");
        QTest::addColumn<bool>("bold");
        const QString black = "QLineEdit { color: #000000; }";
        const QString brown = "QLineEdit { color: #402000; }";
        const QString orange = "QLineEdit { color: #A04000; background-color: #FFF8E0; }";
        const QString red = "QLineEdit { color: #C00000; background-color: #F8E8E0; }";
        // Device bin 0.125 ns: at binning 1 a window of s ns has 8 s points.
        QTest::newRow("19992") << 0 << 2499 << "19.992 k" << black << false;
        QTest::newRow("20000 exactly") << 0 << 2500 << "20 k" << brown << true;
        QTest::newRow("99992") << 0 << 12499 << "99.992 k" << brown << true;
        QTest::newRow("100000 exactly") << 0 << 12500 << "100 k" << orange << true;
        QTest::newRow("1999992") << 0 << 249999 << "1.99999 M" << orange << true;
        QTest::newRow("2000000 exactly") << 0 << 250000 << "2 M" << red << true;
        QTest::newRow("8 G") << 0 << 1000000000 << "8 G" << red << true;
        // Binning 8: one point per ns.
        QTest::newRow("999") << 3 << 999 << "999" << black << false;
        QTest::newRow("1000") << 3 << 1000 << "1 k" << black << false;
        // Binning 16: 2 ns per point, rounded half up.
        QTest::newRow("1.5 -> 2") << 4 << 3 << "2" << black << false;
        QTest::newRow("0.5 -> 1") << 4 << 1 << "1" << black << false;
        QTest::newRow("0") << 4 << 0 << "0" << black << false;
    }

    void histoPointsDisplay() {
        QFETCH(int, binning_index);
        QFETCH(int, size);
        QFETCH(QString, text);
        QFETCH(QString, style);
        QFETCH(bool, bold);
        fake().set_binsize(0.125);
        connect_device();
        binning()->setCurrentIndex(binning_index);
        spin("sb_histo_size")->setValue(size);
        panel->update_histo_points_display();
        QLineEdit *d = display("le_histo_points");
        QCOMPARE(d->text(), text);
        QCOMPARE(d->styleSheet(), style);
        QCOMPARE(d->font().bold(), bold);
        if (!bold)
            QCOMPARE(d->font(), panel->font());
    }

    // ---- connecting ---------------------------------------------------------

    void connectFailsThenSucceedsThenDisconnects() {
        fake().set_binsize(0.125);
        fake().queue_result("ox_tdc_init_inifile", -17);
        fake().set_error_text(-17, "no device at this port");
        QAction action("Connect", nullptr);
        action.setCheckable(true);
        connect(&action, &QAction::triggered, panel.get(), &Mwidget::slot_init_deinit);
        QSignalSpy status(panel.get(), &Mwidget::show_this);
        action.trigger();
        QVERIFY(!action.isChecked());
        verify_error_box(1, "no device at this port");
        verify_buttons(false, false);
        QVERIFY(!binning()->isEnabled());
        QVERIFY(!display("le_binsize")->isEnabled());
        QVERIFY(display("le_binsize")->text().isEmpty());
        QCOMPARE(status.count(), 0);

        action.trigger();
        QVERIFY(action.isChecked());
        QCOMPARE(catcher->boxes(), 1);
        const auto init_calls = fake().calls_of("ox_tdc_init_inifile");
        QCOMPARE(init_calls.size(), size_t(2));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(init_calls[1].bytes.data()),
                            int(init_calls[1].bytes.size())),
                 QByteArray("tdc_qv5.ini"));
        verify_buttons(true, false);
        QVERIFY(binning()->isEnabled());
        QVERIFY(display("le_histo_points")->isEnabled());
        QCOMPARE(display("le_binsize")->text(), QStringLiteral("125 ps"));
        QCOMPARE(display("le_histo_points")->text(), QStringLiteral("8 k"));
        QCOMPARE(status.count(), 1);
        QCOMPARE(status.at(0).at(0).toString(), QStringLiteral("Device is initialized"));
        QVERIFY(panel->histo_params_changed());

        action.trigger();
        QCOMPARE(fake().count("ox_tdc_deinit2"), 1);
        QCOMPARE(interrupts(), 0);
        QVERIFY(!button("bu_start")->isEnabled());
        QVERIFY(!binning()->isEnabled());
        // The displays stay enabled once a device was seen.
        QVERIFY(display("le_binsize")->isEnabled());
        QCOMPARE(status.count(), 2);
        QCOMPARE(status.at(1).at(0).toString(), QStringLiteral("Device is deinitialized"));
    }

    void disconnectFailing() {
        connect_device();
        fake().set_auto_exposure(nullptr); // no completion during the error box
        invoke("start");
        fake().queue_result("ox_tdc_deinit2", -4);
        QSignalSpy status(panel.get(), &Mwidget::show_this);
        panel->slot_init_deinit(false);
        // As a stop: state 1, start enabled, stop disabled; no status text.
        QCOMPARE(interrupts(), 1);
        QCOMPARE(panel->get_run_state(), 1);
        verify_buttons(true, false);
        QVERIFY(binning()->isEnabled());
        QCOMPARE(catcher->boxes(), 1);
        QCOMPARE(status.count(), 0);
    }

    // Sound behaviour: a device closed during a run reports no completion any
    // more, so the panel goes idle at once and the data can be exported.
    void disconnectDuringRunReturnsToIdle() {
        connect_device();
        set_run(false, true, 1);
        invoke("start");
        QVERIFY(panel->is_autorun_active());
        panel->slot_init_deinit(false);
        QCOMPARE(interrupts(), 1);
        QCOMPARE(fake().count("ox_tdc_deinit2"), 1);
        verify_idle_without_device();
        QCOMPARE(spin("sb_iterations_left")->value(), 1);
        // The completion of the cut-off exposure still arrives: it is drawn
        // but neither restarts the run nor enables start.
        deliver(3);
        QCOMPARE(starts(), 1);
        verify_idle_without_device();
        QVERIFY(histo_sum() > 0);
        panel->save_data();
        QCOMPARE(catcher->file_dialogs(), 1);
        QCOMPARE(catcher->boxes(), 0);
        // Reconnecting makes start usable again.
        panel->slot_init_deinit(true);
        QVERIFY(button("bu_start")->isEnabled());
    }

    // Sound behaviour: the same when the connection is lost mid-run.
    void connectionLostDuringRunReturnsToIdle() {
        connect_device();
        set_run(true, false, 3);
        fake().set_error_text(-90, "connection lost");
        fake().queue_result("ox_tdc_start_measure2", 0);
        fake().queue_result("ox_tdc_start_measure2", -90);
        invoke("start");
        deliver();
        QCOMPARE(starts(), 2);
        QVERIFY(!tdc->is_initialized());
        verify_idle_without_device();
        verify_error_box(1, "connection lost");
        QCOMPARE(histo_sum(), 3.0);
        panel->save_data();
        QCOMPARE(catcher->file_dialogs(), 1);
    }

    void connectionLostWhenIdleOnlyDisablesStart() {
        connect_device();
        fake().queue_result("ox_tdc_start_measure2", -90);
        invoke("start");
        verify_idle_without_device();
        QCOMPARE(catcher->boxes(), 1);
    }

    // ---- run modes ----------------------------------------------------------

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
        // Autorun: every picture shows one exposure; histograms and statistics
        // are cleared after drawing; iterations left is not touched. The last
        // exposure is not cleared, so it can be exported.
        QTest::newRow("autorun") << RunMode{
            false, true, 5, 4, 5, {5, 5, 5, 5}, {2, 2, 2, 2}, {0, 0, 0, 0, 0}, 4, 16, 3.0};
        // Accumulating autorun: histograms cleared after each complete cycle,
        // statistics not; the event total runs on over cycles. The stop lets
        // the current cycle run to its end, which keeps its data.
        QTest::newRow("accumulating autorun") << RunMode{
            true, true, 2,  5, 6, {1, 2, 1, 2, 1}, {2, 2, 2, 2, 2}, {0.0, 3.0, 0.0, 3.0, 0.0, 3.0},
            24,   20,   6.0};
    }

    void runModes() {
        QFETCH(RunMode, mode);
        connect_device();
        set_run(mode.accumulate, mode.autorun, mode.iterations);
        QSignalSpy status(panel.get(), &Mwidget::show_this);
        button("bu_start")->click();
        QCOMPARE(status.count(), 1);
        QCOMPARE(status.at(0).at(0).toString(), QStringLiteral("exposure running"));
        QCOMPARE(panel->get_run_state(), 2);
        QCOMPARE(panel->is_autorun_active(), mode.autorun);
        QCOMPARE(spin("sb_iterations_left")->value(), mode.iterations);
        verify_buttons(false, true);
        deliver(mode.rounds);
        QCOMPARE(starts(), mode.exposures);
        QCOMPARE(left_after, mode.left);
        QCOMPARE(state_after, mode.states);
        QCOMPARE(sum_at_start, mode.sums);
        QCOMPARE(tdc->get_histo_stats()->nr_events, mode.stats_events);
        QCOMPARE(panel->get_event_total(), mode.total);
        // The statistics window shows the data before any clearing.
        QVERIFY(stats_texts().contains("     150.000"));
        if (mode.autorun) {
            button("bu_stop")->click();
            QVERIFY(!panel->is_autorun_active());
            QCOMPARE(panel->get_run_state(), 2);
            verify_buttons(false, true);
            deliver(5);
        }
        QCOMPARE(interrupts(), 0);
        QCOMPARE(starts(), mode.exposures);
        QCOMPARE(panel->get_run_state(), 0);
        QCOMPARE(left_after.last(), mode.accumulate ? 0 : mode.iterations);
        verify_buttons(true, false);
        QCOMPARE(button("bu_start")->text(), QStringLiteral("start"));
        QCOMPARE(histo_sum(), mode.final_sum);
    }

    void plotsAndStatisticsFollowEachExposure() {
        connect_device();
        invoke("start");
        deliver();
        // Events at 100, 200, 300 and 40 device bins of 0.5 ns.
        const QStringList texts = stats_texts();
        for (const char *value : {"      20.000", "     150.000", "      80.000"})
            QVERIFY2(texts.contains(value), qPrintable(texts.join('|')));
        const auto curves = panel->findChild<Mhisto *>()->itemList(QwtPlotItem::Rtti_PlotCurve);
        QVERIFY(static_cast<QwtPlotCurve *>(curves.at(0))->dataSize() > 0);
        const auto bars = panel->findChild<Mrates *>()->itemList(QwtPlotItem::Rtti_PlotCurve);
        auto *rates_curve = static_cast<QwtPlotCurve *>(bars.at(0));
        QCOMPARE(rates_curve->sample(0).y(), 3.0);
        QCOMPARE(rates_curve->sample(1).y(), 1.0);
        invoke("buffer_clear");
        QCOMPARE(histo_sum(), 0.0);
    }

    void autorunSecondStopInterrupts() {
        connect_device();
        set_run(false, true, 1);
        invoke("start");
        button("bu_stop")->click();
        QCOMPARE(interrupts(), 0);
        button("bu_stop")->click();
        QCOMPARE(interrupts(), 1);
        QCOMPARE(panel->get_run_state(), 1);
        deliver(3);
        QCOMPARE(panel->get_run_state(), 0);
        QCOMPARE(starts(), 1);
    }

    void stopDuringAccumulationInterrupts() {
        connect_device();
        set_run(true, false, 5);
        invoke("start");
        deliver();
        QCOMPARE(spin("sb_iterations_left")->value(), 4);
        button("bu_stop")->click();
        QCOMPARE(interrupts(), 1);
        QCOMPARE(panel->get_run_state(), 1);
        QCOMPARE(spin("sb_iterations_left")->value(), 1);
        verify_buttons(true, false);
        deliver(3);
        QCOMPARE(starts(), 2);
        QCOMPARE(spin("sb_iterations_left")->value(), 0);
        QCOMPARE(panel->get_run_state(), 0);
        QCOMPARE(catcher->boxes(), 0);
    }

    void interruptAnswers_data() {
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("boxes");
        QTest::newRow("accepted") << 0 << 1 << 0;
        QTest::newRow("busy") << -11 << 1 << 0;
        QTest::newRow("failed") << -5 << 2 << 1;
    }

    void interruptAnswers() {
        QFETCH(int, answer);
        QFETCH(int, state);
        QFETCH(int, boxes);
        connect_device();
        fake().set_error_text(-5, "interrupt refused");
        fake().set_auto_exposure(nullptr); // the exposure keeps running
        invoke("start");
        fake().queue_result("ox_tdc_interrupt2", answer);
        button("bu_stop")->click();
        QCOMPARE(panel->get_run_state(), state);
        verify_buttons(true, false);
        QCOMPARE(catcher->boxes(), boxes);
        if (boxes)
            QCOMPARE(catcher->last_text(), QStringLiteral("interrupt refused"));
        // Start while stopping runs again.
        button("bu_start")->click();
        QCOMPARE(panel->get_run_state(), 2);
        verify_buttons(false, true);
    }

    void autorunBoxDuringRun() {
        connect_device();
        invoke("start");
        // Setting the box from code (as loading settings does) is ignored.
        check("cb_autorun")->setChecked(true);
        QVERIFY(!panel->is_autorun_active());
        check("cb_autorun")->click();
        QVERIFY(!panel->is_autorun_active());
        button("bu_stop")->click();
        QCOMPARE(panel->get_run_state(), 1);
        // Ticking it after a stop makes the run go on; the state stays 1.
        check("cb_autorun")->click();
        QVERIFY(panel->is_autorun_active());
        deliver(3);
        QVERIFY(starts() >= 3);
        QCOMPARE(panel->get_run_state(), 1);
        check("cb_autorun")->click();
        deliver(3);
        QCOMPARE(panel->get_run_state(), 0);
    }

    void failedStartKeepsState() {
        connect_device();
        invoke("start");
        deliver(2);
        QCOMPARE(histo_sum(), 3.0);
        fake().set_error_text(-7, "start refused");
        fake().queue_result("ox_tdc_start_measure2", -7);
        QSignalSpy status(panel.get(), &Mwidget::show_this);
        button("bu_start")->click();
        QCOMPARE(status.count(), 1);
        verify_error_box(1, "start refused");
        QCOMPARE(panel->get_run_state(), 0);
        verify_buttons(true, false);
        // The histograms were cleared before the start was tried.
        QCOMPARE(histo_sum(), 0.0);
    }

    void failedContinuationKeepsRunning() {
        connect_device();
        set_run(true, false, 3);
        fake().queue_result("ox_tdc_start_measure2", 0);
        fake().queue_result("ox_tdc_start_measure2", -7);
        invoke("start");
        deliver(3);
        QCOMPARE(starts(), 2);
        QCOMPARE(catcher->boxes(), 1);
        QCOMPARE(panel->get_run_state(), 2);
        verify_buttons(false, true);
    }

    void showErrorMessageUsesLastText() {
        connect_device();
        fake().queue_result("ox_tdc_start_measure2", -33);
        fake().set_error_text(-33, "text of the last failure");
        invoke("start");
        QCOMPARE(catcher->boxes(), 1);
        for (int code : {0, 5, -1})
            QVERIFY(QMetaObject::invokeMethod(panel.get(), "show_error_message", Q_ARG(int, code)));
        // Only the negative code shows a box.
        verify_error_box(2, "text of the last failure");
    }

    void ignoresCompletionCodeFour() {
        connect_device();
        fake().set_auto_exposure(nullptr);
        invoke("start");
        QVERIFY(QMetaObject::invokeMethod(panel.get(), "handle_completed_meas", Q_ARG(int, 4)));
        QCOMPARE(panel->get_run_state(), 2);
        QVERIFY(stats_texts().contains("no data yet"));
        QVERIFY(QMetaObject::invokeMethod(panel.get(), "handle_completed_meas", Q_ARG(int, 1)));
        QCOMPARE(panel->get_run_state(), 0);
        QVERIFY(!stats_texts().contains("no data yet"));
    }

    // ---- event threshold ----------------------------------------------------

    void thresholdEndsAccumulation_data() {
        QTest::addColumn<bool>("accumulate");
        QTest::addColumn<bool>("autorun");
        QTest::addColumn<int>("threshold");
        QTest::addColumn<int>("exposures");
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("left");
        QTest::newRow("plain, exceeded on 2nd") << true << false << 1000 << 2 << 0 << 8;
        QTest::newRow("plain, equal is not exceeded") << true << false << 1200 << 3 << 0 << 7;
        QTest::newRow("plain, no threshold") << true << false << 0 << 10 << 0 << 0;
        QTest::newRow("autorun, exceeded on 2nd") << true << true << 1000 << 2 << 0 << 8;
        // Without accumulate the threshold does not apply.
        QTest::newRow("no accumulate") << false << true << 100 << 16 << 2 << 10;
    }

    void thresholdEndsAccumulation() {
        QFETCH(bool, accumulate);
        QFETCH(bool, autorun);
        QFETCH(int, threshold);
        QFETCH(int, exposures);
        QFETCH(int, state);
        QFETCH(int, left);
        connect_device();
        repeat_exposure = counts_of({500, 100});
        set_run(accumulate, autorun, 10, threshold);
        invoke("start");
        deliver(15);
        QCOMPARE(starts(), exposures);
        QCOMPARE(panel->get_run_state(), state);
        QCOMPARE(spin("sb_iterations_left")->value(), left);
        const int handled = accumulate ? exposures : exposures - 1;
        QCOMPARE(left_after.size(), handled);
        QCOMPARE(panel->get_event_total(), 600 * handled);
    }

    // Sound behaviour: a threshold that ends an automatic accumulating run on
    // the exposure completing a cycle leaves the cycle's data in place.
    void thresholdAtCycleEndKeepsData() {
        connect_device();
        repeat_exposure = exposure_of({{0, 100}, {0, 120}});
        set_run(true, true, 2, 3);
        invoke("start");
        deliver(5);
        QCOMPARE(starts(), 2);
        QCOMPARE(panel->get_run_state(), 0);
        QCOMPARE(histo_sum(), 4.0);
        QCOMPARE(tdc->get_histo_stats()->nr_events, 4u);
        // The same run with a threshold not yet reached clears for the next
        // cycle.
        spin("sb_event_threshold")->setValue(5);
        sum_at_start.clear();
        invoke("start");
        deliver(3);
        QCOMPARE(sum_at_start, (QList<double>{0.0, 2.0, 0.0}));
        QCOMPARE(panel->get_run_state(), 0);
        QCOMPARE(histo_sum(), 2.0);
    }

    void eventTotalSaturates_data() {
        QTest::addColumn<QVector<uint>>("counts");
        QTest::addColumn<int>("expected");
        QTest::newRow("fits") << QVector<uint>{2147483000u, 647u} << 2147483647;
        QTest::newRow("one beyond") << QVector<uint>{2147483647u, 1u} << 2147483647;
        QTest::newRow("2^31 alone") << QVector<uint>{2147483648u} << 2147483647;
        QTest::newRow("max count") << QVector<uint>{4294967295u} << 2147483647;
        QTest::newRow("all channels") << QVector<uint>(16, 200000000u) << 2147483647;
        QTest::newRow("small") << QVector<uint>{1u, 2u, 3u} << 6;
    }

    void eventTotalSaturates() {
        QFETCH(QVector<uint>, counts);
        QFETCH(int, expected);
        connect_device();
        repeat_exposure = counts_of(std::vector<uint32_t>(counts.begin(), counts.end()));
        invoke("start");
        deliver();
        QCOMPARE(panel->get_event_total(), expected);
    }

    void saturatedTotalStillEndsRun() {
        // Over several exposures the total stays at the maximum instead of
        // wrapping below the threshold and running on.
        connect_device();
        repeat_exposure = counts_of({1500000000u});
        set_run(true, true, 100, 1000000000);
        script = {counts_of({400000000u}), counts_of({400000000u})};
        invoke("start");
        deliver(6);
        QCOMPARE(starts(), 3);
        QCOMPARE(panel->get_event_total(), 2147483647);
        QCOMPARE(panel->get_run_state(), 0);
    }

    // ---- parameters ---------------------------------------------------------

    void parametersHandedOverAtStart() {
        fake().set_binsize(0.125);
        connect_device();
        spin("sb_histo_start")->setValue(40);
        spin("sb_histo_size")->setValue(2000);
        binning()->setCurrentIndex(3);
        invoke("start");
        const HistoParams p = *tdc->get_histo_params();
        QCOMPARE(p.start, 40.0);
        QCOMPARE(p.size, 2000.0);
        QCOMPARE(p.binsize, 0.125);
        QCOMPARE(p.binning, 3u);
        QCOMPARE(p.channels, 16u);
        QVERIFY(!panel->histo_params_changed());
        deliver();
        // Changes made behind the panel's back survive a start without
        // parameter changes.
        HistoParams behind = p;
        behind.size = 600.0;
        tdc->set_histo_params(behind);
        invoke("start");
        QCOMPARE(tdc->get_histo_params()->size, 600.0);
    }

    void parameterChangeTakesEffectNextExposure() {
        connect_device();
        set_run(true, false, 3);
        spin("sb_exposure")->setValue(10);
        invoke("start");
        QCOMPARE(tdc->get_histo_params()->size, 1000.0);

        spin("sb_histo_size")->setValue(3000);
        spin("sb_exposure")->setValue(20);
        QVERIFY(panel->histo_params_changed());
        // The running exposure keeps the old window.
        QCOMPARE(tdc->get_histo_params()->size, 1000.0);
        deliver();
        QCOMPARE(tdc->get_histo_params()->size, 3000.0);
        QVERIFY(!panel->histo_params_changed());
        const auto calls = fake().calls_of("ox_tdc_start_measure2");
        QCOMPARE(calls.size(), size_t(2));
        QCOMPARE(calls[0].args.at(1), 10LL);
        QCOMPARE(calls[1].args.at(1), 20LL);
        // The second exposure was sized for the new window.
        QCOMPARE(tdc->get_channel_histo(0)->size(), size_t(3000 / 0.5 + 1));

        binning()->setCurrentIndex(2);
        spin("sb_histo_start")->setValue(7);
        deliver();
        QCOMPARE(tdc->get_histo_params()->binning, 2u);
        QCOMPARE(tdc->get_histo_params()->start, 7.0);
        deliver(3);
        QCOMPARE(panel->get_run_state(), 0);
    }

    // ---- memory guard -------------------------------------------------------

    // Sound behaviour: histograms that cannot fit in memory are refused
    // before anything is cleared or started.
    void startRefusedWhenHistogramsDoNotFit() {
        connect_device();
        // 1000 ns at 0.5 ns: 2001 points x 16 channels x 8 bytes.
        QCOMPARE(panel->required_histo_bytes(), 2001.0 * 16 * 8);
        binning()->setCurrentIndex(1);
        QCOMPARE(panel->required_histo_bytes(), 1001.0 * 16 * 8);
        QVERIFY(Mwidget::available_memory_bytes() > 0.0);

        fake().set_binsize(0.001);
        panel->slot_init_deinit(false);
        connect_device();
        binning()->setCurrentIndex(0);
        invoke("start");
        deliver(2);
        QCOMPARE(histo_sum(), 3.0);
        const uint64_t events_before = tdc->get_histo_stats()->nr_events;

        spin("sb_histo_size")->setValue(1000000000); // 10^12 points per channel
        QSignalSpy status(panel.get(), &Mwidget::show_this);
        button("bu_start")->click();
        QCOMPARE(catcher->boxes(), 1);
        QCOMPARE(catcher->seen.last().title, QStringLiteral("Error"));
        QVERIFY2(catcher->last_text().contains("116 TiB"), qPrintable(catcher->last_text()));
        QVERIFY(catcher->last_text().contains("16 channels"));
        QCOMPARE(starts(), 1);
        QCOMPARE(status.count(), 0);
        QCOMPARE(panel->get_run_state(), 0);
        QVERIFY(button("bu_start")->isEnabled());
        QCOMPARE(histo_sum(), 3.0);
        QCOMPARE(tdc->get_histo_stats()->nr_events, events_before);
        QVERIFY(panel->histo_params_changed());
        QCOMPARE(tdc->get_histo_params()->size, 1000.0);
    }

    void continuationRefusedWhenHistogramsDoNotFit() {
        fake().set_binsize(0.001);
        connect_device();
        set_run(true, true, 1);
        invoke("start");
        spin("sb_histo_size")->setValue(1000000000);
        deliver();
        // The cycle ended, but neither cleared nor restarted.
        QCOMPARE(catcher->boxes(), 1);
        QCOMPARE(starts(), 1);
        QCOMPARE(histo_sum(), 3.0);
        QCOMPARE(panel->get_run_state(), 2);
        QVERIFY(panel->histo_params_changed());
        QCOMPARE(tdc->get_histo_params()->size, 1000.0);
    }

    void unavailableHistogramsEndTheRun() {
        connect_device();
        set_run(false, true, 1);
        invoke("start");
        deliver();
        // Parameters handed over behind the panel whose bins cannot be
        // counted leave the accumulator without histograms.
        HistoParams p = *tdc->get_histo_params();
        p.binsize = 1e-300;
        tdc->set_histo_params(p);
        // The exposure already under way still had its histograms; the next
        // one has none.
        deliver();
        QCOMPARE(panel->get_run_state(), 2);
        deliver();
        QVERIFY(tdc->histos_unavailable());
        QCOMPARE(panel->get_run_state(), 0);
        QVERIFY(!panel->is_autorun_active());
        QVERIFY(button("bu_start")->isEnabled());
        QCOMPARE(catcher->boxes(), 1);
        QVERIFY(catcher->last_text().contains("could not be allocated"));
    }

    // ---- export -------------------------------------------------------------

    void exportOnlyWhenIdle() {
        connect_device();
        fake().set_auto_exposure(nullptr);
        invoke("start");
        panel->save_data();
        panel->save_data_filter_zeros();
        button("bu_stop")->click();
        QCOMPARE(panel->get_run_state(), 1);
        panel->save_data();
        QCOMPARE(catcher->seen.size(), 0);
        fake().play_exposure(repeat_exposure.events, repeat_exposure.block);
        deliver();
        QCOMPARE(panel->get_run_state(), 0);
        QTemporaryDir dir;
        catcher->file_to_choose = dir.filePath("scan.txt");
        panel->save_data_filter_zeros();
        QCOMPARE(catcher->file_dialogs(), 1);
        QCOMPARE(catcher->boxes(), 0);
        for (const char *name : {"scan_rates.txt", "scan_ch0.txt", "scan_ch1.txt"})
            QVERIFY2(QFile::exists(dir.filePath(name)), name);
        QVERIFY(!QFile::exists(dir.filePath("scan_ch2.txt")));
    }

    void exportFailureShowsBox() {
        // Nothing was ever measured: there are no histograms to write.
        QTemporaryDir dir;
        catcher->file_to_choose = dir.filePath("nothing.txt");
        panel->save_data();
        QCOMPARE(catcher->file_dialogs(), 1);
        verify_error_box(1, "Could not save data");
    }
};

QTEST_MAIN(TestPanel)
#include "tst_panel.moc"
