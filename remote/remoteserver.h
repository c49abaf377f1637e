#ifndef REMOTESERVER_H
#define REMOTESERVER_H

#include "remote/scpisession.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

class FetchHold;
class QTcpServer;
class RemoteClient;

// SCPI over a raw TCP socket (port 5025 by convention): at most four
// clients, each with its own session, all driving the same run controller
// and device as the windows.
class RemoteServer : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 default_port = 5025;
    static constexpr int max_clients = 4;

    explicit RemoteServer(const RemoteTarget &target, QObject *parent = nullptr);
    ~RemoteServer() override;

    // Listens on 127.0.0.1, or on every address when others may connect;
    // port 0 takes a free one. False with error_string() when it cannot.
    bool listen(quint16 port, bool allow_others);
    // Stops listening and drops every client.
    void close();
    bool is_listening() const;
    QString error_string() const { return last_error; }
    QHostAddress address() const;
    quint16 port() const;
    // "<address>:<port>"
    QString endpoint() const;
    QStringList clients() const;
    // Time spent serving clients since the last reset, in ns.
    uint64_t busy_ns() const { return busy; }
    void reset_busy() { busy = 0; }

signals:
    void clients_changed(const QStringList &peers);
    void listening_changed(bool listening);

private:
    void accept_clients();
    void client_closed(RemoteClient *client);

    RemoteTarget target;
    FetchHold *hold;
    QTcpServer *server;
    std::vector<RemoteClient *> connected;
    QString last_error;
    uint64_t busy = 0;
};

#endif // REMOTESERVER_H
