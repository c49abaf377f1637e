#include "tools/windowepot.h"

#include "tools/panelepot.h"

#include <QCloseEvent>

WindowEpot::WindowEpot(TdcIface *tdc, QWidget *parent)
    : QMainWindow(parent), panel(new PanelEpot(tdc, this)) {
    setCentralWidget(panel);
}

WindowEpot::~WindowEpot() = default;

void WindowEpot::closeEvent(QCloseEvent *event) {
    // Only hidden: the owner shows the same window, with its state, again.
    hide();
    event->accept();
}
