#include "app/framepacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

FramePacer::FramePacer(QWidget *window, int interval_ms)
    : QObject(window), window(window), interval_ms(interval_ms) {
    due.setSingleShot(true);
    connect(&due, &QTimer::timeout, this, &FramePacer::paint_due);
    window->installEventFilter(this);
}

// The window's repaint manager asks for a paint with one update request and
// sends no other until a paint has happened: a request held back here is
// posted again when the interval is over, and everything marked dirty
// meanwhile is painted with it.
bool FramePacer::eventFilter(QObject *watched, QEvent *event) {
    if (watched != window || event->type() != QEvent::UpdateRequest)
        return false;
    const qint64 elapsed = since_paint.isValid() ? since_paint.elapsed() : interval_ms;
    if (elapsed >= interval_ms) {
        since_paint.start();
        return false;
    }
    if (!due.isActive())
        due.start(int(interval_ms - elapsed));
    return true;
}

void FramePacer::paint_due() {
    QCoreApplication::postEvent(window, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
}
