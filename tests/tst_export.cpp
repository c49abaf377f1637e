// Text export: byte-exact files, names, the filter, the info file from the record, all files or
// none, stale channel files, the question before writing and the dialog's folder.

#include "export/histoexport.h"
#include "plots/mhisto.h"
#include "tests/histogramrig.h"
#include "tests/modalanswerer.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QtTest>

#include <cfloat>
#include <clocale>
#include <csignal>
#include <cstring>
#include <linux/capability.h>
#include <locale.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The reference is printf in the C locale: the files' numbers take a point in any locale.
QByteArray printf_line(double t, double h) {
    static const locale_t c_numeric = newlocale(LC_NUMERIC_MASK, "C", locale_t(0));
    const locale_t previous = uselocale(c_numeric);
    char line[128];
    const int length = std::snprintf(line, sizeof line, "%20.10g %10.10g", t, h);
    uselocale(previous);
    return QByteArray(line, length);
}

// A channel file from snprintf; the filter keeps non-empty bins and their neighbours.
template <class Bins>
QByteArray channel_file(uint32_t channel, const Bins &h, double start = 0, double step = 0.5,
                        bool filter = false) {
    QByteArray text = "# Channel " + QByteArray::number(channel) + " (Time[ns] vs Countrate):\n";
    for (size_t i = 0; i < h.size(); ++i)
        if (!filter || h[i] || (i > 0 && h[i - 1]) || (i + 1 < h.size() && h[i + 1]))
            text += printf_line(start + double(i) * step, double(h[i])) + '\n';
    return text;
}

// A histogram plot on the test double whose export source is the record of the exposures played.
struct PlotRig : HistogramRig {
    Mhisto plot{tdc.get(), nullptr};
    ExposureResult last;
    RunRecord run;
    bool measured = false;
    PlotRig() {
        plot.set_export_source([this]() -> std::optional<ExportSnapshot> {
            if (!measured)
                return std::nullopt;
            return HistoExport::snapshot(last, run);
        });
    }
    // Plays an exposure and records it as the run controller would, with the block's counts.
    void record(const std::vector<Histogram> &histos, std::vector<uint32_t> block = {},
                bool fresh = true) {
        expose(histos, block, fresh);
        last = ExposureResult{};
        last.params = tdc->get_active_histo_params();
        last.statistics_arrived = true;
        for (uint32_t c = 0; c < histos.size(); ++c)
            for (uint32_t n : histos[c])
                last.delivered[c] += n;
        for (uint32_t c = 0; c < channel_count; ++c)
            last.device_counts[c] = block.empty()      ? last.delivered[c]
                                    : c < block.size() ? block[c]
                                                       : 0;
        for (uint32_t c = 0; c < last.params.channels; ++c)
            last.histos.push_back(tdc->get_channel_histo(c));
        measured = true;
    }
};

// What `action` returns when run under a comma-decimal locale for Qt and the C library.
template <class Action> auto with_decimal_comma(Action action) {
    const std::string old = std::setlocale(LC_NUMERIC, nullptr);
    const QLocale qt_old;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8"))
        qWarning("de_DE.UTF-8 is not installed: only Qt's default locale has a decimal comma");
    const auto result = action();
    std::setlocale(LC_NUMERIC, old.c_str());
    QLocale::setDefault(qt_old);
    return result;
}

// Write permission as an ordinary user has it: without root's override of the folder's mode.
struct NoPermissionOverride {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    uint32_t saved = 0;
    NoPermissionOverride() {
        if (syscall(SYS_capget, &header, data) != 0)
            return;
        saved = data[0].effective;
        data[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
        syscall(SYS_capset, &header, data);
    }
    ~NoPermissionOverride() {
        data[0].effective = saved;
        syscall(SYS_capset, &header, data);
    }
};

// Files larger than `bytes` cannot be written: a write beyond fails with "File too large".
struct FileSizeLimit {
    rlimit old{};
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old);
        const rlimit limit{bytes, old.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old); }
};

// Records the folder every file dialog opens in.
struct FolderSpy : QObject {
    QStringList folders;
    FolderSpy() { qApp->installEventFilter(this); }
    bool eventFilter(QObject *o, QEvent *e) override {
        if (auto *d = e->type() == QEvent::Show ? qobject_cast<QFileDialog *>(o) : nullptr)
            folders << d->directory().absolutePath();
        return false;
    }
};

} // namespace

class TestExport : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir; // a fresh folder for every test
    QString path(const QString &name) const { return QDir(dir->path()).filePath(name); }
    QStringList files(const QString &folder = QString()) const {
        return QDir(path(folder))
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
    QByteArray read(const QString &name) const {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }
    void write_file(const QString &name, const QByteArray &text) const {
        QFile file(path(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    }

private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName("VelmoraTests");
        QCoreApplication::setApplicationName("tst_export");
    }
    void init() {
        dir = std::make_unique<QTemporaryDir>();
        QSettings().remove("export/last_folder");
    }

    void bin_lines_match_printf() {
        // Counts of every size, times on fractional grids, any magnitude, ties and tails of nines
        // at the tenth digit, raw bit patterns.
        // clang-format off
        std::vector<double> values = {0.0, -0.0, 1e10, 9999999999.0, 9999999999.5, 99999.999995,
            0.000099999999995, DBL_MAX, 4.9e-324, HUGE_VAL, -HUGE_VAL, NAN, -NAN, 0x1p64};
        // clang-format on
        QRandomGenerator random(7);
        while (values.size() < 240000) {
            const quint64 bits = random.generate64();
            double raw;
            std::memcpy(&raw, &bits, sizeof raw);
            const double unit = random.generateDouble(),
                         tenth = std::pow(10.0, random.bounded(30) - 15);
            const int k = random.bounded(80);
            values.insert(values.end(), {std::floor(std::ldexp(unit, k % 60)),
                                         random.bounded(100000) * 0.125 + k * 1e-3,
                                         (unit - 0.5) * std::pow(10.0, k - 40),
                                         ((1e9 + std::floor(unit * 9e9)) * 10 + 5) * tenth,
                                         (1 - std::pow(10.0, -9.0 - k % 4)) * tenth, raw});
        }
        char buf[HistoExport::bin_line_capacity];
        for (size_t i = 0; i + 1 < values.size(); ++i)
            QCOMPARE(
                QByteArray(buf, int(HistoExport::format_bin_line(buf, values[i], values[i + 1]))),
                printf_line(values[i], values[i + 1]));
    }

    // Random histograms, filtered and not, under a comma-decimal locale: exponents in the times,
    // counts of up to 60 bits; the counts choose the channel files, the name up to its first dot.
    void files_for_random_histograms() {
        QDir(dir->path()).mkdir("sub");
        QRandomGenerator random(99);
        const char *chosen[] = {"scan.old.txt", "sub/d.v2.txt", "noext", ".txt", "r4.txt", "r5"},
                   *prefix[] = {"scan", "sub/d", "noext", "", "r4", "r5"};
        for (int round = 0; round < 6; ++round) {
            const double binsize = round == 0 ? 3e-7 : 0.1 + random.bounded(40) * 0.0125;
            const double start = round < 2 ? round * 4.2e12 : random.bounded(200000) * 0.037;
            const uint32_t binning = random.bounded(4), bins = 1 + random.bounded(3000);
            const double step = std::ldexp(binsize, int(binning));
            ExportSnapshot snap;
            snap.params = {start, (bins - 0.5) * step, binsize, binning, 16};
            std::vector<std::vector<double>> histos(16, std::vector<double>(bins, 0.0));
            QByteArray rates = "# Rates (X:channel_number, Y:countrate):\n#        X\tY\n";
            QStringList names{path(prefix[round] + QString("_rates.txt"))};
            for (uint32_t c = 0; c < 16; ++c) {
                for (double &v : histos[c])
                    if (random.generateDouble() < (c % 4) * 0.3)
                        v = std::floor(std::ldexp(1 + random.generateDouble(), c == 1 ? 59 : 1));
                snap.counts[c] = c == 9 ? 1ull << 40 : c % 5 ? 1 + random.bounded(99999) : 0;
                snap.histos.push_back(c == 7 ? nullptr : &histos[c]);
                rates += QByteArray::number(c).rightJustified(10) + '\t' +
                         QByteArray::number(quint64(snap.counts[c])) + '\n';
                if (snap.counts[c] && snap.histos[c])
                    names << path(QStringLiteral("%1_ch%2.txt").arg(prefix[round]).arg(c));
            }
            names << path(prefix[round] + QString("_info.json"));
            const ExportResult result = with_decimal_comma(
                [&] { return HistoExport::write(snap, path(chosen[round]), round % 2); });
            QVERIFY2(result.ok, qPrintable(result.message));
            QCOMPARE(result.written, names);
            QVERIFY(!QFile::exists(path(chosen[round])));
            QCOMPARE(read(names[0]), rates);
            for (uint32_t c = 0; c < 16; ++c)
                QCOMPARE(read(QStringLiteral("%1_ch%2.txt").arg(prefix[round]).arg(c)),
                         snap.counts[c] && snap.histos[c]
                             ? channel_file(c, histos[c], start, step, round % 2)
                             : QByteArray("<missing>"));
        }
    }

    // The info file comes from the last exposure's record and the run's, under a comma-decimal
    // locale too; its counts choose the channel files (channel 2 has no events in its bins, from 4
    // on no histogram), the events received when no statistics block came. The histograms hold
    // both exposures, with the parameters they were filled with, not those handed over since.
    void info_file_from_the_record() {
        for (const bool block_arrived : {true, false}) {
            PlotRig rig;
            rig.set_params(10.0, 2.0, 0.5, 0, 4);
            rig.record({{1, 0, 2, 0, 0}, {0, 3, 0, 0, 0}});
            rig.record({{0, 0, 0, 0, 4}, {}, {}, {0, 1, 0, 0, 0}}, {6, 0, 5, 1, 9}, false);
            rig.set_params(200.0, 1.0, 0.5, 1, 4);
            rig.last.statistics_arrived = block_arrived;
            std::vector<int32_t> corrections(16, 0);
            corrections[1] = -3;
            rig.last.device = {0.25, true, corrections, {}};
            const uint8_t epot[] = {EpotSettings::reg_threshold, 96, 128}; // and the zero after it
            rig.last.device.epot.note_write(EpotSettings::bus_address, epot, 3);
            rig.run.settings = {400, 3, 0, true};
            rig.run.exposures_completed = 5000000001;
            rig.run.exposures_in_histograms = 2;
            rig.run.first_exposure_in_histograms = 5000000000;
            rig.run.ended = "finished";
            rig.run.changes = {{5000000001, "exposure_ms", "400", "500"}};
            rig.run.delivered[0] = 7;
            rig.run.lost[3] = 2;
            const QString name = block_arrived ? "dev" : "rec";
            QVERIFY2(with_decimal_comma(
                         [&] { return rig.plot.write_data(path(name + ".5.txt"), true); }),
                     qPrintable(rig.plot.export_error()));
            const QJsonObject info = QJsonDocument::fromJson(read(name + "_info.json")).object();
            QCOMPARE(QJsonDocument(info["device"].toObject()).toJson(QJsonDocument::Compact),
                     QByteArray(R"({"binsize_ns":0.25,"corrections":[0,-3,0,0,0,0,0,0,0,0,0,0,0,)"
                                R"(0,0,0],"potentiometer":{"threshold":96,"zero":128}})"));
            QCOMPARE(QJsonDocument(info["run"].toObject()).toJson(QJsonDocument::Compact),
                     QByteArray(R"({"accumulate":true,"autorun":false,"changes":[{"exposure":5000)"
                                R"(000001,"from":"400","setting":"exposure_ms","to":"500"}],"ende)"
                                R"(d":"finished","event_threshold":0,"exposure_ms":400,"exposure)"
                                R"(s_completed":5000000001,"exposures_in_histograms":2,"first_e)"
                                R"(xposure_in_histograms":5000000000,"iterations":3})"));
            QCOMPARE(info["histograms"]["start_offset_ns"].toDouble(), 10.0);
            QCOMPARE(info["histograms"]["zero_bins_filtered"].toBool(), true);
            QCOMPARE(info["rates_source"].toString(), block_arrived ? "device" : "received");
            // Received: 4, 0, 0, 1 events; the device said 6, 0, 5, 1, 9.
            QStringList names{"_rates.txt", "_ch0.txt", "_ch2.txt", "_ch3.txt", "_info.json"};
            if (!block_arrived)
                names.removeAt(2);
            for (QString &file : names)
                file.prepend(name);
            QCOMPARE(info["files"].toVariant().toStringList(), names);
            names.sort();
            QCOMPARE(QDir(dir->path()).entryList({name + "_*"}), names);
            const int counts[2][5] = {{4, 0, 0, 1, 0}, {6, 0, 5, 1, 9}}, events[4] = {7, 3, 0, 1};
            for (int c = 0; c < 16; ++c)
                QCOMPARE(
                    info["per_channel"][c].toObject(),
                    QJsonObject({{"channel", c},
                                 {"last_exposure_counts", c < 5 ? counts[block_arrived][c] : 0},
                                 {"run_delivered", c == 0 ? 7 : 0},
                                 {"run_lost", c == 3 ? 2 : 0},
                                 {"histogram_events", c < 4 ? events[c] : 0}}));
            QCOMPARE(read(name + "_ch0.txt"), channel_file(0, Histogram{1, 0, 2, 0, 4}, 10.0));
            QCOMPARE(read(name + "_ch2.txt"),
                     block_arrived ? channel_file(2, Histogram(5, 0), 10.0, 0.5, true)
                                   : QByteArray("<missing>"));
        }
    }

    // All files or none: whatever fails, the earlier export's files are as they were, nothing new
    // is left (no temporary file either), and the message names the file and the reason.
    void all_or_nothing() {
        PlotRig rig;
        rig.set_window(0.0, 2000, 0, 3);
        Histogram ones(2000, 1), first(2000, 0), last(2000, 0);
        first[0] = last[1999] = 1;
        rig.record({first, ones, last}); // filtered, channel 1's file alone is large
        struct Case {
            QString name, in_the_way; // a folder made under that name
            QString failure;          // %1: the case's folder; empty: it succeeds
            QString target = "a.txt";
        };
        const QString write = "Could not write %1/";
        const Case cases[] = {
            {"read-only folder", "",
             write + "a_rates.txt: the folder %1 is not writable (Permission denied)"},
            {"too large half-way", "",
             write + "a_ch1.txt: " + QString::fromLocal8Bit(std::strerror(EFBIG))},
            {"folder at a final name", "a_info.json",
             write + "a_info.json: a folder of that name is in the way"},
            {"missing folder", "", write + "none/a_rates.txt: the folder %1/none does not exist",
             "none/a.txt"},
            {"folder at a temporary name", ".a_ch1.txt.velmora-new", ""},
            {"replacing", "", ""},
        };
        const QStringList old{"a_rates.txt", "a_ch0.txt", "a_ch1.txt", "a_ch5.txt"};
        for (const Case &c : cases) {
            const QString folder = path(c.name);
            QVERIFY(QDir().mkpath(folder));
            for (const QString &name : old)
                write_file(c.name + "/" + name, "old " + name.toUtf8());
            if (!c.in_the_way.isEmpty())
                QDir(folder).mkdir(c.in_the_way);
            if (c.name == "read-only folder")
                QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
            const QStringList before = files(c.name);
            bool ok;
            {
                NoPermissionOverride as_user;
                FileSizeLimit limit(c.name == "too large half-way" ? 20000 : RLIM_INFINITY);
                ok = rig.plot.write_data(folder + "/" + c.target, true);
            }
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QVERIFY(!QApplication::overrideCursor());
            QCOMPARE(rig.plot.export_error(),
                     c.failure.isEmpty() ? c.failure : c.failure.arg(folder));
            QCOMPARE(ok, c.failure.isEmpty());
            if (!ok) {
                QCOMPARE(files(c.name), before);
                for (const QString &name : old)
                    QCOMPARE(read(c.name + "/" + name), "old " + name.toUtf8());
                continue;
            }
            QStringList after = before + QStringList{"a_info.json", "a_ch2.txt"};
            after.sort();
            QCOMPARE(files(c.name), after); // the earlier channel 5 stays unless asked
            QCOMPARE(read(c.name + "/a_ch1.txt"), channel_file(1, ones, 0, 0.5, true));
            QCOMPARE(read(c.name + "/a_ch5.txt"), QByteArray("old a_ch5.txt"));
        }
    }

    // Channel files an earlier export under the same name left, told by name alone.
    void stale_channel_files() {
        struct Case {
            QStringList entries;
            QString base;
            QStringList stale;
        };
        const Case cases[] = {
            {{"s_ch12.txt", "s_ch0.txt", "s_ch1.txt", "s_ch7.txt", "s_ch2.txt"}, // in channel order
             "s",
             {"s_ch2.txt", "s_ch7.txt", "s_ch12.txt"}},
            {{"s_ch03.txt", "s_ch16.txt", "s_chx.txt", "s_ch.txt", "s_ch1.txt.bak", "ss_ch1.txt",
              "s.o_ch1.txt", "S_ch2.txt", "s_rates.txt", "s_ch-1.txt", "s_ch4294967296.txt"},
             "s",
             {}},
            {{"2024_ch3.txt", "2024.05_ch3.txt"}, "2024", {"2024_ch3.txt"}}, // dotted names
            {{"a+b_ch4.txt", "aab_ch4.txt"}, "a+b", {"a+b_ch4.txt"}},        // not a pattern
        };
        for (const Case &c : cases) {
            const QStringList written{c.base + "_rates.txt", c.base + "_ch0.txt",
                                      c.base + "_ch1.txt", c.base + "_info.json"};
            QCOMPARE(HistoExport::stale_channel_files(c.entries, c.base, written), c.stale);
        }
    }

    // The question before writing names the prefix and the files, however many channels.
    void names_told_before_writing() {
        struct Case {
            QString chosen;
            QList<int> channels;
            QString name, prefix, writes;
        };
        const Case cases[] = {
            {"/data/2024.05.01.txt",
             {0, 4, 9},
             "2024.05.01.txt",
             "2024",
             "2024_rates.txt, 2024_info.json and 3 channel files 2024_ch0.txt … in /data"},
            {"/d/s.txt",
             {0, 3},
             "s.txt",
             "s",
             "s_rates.txt, s_info.json and 2 channel files s_ch0.txt, s_ch3.txt in /d"},
            {"/d/s", {3}, "s", "s", "s_rates.txt, s_info.json and 1 channel file s_ch3.txt in /d"},
            {"/d/s.txt", {}, "s.txt", "s", "s_rates.txt and s_info.json in /d"},
        };
        const std::vector<double> h(3, 0.0);
        for (const Case &c : cases) {
            ExportSnapshot snap;
            snap.params.channels = 16;
            snap.histos.assign(16, &h);
            for (int channel : c.channels)
                snap.counts[size_t(channel)] = 1;
            QCOMPARE(HistoExport::plan_text(c.chosen, HistoExport::file_names(snap, c.chosen)),
                     QString("Saving as \"%1\" uses the prefix \"%2\" (the name up to its first "
                             "dot) and writes %3.")
                         .arg(c.name, c.prefix, c.writes));
        }
    }

    // One question names the files before anything is written; replacing asks "Replace Files"
    // (default No), and channel files of an earlier export are named and removed only when asked.
    void save_asks_before_writing() {
        PlotRig rig;
        ModalAnswerer modals;
        // The file dialog chooses `name` (cancels if empty), then the question gets `answer`.
        auto save = [&](const QString &name, const char *question = nullptr,
                        QMessageBox::StandardButton answer = QMessageBox::NoButton,
                        bool filter = false) {
            modals.expect<QFileDialog>("Save Data", name.isEmpty() ? name : path(name));
            if (question)
                modals.expect<QMessageBox>(question, answer);
            return rig.plot.save_data(filter);
        };
        QVERIFY(!rig.plot.save_data(false)); // nothing measured: no dialog
        QCOMPARE(rig.plot.export_error(), "Nothing measured yet: run an exposure, then export.");
        rig.set_params(0.0, 2.0, 0.5, 0, 2);
        rig.record({{1, 0, 0, 0, 0}, {0, 1, 0, 0, 0}});
        QVERIFY(save("")); // cancelled: nothing written, nothing reported
        QVERIFY(save("s.x.txt", "Export Files", QMessageBox::Cancel));
        QCOMPARE(files(), QStringList());
        QVERIFY(save("s.x.txt", "Export Files", QMessageBox::Save, true));
        QCOMPARE(files(), (QStringList{"s_ch0.txt", "s_ch1.txt", "s_info.json", "s_rates.txt"}));
        const QString plan =
            HistoExport::plan_text(path("s.x.txt"), {path("s_rates.txt"), path("s_ch0.txt"),
                                                     path("s_ch1.txt"), path("s_info.json")});
        QCOMPARE(modals.take(), (QStringList{"Export Files: " + plan, "Export Files: " + plan}));
        // Existing files: one question; "No" leaves them untouched.
        write_file("s_ch1.txt", "kept");
        QVERIFY(save("s.txt", "Replace Files", QMessageBox::No));
        QCOMPARE(read("s_ch1.txt"), QByteArray("kept"));
        // An earlier export's channels 5 and 7: named, kept with "Yes", removed when asked.
        write_file("s_ch5.txt", "old");
        write_file("s_ch7.txt", "old");
        for (const auto answer : {QMessageBox::Yes, QMessageBox::YesToAll}) {
            QVERIFY(save("s.txt", "Replace Files", answer));
            QCOMPARE(read("s_ch1.txt"), channel_file(1, Histogram{0, 1, 0, 0, 0}));
            QCOMPARE(read("s_ch5.txt"),
                     answer == QMessageBox::Yes ? QByteArray("old") : QByteArray("<missing>"));
            QCOMPARE(files().size(), answer == QMessageBox::Yes ? 6 : 4);
        }
        const QStringList questions = modals.take();
        QCOMPARE(questions.size(), 3);
        QVERIFY(questions[0].contains("4 export file(s) already exist:\ns_rates.txt\ns_ch0.txt\n"
                                      "s_ch1.txt\ns_info.json\n\nReplace them?"));
        QVERIFY(!questions[0].contains("earlier export"));
        QVERIFY(questions[1].contains("An earlier export with this prefix left 2 channel file(s) "
                                      "that this export does not write:\ns_ch5.txt\ns_ch7.txt\n"
                                      "They stay unless you choose \"Replace and Remove Old "
                                      "Files\"."));
        QVERIFY(rig.plot.write_data(path("s.txt"), false)); // never asks
        // A failure reaches the caller through the dialog path too, with its reason.
        QVERIFY(QDir(dir->path()).mkdir("t_rates.txt"));
        QVERIFY(!save("t.txt", "Replace Files", QMessageBox::Yes));
        QCOMPARE(rig.plot.export_error(), "Could not write " + path("t_rates.txt") +
                                              ": a folder of that name is in the way");
        QCOMPARE(modals.take().size(), 1); // and every file dialog armed came
    }

    // The dialog opens in the last folder exported to, the home folder on first use or when
    // that folder is gone; a failed export does not move it.
    void dialog_opens_in_the_last_folder() {
        PlotRig rig;
        rig.set_params(0.0, 2.0, 0.5, 0, 1);
        rig.record({{1, 0, 0, 0, 0}});
        ModalAnswerer modals;
        FolderSpy spy;
        QVERIFY(QDir(dir->path()).mkdir("last"));
        modals.expect<QFileDialog>("Save Data", path("last/e.txt"));
        modals.expect<QMessageBox>("Export Files", QMessageBox::Save);
        QVERIFY(rig.plot.save_data(false));
        QVERIFY(!rig.plot.write_data(path("gone/e.txt"), false));
        QCOMPARE(QSettings().value("export/last_folder").toString(), path("last"));
        modals.expect<QFileDialog>("Save Data");
        QVERIFY(rig.plot.save_data(false));
        QVERIFY(QDir(path("last")).removeRecursively());
        modals.expect<QFileDialog>("Save Data");
        QVERIFY(rig.plot.save_data(false));
        QCOMPARE(spy.folders, (QStringList{QDir::homePath(), path("last"), QDir::homePath()}));
        QVERIFY(modals.answered());
    }
};

QTEST_MAIN(TestExport)
#include "tst_export.moc"
