// The main window on the simulated device records a run; the recording, rebinned by the example
// reader, gives every exported channel file; replayed through the program it exports the same
// files byte for byte, and a start past its end says it is exhausted. A held-back writer drops
// events that the row and the status bar count, while the histograms keep every one.

#include "app/mainwindow.h"
#include "device/tdciface.h"
#include "recording/eventrecorder.h"
#include "tests/e2ehelpers.h"
#include "tests/modalanswerer.h"

#include <QtTest>

#include <hdf5.h>

#include <numeric>

namespace {

QByteArray read_all(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Session {
    std::unique_ptr<MainWindow> window = std::make_unique<MainWindow>();
    QWidget *panel = window->centralWidget();
    TdcIface *tdc = window->findChild<TdcIface *>();
    EventRecorder *recorder = window->findChild<EventRecorder *>();
    QLabel *recording = window->findChild<QLabel *>("lb_recording");
    QPushButton *start = find_text<QPushButton>(panel, "start");
    QPushButton *stop = find_text<QPushButton>(panel, "stop");
    QSpinBox *exposure = form_field<QSpinBox>(panel, "meas. time [ms]:");
    QSpinBox *iterations = form_field<QSpinBox>(panel, "iterations:");
    QCheckBox *accumulate = form_field<QCheckBox>(panel, "accumulate:");

    Session() { window->show(); }
    QAction *action(const QString &text) const { return find_text<QAction>(window.get(), text); }
    // Three accumulated exposures of 40 ms, histograms of four device bins per bin.
    void set_up_run() {
        exposure->setValue(40);
        iterations->setValue(3);
        if (!accumulate->isChecked())
            accumulate->click();
        form_field<QComboBox>(panel, "binning:")->setCurrentIndex(2);
    }
    bool run() {
        QTest::mouseClick(start, Qt::LeftButton);
        return QTest::qWaitFor([this] { return start->isEnabled() && !stop->isEnabled(); }, 30000);
    }
};

void write_ini(const QByteArray &text) {
    QFile out("tdc_qv5.ini");
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write(text) == text.size());
}

QByteArray fast_default_ini() {
    QFile shipped(VELMORA_DEFAULT_INI);
    return shipped.open(QIODevice::ReadOnly)
               ? shipped.readAll().replace("realtime = true", "realtime = false")
               : QByteArray();
}

// The first exposure row's missing_from_recording and event_count.
std::pair<uint64_t, uint64_t> first_row(const QString &path) {
    struct Row {
        uint64_t missing, count;
    } row{~uint64_t(0), 0};
    const hid_t file = H5Fopen(path.toUtf8().constData(), H5F_ACC_RDONLY, H5P_DEFAULT);
    const hid_t set = H5Dopen2(file, "/exposures", H5P_DEFAULT);
    const hid_t type = H5Tcreate(H5T_COMPOUND, sizeof(Row));
    H5Tinsert(type, "missing_from_recording", HOFFSET(Row, missing), H5T_NATIVE_UINT64);
    H5Tinsert(type, "event_count", HOFFSET(Row, count), H5T_NATIVE_UINT64);
    const hsize_t one = 1, zero = 0;
    const hid_t space = H5Dget_space(set);
    const hid_t memory = H5Screate_simple(1, &one, nullptr);
    H5Sselect_hyperslab(space, H5S_SELECT_SET, &zero, nullptr, &one, nullptr);
    H5Dread(set, type, memory, space, H5P_DEFAULT, &row);
    H5Sclose(memory);
    H5Sclose(space);
    H5Tclose(type);
    H5Dclose(set);
    H5Fclose(file);
    return {row.missing, row.count};
}

} // namespace

class TestRecordReplay : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir;
    ModalAnswerer modals;

    void export_to(Session &s, const QString &name) {
        modals.expect<QFileDialog>("Save Data", dir->filePath(name + ".txt"));
        modals.expect<QMessageBox>("Export Files", QMessageBox::Save);
        s.action("&Export")->trigger();
        modals.forget("Export Files");
        QVERIFY(QFile::exists(name + "_rates.txt"));
    }
    void record_to(Session &s, const QString &name) {
        modals.expect<QFileDialog>("Record Events", dir->filePath(name));
        s.action("Record Events...")->trigger();
        QVERIFY(s.action("Record Events...")->isChecked());
        QVERIFY(s.recorder->is_recording());
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
        QStringList live_files;
        {
            Session s;
            QVERIFY(s.recorder && s.recording);
            s.set_up_run();
            s.action("Connect")->trigger();
            // An existing file is never taken: the dialog asks again, and giving up records
            // nothing.
            QFile("taken.h5").open(QIODevice::WriteOnly);
            modals.expect<QFileDialog>("Record Events", dir->filePath("taken.h5"));
            modals.expect<QMessageBox>("Record Events");
            modals.expect<QFileDialog>("Record Events", QString());
            s.action("Record Events...")->trigger();
            QVERIFY(!s.action("Record Events...")->isChecked() && read_all("taken.h5").isEmpty());
            QVERIFY(modals.take().join('\n').contains("taken.h5 exists already"));

            record_to(s, "run.h5");
            QSignalSpy rows(s.recorder, &EventRecorder::progress);
            QVERIFY(s.run());
            QTRY_COMPARE(rows.count(), 3);
            QCOMPARE(s.recorder->events_missing(), 0u);
            QVERIFY(s.recording->text().contains("run.h5") &&
                    !s.recording->text().contains("missing"));
            export_to(s, "live");
            s.action("Record Events...")->trigger();
            QVERIFY(!s.recorder->is_recording());
            s.action("Connect")->trigger();
        }
        live_files = QDir().entryList({"live_ch*.txt"});
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
        s.set_up_run();
        s.action("Connect")->trigger();
        QVERIFY(s.tdc->is_initialized());
        QVERIFY(s.run());
        export_to(s, "replayed");
        QCOMPARE(read_all("replayed_rates.txt"), read_all("live_rates.txt"));
        QCOMPARE(QDir().entryList({"replayed_ch*.txt"}).size(), live_files.size());
        for (const QString &name : live_files)
            QVERIFY2(read_all("replayed" + name.mid(4)) == read_all(name), qPrintable(name));
        s.iterations->setValue(1);
        modals.expect<QMessageBox>("Error");
        QVERIFY(s.run());
        QTRY_VERIFY_WITH_TIMEOUT(modals.answered(), 20000);
        QVERIFY(modals.take().join('\n').contains("exhausted"));
    }

    void held_writer_counts_what_it_lacks() {
        write_ini(fast_default_ini());
        Session s;
        s.exposure->setValue(2000);
        s.iterations->setValue(1);
        s.action("Connect")->trigger();
        record_to(s, "held.h5");
        QSignalSpy rows(s.recorder, &EventRecorder::progress);
        s.recorder->hold_writer(true);
        QVERIFY(s.run());
        s.recorder->hold_writer(false);
        QTRY_COMPARE(rows.count(), 1);
        const ChannelCounts &delivered = s.tdc->get_delivered_counts();
        const uint64_t total = std::accumulate(delivered.begin(), delivered.end(), uint64_t(0));
        double in_histograms = 0;
        for (uint32_t c = 0; c < 16; ++c) {
            const std::vector<double> &h = *s.tdc->get_channel_histo(c);
            in_histograms = std::accumulate(h.begin(), h.end(), in_histograms);
        }
        const uint64_t queue_room =
            s.recorder->queue().block_count() * s.recorder->queue().block_events();
        QVERIFY(total > queue_room);
        const auto [missing, written] = first_row("held.h5");
        QVERIFY(missing > 0 && written <= queue_room);
        QCOMPARE(missing + written, total);
        QCOMPARE(s.recorder->events_missing(), missing);
        QVERIFY2(s.recording->text().contains(QLocale().toString(missing) + " missing"),
                 qPrintable(s.recording->text()));
        QCOMPARE(uint64_t(in_histograms), total);
        s.action("Record Events...")->trigger();
        s.action("Connect")->trigger();
    }
};

QTEST_MAIN(TestRecordReplay)
#include "tst_recordreplay.moc"
