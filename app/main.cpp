#include "app/mainwindow.h"

#include <QApplication>
#include <QEvent>

#include <memory>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    // Settings written without naming their file (the last export folder,
    // for one) go to the same file as the window's and the panel's.
    QCoreApplication::setOrganizationName(QStringLiteral("Corvane"));
    QCoreApplication::setApplicationName(QStringLiteral("VelmoraV2"));

    auto window = std::make_unique<MainWindow>(nullptr);
    window->show();
    const int result = app.exec();

    // The licence windows and channel shift editors follow the main window
    // through deferred deletion; let them go while the application still exists.
    window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
