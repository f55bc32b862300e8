#pragma once

#include "tcp/packetassembler.h"

#include <QObject>
#include <QQueue>
#include <QString>

#include <memory>

class QFile;
class QTcpSocket;
class QTimer;
class ReleaseCatalog;
struct ReleaseFile;

/// Bounds that keep one client from exhausting the service.
struct ServiceLimits
{
    /// Queued output above which a session's requests are not read (until it
    /// drains): a client that asks and never reads stops being heard.
    qint64 pauseReadingAbove = 4 * 1024 * 1024;
    /// Queued output above which a session is closed at once.
    qint64 closeAbove = 16 * 1024 * 1024;
    /// A session whose output stays above pauseReadingAbove this long is closed.
    int stuckMs = 60000;
    /// A session that sends nothing this long is closed (clients send a
    /// heartbeat every 30 s).
    int idleMs = 180000;
    /// Clients served at the same time; more are turned away.
    int maxSessions = 64;
};

/// What a session needs to know about the release it serves.
struct ReleaseOffer
{
    const ReleaseCatalog *catalog = nullptr;
    QString version;
    qint32 projectType = 1;
    int chunkSize = 64 * 1024;
    ServiceLimits limits;
    bool checksums = true; ///< file entries carry the MD5 tag
};

/// One client connection of the update service. It answers heartbeats and
/// version checks at once and streams requested files in chunks, one file
/// at a time, writing only as fast as the client takes the data so that a
/// large file never sits in memory. A request it cannot serve is answered
/// with an error reply; a stream it cannot frame is closed. Its memory is
/// bounded by the ServiceLimits: it stops reading while its output is
/// queued above the mark, and closes when the client does not read or
/// sends nothing for too long.
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
    void onIdle();
    void onStuck();

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
    PacketAssembler assembler;
    QQueue<const ReleaseFile *> pending;
    std::unique_ptr<Transfer> current;
    bool closing = false;
    bool readingPaused = false;
    QTimer *idleTimer;
    QTimer *stuckTimer;
};
