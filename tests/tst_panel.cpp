// The measurement panel against the device library's test double: the stored
// parameters, the displays, and the panel's part of a run: parameters handed
// over from the controls, status texts, and the export after a disconnect
// during a run. The run itself is RunController's (tst_runcontroller).

#include "fakeoxtdc.h"
#include "mwidget.h"
#include "tdciface.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>

namespace {

FakeOxTdc &fake() {
    return FakeOxTdc::instance();
}

// Channel 0's events at 50, 100 and 150 ns and channel 1's at 20 ns (device
// bins of 0.5 ns); the statistics block counts 3 and 1.
void play_exposure() {
    std::vector<TdcEvent> events;
    for (uint64_t time : {100, 200, 300})
        events.push_back(FakeOxTdc::make_event(0, time));
    events.push_back(FakeOxTdc::make_event(1, 40));
    fake().play_exposure(events, FakeOxTdc::make_statistics({3, 1}));
}

} // namespace

class TestPanel : public QObject {
    Q_OBJECT

    std::unique_ptr<TdcIface> tdc;
    std::unique_ptr<Mwidget> panel;
    // Every message box and file dialog is closed as soon as it shows.
    QTimer modal_timer;
    QPointer<QWidget> handled_modal;
    QStringList boxes; // "title: text"
    int file_dialogs = 0;
    QString file_to_choose; // empty: cancel

    void close_modal() {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal == handled_modal)
            return;
        handled_modal = modal;
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            boxes << box->windowTitle() + ": " + box->text();
            box->done(QMessageBox::Ok);
        } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            ++file_dialogs;
            dialog->selectFile(file_to_choose);
            QMetaObject::invokeMethod(dialog, file_to_choose.isEmpty() ? "reject" : "accept",
                                      Qt::QueuedConnection);
        }
    }
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

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        connect(&modal_timer, &QTimer::timeout, this, &TestPanel::close_modal);
        modal_timer.start(0);
    }

    void init() {
        fake().reset();
        fake().set_binsize(0.5);
        fake().set_auto_exposure(play_exposure);
        boxes.clear();
        file_dialogs = 0;
        tdc = std::make_unique<TdcIface>();
        panel = std::make_unique<Mwidget>(tdc.get(), nullptr);
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

    // A run whose parameters come from the controls, handed over when an
    // exposure starts, and the status texts that follow it.
    void runFromTheControls() {
        fake().set_binsize(0.125);
        QSignalSpy status(panel.get(), &Mwidget::show_this);
        connect_device();
        set_run(true, false, 2);
        child("sb_histo_start")->setValue(40);
        child<QComboBox>("cb_binning")->setCurrentIndex(3);
        child("sb_exposure")->setValue(10);
        click("bu_start");
        QCOMPARE(run(), QStringLiteral("2 stop"));
        const HistoParams p = *tdc->get_histo_params();
        QCOMPARE(
            QVector<double>({p.start, p.size, p.binsize, double(p.binning), double(p.channels)}),
            QVector<double>({40, 1000, 0.125, 3, 16}));
        child("sb_histo_size")->setValue(3000); // for the next exposure only
        QCOMPARE(tdc->get_histo_params()->size, 1000.0);
        QTRY_COMPARE(run(), QStringLiteral("0 start"));
        QCOMPARE(tdc->get_active_histo_params().size, 3000.0);
        QCOMPARE(child("sb_iterations_left")->value(), 0);
        QCOMPARE(fake().calls_of("ox_tdc_start_measure2").at(1).args.at(1), 10LL);
        panel->slot_init_deinit(false);
        QCOMPARE(run(), QStringLiteral("0"));
        QStringList texts;
        for (const QList<QVariant> &s : status)
            texts << s.at(0).toString();
        QCOMPARE(texts, (QStringList{"Device is initialized", "exposure running", "run finished",
                                     "Device is deinitialized"}));
    }

    // Mend: a disconnect during a run waits for the cut exposure, so its
    // counts and histograms are exported together.
    void disconnectDuringRunExportsTheCutExposure() {
        connect_device();
        fake().set_auto_exposure(nullptr);
        click("bu_start");
        QTimer::singleShot(0, this, [] { play_exposure(); }); // arrives during the wait
        panel->slot_init_deinit(false);
        QTemporaryDir dir;
        file_to_choose = dir.filePath("scan.txt");
        panel->save_data_filter_zeros();
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files),
                 (QStringList{"scan_ch0.txt", "scan_ch1.txt", "scan_rates.txt"}));
        QFile rates(dir.filePath("scan_rates.txt"));
        QVERIFY(rates.open(QIODevice::ReadOnly));
        QVERIFY(rates.readAll().contains("\n         0\t3\n         1\t1\n"));
    }
};

QTEST_MAIN(TestPanel)
#include "tst_panel.moc"
