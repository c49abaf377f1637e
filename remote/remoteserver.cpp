#include "remote/remoteserver.h"

#include "remote/fetchsnapshot.h"
#include "remote/remoteclient.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>

RemoteServer::RemoteServer(const RemoteTarget &target, QObject *parent)
    : QObject(parent), target(target), hold(new FetchHold(target.run, this)),
      server(new QTcpServer(this)) {
    hold->set_keeping(false);
    connect(server, &QTcpServer::newConnection, this, &RemoteServer::accept_clients);
}

RemoteServer::~RemoteServer() {
    close();
}

bool RemoteServer::listen(quint16 port, bool allow_others) {
    close();
    const QHostAddress address = allow_others ? QHostAddress::AnyIPv4 : QHostAddress::LocalHost;
    if (!server->listen(address, port)) {
        last_error = server->errorString();
        return false;
    }
    last_error.clear();
    server->setMaxPendingConnections(max_clients);
    emit listening_changed(true);
    return true;
}

void RemoteServer::close() {
    const bool was_listening = server->isListening();
    server->close();
    for (RemoteClient *client : std::vector<RemoteClient *>(connected))
        client->drop();
    if (was_listening)
        emit listening_changed(false);
}

bool RemoteServer::is_listening() const {
    return server->isListening();
}

QHostAddress RemoteServer::address() const {
    return server->serverAddress();
}

quint16 RemoteServer::port() const {
    return server->serverPort();
}

QString RemoteServer::endpoint() const {
    return address().toString() + QLatin1Char(':') + QString::number(port());
}

QStringList RemoteServer::clients() const {
    QStringList peers;
    for (const RemoteClient *client : connected)
        peers << client->peer();
    return peers;
}

void RemoteServer::accept_clients() {
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        if (int(connected.size()) >= max_clients) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *client = new RemoteClient(socket, target, hold, &busy, this);
        connect(client, &RemoteClient::closed, this, &RemoteServer::client_closed);
        connected.push_back(client);
        hold->set_keeping(true);
        emit clients_changed(clients());
        // Commands may have arrived with the connection.
        if (socket->bytesAvailable() > 0)
            QMetaObject::invokeMethod(socket, "readyRead", Qt::QueuedConnection);
    }
}

// The client goes after the signal that reported it has returned.
void RemoteServer::client_closed(RemoteClient *client) {
    connected.erase(std::remove(connected.begin(), connected.end(), client), connected.end());
    hold->set_keeping(!connected.empty());
    client->deleteLater();
    emit clients_changed(clients());
}
