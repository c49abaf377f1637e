#include "app/mainwindow.h"

#include <QApplication>
#include <QEvent>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

namespace {

// --remote (port 5025), --remote=PORT, --remote=0 (any free port): the
// remote interface for this start only. Qt's parser has no optional values.
bool parse_remote_option(int argc, char *argv[], std::optional<quint16> &port) {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--remote") == 0) {
            port = 5025;
        } else if (std::strncmp(arg, "--remote=", 9) == 0) {
            const QString value = QString::fromLocal8Bit(arg + 9);
            bool ok = false;
            const uint number = value.toUInt(&ok);
            if (!ok || number > 65535) {
                std::fprintf(stderr,
                             "velmora: --remote=PORT needs a port number 0 to 65535, "
                             "not \"%s\"\n",
                             arg + 9);
                return false;
            }
            port = quint16(number);
        }
    }
    return true;
}

} // namespace

int main(int argc, char *argv[]) {
    std::optional<quint16> remote_port;
    if (!parse_remote_option(argc, argv, remote_port))
        return 2;
    QApplication app(argc, argv);
    // Settings written without naming their file (the last export folder,
    // for one) go to the same file as the window's and the panel's.
    QCoreApplication::setOrganizationName(QStringLiteral("Corvane"));
    QCoreApplication::setApplicationName(QStringLiteral("VelmoraV2"));

    auto window = std::make_unique<MainWindow>(nullptr);
    window->show();
    window->start_remote(remote_port);
    const int result = app.exec();

    // The licence windows and channel shift editors follow the main window
    // through deferred deletion; let them go while the application still exists.
    window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
