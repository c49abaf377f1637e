#include "statswindow.h"

#include <QLabel>
#include <QLocale>
#include <QStandardPaths>
#include <QtTest>

#include <limits>

// The three value fields in row order (minimum, maximum, average): the labels
// whose frame is sunken.
static QList<QLabel *> valueFields(StatsWindow &w) {
    QList<QLabel *> fields;
    for (QLabel *label : w.findChildren<QLabel *>())
        if (label->frameShadow() == QFrame::Sunken)
            fields.append(label);
    return fields;
}

static QList<QLabel *> captionLabels(StatsWindow &w) {
    QList<QLabel *> labels;
    for (QLabel *label : w.findChildren<QLabel *>())
        if (label->frameShadow() != QFrame::Sunken)
            labels.append(label);
    return labels;
}

class TstStatsWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void freshWindowShowsNoDataInLargeDigits() {
        StatsWindow w(nullptr);
        QCOMPARE(w.windowTitle(), QString("Velmora Statistics Window"));
        QVERIFY(!w.isModal());
        const QList<QLabel *> fields = valueFields(w);
        QCOMPARE(fields.size(), 3);
        for (QLabel *field : fields) {
            QCOMPARE(field->text(), QString("no data yet"));
            QCOMPARE(field->font().family(), QString("Monospace"));
            QCOMPARE(field->font().pointSize(), 36);
            QCOMPARE(field->font().weight(), int(QFont::Bold));
            QVERIFY(!field->font().italic());
            QCOMPARE(field->frameStyle(), int(QFrame::Panel | QFrame::Sunken));
            QCOMPARE(field->alignment(), Qt::Alignment(Qt::AlignRight));
            // Room for a long value in the large digits without cutting it.
            QVERIFY(field->minimumWidth() >=
                    QFontMetrics(field->font()).horizontalAdvance("-123456789.000"));
        }
        QVERIFY(fields[0]->styleSheet().contains("#A00000"));
        QVERIFY(fields[1]->styleSheet().contains("#0000A0"));
        QVERIFY(fields[2]->styleSheet().isEmpty());

        const QList<QLabel *> captions = captionLabels(w);
        QCOMPARE(captions.size(), 3);
        QCOMPARE(captions[0]->text(), QString("min time [ns]"));
        QCOMPARE(captions[1]->text(), QString("max time [ns]"));
        QCOMPARE(captions[2]->text(), QString("average [ns]"));
        for (QLabel *caption : captions)
            QCOMPARE(caption->font().pointSizeF(), w.font().pointSizeF() + 2.0);
    }

    void rowsPairCaptionWithValue() {
        StatsWindow w(nullptr);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QList<QLabel *> fields = valueFields(w);
        const QList<QLabel *> captions = captionLabels(w);
        for (int i = 0; i < 3; ++i) {
            // Caption left of its value, rows top to bottom.
            QVERIFY(captions[i]->geometry().right() < fields[i]->geometry().left());
            QVERIFY(fields[i]->geometry().intersects(
                QRect(0, captions[i]->geometry().center().y(), w.width(), 1)));
            if (i > 0)
                QVERIFY(fields[i]->geometry().top() > fields[i - 1]->geometry().top());
        }
    }

    void formatting_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0.0 << "       0.000";
        QTest::newRow("plain") << 1234.5 << "    1234.500";
        QTest::newRow("rounded") << 2.0004999 << "       2.000";
        QTest::newRow("round up") << 9.9996 << "      10.000";
        QTest::newRow("negative") << -0.5 << "      -0.500";
        QTest::newRow("negative large") << -98765.4321 << "  -98765.432";
        QTest::newRow("exactly 12") << 12345678.0 << "12345678.000";
        QTest::newRow("longer than field") << 123456789.0 << "123456789.000";
        QTest::newRow("very long") << 1e15 << "1000000000000000.000";
        QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << "         INF";
        QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << "         NAN";
    }

    void formatting() {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(StatsWindow::formatValue(value), text);
    }

    void formattingIgnoresLocale() {
        const QLocale saved;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        StatsWindow w(nullptr);
        w.updateAverage(1234567.25);
        QLocale::setDefault(saved);
        QCOMPARE(valueFields(w)[2]->text(), QString(" 1234567.250"));
    }

    void minMaxTouchesOnlyItsFields() {
        StatsWindow w(nullptr);
        w.updateMinMax(2.5, 17.125);
        QList<QLabel *> fields = valueFields(w);
        QCOMPARE(fields[0]->text(), QString("       2.500"));
        QCOMPARE(fields[1]->text(), QString("      17.125"));
        QCOMPARE(fields[2]->text(), QString("no data yet"));

        w.updateAverage(-3.0);
        QCOMPARE(fields[2]->text(), QString("      -3.000"));
        // A minimum above the maximum is shown as received.
        w.updateMinMax(50.0, 10.0);
        QCOMPARE(fields[0]->text(), QString("      50.000"));
        QCOMPARE(fields[1]->text(), QString("      10.000"));
        QCOMPARE(fields[2]->text(), QString("      -3.000"));
    }

    void valuesSurviveHideAndShow() {
        StatsWindow w(nullptr);
        w.show();
        w.updateMinMax(1.0, 2.0);
        w.close();
        QVERIFY(!w.isVisible());
        // Still updated while hidden, and not reset by showing again.
        w.updateAverage(1.5);
        w.show();
        QList<QLabel *> fields = valueFields(w);
        QCOMPARE(fields[0]->text(), QString("       1.000"));
        QCOMPARE(fields[2]->text(), QString("       1.500"));
        QVERIFY(!w.testAttribute(Qt::WA_DeleteOnClose));
    }

    void grab() {
        StatsWindow w(nullptr);
        w.updateMinMax(-12.5, 123456789.0);
        w.updateAverage(4711.125);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QString path = QDir::temp().filePath("velmora_statswindow.png");
        QVERIFY(w.grab().save(path));
    }
};

QTEST_MAIN(TstStatsWindow)
#include "tst_statswindow.moc"
