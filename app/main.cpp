#include "mainwindow.h"

#include <QApplication>
#include <QEvent>

#include <memory>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);

    std::unique_ptr<MainWindow> window;
    try {
        window = std::make_unique<MainWindow>(nullptr);
    } catch (int code) {
        // A step of the start-up that cannot go on hands its code out as an int.
        return code;
    }

    window->show();
    const int result = app.exec();

    // The licence windows and channel shift editors follow the main window
    // through deferred deletion; let them go while the application still exists.
    window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
