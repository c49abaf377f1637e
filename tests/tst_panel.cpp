// The measurement panel against the device library's test double: the stored
// parameters, the displays, and the panel's part of a run: parameters handed
// over from the controls, status texts, lost events, progress, and the export
// with its info file, also after a disconnect during a run. The run itself is RunController's
// (tst_runcontroller).

#include "exposureprogress.h"
#include "fakeoxtdc.h"
#include "mhisto.h"
#include "mrates.h"
#include "mwidget.h"
#include "tdciface.h"

#include <qwt_plot_intervalcurve.h>

#include <QtTest>
#include <QtWidgets>

#include <memory>

namespace {

FakeOxTdc &fake() {
    return FakeOxTdc::instance();
}

// Channel 0's events at 50, 100 and 150 ns and channel 1's at 20 ns (device
// bins of 0.5 ns); the statistics block counts 3 and 1 unless told more.
void play_exposure(const std::vector<uint32_t> &counts = {3, 1}) {
    std::vector<TdcEvent> events;
    for (uint64_t time : {100, 200, 300})
        events.push_back(FakeOxTdc::make_event(0, time));
    events.push_back(FakeOxTdc::make_event(1, 40));
    fake().play_exposure(events, FakeOxTdc::make_statistics(counts));
}

} // namespace

class TestPanel : public QObject {
    Q_OBJECT

    std::unique_ptr<TdcIface> tdc;
    std::unique_ptr<Mwidget> panel;

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
        for (auto [on, word] : {std::pair{child<QPushButton>("bu_start")->isEnabled(), "start"},
                                {child<QPushButton>("bu_stop")->isEnabled(), "stop"},
                                {panel->is_autorun_active(), "autorun"}})
            s << (on ? word : "");
        return s.join(' ').simplified();
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
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() {
        fake().reset();
        fake().set_binsize(0.5);
        fake().set_auto_exposure([] { play_exposure(); });
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

    // A run from the controls (parameters handed over as an exposure starts)
    // losing 1 event of channel 1, then 2 of channel 0 and 5 of channel 3: the
    // warnings, the lost parts on the rates plot, the progress, every field of
    // the info file, status texts. The next run starts without the warning; a
    // disconnect during it waits for the cut exposure, which exports whole.
    void runFromTheControls() {
        fake().set_binsize(0.125);
        QSignalSpy status(panel.get(), &Mwidget::show_this);
        QSignalSpy warnings(panel.get(), &Mwidget::loss_warning);
        QSignalSpy exposures(panel.get(), &Mwidget::exposure_started);
        QSignalSpy ends(panel.get(), &Mwidget::run_ended);
        connect_device();
        uint8_t pot[2] = {0x03, 77};
        QVERIFY(tdc->set_corrections({0, -3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -9}) == 0);
        QVERIFY(tdc->twi_write(0x20, pot, 2, 1) >= 0);
        int played = 0;
        fake().set_auto_exposure([&] {
            play_exposure(played++ ? std::vector<uint32_t>{5, 1, 0, 5}
                                   : std::vector<uint32_t>{3, 2});
        });
        set_run(true, false, 2, 90000000);
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
        QCOMPARE(QList<QList<QVariant>>(warnings),
                 (QList<QList<QVariant>>{
                     {QString()},
                     {"lost 1 event (20.00 %) in the last exposure, 1 in this run"},
                     {"lost 7 events (63.64 %) in the last exposure, 8 in this run"}}));
        QCOMPARE(QList<QList<QVariant>>(exposures),
                 (QList<QList<QVariant>>{{10, 1, 2}, {10, 2, 2}}));
        QCOMPARE(ends.count(), 1);
        const auto *lost = static_cast<QwtPlotIntervalCurve *>(
            panel->findChild<Mrates *>()->itemList(QwtPlotItem::Rtti_PlotIntervalCurve).value(0));
        QVERIFY(lost && lost->dataSize() == 2);
        QCOMPARE(lost->sample(0), QwtIntervalSample(1, 3, 5)); // channel 0's bar is at 1
        QCOMPARE(lost->sample(1), QwtIntervalSample(4, 0, 5));

        QTemporaryDir dir;
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        QVERIFY(panel->findChild<Mhisto *>()->write_data(dir.filePath("scan.txt"), true));
        QFile file(dir.filePath("scan_info.json"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QJsonObject info = QJsonDocument::fromJson(file.readAll()).object();
        const QDateTime written =
            QDateTime::fromString(info.take("written").toString(), Qt::ISODate);
        QVERIFY(written >= before && written <= QDateTime::currentDateTime());
        const QJsonArray channels = info.take("per_channel").toArray();
        QCOMPARE(QJsonDocument(info).toJson(QJsonDocument::Compact),
                 QByteArray(R"({"device":{"binsize_ns":0.125,"corrections":[0,-3,0,0,0,0,0,0,0,0,)"
                            R"(0,0,0,0,0,-9],"potentiometer":{"zero":77}},"histograms":{"bin_widt)"
                            R"(h_ns":1,"binning":3,"binning_factor":8,"channels":16,"start_offset)"
                            R"(_ns":40,"window_size_ns":3000,"zero_bins_filtered":true},"program")"
                            R"(:"Velmora","run":{"accumulate":true,"autorun":false,"ended":"finis)"
                            R"(hed","event_threshold":90000000,"exposure_ms":10,"exposures_comp)"
                            R"(leted":2,"iterations":2},"version":")" VELMORA_VERSION R"("})"));
        const int last[16] = {5, 1, 0, 5}, delivered[16] = {6, 2}, run_lost[16] = {2, 1, 0, 5};
        for (int c = 0; c < 16; ++c)
            QCOMPARE(channels[c].toObject(), QJsonObject({{"channel", c},
                                                          {"last_exposure_counts", last[c]},
                                                          {"run_delivered", delivered[c]},
                                                          {"run_lost", run_lost[c]}}));
        warnings.clear();
        fake().set_auto_exposure(nullptr);
        click("bu_start");
        QCOMPARE(warnings.value(0).value(0).toString(), QString());
        QTimer::singleShot(0, this, [] { play_exposure(); }); // arrives during the wait
        panel->slot_init_deinit(false);
        QCOMPARE(run(), QStringLiteral("0"));
        QVERIFY(panel->findChild<Mhisto *>()->write_data(dir.filePath("cut.txt"), true));
        QCOMPARE(QDir(dir.path()).entryList({"cut*"}, QDir::Files),
                 (QStringList{"cut_ch0.txt", "cut_ch1.txt", "cut_info.json", "cut_rates.txt"}));
        QFile rates(dir.filePath("cut_rates.txt")), cut_info(dir.filePath("cut_info.json"));
        QVERIFY(rates.open(QIODevice::ReadOnly) && cut_info.open(QIODevice::ReadOnly));
        QVERIFY(rates.readAll().contains("\n         0\t3\n         1\t1\n"));
        QVERIFY(cut_info.readAll().contains("\"ended\": \"device closed\""));
        QStringList texts;
        for (const QList<QVariant> &s : status)
            texts << s.at(0).toString();
        QCOMPARE(texts,
                 (QStringList{"Device is initialized", "exposure running", "run finished",
                              "exposure running", "run stopped", "Device is deinitialized"}));
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
