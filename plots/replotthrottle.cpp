#include "plots/replotthrottle.h"

#include <qwt_plot.h>
#include <qwt_plot_canvas.h>

#include <algorithm>

ReplotThrottle::ReplotThrottle(QwtPlot *plot, int interval_ms)
    : QObject(plot), plot(plot), interval_ms(interval_ms) {
    pending.setSingleShot(true);
    connect(&pending, &QTimer::timeout, this, &ReplotThrottle::paint);
}

void ReplotThrottle::request() {
    const qint64 interval = interval_ms > 0 ? std::max<qint64>(interval_ms, 5 * last_paint_ms) : 0;
    const qint64 elapsed = since_paint.isValid() ? since_paint.elapsed() : interval;
    if (interval == 0) {
        pending.stop();
        paint();
        return;
    }
    // Whatever paints the canvas meanwhile (a grab, an exposed window) must
    // not show the picture cached before the change.
    if (auto *canvas = qobject_cast<QwtPlotCanvas *>(plot->canvas()))
        canvas->invalidateBackingStore();
    // Even when due, the picture is painted in a turn of its own, after the
    // timers and input already waiting: a refresh of millions of bins
    // followed at once by their paint would hold the window for both.
    if (elapsed >= interval) {
        pending.start(0);
        return;
    }
    if (!pending.isActive())
        pending.start(int(interval - elapsed));
}

void ReplotThrottle::paint() {
    QElapsedTimer painting;
    painting.start();
    if (before_paint)
        before_paint();
    plot->replot();
    last_paint_ms = painting.elapsed();
    since_paint.start();
}
