// The real main window on the simulated device, driven only through menus, buttons and fields.

#include "app/mainwindow.h"
#include "device/tdciface.h"
#include "tests/e2ehelpers.h"
#include "tests/modalanswerer.h"

#include <QtTest>
#include <numeric>

namespace {

const QString rates_header = "# Rates (X:channel_number, Y:countrate):";

QStringList read_lines(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString(f.readAll()).split('\n', Qt::SkipEmptyParts)
                                       : QStringList();
}

// One main window and the widgets a user reaches on it.
struct Session {
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();
    QWidget *panel = window->centralWidget();
    TdcIface *tdc = window->findChild<TdcIface *>();
    QSignalSpy completions{tdc, &TdcIface::complete_callback};
    QPushButton *start = find_text<QPushButton>(panel, "start");
    QPushButton *stop = find_text<QPushButton>(panel, "stop");
    QSpinBox *exposure = form_field<QSpinBox>(panel, "meas. time [ms]:");
    QSpinBox *iterations = form_field<QSpinBox>(panel, "iterations:");
    QSpinBox *histo_size = form_field<QSpinBox>(panel, "histogram window size [ns]:");
    QCheckBox *accumulate = form_field<QCheckBox>(panel, "accumulate:");
    QCheckBox *autorun = form_field<QCheckBox>(panel, "autorun:");

    Session() { window->show(); }
    bool found() const {
        return start && stop && exposure && iterations && histo_size && accumulate && autorun;
    }
    QAction *action(const QString &text) const { return find_text<QAction>(window.get(), text); }
    bool connected() const { return action("Connect")->isChecked() && tdc->is_initialized(); }
    void mode(bool accumulating, bool automatic) {
        for (auto [box, on] : {std::pair{accumulate, accumulating}, {autorun, automatic}})
            if (box->isChecked() != on)
                box->click();
    }
    // Presses start and waits for the run's end: its exposures, or -1 if it never ends.
    int run() {
        completions.clear();
        QTest::mouseClick(start, Qt::LeftButton);
        auto ended = [this] { return start->isEnabled() && !stop->isEnabled(); };
        return QTest::qWaitFor(ended, 20000) ? completions.count() : -1;
    }
    QVariantList state() const {
        return QVariantList{window->geometry(), exposure->value(), iterations->value()}
               << histo_size->value() << accumulate->isChecked() << autorun->isChecked();
    }
};

enum Fault { None, Connecting, Starting, Losing, Hanging, ReadingPot, Exporting, Launching };
} // namespace

class TestWalkthrough : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    ModalAnswerer modals;

    // The device file in the working folder: "+lines" is the shipped file
    // with these lines added, "-" no file, anything else the whole file.
    void write_ini(const QString &how) {
        QFile::remove("tdc_qv5.ini");
        QFile shipped(VELMORA_DEFAULT_INI), out("tdc_qv5.ini");
        QVERIFY(shipped.open(QIODevice::ReadOnly));
        const QByteArray text =
            how.startsWith('+') ? shipped.readAll() + "\n" + how.mid(1).toUtf8() : how.toUtf8();
        QVERIFY(how == "-" || (out.open(QIODevice::WriteOnly) && out.write(text) == text.size()));
    }

    // Exports as name.txt through the File menu: the rates file written.
    QStringList export_to(Session &s, const QString &name, const QString &entry = "&Export") {
        modals.expect<QFileDialog>("Save Data", dir->filePath(name + ".txt"));
        // A fresh name is confirmed with the files it writes (told elsewhere).
        if (!QFileInfo::exists(name + "_rates.txt"))
            modals.expect<QMessageBox>("Export Files", QMessageBox::Save);
        s.action(entry)->trigger();
        modals.forget("Export Files");
        return read_lines(name + "_rates.txt");
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() {
        QSettings("Corvane", "VelmoraV2").clear();
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(dir->path()));
        modals.take();
    }
    void session_data();
    void session();
    void window_change_while_accumulating();
};

void TestWalkthrough::session_data() {
    QTest::addColumn<QString>("ini");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("told"); // all the user is told, as a pattern
    auto row = [](const char *name, const char *ini, Fault fault, const char *told) {
        QTest::newRow(name) << QString(ini) << int(fault) << QString(told);
    };
    row("plain session", "+", None, "");
    // Eight busy answers: the panel's retries give up once.
    row("busy starts", "+[faults]\nbusy_starts = 8", Starting,
        "Error: device busy: a measurement is running");
    row("connection lost", "+[faults]\nlose_connection_at_start = 4", Losing,
        "Error: connection to device \\d+ lost at start 4 \\(injected fault\\)");
    // A hung device: the watchdog interrupts, then gives the run up; the status bar says so.
    row("silent device", "+[faults]\nsilent_at_start = 2", Hanging, "");
    row("pipe open fails", "+[faults]\nfail_pipe_open = true", Connecting,
        "Error: the data pipe could not be opened \\(injected fault\\)");
    row("bus fails", "+[faults]\nfail_bus = true", ReadingPot,
        "failure\ntwo-wire bus write: bus failure \\(injected fault\\)");
    row("missing ini", "-", Connecting,
        "Error: cannot open device configuration file 'tdc_qv5.ini': .+");
    row("broken ini", "[device]\nbinsize_ns = fast\n", Connecting,
        "Error: tdc_qv5.ini:2: key 'binsize_ns' in \\[device\\]: 'fast' is not a number");
    row("garbage settings", "+", Launching, "");
    // A folder in the rates file's place stops root as well as anyone else.
    row("unwritable export", "+", Exporting,
        "Replace Files: Saving as \"blocked.txt\" .+\n\n1 export file\\(s\\) already exist:\n"
        "blocked_rates.txt\n\nReplace them\\?\nError: Could not save data: Could not write "
        ".+blocked_rates.txt: .+");
}

// Connecting, an exposure, both exports, statistics, disconnecting, quitting, starting again;
// each fault ends in a clear message and a program that still measures, exports and quits.
void TestWalkthrough::session() {
    QFETCH(QString, ini);
    QFETCH(int, fault);
    QFETCH(QString, told);
    write_ini(ini);
    if (fault == Launching) {
        QSettings settings("Corvane", "VelmoraV2");
        for (const char *key : {"size/size", "size/position", "mwidget/exposure", "mwidget/binning",
                                "mwidget/iterations", "mwidget/accumulate"})
            settings.setValue(key, "soon");
    }
    Session s;
    QVERIFY(s.found() && !s.start->isEnabled());
    s.exposure->setValue(77);
    s.histo_size->setValue(2500);
    if (fault == Connecting || fault == Starting || fault == Losing)
        modals.expect<QMessageBox>("Error");
    s.action("Connect")->trigger();
    QString said;
    if (fault == Connecting) {
        QVERIFY(!s.action("Connect")->isChecked() && !s.start->isEnabled());
    } else if (fault == Launching) {
        QCOMPARE(form_field<QComboBox>(s.panel, "binning:")->currentIndex(), 0);
        QVERIFY(s.iterations->value() >= 1 && !s.window->size().isEmpty());
    } else if (fault == Starting) {
        QCOMPARE(s.run(), 0);
    } else if (fault == Losing) {
        s.iterations->setValue(1000);
        s.mode(true, true);
        QTest::mouseClick(s.start, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!s.stop->isEnabled() && !s.start->isEnabled(), 20000);
        QVERIFY(!s.action("Connect")->isChecked());
        // The exposures gathered before the loss still export.
        QCOMPARE(export_to(s, "lost").value(0), rates_header);
        QVERIFY(read_lines("lost_ch0.txt").size() > 1);
    } else if (fault == Hanging) {
        s.mode(false, false);
        QCOMPARE(s.run(), 1);
        QCOMPARE(s.run(), 0);
        QVERIFY(s.window->findChild<QLabel *>("lb_status")
                    ->text()
                    .startsWith(
                        "run ended: the device did not end the exposure, even when interrupted"));
        // Nothing complete to export: said, not written.
        modals.expect<QMessageBox>("Error");
        s.action("&Export")->trigger();
        QVERIFY(modals.answered() && !QFile::exists("hung_rates.txt"));
        modals.forget("Error");
        s.action("Connect")->trigger(); // releases the hung device
        QVERIFY(!s.connected());
    } else if (fault == ReadingPot) {
        s.action("Control DS3902 Potentiometer")->trigger();
        QWidget *epot = find_window("WindowEpot");
        QTest::mouseClick(find_text<QPushButton>(epot, "read"), Qt::LeftButton);
        said = epot->findChild<QLabel *>("lb_result")->text();
    }
    // Without the fault (what the user was told is checked at the end), an exposure counts
    // every event sent.
    write_ini("+");
    if (!s.connected())
        s.action("Connect")->trigger();
    QVERIFY(s.connected());
    s.mode(false, false);
    QCOMPARE(s.run(), 1);
    const uint32_t *counts = s.tdc->get_pipe_statistics()->words;
    const uint64_t sum = std::accumulate(counts, counts + 16, uint64_t(0));
    QVERIFY(sum > 1000 && s.tdc->get_histo_stats()->nr_events == sum);
    if (fault == Exporting) { // nothing of a failed export is left, and the data stay
        QVERIFY(QDir().mkdir("blocked_rates.txt"));
        modals.expect<QMessageBox>("Replace Files", QMessageBox::Yes);
        modals.expect<QMessageBox>("Error");
        QVERIFY(export_to(s, "blocked").isEmpty() && !QFile::exists("blocked_ch0.txt"));
        QCOMPARE(QDir().entryList({"*blocked*"}, QDir::AllEntries | QDir::Hidden),
                 QStringList{"blocked_rates.txt"});
    }
    // Both exports: the rates, and for each channel with events every bin or the non-empty ones.
    const QStringList rates = export_to(s, "scan");
    QCOMPARE(export_to(s, "thin", "E&xport (filter zeros)"), rates);
    QCOMPARE(rates.value(0), rates_header);
    for (int c = 0; c < 16; ++c) {
        QCOMPARE(rates.value(2 + c), QString("%1\t%2").arg(c, 10).arg(counts[c]));
        QCOMPARE(read_lines(QString("scan_ch%1.txt").arg(c)).size(),
                 counts[c] ? int(s.tdc->get_channel_histo(c)->size()) + 1 : 0);
        QCOMPARE(QFile::exists(QString("thin_ch%1.txt").arg(c)), counts[c] != 0);
    }
    QVERIFY(std::count(counts, counts + 16, 0u) < 6);
    s.action("AverageTime")->trigger();
    QWidget *stats = find_window("Velmora Statistics Window");
    QVERIFY(stats && !find_text<QLabel>(stats, "no data yet"));

    // Disconnecting, or quitting while connected, which closes the device first; starting
    // again brings back the window and the parameters, not the connection.
    if (fault == None) {
        s.action("Connect")->trigger();
        QVERIFY(!s.action("Connect")->isChecked() && !s.tdc->is_initialized() &&
                !s.start->isEnabled());
    }
    QTRY_VERIFY_WITH_TIMEOUT(modals.answered(), 20000);
    said += modals.take().join('\n');
    QVERIFY2(QRegularExpression("^" + told + "$").match(said).hasMatch(), qPrintable(said));
    s.window->setGeometry(240, 180, 1100, 900);
    const QVariantList before = s.state();
    s.action("Quit")->trigger();
    QVERIFY(!s.window->isVisible() && !s.tdc->is_initialized());
    Session again;
    QCOMPARE(again.state(), before);
    QVERIFY(!again.action("Connect")->isChecked());
}

// A window change during an accumulating run waits for the run's end: the histograms keep every
// delivered event of all three exposures, and the info file says so.
void TestWalkthrough::window_change_while_accumulating() {
    write_ini("+");
    Session s;
    s.action("Connect")->trigger();
    QVERIFY(s.connected());
    s.mode(true, false);
    s.iterations->setValue(3);
    s.exposure->setValue(400);
    QTest::mouseClick(s.start, Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return s.tdc->get_delivered_running() > 0; }, 20000));
    s.histo_size->setValue(1200);
    QVERIFY(QTest::qWaitFor([&] { return s.start->isEnabled(); }, 20000));
    QCOMPARE(s.completions.count(), 3);
    QCOMPARE(s.tdc->get_active_histo_params().size, 1000.0);
    double in_histograms = 0;
    for (uint32_t c = 0; c < 16; ++c) {
        const std::vector<double> &h = *s.tdc->get_channel_histo(c);
        in_histograms = std::accumulate(h.begin(), h.end(), in_histograms);
    }
    export_to(s, "held");
    QFile file("held_info.json");
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject info = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(info["run"].toObject()["exposures_completed"].toInt(), 3);
    QCOMPARE(info["histograms"].toObject()["window_size_ns"].toDouble(), 1000.0);
    double delivered = 0;
    for (const QJsonValue &channel : info["per_channel"].toArray())
        delivered += channel.toObject()["run_delivered"].toDouble();
    QVERIFY(delivered > 1000);
    QCOMPARE(in_histograms, delivered);
    // The next run takes the new window.
    s.iterations->setValue(1);
    QCOMPARE(s.run(), 1);
    QCOMPARE(s.tdc->get_active_histo_params().size, 1200.0);
}

QTEST_MAIN(TestWalkthrough)
#include "tst_walkthrough.moc"
