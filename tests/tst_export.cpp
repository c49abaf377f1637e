// Text export: byte-exact contents, file names, the filter, which channels get a file, the
// parameters the times come from, what counts as a failure, the histogram plot's save dialog.

#include "export/histoexport.h"
#include "plots/mhisto.h"
#include "tests/histogramrig.h"
#include "tests/modalanswerer.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QtTest>

#include <cfloat>
#include <cstring>

namespace {

QByteArray printf_line(double t, double h) {
    char line[128];
    return QByteArray(line, std::snprintf(line, sizeof line, "%20.10g %10.10g", t, h));
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

// A histogram plot on the test double, asking for its info file's record.
struct PlotRig : HistogramRig {
    Mhisto plot{tdc.get(), nullptr};
    PlotRig() {
        plot.set_run_info_source([] { return RunInfo{}; });
    }
};

} // namespace

class TestExport : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> dir; // a fresh folder for every test
    QString path(const QString &name) const { return dir->filePath(name); }
    QStringList files() const {
        return QDir(dir->path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    }
    QByteArray read(const QString &name) const {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { dir = std::make_unique<QTemporaryDir>(); }

    void bin_lines_match_printf() {
        char buf[HistoExport::bin_line_capacity];
        auto line = [&](double t, double h) {
            return QByteArray(buf, int(HistoExport::format_bin_line(buf, t, h)));
        };
        QCOMPARE(line(102.5, 12345678901.0), QByteArray("               102.5 1.23456789e+10"));
        // Counts of every size, times on fractional grids, any magnitude, ties and tails of nines
        // at the tenth digit, and raw bit patterns.
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
        for (size_t i = 0; i + 1 < values.size(); ++i)
            QCOMPARE(line(values[i], values[i + 1]), printf_line(values[i], values[i + 1]));
    }

    // Random histograms from a snapshot: exponents in the times (tiny bins, a far start), counts
    // of up to 60 bits, filtered and not. The statistics block decides which channel gets a file;
    // names come from the chosen name's folder and base name up to the first dot.
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
            ExportSnapshot snap{{start, (bins - 0.5) * step, binsize, binning, 16}, {}, {}, {}};
            std::vector<std::vector<double>> histos(16, std::vector<double>(bins, 0.0));
            QByteArray rates = "# Rates (X:channel_number, Y:countrate):\n#        X\tY\n";
            for (uint32_t c = 0; c < 16; ++c) {
                for (double &v : histos[c])
                    if (random.generateDouble() < (c % 4) * 0.3)
                        v = std::floor(std::ldexp(1 + random.generateDouble(), c == 1 ? 59 : 1));
                snap.counts[c] = c == 9 ? 4294967295u : c % 5 ? 1 + random.bounded(99999) : 0;
                snap.histos.push_back(c == 7 ? nullptr : &histos[c]);
                rates += QByteArray::number(c).rightJustified(10) + '\t' +
                         QByteArray::number(snap.counts[c]) + '\n';
            }
            const QString name = prefix[round];
            QVERIFY(HistoExport::write(snap, path(chosen[round]), round % 2));
            QVERIFY(!QFile::exists(path(chosen[round])));
            QCOMPARE(read(name + "_rates.txt"), rates);
            for (uint32_t c = 0; c < 16; ++c)
                QCOMPARE(read(QStringLiteral("%1_ch%2.txt").arg(name).arg(c)),
                         snap.counts[c] && snap.histos[c]
                             ? channel_file(c, histos[c], start, step, round % 2)
                             : QByteArray("<missing>"));
        }
    }

    // The accumulator's snapshot: the last block decides (channel 2 had no events in it, channel
    // 3 none in its bins, from 4 on no histogram); the histograms hold both exposures; times, info
    // file parameters and counts are those the histograms were filled with, not those handed since.
    void snapshot_of_the_accumulator() {
        PlotRig rig;
        rig.set_params(0.0, 2.0, 0.5, 0, 4);
        rig.expose({{1, 0, 0, 0, 0}, {0, 2, 0, 0, 0}, {0, 0, 3, 0, 0}});
        rig.expose({{0, 0, 0, 0, 4}}, {5, 1, 0, 7, 9}, false);
        rig.set_params(200.0, 1.0, 0.5, 1, 4);
        QVERIFY(rig.plot.write_data(path("a.txt"), false));
        QCOMPARE(files(), (QStringList{"a_ch0.txt", "a_ch1.txt", "a_ch3.txt", "a_info.json",
                                       "a_rates.txt"}));
        const QJsonObject info = QJsonDocument::fromJson(read("a_info.json")).object();
        QCOMPARE(info["histograms"]["start_offset_ns"].toDouble(), 0.0); // not 200 as handed over
        QCOMPARE(info["per_channel"][3]["last_exposure_counts"].toDouble(), 7.0);
        QVERIFY(read("a_rates.txt").contains("\n         3\t7\n         4\t9\n"));
        QCOMPARE(read("a_ch0.txt"), channel_file(0, Histogram{1, 0, 0, 0, 4}));
        QCOMPARE(read("a_ch3.txt"), channel_file(3, Histogram(5, 0)));
    }

    void failed_files_leave_the_others_written() {
        PlotRig rig;
        rig.set_params(0.0, 2.0, 0.5, 0, 3);
        const std::vector<Histogram> histos = {{1, 0, 0, 0, 0}, {0, 1, 0, 0, 0}, {0, 0, 1, 0, 0}};
        rig.expose(histos);
        // x_ch1 and w_info cannot be opened (a folder in the way), y_ch0 cannot be written whole.
        QVERIFY(QDir(dir->path()).mkdir("x_ch1.txt") && QDir(dir->path()).mkdir("w_info.json"));
        QVERIFY(QFile::link("/dev/full", path("y_ch0.txt")));
        for (const auto &[name, blocked] :
             {std::pair<QString, uint32_t>{"x", 1}, {"y", 0}, {"w", 3}}) {
            QVERIFY(!rig.plot.write_data(path(name + ".txt"), false));
            QVERIFY(read(name + "_rates.txt").startsWith("# Rates"));
            for (uint32_t c = 0; c < 3; ++c)
                if (c != blocked)
                    QCOMPARE(read(name + "_ch" + QString::number(c) + ".txt"),
                             channel_file(c, histos[c]));
        }
        QVERIFY(!QApplication::overrideCursor());
    }

    void save_asks_once_before_replacing() {
        PlotRig rig; // the info file is asked about too
        rig.set_params(0.0, 2.0, 0.5, 0, 2);
        rig.expose({{1, 0, 0, 0, 0}, {0, 1, 0, 0, 0}});
        ModalAnswerer modals;
        modals.expect<QFileDialog>("Save Data");
        QVERIFY(rig.plot.save_data(false)); // cancelled: nothing written, nothing reported
        QCOMPARE(files(), QStringList());
        modals.expect<QFileDialog>("Save Data", path("s.txt"));
        QVERIFY(rig.plot.save_data(true)); // a fresh name writes without asking
        QCOMPARE(files(), (QStringList{"s_ch0.txt", "s_ch1.txt", "s_info.json", "s_rates.txt"}));
        // Existing files: one question; "No" leaves them untouched.
        QFile edited(path("s_ch1.txt"));
        QVERIFY(edited.open(QIODevice::WriteOnly) && edited.write("kept") == 4);
        edited.close();
        modals.expect<QFileDialog>("Save Data", path("s.txt"));
        modals.expect<QMessageBox>("Replace Files", QMessageBox::No);
        QVERIFY(rig.plot.save_data(false));
        QCOMPARE(read("s_ch1.txt"), QByteArray("kept"));
        modals.expect<QFileDialog>("Save Data", path("s.txt"));
        modals.expect<QMessageBox>("Replace Files", QMessageBox::Yes);
        QVERIFY(rig.plot.save_data(false));
        QCOMPARE(read("s_ch1.txt"), channel_file(1, Histogram{0, 1, 0, 0, 0}));
        QVERIFY(rig.plot.write_data(path("s.txt"), false)); // never asks
        const QStringList questions = modals.take();
        QVERIFY(questions.size() == 2 && questions[0].contains("s_ch1.txt\ns_info.json"));
        // A failure reaches the caller through the dialog path too.
        QVERIFY(QDir(dir->path()).mkdir("t_rates.txt"));
        modals.expect<QFileDialog>("Save Data", path("t.txt"));
        modals.expect<QMessageBox>("Replace Files", QMessageBox::Yes); // the folder t_rates.txt
        QVERIFY(!rig.plot.save_data(false));
        QCOMPARE(modals.take().size(), 1); // and every file dialog armed came
    }
};

QTEST_MAIN(TestExport)
#include "tst_export.moc"
