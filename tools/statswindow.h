#ifndef STATSWINDOW_H
#define STATSWINDOW_H

#include <QDialog>
#include <QString>
#include <QVector>

class QLabel;

// Shows the minimum, maximum and average event time of the accumulated
// histograms in large digits. It only formats what it is given.
class StatsWindow : public QDialog {
    Q_OBJECT
public:
    explicit StatsWindow(QWidget *parent);
    ~StatsWindow() override;

    // The fixed text of a value field: 3 decimals, '.' as decimal point
    // whatever the locale, right-aligned in at least 12 characters.
    static QString formatValue(double value);

public slots:
    void updateAverage(double average);
    void updateMinMax(double minimum, double maximum);

private:
    // Minimum (0), maximum (1), average (2); owned by the dialog's object tree.
    QVector<QLabel *> valueLabels;
    QVector<QString> captions;
    // The last minimum and maximum came from an exposure without events; the
    // average that follows them is then no value either.
    bool no_events = false;
};

#endif // STATSWINDOW_H
