#include "app/mainwindow.h"

#include <QApplication>
#include <QEvent>

#include <memory>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);

    auto window = std::make_unique<MainWindow>(nullptr);
    window->show();
    const int result = app.exec();

    // The licence windows and channel shift editors follow the main window
    // through deferred deletion; let them go while the application still exists.
    window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
