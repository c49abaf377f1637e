#include "plots/replotthrottle.h"

#include <qwt_plot.h>
#include <qwt_plot_canvas.h>

ReplotThrottle::ReplotThrottle(QwtPlot *plot, int interval_ms)
    : QObject(plot), plot(plot), interval_ms(interval_ms) {
    pending.setSingleShot(true);
    connect(&pending, &QTimer::timeout, this, &ReplotThrottle::paint);
}

void ReplotThrottle::request() {
    const qint64 elapsed = since_paint.isValid() ? since_paint.elapsed() : interval_ms;
    if (elapsed >= interval_ms) {
        pending.stop();
        paint();
        return;
    }
    // Whatever paints the canvas meanwhile (a grab, an exposed window) must
    // not show the picture cached before the change.
    if (auto *canvas = qobject_cast<QwtPlotCanvas *>(plot->canvas()))
        canvas->invalidateBackingStore();
    if (!pending.isActive())
        pending.start(int(interval_ms - elapsed));
}

void ReplotThrottle::paint() {
    plot->replot();
    since_paint.start();
}
