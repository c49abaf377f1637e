#ifndef REMOTECLIENT_H
#define REMOTECLIENT_H

#include "remote/scpiparser.h"
#include "remote/scpisession.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

class QTcpSocket;

// One connected client: its socket, the line framing and its session.
// Replies leave in order and are streamed: a block is read from its source
// only as the socket drains, so no reply is ever held whole. While replies
// wait to be sent, or the session waits for a run, the client's further
// commands stay unread (and TCP holds the client back).
class RemoteClient : public QObject, public ReplySink {
    Q_OBJECT
public:
    // Bytes handed to the socket before the next chunk of a block is read.
    static constexpr int64_t high_water = 256 * 1024;
    // Replies a client has not taken beyond which it is dropped.
    static constexpr int64_t backlog_limit = 4 * 1024 * 1024;

    RemoteClient(QTcpSocket *socket, const RemoteTarget &target, FetchHold *hold, uint64_t *busy_ns,
                 QObject *parent = nullptr);
    ~RemoteClient() override;

    QString peer() const { return peer_text; }
    void drop();

    void send_text(const std::string &text) override;
    void send_block(std::shared_ptr<BlockSource> block) override;

signals:
    void closed(RemoteClient *client);

private:
    struct Part {
        std::string text;
        std::shared_ptr<BlockSource> block;
        uint64_t offset = 0;
    };

    void read_input();
    void process_lines();
    void pump();
    void rearm_quick_ack();
    void socket_gone();

    QTcpSocket *socket;
    QString peer_text;
    LineFramer framer;
    ScpiSession session;
    std::deque<Part> pending;
    std::string chunk;
    uint64_t *busy_ns;
    bool processing = false;
    bool gone = false;
};

#endif // REMOTECLIENT_H
