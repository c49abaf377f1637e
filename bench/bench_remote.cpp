// The remote interface from PyVISA over loopback, against the whole program (main window, panel
// and plots on the simulated device): 1,000 cycles of INIT; *OPC?; FETC:COUN? with 1 ms
// exposures at 16 x 1001 bins, then FETC:HIST? of all 16 channels at 65,536 bins each. Client
// times come from the Python client (bench/remote_client.py, the system's python3 with
// python3-pyvisa-py); the program's own share is the time its remote interface spent serving.

#include "app/mainwindow.h"
#include "remote/remoteserver.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString bin = QCoreApplication::applicationDirPath();
    const QString client = QStringLiteral(VELMORA_SOURCE_DIR "/bench/remote_client.py");
    QTemporaryDir dir;
    QFile::copy(bin + QStringLiteral("/tdc_qv5.ini"), dir.filePath(QStringLiteral("tdc_qv5.ini")));
    QDir::setCurrent(dir.path());
    qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toUtf8());

    MainWindow window;
    window.resize(1280, 800);
    if (qEnvironmentVariableIsEmpty("BENCH_HIDDEN"))
        window.show();
    window.start_remote(quint16(0));
    RemoteServer *server = window.remote_server();
    if (!server->is_listening()) {
        std::fprintf(stderr, "bench_remote: the remote interface did not start\n");
        return 1;
    }
    const QString python =
        QFile::exists(QStringLiteral("/usr/bin/python3")) ? "/usr/bin/python3" : "python3";
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    int status = 0;
    double server_cycles_ms = 0, server_fetch_ms = 0;
    QString phase;
    QObject::connect(&process, &QProcess::readyReadStandardOutput, [&] {
        while (process.canReadLine()) {
            const QString line = QString::fromUtf8(process.readLine()).trimmed();
            const QStringList words = line.split(QLatin1Char(' '));
            if (words[0] == QLatin1String("phase")) {
                if (phase == QLatin1String("cycles"))
                    server_cycles_ms = double(server->busy_ns()) / 1e6;
                if (phase == QLatin1String("fetch"))
                    server_fetch_ms = double(server->busy_ns()) / 1e6;
                phase = words.value(1);
                server->reset_busy();
                process.write("go\n");
            } else if (words[0] == QLatin1String("cycles")) {
                const double s = words[2].toDouble();
                std::printf("%s cycles of INIT; *OPC?; FETC:COUN? (ACQ:TIME 1, 16 x 1001 bins): "
                            "%.3f s in the client, %.3f ms per cycle\n",
                            qPrintable(words[1]), s, s * 1e3 / words[1].toDouble());
            } else if (words[0] == QLatin1String("fetch")) {
                std::printf("FETC:HIST? of 16 channels x %s bins (%s values): %.1f ms in the "
                            "client\n",
                            qPrintable(words[1]), qPrintable(words[2]), words[3].toDouble() * 1e3);
            }
        }
    });
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                     [&](int code, QProcess::ExitStatus) {
                         status = code;
                         app.quit();
                     });
    process.start(python, {client, QString::number(server->port()),
                           QString::fromLocal8Bit(qgetenv("VELMORA_REMOTE_CYCLES").isEmpty()
                                                      ? QByteArray("1000")
                                                      : qgetenv("VELMORA_REMOTE_CYCLES"))});
    app.exec();
    std::printf("the program's own share: %.1f ms over the cycles, %.1f ms for the fetch\n",
                server_cycles_ms, server_fetch_ms);
    window.close();
    return status;
}
