#ifndef FRAMEPACER_H
#define FRAMEPACER_H

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

// Paces the repaints of a top-level window: what is due is painted at most
// once per interval (too short for an eye to notice), and nothing is dropped.
// A remote script can run several hundred exposures a second; painting every
// run state on the way (buttons, progress, status) would cost more than the
// exposures themselves.
class FramePacer : public QObject {
    Q_OBJECT

public:
    FramePacer(QWidget *window, int interval_ms);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void paint_due();

    QWidget *window;
    const int interval_ms;
    QElapsedTimer since_paint;
    QTimer due;
};

#endif // FRAMEPACER_H
