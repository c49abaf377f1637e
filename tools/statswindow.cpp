#include "tools/statswindow.h"

#include <QChar>
#include <QFont>
#include <QFontMetrics>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace {
// Shown in all three fields after an exposure without a single event.
const QString no_events_text = QStringLiteral("\u2014");
} // namespace

StatsWindow::StatsWindow(QWidget *parent) : QDialog(parent) {
    setWindowTitle("Velmora Statistics Window");

    QFont captionFont = font();
    captionFont.setPointSizeF(captionFont.pointSizeF() + 2.0);

    captions.append("min time [ns]");
    captions.append("max time [ns]");
    captions.append("average [ns]");

    auto *column = new QVBoxLayout;
    for (const QString &caption : qAsConst(captions)) {
        auto *value = new QLabel("no data yet", this);
        valueLabels.append(value);
        value->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        value->setFont(QFont("Monospace", 36, QFont::Bold, false));
        // Wide enough for the longest usual value in the large digits.
        value->setMinimumWidth(17 * QFontMetrics(value->font()).averageCharWidth());
        value->setAlignment(Qt::AlignRight);

        auto *row = new QHBoxLayout;
        auto *captionLabel = new QLabel(caption, this);
        captionLabel->setFont(captionFont);
        row->addWidget(captionLabel, 0);
        row->addWidget(value, 0);
        column->addLayout(row, 0);
    }
    setLayout(column);

    valueLabels[0]->setStyleSheet("QLabel { color: #A00000; }");
    valueLabels[1]->setStyleSheet("QLabel { color: #0000A0; }");
}

StatsWindow::~StatsWindow() = default;

QString StatsWindow::formatValue(double value) {
    return QString("%1").arg(value, 12, 'F', 3, QChar(' '));
}

void StatsWindow::updateAverage(double average) {
    valueLabels[2]->setText(no_events ? no_events_text : formatValue(average));
}

// Every counted event lies between the minimum and the maximum, so a minimum
// above the maximum can only be the untouched statistics of an exposure
// without events (the minimum then still holds its reset value, all bits set).
void StatsWindow::updateMinMax(double minimum, double maximum) {
    no_events = minimum > maximum;
    valueLabels[0]->setText(no_events ? no_events_text : formatValue(minimum));
    valueLabels[1]->setText(no_events ? no_events_text : formatValue(maximum));
    if (no_events)
        valueLabels[2]->setText(no_events_text);
}
