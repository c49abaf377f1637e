// The whole program as a user meets it: the real main window on the simulated
// device, driven only through its menus, buttons and form fields.

#include "e2ehelpers.h"
#include "mainwindow.h"
#include "mhisto.h"
#include "tdciface.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextStream>
#include <QToolButton>
#include <QtTest>

#include <qwt_plot_curve.h>

#include <memory>

namespace {

constexpr int run_timeout_ms = 20000;

// With VELMORA_SCREENSHOT set, the main window after the accumulating run is
// saved there (scripts/screenshot.sh makes the README's picture this way).
void grab_if_asked(QWidget *window) {
    const QString path = QString::fromLocal8Bit(qgetenv("VELMORA_SCREENSHOT"));
    if (path.isEmpty())
        return;
    window->resize(1280, 800);
    QApplication::processEvents();
    QVERIFY(window->grab().save(path));
}

QStringList read_lines(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

// A user session on one main window: the widgets a user would reach.
struct Session {
    std::unique_ptr<MainWindow> window;
    QWidget *panel = nullptr;
    TdcIface *tdc = nullptr;
    Mhisto *histo = nullptr;
    QPushButton *start = nullptr;
    QPushButton *stop = nullptr;
    QSpinBox *exposure = nullptr;
    QSpinBox *iterations = nullptr;
    QSpinBox *iterations_left = nullptr;
    QSpinBox *threshold = nullptr;
    QSpinBox *histo_size = nullptr;
    QCheckBox *autorun = nullptr;
    QCheckBox *accumulate = nullptr;

    void open() {
        window.reset(new MainWindow(nullptr));
        window->show();
        panel = window->centralWidget();
        tdc = window->findChild<TdcIface *>();
        histo = panel->findChild<Mhisto *>();
        start = find_button(panel, "start");
        stop = find_button(panel, "stop");
        exposure = form_field<QSpinBox>(panel, "meas. time [ms]:");
        iterations = form_field<QSpinBox>(panel, "iterations:");
        iterations_left = form_field<QSpinBox>(panel, "iterations left:");
        threshold = form_field<QSpinBox>(panel, "event threshold:");
        histo_size = form_field<QSpinBox>(panel, "histogram window size [ns]:");
        autorun = form_field<QCheckBox>(panel, "autorun:");
        accumulate = form_field<QCheckBox>(panel, "accumulate:");
    }

    bool complete() const {
        return panel && tdc && histo && start && stop && exposure && iterations &&
               iterations_left && threshold && histo_size && autorun && accumulate;
    }

    QAction *action(const QString &text) const { return find_action(window.get(), text); }
    QString status() const { return window->statusBar()->currentMessage(); }
    bool idle() const { return start->isEnabled() && !stop->isEnabled(); }

    void set_checked(QCheckBox *box, bool on) {
        if (box->isChecked() != on)
            box->click(); // as a click on its indicator: toggles and emits clicked()
    }

    // Counts of every bin of every channel in the accumulator.
    double histogram_total() const {
        double total = 0;
        for (uint32_t c = 0; c < 16; ++c)
            if (const std::vector<double> *h = tdc->get_channel_histo(c))
                for (double v : *h)
                    total += v;
        return total;
    }

    uint64_t last_exposure_events() const {
        const PipeStatistics *block = tdc->get_pipe_statistics();
        uint64_t sum = 0;
        for (int c = 0; c < 16; ++c)
            sum += block->words[c];
        return sum;
    }

    int drawn_curves() const {
        int n = 0;
        for (QwtPlotItem *item : histo->itemList(QwtPlotItem::Rtti_PlotCurve))
            if (static_cast<QwtPlotCurve *>(item)->dataSize() > 0)
                ++n;
        return n;
    }
};

} // namespace

class TestWalkthrough : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void user_session();
    void restart_restores_window_and_parameters();
    void busy_device();
    void connection_lost_during_automatic_accumulation();
    void pipe_that_cannot_be_opened();
    void failing_bus();
    void missing_and_broken_configuration();
    void garbage_settings();
    void export_into_unwritable_place();

private:
    void write_ini(const QString &extra);
    QString default_ini;
    std::unique_ptr<QTemporaryDir> dir;
    ModalAnswerer *answerer = nullptr;
};

void TestWalkthrough::initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    default_ini = QStringLiteral(VELMORA_DEFAULT_INI);
    QVERIFY2(QFile::exists(default_ini), qPrintable(default_ini));
}

void TestWalkthrough::init() {
    QSettings("Corvane", "VelmoraV2").clear();
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    QVERIFY(QDir::setCurrent(dir->path()));
    write_ini(QString());
    answerer = new ModalAnswerer(this);
}

void TestWalkthrough::cleanup() {
    delete answerer;
    answerer = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets())
        w->close();
    QDir::setCurrent(QDir::tempPath());
    dir.reset();
}

// The device file of the session: the shipped one, plus `extra` lines.
void TestWalkthrough::write_ini(const QString &extra) {
    QFile in(default_ini);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QByteArray text = in.readAll();
    text += "\n" + extra.toUtf8() + "\n";
    QFile out(dir->filePath("tdc_qv5.ini"));
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(text);
}

void TestWalkthrough::user_session() {
    Session s;
    s.open();
    QVERIFY(s.complete());
    QVERIFY(!s.start->isEnabled());

    // Connect.
    s.action("Connect")->trigger();
    QVERIFY(s.action("Connect")->isChecked());
    QCOMPARE(s.status(), QString("Device is initialized"));
    QVERIFY(s.start->isEnabled());
    QVERIFY(answerer->take().isEmpty());

    QSignalSpy completions(s.tdc, &TdcIface::complete_callback);

    // A single exposure: every event of it is counted, the plots show it.
    s.exposure->setValue(50);
    s.set_checked(s.accumulate, false);
    s.set_checked(s.autorun, false);
    QTest::mouseClick(s.start, Qt::LeftButton);
    QCOMPARE(s.status(), QString("exposure running"));
    QTRY_VERIFY_WITH_TIMEOUT(s.idle(), run_timeout_ms);
    QCOMPARE(completions.count(), 1);
    const uint64_t single = s.last_exposure_events();
    QVERIFY(single > 1000);
    QCOMPARE(s.tdc->get_histo_stats()->nr_events, single);
    QVERIFY(s.drawn_curves() >= 10);
    QVERIFY(s.histogram_total() > 0.5 * double(single));

    // An accumulating run of three exposures counts 3, 2, 1, 0.
    completions.clear();
    s.set_checked(s.accumulate, true);
    s.iterations->setValue(3);
    s.threshold->setValue(0);
    QSignalSpy left(s.iterations_left, QOverload<int>::of(&QSpinBox::valueChanged));
    QTest::mouseClick(s.start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(s.idle(), run_timeout_ms);
    QCOMPARE(completions.count(), 3);
    QCOMPARE(s.iterations_left->value(), 0);
    QList<int> seen;
    for (const QList<QVariant> &args : left)
        seen << args.at(0).toInt();
    QCOMPARE(seen.mid(seen.size() - 3), (QList<int>{2, 1, 0}));
    QVERIFY(s.tdc->get_histo_stats()->nr_events > s.last_exposure_events());
    grab_if_asked(s.window.get());

    // An automatic run: one press of stop ends the repetition after the
    // exposure under way.
    completions.clear();
    s.set_checked(s.accumulate, false);
    s.set_checked(s.autorun, true);
    QTest::mouseClick(s.start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(completions.count() >= 2, run_timeout_ms);
    QTest::mouseClick(s.stop, Qt::LeftButton);
    const int at_stop = completions.count();
    QTRY_VERIFY_WITH_TIMEOUT(s.idle(), run_timeout_ms);
    QVERIFY(completions.count() <= at_stop + 1);

    // Two presses interrupt a long exposure.
    completions.clear();
    s.exposure->setValue(60000);
    QTest::mouseClick(s.start, Qt::LeftButton);
    QVERIFY(s.stop->isEnabled());
    QTest::mouseClick(s.stop, Qt::LeftButton);
    QVERIFY(s.stop->isEnabled()); // the first press only ends the repetition
    QTest::mouseClick(s.stop, Qt::LeftButton);
    QVERIFY(s.idle()); // the second one interrupts; the panel waits for the end
    // The interrupted exposure ends long before its 60 s are up.
    QTRY_COMPARE_WITH_TIMEOUT(completions.count(), 1, run_timeout_ms);
    QVERIFY(s.idle());
    QVERIFY(answerer->take().isEmpty());

    // The event threshold ends an automatic accumulating run; what it shows
    // stays in the accumulator.
    completions.clear();
    s.exposure->setValue(50);
    s.set_checked(s.accumulate, true);
    s.iterations->setValue(1);
    s.threshold->setValue(1000);
    QTest::mouseClick(s.start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(s.idle(), run_timeout_ms);
    QCOMPARE(completions.count(), 1);
    QVERIFY(s.histogram_total() > 0);
    s.set_checked(s.autorun, false);

    // Export, plain and filtered.
    answerer->save_name = dir->filePath("scan.old.txt");
    s.action("&Export")->trigger();
    QTRY_VERIFY(!answerer->seen.isEmpty());
    QStringList rates = read_lines(dir->filePath("scan_rates.txt"));
    QCOMPARE(rates.size(), 18);
    QCOMPARE(rates.at(0), QString("# Rates (X:channel_number, Y:countrate):"));
    const PipeStatistics *block = s.tdc->get_pipe_statistics();
    int files = 0;
    for (int c = 0; c < 16; ++c) {
        QCOMPARE(rates.at(2 + c), QString("%1\t%2").arg(c, 10).arg(block->words[c]));
        const QString name = dir->filePath(QString("scan_ch%1.txt").arg(c));
        QCOMPARE(QFile::exists(name), block->words[c] != 0);
        if (block->words[c] != 0) {
            ++files;
            const QStringList lines = read_lines(name);
            QCOMPARE(lines.size(), int(s.tdc->get_channel_histo(c)->size()) + 1);
            QCOMPARE(lines.at(0), QString("# Channel %1 (Time[ns] vs Countrate):").arg(c));
        }
    }
    QVERIFY(files >= 10);
    QVERIFY(!QFile::exists(dir->filePath("scan.old.txt")));
    answerer->take();

    answerer->save_name = dir->filePath("thin.txt");
    s.action("E&xport (filter zeros)")->trigger();
    QTRY_VERIFY(!answerer->seen.isEmpty());
    QCOMPARE(read_lines(dir->filePath("thin_rates.txt")), rates);
    for (int c = 0; c < 16; ++c) {
        if (block->words[c] == 0)
            continue;
        const QStringList thin = read_lines(dir->filePath(QString("thin_ch%1.txt").arg(c)));
        const QStringList full = read_lines(dir->filePath(QString("scan_ch%1.txt").arg(c)));
        QVERIFY(thin.size() > 1 && thin.size() <= full.size());
        // Every non-empty bin is kept.
        int nonzero = 0;
        for (double v : *s.tdc->get_channel_histo(c))
            nonzero += v != 0.0;
        QVERIFY(thin.size() - 1 >= nonzero);
    }
    for (const ModalRecord &r : answerer->take())
        QVERIFY2(r.type == "file", qPrintable(r.title + ": " + r.text));

    // The statistics window shows the last refresh.
    s.action("AverageTime")->trigger();
    QWidget *stats = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->windowTitle() == "Velmora Statistics Window")
            stats = w;
    QVERIFY(stats && stats->isVisible());
    for (QLabel *label : stats->findChildren<QLabel *>())
        QVERIFY(label->text() != "no data yet");

    // A channel shift written from the editor reaches the device.
    s.action("Edit Channel Shifts")->trigger();
    QWidget *editor = nullptr;
    QTRY_VERIFY((editor = [] {
                    for (QWidget *w : QApplication::topLevelWidgets())
                        if (w->windowTitle() == "Velmora: Edit Channel Shifts" && w->isVisible())
                            return w;
                    return static_cast<QWidget *>(nullptr);
                }()) != nullptr);
    QTRY_COMPARE(editor->findChildren<QSpinBox *>().size(), 16);
    QSpinBox *ch3 = nullptr;
    for (QLabel *label : editor->findChildren<QLabel *>())
        if (label->text() == "ch3")
            ch3 = label->parentWidget()->findChild<QSpinBox *>();
    QVERIFY(ch3);
    ch3->setValue(40);
    std::vector<int32_t> corrections;
    QCOMPARE(s.tdc->get_corrections(corrections), 0);
    QCOMPARE(corrections.size(), size_t(16));
    QCOMPARE(corrections[3], 40);

    // The potentiometer: read, set, read back.
    s.action("Control DS3902 Potentiometer")->trigger();
    QWidget *epot = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->inherits("WindowEpot"))
            epot = w;
    QVERIFY(epot);
    QPushButton *read = find_button(epot, "read");
    QVERIFY(read && read->isEnabled());
    QSpinBox *threshold_cfd = nullptr;
    QToolButton *threshold_set = nullptr;
    for (QLabel *label : epot->findChildren<QLabel *>())
        if (label->text() == "Threshold CFD") {
            threshold_cfd = label->parentWidget()->findChild<QSpinBox *>();
            threshold_set = label->parentWidget()->findChild<QToolButton *>();
        }
    QVERIFY(threshold_cfd && threshold_set);
    auto result_text = [epot] {
        for (QLabel *label : epot->findChildren<QLabel *>())
            if (label->text() == "ok" || label->text().startsWith("failure"))
                return label->text();
        return QString();
    };
    QTest::mouseClick(read, Qt::LeftButton);
    QCOMPARE(result_text(), QString("ok"));
    const int device_threshold = threshold_cfd->value();
    threshold_cfd->setValue(device_threshold == 200 ? 150 : 200);
    const int wanted = threshold_cfd->value();
    threshold_set->click();
    QCOMPARE(result_text(), QString("ok"));
    threshold_cfd->setValue(0);
    QTest::mouseClick(read, Qt::LeftButton);
    QCOMPARE(threshold_cfd->value(), wanted);
    epot->close();
    QVERIFY(!epot->isVisible());

    // About and licences.
    s.action("About Velmora")->trigger();
    const QList<ModalRecord> about = answerer->take();
    QCOMPARE(about.size(), 1);
    QCOMPARE(about.at(0).title, QString("About velmora application"));
    s.action("Licenses")->trigger();
    bool licences = false;
    for (QWidget *w : QApplication::topLevelWidgets())
        licences |= w->isVisible() && w->windowTitle() == "Velmora : Licenses";
    QVERIFY(licences);

    // Disconnect, then quit.
    s.action("Connect")->trigger();
    QVERIFY(!s.action("Connect")->isChecked());
    QCOMPARE(s.status(), QString("Device is deinitialized"));
    QVERIFY(!s.start->isEnabled());
    QVERIFY(!s.tdc->is_initialized());
    s.action("Quit")->trigger();
    QVERIFY(!s.window->isVisible());
    QVERIFY(answerer->take().isEmpty());
}

void TestWalkthrough::restart_restores_window_and_parameters() {
    QPoint where;
    QSize size;
    {
        Session s;
        s.open();
        QVERIFY(s.complete());
        s.window->resize(900, 640);
        s.window->move(240, 180);
        s.exposure->setValue(77);
        s.iterations->setValue(12);
        s.threshold->setValue(4321);
        s.histo_size->setValue(2500);
        s.set_checked(s.accumulate, true);
        s.action("Connect")->trigger();
        QVERIFY(s.tdc->is_initialized());
        where = s.window->pos();
        size = s.window->size();
        // Quitting while connected closes the device first.
        s.action("Quit")->trigger();
        QVERIFY(!s.tdc->is_initialized());
    }
    Session again;
    again.open();
    QVERIFY(again.complete());
    QCOMPARE(again.window->size(), size);
    QCOMPARE(again.window->pos(), where);
    QCOMPARE(again.exposure->value(), 77);
    QCOMPARE(again.iterations->value(), 12);
    QCOMPARE(again.threshold->value(), 4321);
    QCOMPARE(again.histo_size->value(), 2500);
    QVERIFY(again.accumulate->isChecked());
    QVERIFY(!again.autorun->isChecked());
    QVERIFY(!again.action("Connect")->isChecked());
}

void TestWalkthrough::busy_device() {
    // Twenty busy answers: the first two starts give up after eight tries
    // each, the third gets through.
    write_ini("[faults]\nbusy_starts = 20");
    Session s;
    s.open();
    QVERIFY(s.complete());
    s.exposure->setValue(20);
    s.action("Connect")->trigger();
    QVERIFY(s.tdc->is_initialized());
    for (int attempt = 0; attempt < 2; ++attempt) {
        QTest::mouseClick(s.start, Qt::LeftButton);
        QTRY_COMPARE(answerer->seen.size(), 1);
        const ModalRecord box = answerer->take().at(0);
        QCOMPARE(box.title, QString("Error"));
        QVERIFY(!box.text.isEmpty());
        QVERIFY(s.idle());
    }
    QSignalSpy completions(s.tdc, &TdcIface::complete_callback);
    QTest::mouseClick(s.start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(s.idle(), run_timeout_ms);
    QCOMPARE(completions.count(), 1);
    QVERIFY(answerer->take().isEmpty());
}

void TestWalkthrough::connection_lost_during_automatic_accumulation() {
    write_ini("[faults]\nlose_connection_at_start = 4");
    Session s;
    s.open();
    QVERIFY(s.complete());
    s.exposure->setValue(30);
    s.iterations->setValue(1000);
    s.threshold->setValue(0);
    s.set_checked(s.accumulate, true);
    s.set_checked(s.autorun, true);
    s.action("Connect")->trigger();
    QVERIFY(s.tdc->is_initialized());
    QTest::mouseClick(s.start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!answerer->seen.isEmpty(), run_timeout_ms);
    const ModalRecord box = answerer->take().at(0);
    QCOMPARE(box.title, QString("Error"));
    QVERIFY(!box.text.isEmpty());
    QTRY_VERIFY(!s.stop->isEnabled());
    QVERIFY(!s.start->isEnabled());
    QVERIFY(!s.action("Connect")->isChecked());
    QVERIFY(!s.tdc->is_initialized());

    // Three exposures were gathered before the loss; they still export.
    const double gathered = s.histogram_total();
    QVERIFY(gathered > 0);
    answerer->save_name = dir->filePath("lost.txt");
    s.action("&Export")->trigger();
    QTRY_VERIFY(!answerer->seen.isEmpty());
    for (const ModalRecord &r : answerer->take())
        QCOMPARE(r.type, QString("file"));
    QCOMPARE(read_lines(dir->filePath("lost_rates.txt")).size(), 18);
    QVERIFY(QFile::exists(dir->filePath("lost_ch0.txt")));

    // Connecting again gives a working device.
    s.action("Connect")->trigger();
    QVERIFY(s.tdc->is_initialized());
    s.set_checked(s.autorun, false);
    s.iterations->setValue(1);
    QTest::mouseClick(s.start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(s.idle(), run_timeout_ms);
    QVERIFY(s.tdc->get_histo_stats()->nr_events > 0);
}

void TestWalkthrough::pipe_that_cannot_be_opened() {
    write_ini("[faults]\nfail_pipe_open = true");
    Session s;
    s.open();
    QVERIFY(s.complete());
    s.action("Connect")->trigger();
    const QList<ModalRecord> boxes = answerer->take();
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.at(0).title, QString("Error"));
    QVERIFY(!boxes.at(0).text.isEmpty());
    QVERIFY(!s.action("Connect")->isChecked());
    QVERIFY(!s.tdc->is_initialized());
    QVERIFY(!s.start->isEnabled());

    // Once the fault is gone the same window connects.
    write_ini(QString());
    s.action("Connect")->trigger();
    QVERIFY(s.tdc->is_initialized());
    QVERIFY(s.start->isEnabled());
}

void TestWalkthrough::failing_bus() {
    write_ini("[faults]\nfail_bus = true");
    Session s;
    s.open();
    QVERIFY(s.complete());
    s.action("Connect")->trigger();
    QVERIFY(s.tdc->is_initialized());
    s.action("Control DS3902 Potentiometer")->trigger();
    QWidget *epot = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->inherits("WindowEpot"))
            epot = w;
    QVERIFY(epot);
    QTest::mouseClick(find_button(epot, "read"), Qt::LeftButton);
    QString result;
    for (QLabel *label : epot->findChildren<QLabel *>())
        if (label->text().startsWith("failure"))
            result = label->text();
    QVERIFY2(result.startsWith("failure\n") && result.size() > 8, qPrintable(result));
    // The measurement side is unaffected.
    QTest::mouseClick(s.start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(s.idle(), run_timeout_ms);
    QVERIFY(answerer->take().isEmpty());
}

void TestWalkthrough::missing_and_broken_configuration() {
    QVERIFY(QFile::remove(dir->filePath("tdc_qv5.ini")));
    Session s;
    s.open();
    QVERIFY(s.complete());
    s.action("Connect")->trigger();
    QList<ModalRecord> boxes = answerer->take();
    QCOMPARE(boxes.size(), 1);
    QVERIFY2(boxes.at(0).text.contains("tdc_qv5.ini"), qPrintable(boxes.at(0).text));
    QVERIFY(!s.action("Connect")->isChecked());

    QFile broken(dir->filePath("tdc_qv5.ini"));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("[device]\nbinsize_ns = fast\n");
    broken.close();
    s.action("Connect")->trigger();
    boxes = answerer->take();
    QCOMPARE(boxes.size(), 1);
    QVERIFY2(boxes.at(0).text.contains("binsize_ns"), qPrintable(boxes.at(0).text));
    QVERIFY(!s.action("Connect")->isChecked());
    QVERIFY(!s.start->isEnabled());
}

void TestWalkthrough::garbage_settings() {
    {
        QSettings settings("Corvane", "VelmoraV2");
        settings.setValue("size/size", QString("huge"));
        settings.setValue("size/position", QString("left"));
        settings.setValue("mwidget/exposure", QString("soon"));
        settings.setValue("mwidget/binning", QString("lots"));
        settings.setValue("mwidget/histo_size", -5);
        settings.setValue("mwidget/iterations", QString("1e99"));
        settings.setValue("mwidget/event_threshold", 99999999999LL);
        settings.setValue("mwidget/accumulate", QString("maybe"));
    }
    Session s;
    s.open();
    QVERIFY(s.complete());
    QVERIFY(s.iterations->value() >= 1);
    QVERIFY(s.histo_size->value() >= 0);
    QCOMPARE(form_field<QComboBox>(s.panel, "binning:")->currentIndex(), 0);
    // The program works with whatever was salvaged.
    s.exposure->setValue(20);
    s.histo_size->setValue(1000);
    s.set_checked(s.accumulate, false);
    s.action("Connect")->trigger();
    QVERIFY(s.tdc->is_initialized());
    QTest::mouseClick(s.start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(s.idle(), run_timeout_ms);
    QVERIFY(s.tdc->get_histo_stats()->nr_events > 0);
    QVERIFY(answerer->take().isEmpty());
}

void TestWalkthrough::export_into_unwritable_place() {
    Session s;
    s.open();
    QVERIFY(s.complete());
    s.exposure->setValue(20);
    s.action("Connect")->trigger();
    QTest::mouseClick(s.start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(s.idle(), run_timeout_ms);

    // A rates file that cannot be written: its name is taken by a folder,
    // which stops root as well as anyone else. The channel files are still
    // written, and the failure is reported.
    QVERIFY(QDir(dir->path()).mkdir("blocked_rates.txt"));
    answerer->save_name = dir->filePath("blocked.txt");
    answerer->message_answer = QMessageBox::Yes; // replace what is there
    s.action("&Export")->trigger();
    const QList<ModalRecord> seen = answerer->take();
    QCOMPARE(seen.size(), 3); // file dialog, the question to replace, the error
    QCOMPARE(seen.at(0).type, QString("file"));
    QCOMPARE(seen.at(1).title, QString("Replace Files"));
    QCOMPARE(seen.last().title, QString("Error"));
    QCOMPARE(seen.last().text, QString("Could not save data"));
    QVERIFY(QFile::exists(dir->filePath("blocked_ch0.txt")));

    // Nothing was lost: the same data exports to a good place afterwards.
    answerer->save_name = dir->filePath("good.txt");
    s.action("&Export")->trigger();
    QTRY_VERIFY(!answerer->seen.isEmpty());
    for (const ModalRecord &r : answerer->take())
        QVERIFY2(r.type == "file", qPrintable(r.type + ": " + r.text));
    QCOMPARE(read_lines(dir->filePath("good_rates.txt")).size(), 18);
}

QTEST_MAIN(TestWalkthrough)
#include "tst_walkthrough.moc"
