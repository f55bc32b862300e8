#pragma once

#include "tcp/packetassembler.h"

#include <QObject>
#include <QQueue>
#include <QString>

#include <memory>

class QFile;
class QTcpSocket;
class ReleaseCatalog;
struct ReleaseFile;

/// What a session needs to know about the release it serves.
struct ReleaseOffer
{
    const ReleaseCatalog *catalog = nullptr;
    QString version;
    qint32 projectType = 1;
    int chunkSize = 64 * 1024;
};

/// One client connection of the update service. It answers heartbeats and
/// version checks at once and streams requested files in chunks, one file
/// at a time, writing only as fast as the client takes the data so that a
/// large file never sits in memory. A request it cannot serve is answered
/// with an error reply; a stream it cannot frame is closed.
class ServiceSession : public QObject
{
    Q_OBJECT

public:
    /// Takes over @p socket (re-parented to the session).
    ServiceSession(QTcpSocket *socket, const ReleaseOffer &offer, QObject *parent = nullptr);
    ~ServiceSession() override;

    /// "address:port" of the client, for the log.
    QString peer() const { return peerName; }

signals:
    /// The connection is gone; the session may be deleted.
    void finished();

private slots:
    void onReadyRead();
    void onBytesWritten();
    void onDisconnected();

private:
    struct Transfer
    {
        const ReleaseFile *file = nullptr;
        std::unique_ptr<QFile> handle;
        qint64 offset = 0;
        int chunks = 0;
    };

    void handle(const Packet &packet);
    void answerVersionCheck(const QByteArray &body);
    void queueDownload(const QByteArray &body);
    bool startNextTransfer();
    void pump();
    void sendError(const QString &reason);
    void send(quint32 type, const QByteArray &body);
    void closeConnection(const QString &reason);

    QTcpSocket *socket;
    ReleaseOffer offer;
    QString peerName;
    PacketAssembler assembler;
    QQueue<const ReleaseFile *> pending;
    std::unique_ptr<Transfer> current;
    bool closing = false;
};
