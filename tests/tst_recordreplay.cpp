// The main window on the simulated device records a run; the recording, rebinned by the example
// reader, gives every exported channel file; replayed through the program it exports the same
// files byte for byte. A held-back writer drops events that the recorder and the status bar count.

#include "recording/eventrecorder.h"
#include "tests/e2ehelpers.h"

#include <QtTest>

#include <numeric>

namespace {

// Three accumulated exposures of 40 ms, histograms of four device bins per bin.
void set_up_run(Session &s) {
    s.exposure->setValue(40);
    s.iterations->setValue(3);
    s.mode(true, false);
    form_field<QComboBox>(s.panel, "binning:")->setCurrentIndex(2);
}

void write_ini(const QByteArray &text) {
    QFile out("tdc_qv5.ini");
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write(text) == text.size());
}

QByteArray fast_default_ini() {
    return read_all(VELMORA_DEFAULT_INI).replace("realtime = true", "realtime = false");
}

} // namespace

class TestRecordReplay : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    ModalAnswerer modals;

    // Starts recording to `name` from the menu: the window's recorder, or null if it is not on.
    EventRecorder *record_to(Session &s, const QString &name) {
        modals.expect<QFileDialog>("Record Events", dir->filePath(name));
        s.action("Record Events...")->trigger();
        auto *recorder = s.window->findChild<EventRecorder *>();
        return s.action("Record Events...")->isChecked() && recorder && recorder->is_recording()
                   ? recorder
                   : nullptr;
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() {
        QSettings("Corvane", "VelmoraV2").clear();
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(dir->path()));
        modals.take();
    }

    void record_rebin_and_replay() {
        write_ini(fast_default_ini());
        {
            Session s;
            set_up_run(s);
            s.action("Connect")->trigger();
            // An existing file is never taken: the dialog asks again.
            QFile("taken.h5").open(QIODevice::WriteOnly);
            modals.expect<QFileDialog>("Record Events", dir->filePath("taken.h5"));
            modals.expect<QMessageBox>("Record Events");
            modals.expect<QFileDialog>("Record Events", QString());
            s.action("Record Events...")->trigger();
            QVERIFY(!s.action("Record Events...")->isChecked() && read_all("taken.h5").isEmpty());
            QVERIFY(modals.take().join('\n').contains("taken.h5 exists already"));

            EventRecorder *recorder = record_to(s, "run.h5");
            QVERIFY(recorder);
            QSignalSpy rows(recorder, &EventRecorder::progress);
            QCOMPARE(s.run(), 3);
            QTRY_COMPARE(rows.count(), 3);
            QCOMPARE(recorder->events_missing(), 0u);
            const QString said = s.window->findChild<QLabel *>("lb_recording")->text();
            QVERIFY(said.contains("run.h5") && !said.contains("missing"));
            QVERIFY(!s.export_to(modals, "live").isEmpty());
            s.action("Record Events...")->trigger();
            QVERIFY(!recorder->is_recording());
            s.action("Connect")->trigger();
        }
        const QStringList live_files = QDir().entryList({"live_ch*.txt"});
        QVERIFY(live_files.size() > 8);

        // The example reader rebins the recording into each exported channel file.
        const QString python =
            QFile::exists("/usr/bin/python3") ? "/usr/bin/python3" : QString("python3");
        for (const QString &name : live_files) {
            const QString channel = name.section("_ch", 1).section('.', 0, 0);
            QProcess reader;
            reader.start(python, {VELMORA_EXAMPLE_READER, "run.h5", "--channel", channel});
            QVERIFY(reader.waitForFinished(60000));
            QVERIFY2(reader.exitCode() == 0, reader.readAllStandardError().constData());
            QVERIFY2(reader.readAllStandardOutput() == read_all(name), qPrintable(name));
        }

        write_ini("[device]\nreplay = run.h5\nrealtime = false\n");
        Session s;
        set_up_run(s);
        s.action("Connect")->trigger();
        QVERIFY(s.tdc->is_initialized());
        QCOMPARE(s.run(), 3);
        s.export_to(modals, "replayed");
        QCOMPARE(read_all("replayed_rates.txt"), read_all("live_rates.txt"));
        QCOMPARE(QDir().entryList({"replayed_ch*.txt"}).size(), live_files.size());
        for (const QString &name : live_files)
            QVERIFY2(read_all("replayed" + name.mid(4)) == read_all(name), qPrintable(name));
    }

    void held_writer_counts_what_it_lacks() {
        write_ini(fast_default_ini());
        Session s;
        s.exposure->setValue(2000);
        s.iterations->setValue(1);
        s.action("Connect")->trigger();
        EventRecorder *recorder = record_to(s, "held.h5");
        QVERIFY(recorder);
        QSignalSpy rows(recorder, &EventRecorder::progress);
        recorder->hold_writer(true);
        QCOMPARE(s.run(), 1);
        recorder->hold_writer(false);
        QTRY_COMPARE(rows.count(), 1);
        const ChannelCounts &delivered = s.tdc->get_delivered_counts();
        const uint64_t missing = recorder->events_missing(); // the row's, for one exposure
        QVERIFY(missing > 0);
        QCOMPARE(missing + recorder->events_written(),
                 std::accumulate(delivered.begin(), delivered.end(), uint64_t(0)));
        const QString said = s.window->findChild<QLabel *>("lb_recording")->text();
        QVERIFY2(said.contains(QLocale().toString(missing) + " missing"), qPrintable(said));
    }
};

QTEST_MAIN(TestRecordReplay)
#include "tst_recordreplay.moc"
