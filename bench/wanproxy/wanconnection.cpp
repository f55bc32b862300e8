#include "wanconnection.h"

#include "wanclock.h"
#include "wanlink.h"
#include "wanpipe.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The proxy writes each piece the moment it is due; Nagle's wait for an
// acknowledgement would only add delay that the link does not have.
void prepareSocket(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

} // namespace

WanConnection::WanConnection(int clientFd, quint32 targetAddress, quint16 targetPort, WanLink *up, WanLink *down,
                             QObject *parent)
    : QObject(parent)
    , client(clientFd)
    , upLink(up)
    , downLink(down)
    , acceptedNs(wanNowNs())
{
    prepareSocket(client);
    upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (upstream < 0) {
        fail(QStringLiteral("socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    prepareSocket(upstream);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(targetAddress);
    address.sin_port = htons(targetPort);
    if (::connect(upstream, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        onConnected();
        return;
    }
    if (errno != EINPROGRESS) {
        fail(QStringLiteral("connect: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    connectNotifier = std::make_unique<QSocketNotifier>(upstream, QSocketNotifier::Write);
    connect(connectNotifier.get(), &QSocketNotifier::activated, this, [this]() {
        connectNotifier->setEnabled(false);
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(upstream, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0)
            fail(QStringLiteral("connect: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
        else
            onConnected();
    });
}

WanConnection::~WanConnection()
{
    toTarget.reset();
    toClient.reset();
    connectNotifier.reset();
    if (upstream >= 0)
        ::close(upstream);
    ::close(client);
}

void WanConnection::onConnected()
{
    // The handshake's round trip: SYN out, SYN-ACK back.
    const qint64 clientMaySend = acceptedNs + 2 * upLink->delayNs();
    toTarget = std::make_unique<WanPipe>(client, upstream, upLink, clientMaySend);
    toClient = std::make_unique<WanPipe>(upstream, client, downLink, 0);
    for (WanPipe *pipe : {toTarget.get(), toClient.get()}) {
        connect(pipe, &WanPipe::failed, this, &WanConnection::fail);
        connect(pipe, &WanPipe::finished, this, &WanConnection::onPipeFinished);
    }
}

void WanConnection::fail(const QString &reason)
{
    if (over)
        return;
    over = true;
    // A reset, not a clean end, so that neither side takes a cut stream for
    // a complete one.
    const linger abortive{1, 0};
    for (int fd : {client, upstream}) {
        if (fd >= 0)
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    std::fprintf(stderr, "wan_proxy: connection closed: %s\n", reason.toLocal8Bit().constData());
    // Queued: this may run inside the constructor or a pipe's own handler.
    QMetaObject::invokeMethod(this, &WanConnection::closed, Qt::QueuedConnection);
}

void WanConnection::onPipeFinished()
{
    if (++finishedPipes == 2 && !over) {
        over = true;
        QMetaObject::invokeMethod(this, &WanConnection::closed, Qt::QueuedConnection);
    }
}
