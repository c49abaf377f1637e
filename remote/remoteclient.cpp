#include "remote/remoteclient.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

// Time spent serving, added to the server's account however the function
// is left.
class BusyClock {
public:
    explicit BusyClock(uint64_t *account) : account(account) { clock.start(); }
    ~BusyClock() {
        if (account)
            *account += uint64_t(clock.nsecsElapsed());
    }

private:
    uint64_t *account;
    QElapsedTimer clock;
};

} // namespace

RemoteClient::RemoteClient(QTcpSocket *socket, const RemoteTarget &target, FetchHold *hold,
                           uint64_t *busy_ns, QObject *parent)
    : QObject(parent), socket(socket), session(target, hold, this), busy_ns(busy_ns) {
    socket->setParent(this);
    QHostAddress address = socket->peerAddress();
    bool ipv4 = false;
    const quint32 v4 = address.toIPv4Address(&ipv4);
    if (ipv4)
        address = QHostAddress(v4);
    peer_text = address.toString();
    // Small exchanges must not wait for Nagle's algorithm or for delayed
    // acknowledgements.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Unread commands stay in the kernel, which then holds the client back.
    socket->setReadBufferSize(high_water);
    rearm_quick_ack();
    connect(socket, &QTcpSocket::readyRead, this, &RemoteClient::read_input);
    connect(socket, &QTcpSocket::bytesWritten, this, &RemoteClient::pump);
    connect(socket, &QTcpSocket::disconnected, this, &RemoteClient::socket_gone);
    connect(&session, &ScpiSession::resumed, this, &RemoteClient::process_lines);
}

RemoteClient::~RemoteClient() = default;

// Linux turns quick acknowledgements off again by itself; each read re-arms
// them, so the client's next request is acknowledged at once.
void RemoteClient::rearm_quick_ack() {
#if defined(Q_OS_LINUX) && defined(TCP_QUICKACK)
    const int on = 1;
    const qintptr fd = socket->socketDescriptor();
    if (fd >= 0)
        setsockopt(int(fd), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
}

void RemoteClient::read_input() {
    if (gone)
        return;
    BusyClock busy(busy_ns);
    rearm_quick_ack();
    process_lines();
}

// Lines are taken from the socket only while nothing holds the client back.
void RemoteClient::process_lines() {
    if (processing || gone)
        return;
    processing = true;
    std::string line;
    while (!gone && !session.waiting() && pending.empty() && socket->bytesToWrite() < high_water) {
        if (!framer.next_line(line)) {
            if (framer.overflowed() || socket->bytesAvailable() == 0)
                break;
            const QByteArray data = socket->read(high_water);
            if (!framer.append(data.constData(), std::size_t(data.size())))
                break;
            continue;
        }
        session.execute_line(line);
    }
    processing = false;
    if (framer.overflowed() && !gone)
        drop(); // a line beyond the limit: the rest of the stream cannot be trusted
}

void RemoteClient::send_text(const std::string &text) {
    if (gone)
        return;
    if (!pending.empty() && !pending.back().block)
        pending.back().text += text;
    else
        pending.push_back(Part{text, nullptr, 0});
    pump();
}

void RemoteClient::send_block(std::shared_ptr<BlockSource> block) {
    if (gone)
        return;
    pending.push_back(Part{std::string(), std::move(block), 0});
    pump();
}

void RemoteClient::pump() {
    if (gone)
        return;
    BusyClock busy(processing ? nullptr : busy_ns);
    while (!pending.empty() && socket->bytesToWrite() < high_water) {
        Part &part = pending.front();
        if (!part.block) {
            socket->write(part.text.data(), qint64(part.text.size()));
            pending.pop_front();
            continue;
        }
        const uint64_t left = part.block->size() - part.offset;
        const std::size_t length = std::size_t(std::min<uint64_t>(left, uint64_t(high_water)));
        chunk.resize(length);
        part.block->read(part.offset, chunk.data(), length);
        socket->write(chunk.data(), qint64(length));
        part.offset += length;
        if (part.offset == part.block->size())
            pending.pop_front();
    }
    if (socket->bytesToWrite() > backlog_limit) {
        drop(); // it does not read what it asked for
        return;
    }
    if (pending.empty() && !processing)
        process_lines();
}

void RemoteClient::drop() {
    if (gone)
        return;
    socket->abort();
    socket_gone();
}

void RemoteClient::socket_gone() {
    if (gone)
        return;
    gone = true;
    pending.clear();
    emit closed(this);
}
