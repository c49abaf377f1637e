#ifndef WINDOWEPOT_H
#define WINDOWEPOT_H

#include <QMainWindow>

class PanelEpot;
class QCloseEvent;
class TdcIface;

// Top-level window around the potentiometer panel; closing it only hides it,
// so the values and the last result survive until it is shown again.
class WindowEpot : public QMainWindow {
    Q_OBJECT
public:
    WindowEpot(TdcIface *tdc, QWidget *parent);
    ~WindowEpot() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    PanelEpot *panel;
};

#endif // WINDOWEPOT_H
