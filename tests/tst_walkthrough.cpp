// The real main window on the simulated device, driven only through menus, buttons and fields.

#include "tests/e2ehelpers.h"

#include <QtTest>
#include <numeric>

namespace {

const QString rates_header = "# Rates (X:channel_number, Y:countrate):";

QStringList read_lines(const QString &path) {
    return QString(read_all(path)).split('\n', Qt::SkipEmptyParts);
}

// What a restart brings back.
QVariantList state(const Session &s) {
    return QVariantList{s.window->geometry(), s.exposure->value(), s.iterations->value()}
           << s.histo_size->value() << s.accumulate->isChecked() << s.autorun->isChecked();
}

enum Fault { None, Connecting, Losing, Hanging, ReadingPot, Exporting, Launching };
} // namespace

class TestWalkthrough : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    ModalAnswerer modals;

    // The device file in the working folder: "+lines" is the shipped file with these lines
    // added, "-" no file.
    void write_ini(const QString &how) {
        QFile::remove("tdc_qv5.ini");
        QFile out("tdc_qv5.ini");
        const QByteArray text = read_all(VELMORA_DEFAULT_INI) + "\n" + how.mid(1).toUtf8();
        QVERIFY(how == "-" || (out.open(QIODevice::WriteOnly) && out.write(text) == text.size()));
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
};

void TestWalkthrough::session_data() {
    QTest::addColumn<QString>("ini");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("told"); // all the user is told, as a pattern
    auto row = [](const char *name, const char *ini, Fault fault, const char *told) {
        QTest::newRow(name) << QString(ini) << int(fault) << QString(told);
    };
    row("plain session", "+", None, "");
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
    row("garbage settings", "+", Launching, "");
    // A folder in the rates file's place stops root as well as anyone else.
    row("unwritable export", "+", Exporting,
        "Replace Files: Saving as \"blocked.txt\" .+\n\n1 export file\\(s\\) already exist:\n"
        "blocked_rates.txt\n\nReplace them\\?\nError: Could not save data: Could not write "
        ".+blocked_rates.txt: .+");
}

// A whole session; each fault ends in a clear message and a program that still works.
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
    QVERIFY(!s.start->isEnabled());
    s.exposure->setValue(77);
    s.histo_size->setValue(2500);
    if (fault == Connecting || fault == Losing)
        modals.expect<QMessageBox>("Error");
    s.action("Connect")->trigger();
    QString said;
    if (fault == Connecting) {
        QVERIFY(!s.action("Connect")->isChecked() && !s.start->isEnabled());
    } else if (fault == Launching) {
        QCOMPARE(form_field<QComboBox>(s.panel, "binning:")->currentIndex(), 0);
        QVERIFY(s.iterations->value() >= 1 && !s.window->size().isEmpty());
    } else if (fault == Losing) {
        s.iterations->setValue(1000);
        s.mode(true, true);
        QTest::mouseClick(s.start, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!s.stop->isEnabled() && !s.start->isEnabled(), 20000);
        QVERIFY(!s.action("Connect")->isChecked());
        // The exposures gathered before the loss still export.
        QCOMPARE(s.export_to(modals, "lost").value(0), rates_header);
        QVERIFY(read_lines("lost_ch0.txt").size() > 1);
    } else if (fault == Hanging) {
        s.mode(false, false);
        QCOMPARE(s.run(), 1);
        QCOMPARE(s.run(), 0);
        const QString status = s.window->findChild<QLabel *>("lb_status")->text();
        QVERIFY(status.startsWith("run ended: the device did not end the exposure, even when "
                                  "interrupted"));
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
    // Without the fault, an exposure counts every event sent.
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
        QVERIFY(s.export_to(modals, "blocked").isEmpty() && !QFile::exists("blocked_ch0.txt"));
        QCOMPARE(QDir().entryList({"*blocked*"}, QDir::AllEntries | QDir::Hidden),
                 QStringList{"blocked_rates.txt"});
    }
    // Both exports: the rates, and for each channel with events every bin or the non-empty ones.
    const QStringList rates = s.export_to(modals, "scan");
    QCOMPARE(s.export_to(modals, "thin", "E&xport (filter zeros)"), rates);
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

    // Quitting, connected or not; starting again brings back all but the connection.
    if (fault == None) {
        s.action("Connect")->trigger();
        QVERIFY(!s.action("Connect")->isChecked() && !s.tdc->is_initialized() &&
                !s.start->isEnabled());
    }
    QTRY_VERIFY_WITH_TIMEOUT(modals.answered(), 20000);
    said += modals.take().join('\n');
    QVERIFY2(QRegularExpression("^" + told + "$").match(said).hasMatch(), qPrintable(said));
    s.window->setGeometry(240, 180, 1100, 900);
    const QVariantList before = state(s);
    s.action("Quit")->trigger();
    QVERIFY(!s.window->isVisible() && !s.tdc->is_initialized());
    Session again;
    QCOMPARE(state(again), before);
    QVERIFY(!again.action("Connect")->isChecked());
}

QTEST_MAIN(TestWalkthrough)
#include "tst_walkthrough.moc"
