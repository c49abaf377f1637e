#ifndef REPLOTTHROTTLE_H
#define REPLOTTHROTTLE_H

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

class QwtPlot;

// Repaints a plot at most once per interval, and never spends more than a
// fifth of the time painting: the interval grows to five times the last
// paint's duration. A burst of refreshes (short exposures in an automatic
// run, a remote script taking exposure after exposure) paints the last state
// when the interval has passed instead of every one of them; a refresh after
// a quiet spell paints in the next turn of the event loop.
class ReplotThrottle : public QObject {
public:
    ReplotThrottle(QwtPlot *plot, int interval_ms);

    // The plot's items and scales have changed: repaint soon.
    void request();
    // 0: every request paints at once (benchmarks that time the painting).
    void set_interval_ms(int ms) { interval_ms = ms; }
    // Runs right before each repaint: what follows the data but relays out
    // the plot (the legend) changes as often as the picture, not per request.
    void set_before_paint(std::function<void()> hook) { before_paint = std::move(hook); }

private:
    void paint();

    QwtPlot *plot;
    int interval_ms;
    QElapsedTimer since_paint;
    qint64 last_paint_ms = 0;
    QTimer pending;
    std::function<void()> before_paint;
};

#endif // REPLOTTHROTTLE_H
