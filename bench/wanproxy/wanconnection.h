#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

class WanLink;
class WanPipe;

/// One client connection and its connection to the target, joined by a pipe
/// in each direction. The client's first bytes count as sent one round trip
/// after it connected, as a real client waits for the handshake over the
/// link. closed() is emitted once both directions have ended, or at the
/// first error, after which both sockets are closed.
class WanConnection : public QObject
{
    Q_OBJECT

public:
    /// Takes ownership of @p clientFd and connects to the IPv4 address
    /// @p targetAddress (host byte order) and @p targetPort; @p up carries the
    /// client's bytes, @p down the target's.
    WanConnection(int clientFd, quint32 targetAddress, quint16 targetPort, WanLink *up, WanLink *down,
                  QObject *parent = nullptr);
    ~WanConnection() override;

signals:
    void closed();

private:
    void onConnected();
    void fail(const QString &reason);
    void onPipeFinished();

    const int client;
    int upstream = -1;
    WanLink *const upLink;
    WanLink *const downLink;
    const qint64 acceptedNs;
    std::unique_ptr<QSocketNotifier> connectNotifier;
    std::unique_ptr<WanPipe> toTarget;
    std::unique_ptr<WanPipe> toClient;
    int finishedPipes = 0;
    bool over = false;
};
