// The measurement panel on the test double: stored parameters, displays, its part of a run.

#include "device/tdciface.h"
#include "panel/exposureprogress.h"
#include "panel/mwidget.h"
#include "plots/mhisto.h"
#include "plots/mrates.h"
#include "tests/fakeoxtdc.h"

#include <qwt_plot_intervalcurve.h>

#include <QProgressBar>
#include <QtTest>
#include <QtWidgets>

#include <memory>

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
    // Run state, enabled buttons, active repetition: e.g. "2 stop autorun"; "0": idle, no button.
    QString run() const {
        return QString::number(panel->get_run_state()) +
               (child<QPushButton>("bu_start")->isEnabled() ? " start" : "") +
               (child<QPushButton>("bu_stop")->isEnabled() ? " stop" : "") +
               (panel->is_autorun_active() ? " autorun" : "");
    }
    static FakeOxTdc &fake() { return FakeOxTdc::instance(); }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init() {
        fake().reset();
        fake().set_binsize(0.5);
        fake().set_auto_exposure([] { fake().play_sample_exposure(); });
        tdc = std::make_unique<TdcIface>();
        panel = std::make_unique<Mwidget>(tdc.get(), nullptr);
    }

    void cleanup() { panel.reset(), tdc.reset(); }

    // Files as read ("-": key missing) and as saved again; a stored autorun only ticks the box.
    void storedParameters() {
        const QStringList keys{"exposure",        "binning",    "histo_start", "histo_size",
                               "autostart",       "accumulate", "iterations",  "event_threshold",
                               "hidden_channels", "log_counts", "image_dpi"};
        // Hidden channels beyond the sixteen are dropped; the image resolution is kept in range.
        const std::pair<QString, QString> files[] = {
            {"20000000 64 250 -5 true true 0 1500000000 65540 true 20",
             "10000000 64 250 0 true true 1 1000000000 4 true 50"},
            {"- 3", "100 1 0 1000 false false 1000 10000000 0 false 300"},
            {"- 1048576", "100 1048576 0 1000 false false 1000 10000000 0 false 300"},
            {"- 4294967360 - - - - - - 32769",
             "100 1 0 1000 false false 1000 10000000 32769 false 300"}};
        QTemporaryDir dir;
        for (const auto &[stored, loaded] : files) {
            QSettings in(dir.filePath(stored + ".ini"), QSettings::IniFormat);
            for (int k = 0; k < stored.count(' ') + 1; ++k)
                if (stored.section(' ', k, k) != "-")
                    in.setValue("mwidget/" + keys[k], stored.section(' ', k, k));
            panel->load_settings(in, "mwidget/");
            QSettings out(dir.filePath(stored + ".out.ini"), QSettings::IniFormat);
            panel->save_settings(out, "mwidget/");
            QStringList saved;
            for (const QString &key : keys)
                saved << out.value("mwidget/" + key).toString();
            QCOMPARE(out.allKeys().size(), keys.size());
            QCOMPARE(saved.join(' '), loaded);
            QCOMPARE(run(), QStringLiteral("0"));
        }
    }

    // Device bins of 0.125 ns; the points bold from 20 k on, else in the panel's own font.
    void displays() {
        const QString black = "color: #000000;", brown = "color: #402000;",
                      orange = "color: #A04000; background-color: #FFF8E0;",
                      red = "color: #C00000; background-color: #F8E8E0;";
        const struct {
            int binning_index, size;
            QString texts, colour;
        } rows[] = {{0, 2499, "125 ps, 19.992 k", black}, {0, 2500, "125 ps, 20 k", brown},
                    {0, 12500, "125 ps, 100 k", orange},  {0, 250000, "125 ps, 2 M", red},
                    {0, 1000000000, "125 ps, 8 G", red},  {4, 3, "2 ns, 2", black}, // 1.5 rounds up
                    {20, 1000, "131.072 us, 0", black}};
        fake().set_binsize(0.125);
        panel->slot_init_deinit(true);
        auto *points = child<QLineEdit>("le_histo_points");
        for (const auto &row : rows) {
            child<QComboBox>("cb_binning")->setCurrentIndex(row.binning_index);
            child("sb_histo_size")->setValue(row.size);
            QCOMPARE(child<QLineEdit>("le_binsize")->text() + ", " + points->text(), row.texts);
            QCOMPARE(points->styleSheet(), "QLineEdit { " + row.colour + " }");
            QCOMPARE(points->font().bold(), row.colour != black);
            if (row.colour == black)
                QCOMPARE(points->font(), panel->font());
        }
    }

    // Settings that leave no histogram point are refused before anything starts, the field marked.
    void nonsenseSettingsRefused() {
        fake().set_binsize(0.125);
        QStringList texts;
        connect(panel.get(), &Mwidget::show_this, panel.get(),
                [&](const QString &t) { texts << t; });
        panel->slot_init_deinit(true);
        const struct {
            int size, binning_index;
            QString said;
        } rows[] = {
            {0, 0, "The histogram window size is 0 ns: choose a window of at least one bin."},
            {100, 20,
             "The histogram window (100 ns) is narrower than one bin (131072 ns): choose "
             "a wider window or a smaller binning."},
        };
        for (const auto &row : rows) {
            child("sb_histo_size")->setValue(row.size);
            child<QComboBox>("cb_binning")->setCurrentIndex(row.binning_index);
            child<QPushButton>("bu_start")->click();
            QCOMPARE(texts.last(), "exposure not started: " + row.said);
            QVERIFY(fake().count("ox_tdc_start_measure2") == 0 &&
                    !child("sb_histo_size")->styleSheet().isEmpty());
        }
        child<QComboBox>("cb_binning")->setCurrentIndex(0);
        child("sb_histo_size")->setValue(1000);
        QVERIFY(child("sb_histo_size")->styleSheet().isEmpty());
        child<QPushButton>("bu_start")->click();
        QCOMPARE(fake().count("ox_tdc_start_measure2"), 1);
    }

    // A run from the controls with losses; the next run takes the held window, and a disconnect
    // during it waits for the cut exposure, which exports whole.
    void runFromTheControls() {
        fake().set_binsize(0.125);
        QStringList texts, warnings;
        QObject scope; // the connections end before the lists do
        connect(panel.get(), &Mwidget::show_this, &scope, [&](const QString &s) { texts << s; });
        connect(panel.get(), &Mwidget::loss_warning, &scope,
                [&](const QString &w) { warnings << w; });
        QSignalSpy exposures(panel.get(), &Mwidget::exposure_started);
        QSignalSpy ends(panel.get(), &Mwidget::run_ended);
        panel->slot_init_deinit(true);
        uint8_t pot[2] = {0x03, 77};
        QVERIFY(tdc->set_corrections({0, -3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -9}) == 0);
        QVERIFY(tdc->twi_write(0x20, pot, 2, 1) >= 0);
        // The run's start reads the potentiometer again: the record holds what the device says.
        fake().queue_twi_read_bytes({96, 77});
        int played = 0;
        fake().set_auto_exposure([&] {
            fake().play_sample_exposure(played++ ? std::vector<uint32_t>{5, 1, 0, 5}
                                                 : std::vector<uint32_t>{3, 2});
        });
        child<QCheckBox>("cb_accumulate")->setChecked(true);
        child("sb_iterations")->setValue(2);
        child("sb_event_threshold")->setValue(90000000);
        child("sb_histo_start")->setValue(40);
        child<QComboBox>("cb_binning")->setCurrentIndex(3);
        child("sb_exposure")->setValue(10);
        child<QPushButton>("bu_start")->click();
        QCOMPARE(run(), QStringLiteral("2 stop"));
        QCOMPARE(tdc->get_histo_params()->start, 40.0); // handed over as the exposure started
        child("sb_histo_size")->setValue(3000);         // held while the exposures accumulate
        QTRY_COMPARE(run(), QStringLiteral("0 start"));
        QCOMPARE(tdc->get_active_histo_params().size, 1000.0);
        QCOMPARE(tdc->get_histo_params()->size, 1000.0);
        QCOMPARE(child("sb_iterations_left")->value(), 0);
        QCOMPARE(fake().calls_of("ox_tdc_start_measure2").at(1).args.at(1), 10LL);
        QCOMPARE(warnings,
                 (QStringList{"", "lost 1 event (20.00 %) in the last exposure, 1 in this run",
                              "lost 7 events (63.64 %) in the last exposure, 8 in this run"}));
        QCOMPARE(QList<QList<QVariant>>(exposures),
                 (QList<QList<QVariant>>{{10, 1, 2}, {10, 2, 2}}));
        QCOMPARE(ends.count(), 1);
        const auto *lost = static_cast<QwtPlotIntervalCurve *>(
            panel->findChild<Mrates *>()->itemList(QwtPlotItem::Rtti_PlotIntervalCurve).value(0));
        QVERIFY(lost && lost->dataSize() == 2);
        QCOMPARE(lost->sample(0), QwtIntervalSample(1, 3, 5)); // channel 0's bar is at 1
        QCOMPARE(lost->sample(1), QwtIntervalSample(4, 0, 5));
        QTemporaryDir dir;
        auto info_of = [&](const QString &name) {
            QFile file(dir.filePath(name + "_info.json"));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        QVERIFY(panel->findChild<Mhisto *>()->write_data(dir.filePath("scan.txt"), true));
        QJsonObject info = QJsonDocument::fromJson(info_of("scan")).object();
        const QDateTime written =
            QDateTime::fromString(info.take("written").toString(), Qt::ISODate);
        QVERIFY(written >= before && written <= QDateTime::currentDateTime());
        const QJsonArray channels = info.take("per_channel").toArray();
        // The device as read at the run's start, the histograms' window with the change held.
        const auto compact = [&](const char *key) {
            return QJsonDocument(info.take(key).toObject()).toJson(QJsonDocument::Compact);
        };
        QCOMPARE(compact("device"),
                 QByteArray(R"({"binsize_ns":0.125,"corrections":[0,-3,0,0,0,0,0,0,0,0,0,0,0,0,0,)"
                            R"(-9],"potentiometer":{"threshold":96,"zero":77}})"));
        QCOMPARE(
            compact("histograms"),
            QByteArray(R"({"bin_width_ns":1,"binning":3,"binning_factor":8,"channels":16,)"
                       R"("start_offset_ns":40,"window_size_ns":1000,"zero_bins_filtered":true})"));
        QCOMPARE(
            compact("run"),
            QByteArray(R"({"accumulate":true,"autorun":false,"changes":[],"ended":"finished",)"
                       R"("event_threshold":90000000,"exposure_ms":10,"exposures_completed":2,)"
                       R"("exposures_in_histograms":2,"first_exposure_in_histograms":1,)"
                       R"("iterations":2})"));
        QCOMPARE(info.take("files").toArray(),
                 QJsonArray({"scan_rates.txt", "scan_ch0.txt", "scan_ch1.txt", "scan_ch3.txt",
                             "scan_info.json"}));
        QCOMPARE(
            QJsonDocument(info).toJson(QJsonDocument::Compact),
            QByteArray(R"({"program":"Velmora","rates_source":"device","version":")" VELMORA_VERSION
                       R"("})"));
        // Every event lies before the 40 ns offset: the histograms hold none of them.
        const int last[16] = {5, 1, 0, 5}, delivered[16] = {6, 2}, run_lost[16] = {2, 1, 0, 5};
        for (int c = 0; c < 16; ++c)
            QCOMPARE(channels[c].toObject(), QJsonObject({{"channel", c},
                                                          {"last_exposure_counts", last[c]},
                                                          {"run_delivered", delivered[c]},
                                                          {"run_lost", run_lost[c]},
                                                          {"histogram_events", 0}}));
        warnings.clear();
        fake().set_auto_exposure(nullptr);
        child<QPushButton>("bu_start")->click();
        QCOMPARE(tdc->get_histo_params()->size, 3000.0); // the held change, handed at this start
        QCOMPARE(warnings, QStringList{""});
        QTimer::singleShot(0, this, [] { fake().play_sample_exposure(); }); // during the wait
        panel->slot_init_deinit(false);
        QCOMPARE(run(), QStringLiteral("0"));
        QVERIFY(panel->findChild<Mhisto *>()->write_data(dir.filePath("cut.txt"), true));
        QCOMPARE(QDir(dir.path()).entryList({"cut*"}, QDir::Files),
                 (QStringList{"cut_ch0.txt", "cut_ch1.txt", "cut_info.json", "cut_rates.txt"}));
        QVERIFY(info_of("cut").contains("\"ended\": \"device closed\""));
        QCOMPARE(texts,
                 (QStringList{"Device is initialized", "exposure running",
                              "the new histogram settings apply when this accumulating run ends",
                              "run finished", "exposure running", "run stopped",
                              "Device is deinitialized"}));
    }

    // Three significant digits, the unit moving up before a rounded value would read 1000.
    void progressTexts() {
        using P = ExposureProgress;
        QCOMPARE(P::time_text(12.34, 60), QStringLiteral("12.3 s / 60 s"));
        QCOMPARE(P::time_text(0.05, 0.25), QStringLiteral("0.1 s / 0.25 s"));
        QCOMPARE(P::events_text(1, 0), QStringLiteral("1 event, 0/s"));
        QCOMPARE(P::events_text(999, 999.7), QStringLiteral("999 events, 1.00 k/s"));
        QCOMPARE(P::events_text(1234567, 2.014e6), QStringLiteral("1.23 M events, 2.01 M/s"));
        QCOMPARE(P::events_text(99960, 12345), QStringLiteral("100 k events, 12.3 k/s"));
        // The end of a run shows the time it reached, not the last periodic reading.
        TdcIface tdc;
        P progress(&tdc, nullptr);
        progress.exposure_started(100, 1, 1);
        QThread::msleep(130);
        progress.run_ended();
        QCOMPARE(progress.findChild<QProgressBar *>()->format(), P::time_text(0.1, 0.1));
    }
};

QTEST_MAIN(TestPanel)
#include "tst_panel.moc"
