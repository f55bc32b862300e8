#pragma once

#include "servicelimits.h"
#include "tcp/packetassembler.h"

#include <QHostAddress>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QQueue>
#include <QString>

#include <memory>

class QFile;
class QTcpSocket;
class QTimer;
class ReleaseCatalog;
struct ReleaseFile;

/// What a session needs to know about the release it serves.
struct ReleaseOffer
{
    const ReleaseCatalog *catalog = nullptr;
    QString version;
    qint32 projectType = 1;
    int chunkSize = 64 * 1024;
    ServiceLimits limits;
    bool checksums = true; ///< file entries carry the MD5 tag
    /// By an older version: the files a client at it already holds, which
    /// its version reply leaves out.
    QHash<QString, QSet<const ReleaseFile *>> unchangedSince = {};
};

/// One client connection of the update service. It answers heartbeats and
/// version checks at once and streams requested files in chunks, one file
/// at a time, writing only as fast as the client takes the data so that a
/// large file never sits in memory. A request it cannot serve is answered
/// with an error reply; a stream it cannot frame is closed. Its memory is
/// bounded by the ServiceLimits: it stops reading while its output is
/// queued above the mark, and closes when the client does not read,
/// completes no request for too long, or takes too long over one request.
class ServiceSession : public QObject
{
    Q_OBJECT

public:
    /// Takes over @p socket (re-parented to the session).
    ServiceSession(QTcpSocket *socket, const ReleaseOffer &offer, QObject *parent = nullptr);
    ~ServiceSession() override;

    /// "address:port" of the client, for the log.
    QString peer() const { return peerName; }
    /// The client's address, for the per-address bound.
    QHostAddress address() const { return peerAddress; }

signals:
    /// The connection is gone; the session may be deleted.
    void finished();

private slots:
    void onReadyRead();
    void onBytesWritten();
    void onDisconnected();
    void onIdle();
    void onStuck();
    void onRequestOverdue();

private:
    struct Transfer
    {
        const ReleaseFile *file = nullptr;
        std::unique_ptr<QFile> handle;
        qint64 size = 0; ///< of the opened handle: what this transfer sends
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
    void checkOutput();
    qint64 streamingHighWater() const;
    qint64 pauseMark() const;
    void processBuffered();

    QTcpSocket *socket;
    ReleaseOffer offer;
    QString peerName;
    QHostAddress peerAddress;
    PacketAssembler assembler;
    struct Request
    {
        const ReleaseFile *file = nullptr;
        quint32 startAt = 0; ///< the offset the client asked to start from
    };
    QQueue<Request> pending;
    std::unique_ptr<Transfer> current;
    bool closing = false;
    bool readingPaused = false;
    QTimer *idleTimer;
    QTimer *stuckTimer;
    QTimer *requestTimer; ///< runs while an unfinished request is buffered
};
