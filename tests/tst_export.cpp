// Text export of the histogram plot: file names, byte-exact contents, the
// filter of empty runs, which channels get a file, and what counts as a
// failure.

#include "histogramrig.h"
#include "mhisto.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QtTest>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <limits>
#include <locale>
#include <sstream>
#include <unistd.h>

namespace {

// Counts that no test can deliver event by event (10^10 and more) are put
// straight into the accumulator's storage after an exposure sized it.
void overwrite_bins(HistogramRig &rig, uint32_t channel, const std::vector<double> &values) {
    std::vector<double> *h = rig.storage(channel);
    QVERIFY(h && h->size() == values.size());
    *h = values;
}

QByteArray read_file(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

QByteArray printf_line(double t, double h) {
    char line[128];
    std::snprintf(line, sizeof line, "%20.10g %10.10g", t, h);
    return QByteArray(line);
}

QByteArray stream_line(double t, double h) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(10);
    out << std::setw(20) << t << ' ' << std::setw(10) << h;
    return QByteArray::fromStdString(out.str());
}

// The channel file as the format describes it, built line by line with
// printf from the window parameters; the filter keeps non-empty bins and
// their neighbours.
template <class Bins = std::vector<double>>
QByteArray expected_channel_file(uint32_t channel, double start, double step, const Bins &h,
                                 bool filter) {
    QByteArray text = "# Channel " + QByteArray::number(channel) + " (Time[ns] vs Countrate):\n";
    for (size_t i = 0; i < h.size(); ++i) {
        const bool keep =
            !filter || h[i] != 0 || (i > 0 && h[i - 1] != 0) || (i + 1 < h.size() && h[i + 1] != 0);
        if (keep)
            text += printf_line(start + double(i) * step, double(h[i])) + '\n';
    }
    return text;
}

QByteArray expected_rates_file(const std::vector<uint32_t> &counts) {
    QByteArray text = "# Rates (X:channel_number, Y:countrate):\n#        X\tY\n";
    for (int c = 0; c < 16; ++c) {
        text += QByteArray::number(c).rightJustified(10, ' ') + '\t' +
                QByteArray::number(c < int(counts.size()) ? counts[c] : 0) + '\n';
    }
    return text;
}

QStringList files_in(const QString &dir) {
    QStringList names = QDir(dir).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

// Answers the modal dialogs that the export opens: the save dialog gets a
// file name (or is cancelled), question boxes get a fixed answer and their
// text is recorded.
class DialogDriver : public QObject {
public:
    DialogDriver() {
        connect(&timer, &QTimer::timeout, this, &DialogDriver::poll);
        timer.start(5);
    }

    QString file_name; // empty: cancel the save dialog
    QMessageBox::StandardButton answer = QMessageBox::No;
    int file_dialogs = 0;
    QStringList box_texts;

private:
    void poll() {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            if (!dialog->isVisible())
                return;
            ++file_dialogs;
            if (file_name.isEmpty()) {
                dialog->reject();
            } else {
                dialog->selectFile(file_name);
                QMetaObject::invokeMethod(dialog, "accept");
            }
        } else if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            if (!box->isVisible())
                return;
            box_texts << box->text();
            box->button(answer)->click();
        }
    }

    QTimer timer;
};

} // namespace

class TestExport : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void line_format_examples() {
        char buf[Mhisto::bin_line_capacity];
        auto line = [&](double t, double h) {
            return QByteArray(buf, int(Mhisto::format_bin_line(buf, t, h)));
        };
        QCOMPARE(line(100.0, 5), QByteArray("                 100          5"));
        QCOMPARE(line(1234.56789012, 0), QByteArray("          1234.56789          0"));
        QCOMPARE(line(102.5, 12345678901.0), QByteArray("               102.5 1.23456789e+10"));
        QCOMPARE(line(1e-5, 1e100), QByteArray("               1e-05     1e+100"));
        QCOMPARE(line(-0.0001, 9999999999.0), QByteArray("             -0.0001 9999999999"));
        QCOMPARE(line(123456789012345678.0, 1e10), QByteArray("      1.23456789e+17      1e+10"));
    }

    void line_format_matches_printf_and_stream() {
        const double inf = std::numeric_limits<double>::infinity();
        const double nan = std::numeric_limits<double>::quiet_NaN();
        // clang-format off
        std::vector<double> values = {0.0, -0.0, 1.0, 0.5, 1e10, 9999999999.0, 9999999999.5,
            99999.999995, 0.0001, 0.00001, 0.000099999999995, 123456.7890123, DBL_MAX, DBL_MIN,
            4.9e-324, -1e-300, 1.5e300, inf, -inf, nan, -nan, 18446744073709551615.0,
            -9007199254740993.0};
        // clang-format on
        QRandomGenerator random(7);
        for (int i = 0; i < 200000; ++i) {
            switch (i % 5) {
            case 0: // whole counts of every size
                values.push_back(
                    std::floor(std::ldexp(random.generateDouble(), random.bounded(60))));
                break;
            case 1: // times on a fractional grid
                values.push_back(random.bounded(100000) * 0.125 + random.bounded(1000) * 1e-3);
                break;
            case 2: // any magnitude, either sign
                values.push_back((random.bounded(2) ? 1 : -1) * random.generateDouble() *
                                 std::pow(10.0, int(random.bounded(80)) - 40));
                break;
            case 3: // rounding edges: 10 significant digits and a tail of nines
                values.push_back(std::pow(10.0, int(random.bounded(30)) - 15) *
                                 (1.0 - std::pow(10.0, -double(9 + random.bounded(4)))));
                break;
            default: { // raw bit patterns (including subnormals)
                const quint64 bits = random.generate64();
                double d;
                std::memcpy(&d, &bits, sizeof d);
                values.push_back(d);
            }
            }
        }
        char buf[Mhisto::bin_line_capacity];
        for (size_t i = 0; i + 1 < values.size(); ++i) {
            const double t = values[i];
            const double h = values[i + 1];
            const QByteArray ours(buf, int(Mhisto::format_bin_line(buf, t, h)));
            const QByteArray reference = printf_line(t, h);
            if (ours != reference)
                QFAIL(qPrintable(
                    QStringLiteral("%1 %2: '%3' instead of '%4'")
                        .arg(t, 0, 'g', 17)
                        .arg(h, 0, 'g', 17)
                        .arg(QString::fromLatin1(ours), QString::fromLatin1(reference))));
            if (i % 97 == 0)
                QCOMPARE(reference, stream_line(t, h));
        }
    }

    void files_for_random_histograms() {
        QTemporaryDir dir;
        QRandomGenerator random(99);
        for (int round = 0; round < 6; ++round) {
            HistogramRig rig;
            const double binsize = 0.1 + random.bounded(40) * 0.0125;
            const uint32_t binning = random.bounded(4);
            const double start = random.bounded(200000) * 0.037;
            const uint32_t bins = 1 + random.bounded(3000);
            const double step = std::ldexp(binsize, int(binning));
            rig.set_params(start, (bins - 1) * step, binsize, binning, 16);
            std::vector<Histogram> histos(16, Histogram(bins, 0));
            for (uint32_t c = 0; c < 16; ++c) {
                const double density = (c % 4) * 0.3;
                for (uint32_t &v : histos[c])
                    v = random.generateDouble() < density ? 1 + random.bounded(3) : 0;
            }
            histos[15].assign(bins, 0); // no events: no file
            rig.expose(histos);
            // The accumulator's own bin count decides; it must agree with ours.
            QCOMPARE(rig.tdc->get_channel_histo(0)->size(), size_t(bins));

            const bool filter = round % 2 == 1;
            const QString name = dir.filePath(QStringLiteral("run%1.txt").arg(round));
            QVERIFY(rig.tdc.get());
            Mhisto plot(rig.tdc.get(), nullptr);
            QVERIFY(plot.write_data(name, filter));
            for (uint32_t c = 0; c < 16; ++c) {
                const QString file =
                    dir.filePath(QStringLiteral("run%1_ch%2.txt").arg(round).arg(c));
                const bool any = std::any_of(histos[c].begin(), histos[c].end(),
                                             [](uint32_t v) { return v != 0; });
                if (!any) {
                    QVERIFY(!QFile::exists(file));
                    continue;
                }
                const QByteArray expected =
                    expected_channel_file(c, start, step, histos[c], filter);
                QCOMPARE(read_file(file), expected);
            }
        }
    }

    void large_counts_and_exponents() {
        QTemporaryDir dir;
        HistogramRig rig;
        // A far start offset and a tiny bin: times with exponents at both ends.
        const double start = 4.2e12;
        const double binsize = 3e-7;
        rig.set_params(start, 5 * binsize, binsize, 0, 2);
        rig.expose({{1, 1, 1, 1, 1, 1}, {1, 0, 0, 0, 0, 0}});
        const std::vector<double> big = {12345678901.0, 1e15, 4294967296.0, 0.0, 9999999999.0, 3.0};
        overwrite_bins(rig, 0, big);
        Mhisto plot(rig.tdc.get(), nullptr);
        QVERIFY(plot.write_data(dir.filePath("big"), false));
        QCOMPARE(read_file(dir.filePath("big_ch0.txt")),
                 expected_channel_file(0, start, binsize, big, false));

        rig.set_params(0.0, 5 * binsize, binsize, 0, 2);
        rig.expose({{1, 1, 1, 1, 1, 1}});
        QVERIFY(plot.write_data(dir.filePath("small"), false));
        const QByteArray small = read_file(dir.filePath("small_ch0.txt"));
        QCOMPARE(small, expected_channel_file(0, 0.0, binsize, {1, 1, 1, 1, 1, 1}, false));
        QVERIFY(small.contains("3e-07"));
    }

    void rates_file_for_16_and_4_channels() {
        QTemporaryDir dir;
        HistogramRig rig;
        rig.set_params(0.0, 4.5, 0.5, 0, 16);
        std::vector<uint32_t> counts(16);
        for (uint32_t c = 0; c < 16; ++c)
            counts[c] = c == 9 ? 4294967295u : c * 1000;
        rig.expose({{1}}, counts);
        Mhisto plot(rig.tdc.get(), nullptr);
        QVERIFY(plot.write_data(dir.filePath("all.txt"), false));
        QCOMPARE(read_file(dir.filePath("all_rates.txt")), expected_rates_file(counts));
        QVERIFY(read_file(dir.filePath("all_rates.txt")).contains("\n         3\t3000\n"));

        rig.set_params(0.0, 4.5, 0.5, 0, 4);
        rig.expose({{1}, {}, {2}, {3}, {4}, {5}}, counts);
        QVERIFY(plot.write_data(dir.filePath("four.txt"), false));
        QCOMPARE(read_file(dir.filePath("four_rates.txt")), expected_rates_file(counts));
        // Channel 0 has no events in the block; channels from 4 on have no histogram.
        QCOMPARE(files_in(dir.path()).filter("four"),
                 (QStringList{"four_ch1.txt", "four_ch2.txt", "four_ch3.txt", "four_rates.txt"}));
    }

    void file_names_from_chosen_name_data() {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("several dots") << QString("scan.old.txt") << QString("scan");
        QTest::newRow("no dot") << QString("scan") << QString("scan");
        QTest::newRow("sub folder") << QString("sub/data.v2.txt") << QString("sub/data");
        QTest::newRow("hidden") << QString(".txt") << QString();
    }

    void file_names_from_chosen_name() {
        QFETCH(QString, chosen);
        QFETCH(QString, prefix);
        QTemporaryDir dir;
        QDir(dir.path()).mkdir("sub");
        HistogramRig rig;
        rig.set_params(0.0, 1.5, 0.5, 0, 2);
        rig.expose({{0, 1, 0, 0}, {2, 0, 0, 0}});
        Mhisto plot(rig.tdc.get(), nullptr);
        QVERIFY(plot.write_data(dir.filePath(chosen), false));
        QVERIFY(!QFile::exists(dir.filePath(chosen)) || QFileInfo(dir.filePath(chosen)).isDir());
        for (const char *suffix : {"_rates.txt", "_ch0.txt", "_ch1.txt"})
            QVERIFY2(QFile::exists(dir.filePath(prefix + suffix)), suffix);
        QCOMPARE(read_file(dir.filePath(prefix + "_ch1.txt")),
                 QByteArray("# Channel 1 (Time[ns] vs Countrate):\n") + printf_line(0, 2) + '\n' +
                     printf_line(0.5, 0) + '\n' + printf_line(1, 0) + '\n' + printf_line(1.5, 0) +
                     '\n');
    }

    void filter_of_empty_runs_data() {
        QTest::addColumn<QVector<uint32_t>>("histogram");
        QTest::addColumn<QVector<int>>("written");
        QTest::newRow("example") << QVector<uint32_t>{0, 0, 3, 0, 0, 0, 2, 0}
                                 << QVector<int>{1, 2, 3, 5, 6, 7};
        QTest::newRow("all zero") << QVector<uint32_t>{0, 0, 0, 0, 0} << QVector<int>{};
        QTest::newRow("single zero bin") << QVector<uint32_t>{0} << QVector<int>{};
        QTest::newRow("single bin") << QVector<uint32_t>{4} << QVector<int>{0};
        QTest::newRow("first bin counts") << QVector<uint32_t>{5, 0, 0} << QVector<int>{0, 1};
        QTest::newRow("second bin counts")
            << QVector<uint32_t>{0, 5, 0, 0} << QVector<int>{0, 1, 2};
        QTest::newRow("last bin counts") << QVector<uint32_t>{0, 0, 5} << QVector<int>{1, 2};
        QTest::newRow("last but one counts")
            << QVector<uint32_t>{0, 0, 5, 0} << QVector<int>{1, 2, 3};
        QTest::newRow("dense") << QVector<uint32_t>{1, 2, 3} << QVector<int>{0, 1, 2};
    }

    void filter_of_empty_runs() {
        QFETCH(QVector<uint32_t>, histogram);
        QFETCH(QVector<int>, written);
        QTemporaryDir dir;
        HistogramRig rig;
        const int bins = histogram.size();
        rig.set_params(10.0, (bins - 1) * 2.0, 0.5, 2, 1);
        // An event outside the window gives the channel a count in the block even
        // when all of its bins are empty.
        rig.expose({Histogram(histogram.begin(), histogram.end())}, {1});
        Mhisto plot(rig.tdc.get(), nullptr);
        QVERIFY(plot.write_data(dir.filePath("f.txt"), true));
        QByteArray expected("# Channel 0 (Time[ns] vs Countrate):\n");
        for (int i : written)
            expected += printf_line(10.0 + 2.0 * i, histogram[i]) + '\n';
        QCOMPARE(read_file(dir.filePath("f_ch0.txt")), expected);

        QVERIFY(plot.write_data(dir.filePath("u.txt"), false));
        QCOMPARE(read_file(dir.filePath("u_ch0.txt")).count('\n'), 1 + bins);
    }

    void channels_qualify_by_last_exposure() {
        QTemporaryDir dir;
        HistogramRig rig;
        rig.set_params(0.0, 2.0, 0.5, 0, 3);
        rig.expose({{1, 0, 0, 0, 0}, {0, 2, 0, 0, 0}, {0, 0, 3, 0, 0}});
        // Accumulated on top: only channel 0 had events this time, and the block
        // claims events on channel 5, which has no histogram.
        rig.expose({{0, 0, 0, 0, 4}}, {4, 0, 0, 0, 0, 7}, false);
        Mhisto plot(rig.tdc.get(), nullptr);
        QVERIFY(plot.write_data(dir.filePath("acc.txt"), false));
        QCOMPARE(files_in(dir.path()), (QStringList{"acc_ch0.txt", "acc_rates.txt"}));
        QCOMPARE(read_file(dir.filePath("acc_ch0.txt")),
                 expected_channel_file(0, 0.0, 0.5, {1, 0, 0, 0, 4}, false));
    }

    void nothing_to_export() {
        QTemporaryDir dir;
        {
            HistogramRig rig; // no exposure yet: no histograms
            Mhisto plot(rig.tdc.get(), nullptr);
            QVERIFY(!plot.write_data(dir.filePath("none.txt"), false));
        }
        {
            HistogramRig rig;
            rig.set_params(0.0, 2.0, 0.5, 0, 0);
            rig.expose({}, {3, 3});
            Mhisto plot(rig.tdc.get(), nullptr);
            QVERIFY(!plot.write_data(dir.filePath("zero.txt"), false));
        }
        QVERIFY(files_in(dir.path()).isEmpty());
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void unwritable_folder_fails() {
        QTemporaryDir dir;
        HistogramRig rig;
        rig.set_params(0.0, 2.0, 0.5, 0, 2);
        rig.expose({{1, 0, 0, 0, 0}, {0, 1, 0, 0, 0}});
        Mhisto plot(rig.tdc.get(), nullptr);

        QString target;
        if (geteuid() == 0) {
            // Permissions do not stop root; a "folder" that is a regular file does.
            QFile blocker(dir.filePath("not_a_folder"));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            blocker.close();
            target = dir.filePath("not_a_folder/out.txt");
        } else {
            QVERIFY(QDir(dir.path()).mkdir("locked"));
            QFile::setPermissions(dir.filePath("locked"),
                                  QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            target = dir.filePath("locked/out.txt");
        }
        QVERIFY(!plot.write_data(target, false));
        QVERIFY(!QFile::exists(QFileInfo(target).absolutePath() + "/out_rates.txt"));
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void one_failed_file_does_not_stop_the_others() {
        QTemporaryDir dir;
        HistogramRig rig;
        rig.set_params(0.0, 2.0, 0.5, 0, 3);
        const std::vector<Histogram> histos = {{1, 0, 0, 0, 0}, {0, 1, 0, 0, 0}, {0, 0, 1, 0, 0}};
        rig.expose(histos);
        Mhisto plot(rig.tdc.get(), nullptr);

        // Channel 1's file cannot be opened (a folder is in its way) ...
        QVERIFY(QDir(dir.path()).mkdir("x_ch1.txt"));
        QVERIFY(!plot.write_data(dir.filePath("x.txt"), false));
        QCOMPARE(read_file(dir.filePath("x_ch0.txt")),
                 expected_channel_file(0, 0.0, 0.5, histos[0], false));
        QCOMPARE(read_file(dir.filePath("x_ch2.txt")),
                 expected_channel_file(2, 0.0, 0.5, histos[2], false));
        QVERIFY(read_file(dir.filePath("x_rates.txt")).startsWith("# Rates"));

        // ... and channel 0's file opens but cannot be written completely.
        QVERIFY(QFile::link("/dev/full", dir.filePath("y_ch0.txt")));
        QVERIFY(!plot.write_data(dir.filePath("y.txt"), false));
        QCOMPARE(read_file(dir.filePath("y_ch1.txt")),
                 expected_channel_file(1, 0.0, 0.5, histos[1], false));
        QVERIFY(QFile::exists(dir.filePath("y_ch2.txt")));
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void time_axis_shorter_than_histogram() {
        QTemporaryDir dir;
        HistogramRig rig;
        rig.set_params(0.0, 9.5, 0.5, 0, 1);
        Histogram h(20, 0);
        h[3] = 2;
        h[15] = 5;
        rig.expose({h});
        // New parameters handed over but no measurement started since: the
        // histogram still has 20 bins, the time axis only 10.
        rig.set_params(0.0, 4.5, 0.5, 0, 1);
        Mhisto plot(rig.tdc.get(), nullptr);
        QVERIFY(plot.write_data(dir.filePath("short.txt"), false));
        const std::vector<double> first_ten(h.begin(), h.begin() + 10);
        QCOMPARE(read_file(dir.filePath("short_ch0.txt")),
                 expected_channel_file(0, 0.0, 0.5, first_ten, false));
        plot.refresh(); // draws what has a time, no more
    }

    void save_dialog_and_overwrite_question() {
        QTemporaryDir dir;
        HistogramRig rig;
        rig.set_params(0.0, 2.0, 0.5, 0, 2);
        rig.expose({{1, 0, 0, 0, 0}, {0, 1, 0, 0, 0}});
        Mhisto plot(rig.tdc.get(), nullptr);
        DialogDriver driver;

        // Cancelled dialog: nothing written, nothing reported.
        QVERIFY(plot.save_data(false));
        QCOMPARE(driver.file_dialogs, 1);
        QVERIFY(files_in(dir.path()).isEmpty());

        // A fresh name writes without asking.
        driver.file_name = dir.filePath("s.txt");
        QVERIFY(plot.save_data(true));
        QCOMPARE(driver.file_dialogs, 2);
        QVERIFY(driver.box_texts.isEmpty());
        QCOMPARE(files_in(dir.path()), (QStringList{"s_ch0.txt", "s_ch1.txt", "s_rates.txt"}));

        // Existing files: one question; declining keeps them untouched.
        QFile edited(dir.filePath("s_ch1.txt"));
        QVERIFY(edited.open(QIODevice::WriteOnly));
        edited.write("kept");
        edited.close();
        driver.answer = QMessageBox::No;
        QVERIFY(plot.save_data(false));
        QCOMPARE(driver.box_texts.size(), 1);
        QVERIFY(driver.box_texts[0].contains("s_ch1.txt"));
        QCOMPARE(read_file(dir.filePath("s_ch1.txt")), QByteArray("kept"));

        driver.answer = QMessageBox::Yes;
        QVERIFY(plot.save_data(false));
        QCOMPARE(driver.box_texts.size(), 2);
        QVERIFY(read_file(dir.filePath("s_ch1.txt")).startsWith("# Channel 1"));

        // write_data itself never asks.
        QVERIFY(plot.write_data(dir.filePath("s.txt"), false));
        QCOMPARE(driver.box_texts.size(), 2);

        // A failure still reaches the caller through the dialog path.
        QVERIFY(QDir(dir.path()).mkdir("t_rates.txt"));
        driver.file_name = dir.filePath("t.txt");
        QVERIFY(!plot.save_data(false));
        QCOMPARE(driver.box_texts.size(), 3); // "t_rates.txt" exists (as a folder)
    }
};

QTEST_MAIN(TestExport)
#include "tst_export.moc"
