// The statistics window: three captioned fields in large digits, updated by
// value with a fixed format.

#include "statswindow.h"

#include <QLabel>
#include <QtTest>

#include <limits>

class TstStatsWindow : public QObject {
    Q_OBJECT

private slots:
    void formatting_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("rounded") << 2.0004999 << "       2.000";
        QTest::newRow("round up") << 9.9996 << "      10.000";
        QTest::newRow("negative") << -98765.4321 << "  -98765.432";
        QTest::newRow("longer") << 123456789.0 << "123456789.000";
        QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << "         INF";
        QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << "         NAN";
    }
    void formatting() {
        QFETCH(double, value);
        QTEST(StatsWindow::formatValue(value), "text");
    }

    // Each update touches only its own fields, whatever the locale, and the
    // values stay while the window is hidden. An exposure without events
    // (minimum still at its reset value, all bits set, above the maximum)
    // shows a dash in all three fields instead of a 23-digit minimum.
    void fieldsFollowUpdates() {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        StatsWindow w(nullptr);
        auto texts = [&w] {
            QStringList t;
            for (QLabel *label : w.findChildren<QLabel *>())
                t << label->text();
            return t.join('|');
        };
        QCOMPARE(texts(), QString("no data yet|min time [ns]|no data yet|max time [ns]|"
                                  "no data yet|average [ns]"));
        w.updateMinMax(2.5, 17.125);
        QCOMPARE(texts(), QString("       2.500|min time [ns]|      17.125|max time [ns]|"
                                  "no data yet|average [ns]"));
        w.close();
        w.updateAverage(1234567.25);
        w.show();
        QCOMPARE(texts().section('|', 4, 4), QString(" 1234567.250"));
        w.updateMinMax(double(std::numeric_limits<uint64_t>::max()) * 0.5, 0.0);
        w.updateAverage(0.0);
        QCOMPARE(texts(), QString::fromUtf8("\u2014|min time [ns]|\u2014|max time [ns]|"
                                            "\u2014|average [ns]"));
        w.updateMinMax(0.0, 0.0); // one event at time 0
        w.updateAverage(0.0);
        QCOMPARE(texts().section('|', 0, 0) + texts().section('|', 4, 4),
                 QString("       0.000       0.000"));
        QLocale::setDefault(QLocale::c());
    }
};

QTEST_MAIN(TstStatsWindow)
#include "tst_statswindow.moc"
