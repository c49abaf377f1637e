#ifndef EXPOSUREPROGRESS_H
#define EXPOSUREPROGRESS_H

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <deque>

class QLabel;
class QProgressBar;
class TdcIface;

// The status bar's view of the exposure under way: a bar with the elapsed and
// total time ("12.3 s / 60 s"), the events received so far and the current
// rate ("1.23 M events, 2.01 M/s") and, in an accumulating run, which exposure
// of how many runs. It reads the accumulator's running count about five times
// a second and is hidden while no run is going.
class ExposureProgress : public QWidget {
    Q_OBJECT
public:
    ExposureProgress(const TdcIface *tdc, QWidget *parent);
    ~ExposureProgress() override;

    static QString time_text(double elapsed_s, double total_s);
    static QString events_text(uint64_t events, double events_per_s);

public slots:
    // An exposure of `exposure_ms` has started; `number` of `of` when the run
    // accumulates (`of` 0 otherwise).
    void exposure_started(int exposure_ms, int number, int of);
    void run_ended();

private slots:
    void update_display();

private:
    struct Sample {
        qint64 ms;
        uint64_t events;
    };

    const TdcIface *tdc;
    QProgressBar *bar;
    QLabel *lb_exposure;
    QLabel *lb_events;
    QTimer timer;
    // Hides the display a moment after a run: runs that follow each other
    // closely (a script's) do not relayout the status bar every time.
    QTimer hide_later;
    QElapsedTimer clock;
    int exposure_ms = 0;
    // The last second's readings, for the current rate.
    std::deque<Sample> recent;
};

#endif // EXPOSUREPROGRESS_H
