#include "servicesession.h"

#include "log/logger.h"
#include "releasecatalog.h"
#include "tcp/tcpmessages.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

using namespace TcpProtocol;

namespace {

// Requests are a few hundred bytes; anything longer is not a client of ours.
constexpr quint32 kMaxRequestBody = 4096;
// A client may queue a few requests ahead, not an unbounded number.
constexpr int kMaxPendingDownloads = 64;
// Keep this many bytes queued in the socket: enough to keep loopback busy,
// little enough that memory does not follow the file size.
constexpr qint64 kMinHighWater = 1024 * 1024;
// Requests buffered by the socket before the operating system holds the
// client back.
constexpr qint64 kSocketReadBufferSize = 64 * 1024;
constexpr qint64 kMaxServedSize = 0xFFFFFFFFll; // the protocol's totalSize is 32-bit

void info(const QString &text)
{
    logInfo(text);
}

} // namespace

ServiceSession::ServiceSession(QTcpSocket *clientSocket, const ReleaseOffer &releaseOffer, QObject *parent)
    : QObject(parent)
    , socket(clientSocket)
    , offer(releaseOffer)
    , assembler(kMaxRequestBody)
    , idleTimer(new QTimer(this))
    , stuckTimer(new QTimer(this))
    , requestTimer(new QTimer(this))
{
    socket->setParent(this);
    socket->setReadBufferSize(kSocketReadBufferSize);
    idleTimer->setSingleShot(true);
    stuckTimer->setSingleShot(true);
    requestTimer->setSingleShot(true);
    connect(idleTimer, &QTimer::timeout, this, &ServiceSession::onIdle);
    connect(stuckTimer, &QTimer::timeout, this, &ServiceSession::onStuck);
    connect(requestTimer, &QTimer::timeout, this, &ServiceSession::onRequestOverdue);
    idleTimer->start(offer.limits.idleMs);
    peerAddress = socket->peerAddress();
    peerName = QStringLiteral("%1:%2").arg(peerAddress.toString()).arg(socket->peerPort());
    connect(socket, &QTcpSocket::readyRead, this, &ServiceSession::onReadyRead);
    connect(socket, &QTcpSocket::bytesWritten, this, &ServiceSession::onBytesWritten);
    connect(socket, &QTcpSocket::disconnected, this, &ServiceSession::onDisconnected);
    info(QStringLiteral("client connected: %1").arg(peerName));
}

ServiceSession::~ServiceSession()
{
    socket->disconnect(this);
}

void ServiceSession::onReadyRead()
{
    if (closing)
        return;
    processBuffered();
}

void ServiceSession::processBuffered()
{
    for (;;) {
        // Requests are taken one at a time and only while the answers go
        // out: what is not read stays in the operating system, which holds
        // the client back.
        if (readingPaused || closing)
            return;
        Packet packet;
        const PacketAssembler::Result result = assembler.next(&packet);
        if (result == PacketAssembler::Result::NeedMore) {
            if (socket->bytesAvailable() <= 0) {
                // Everything received is taken: what is left is the start of
                // a request, and its clock runs from here, not restarted by
                // each further byte.
                if (assembler.bufferedSize() > 0 && !requestTimer->isActive())
                    requestTimer->start(offer.limits.requestMs);
                return;
            }
            assembler.append(socket->read(kMaxRequestBody + kHeaderSize));
            continue;
        }
        switch (result) {
        case PacketAssembler::Result::BadMagic:
            closeConnection(QStringLiteral("bad magic"));
            return;
        case PacketAssembler::Result::TooLong:
            closeConnection(QStringLiteral("request body of %1 bytes is too long").arg(assembler.refusedLength()));
            return;
        default:
            // Only a complete request shows a live client: bytes trickled
            // into one that never ends do not keep the session.
            requestTimer->stop();
            idleTimer->start(offer.limits.idleMs);
            handle(packet);
            checkOutput();
            break;
        }
    }
}

qint64 ServiceSession::streamingHighWater() const
{
    return qMax<qint64>(kMinHighWater, 4 * qint64(offer.chunkSize));
}

qint64 ServiceSession::pauseMark() const
{
    // A file being streamed keeps up to the high-water mark plus one chunk
    // queued; that alone never counts as a client that does not read.
    return qMax(offer.limits.pauseReadingAbove,
                streamingHighWater() + offer.chunkSize + kHeaderSize + kFileDataHeaderSize);
}

void ServiceSession::checkOutput()
{
    if (closing)
        return;
    const qint64 queued = socket->bytesToWrite();
    if (queued > qMax(offer.limits.closeAbove, 2 * pauseMark())) {
        closeConnection(QStringLiteral("%1 bytes of output queued").arg(queued));
        return;
    }
    if (queued > pauseMark()) {
        if (!readingPaused) {
            readingPaused = true;
            // While the service holds the client's requests back, their
            // silence is not the client's; the stuck bound covers this time.
            idleTimer->stop();
            requestTimer->stop();
            stuckTimer->start(offer.limits.stuckMs);
            info(QStringLiteral("%1: client does not read (%2 bytes queued); its requests wait").arg(peerName).arg(queued));
        }
    } else if (readingPaused) {
        readingPaused = false;
        stuckTimer->stop();
        idleTimer->start(offer.limits.idleMs);
        // Requests that waited are taken from the event loop, not from
        // inside the write notification.
        QMetaObject::invokeMethod(this, &ServiceSession::processBuffered, Qt::QueuedConnection);
    }
}

void ServiceSession::onIdle()
{
    closeConnection(QStringLiteral("no complete request for %1 ms").arg(offer.limits.idleMs));
}

void ServiceSession::onRequestOverdue()
{
    closeConnection(QStringLiteral("request not completed within %1 ms (%2 bytes of it received)")
                        .arg(offer.limits.requestMs)
                        .arg(assembler.bufferedSize()));
}

void ServiceSession::onStuck()
{
    closeConnection(QStringLiteral("output stayed above %1 bytes for %2 ms")
                        .arg(pauseMark())
                        .arg(offer.limits.stuckMs));
}

void ServiceSession::handle(const Packet &packet)
{
    switch (packet.type) {
    case Heartbeat:
        send(HeartbeatReply, packet.body);
        break;
    case VersionCheck:
        answerVersionCheck(packet.body);
        break;
    case FileDownload:
        queueDownload(packet.body);
        break;
    default:
        info(QStringLiteral("%1: unknown request type 0x%2").arg(peerName).arg(packet.type, 0, 16));
        sendError(QStringLiteral("unknown request type"));
        break;
    }
}

void ServiceSession::answerVersionCheck(const QByteArray &body)
{
    VersionCheckRequest request;
    if (!TcpMessages::parseVersionCheck(body, &request)) {
        info(QStringLiteral("%1: malformed version check (%2 bytes)").arg(peerName).arg(body.size()));
        sendError(QStringLiteral("malformed version check"));
        return;
    }
    // A client of another product must not receive this product's files.
    const bool sameProject = request.projectType == offer.projectType;
    const bool hasUpdate = sameProject && request.version != offer.version;
    QVector<RemoteFileEntry> files;
    const QSet<const ReleaseFile *> held = offer.unchangedSince.value(request.version);
    if (hasUpdate) {
        files.reserve(offer.catalog->files().size());
        for (const ReleaseFile &file : offer.catalog->files()) {
            if (!held.contains(&file))
                files.append(TcpMessages::makeRemoteFileEntry(file.path, file.name, offer.checksums ? file.md5 : QByteArray()));
        }
    }
    info(QStringLiteral("%1: version check from %2 (project %3, client %4): %5, %6 files%7")
             .arg(peerName, request.version)
             .arg(request.projectType)
             .arg(request.clientId)
             .arg(hasUpdate ? QStringLiteral("update to %1").arg(offer.version)
                            : (sameProject ? QStringLiteral("up to date") : QStringLiteral("other project")))
             .arg(files.size())
             .arg(hasUpdate && !held.isEmpty() ? QStringLiteral(" (%1 unchanged since %2 left out)")
                                                     .arg(held.size())
                                                     .arg(request.version)
                                               : QString()));
    // Requests are queued and answered in order, so a client may keep the
    // next ones on the wire while a file streams.
    send(VersionReply, TcpMessages::buildVersionReply(hasUpdate, offer.version, offer.projectType, files,
                                                      kMaxPendingDownloads, TcpProtocol::kOfferStartOffsets));
}

void ServiceSession::queueDownload(const QByteArray &body)
{
    FileItem item;
    quint32 startAt = 0;
    if (!TcpMessages::parseFileDownload(body, &item, &startAt)) {
        info(QStringLiteral("%1: malformed download request (%2 bytes)").arg(peerName).arg(body.size()));
        sendError(QStringLiteral("malformed download request"));
        return;
    }
    // Only files of the catalogue are served, so no requested text can
    // reach anything outside the release.
    const ReleaseFile *file = offer.catalog->find(item.path, item.name);
    if (!file) {
        logWarn(QStringLiteral("%1: refused download of %2/%3: not part of the release")
                    .arg(peerName, item.path, item.name)
                    );
        sendError(QStringLiteral("file not found: %1/%2").arg(item.path, item.name));
        return;
    }
    if (pending.size() >= kMaxPendingDownloads) {
        closeConnection(QStringLiteral("too many queued download requests"));
        return;
    }
    info(QStringLiteral("%1: download request %2/%3 (%4 bytes%5)")
             .arg(peerName, file->path, file->name)
             .arg(file->size)
             .arg(startAt > 0 ? QStringLiteral(", from %1").arg(startAt) : QString()));
    pending.enqueue(Request{file, startAt});
    if (!current)
        pump();
}

bool ServiceSession::startNextTransfer()
{
    while (!pending.isEmpty()) {
        const Request request = pending.dequeue();
        const ReleaseFile *file = request.file;
        auto transfer = std::make_unique<Transfer>();
        transfer->file = file;
        transfer->handle = std::make_unique<QFile>(file->absolutePath);
        if (!offer.catalog->stillInside(*file)) {
            logError(QStringLiteral("%1: %2 no longer lies inside the release; not served").arg(peerName, file->absolutePath));
            sendError(QStringLiteral("file not available: %1/%2").arg(file->path, file->name));
            continue;
        }
        if (!transfer->handle->open(QIODevice::ReadOnly)) {
            logError(QStringLiteral("%1: cannot open %2: %3")
                         .arg(peerName, file->absolutePath, transfer->handle->errorString())
                         );
            sendError(QStringLiteral("file not available: %1/%2").arg(file->path, file->name));
            continue;
        }
        // The size of what was opened, not what the catalogue remembers: a
        // file that changed since is sent as it is now, whole and consistent
        // with its totalSize, and the client's checksum tells the difference.
        transfer->size = transfer->handle->size();
        if (transfer->size > kMaxServedSize) {
            logError(QStringLiteral("%1: %2 has grown beyond 4 GiB - 1; not served").arg(peerName, file->absolutePath));
            sendError(QStringLiteral("file not available: %1/%2").arg(file->path, file->name));
            continue;
        }
        // A start beyond the end (the file changed since the client's first
        // transfer) sends it whole; the first chunk's offset says which.
        if (request.startAt <= transfer->size && transfer->handle->seek(request.startAt))
            transfer->offset = request.startAt;
        current = std::move(transfer);
        return true;
    }
    return false;
}

void ServiceSession::onBytesWritten()
{
    pump();
    checkOutput();
}

void ServiceSession::pump()
{
    while (!closing && socket->bytesToWrite() < streamingHighWater()) {
        if (!current && !startNextTransfer())
            return;
        const ReleaseFile &file = *current->file;
        const qint64 remaining = current->size - current->offset;
        const qint64 wanted = qMin<qint64>(remaining, offer.chunkSize);
        const QByteArray chunk = current->handle->read(wanted);
        if (chunk.size() != wanted) {
            // The file shrank or became unreadable while it was being served.
            logError(QStringLiteral("%1: read error on %2 at offset %3: %4")
                         .arg(peerName, file.absolutePath)
                         .arg(current->offset)
                         .arg(current->handle->errorString())
                         );
            current.reset();
            sendError(QStringLiteral("read error: %1/%2").arg(file.path, file.name));
            continue;
        }
        const bool isLast = current->offset + chunk.size() >= current->size;
        // auxValue carries the chunk's offset in the file: a continued
        // transfer's first chunk tells the client where it starts.
        const QByteArray header = TcpMessages::buildFileDataHeader(
            file.path, file.name, static_cast<quint32>(current->size), static_cast<quint32>(chunk.size()), isLast,
            static_cast<quint32>(current->offset));
        socket->write(buildHeader(FileData, static_cast<quint32>(header.size() + chunk.size()), offer.projectType));
        socket->write(header);
        socket->write(chunk);
        current->offset += chunk.size();
        ++current->chunks;
        if (isLast) {
            info(QStringLiteral("%1: sent %2/%3 (%4 bytes in %5 chunks)")
                     .arg(peerName, file.path, file.name)
                     .arg(current->size)
                     .arg(current->chunks));
            current.reset();
        }
    }
}

void ServiceSession::sendError(const QString &reason)
{
    send(ErrorReply, reason.toUtf8());
}

void ServiceSession::send(quint32 type, const QByteArray &body)
{
    socket->write(buildPacket(type, body, offer.projectType));
}

void ServiceSession::closeConnection(const QString &reason)
{
    logWarn(QStringLiteral("%1: closing connection: %2").arg(peerName, reason));
    closing = true;
    idleTimer->stop();
    stuckTimer->stop();
    requestTimer->stop();
    pending.clear();
    current.reset();
    socket->abort();
}

void ServiceSession::onDisconnected()
{
    info(QStringLiteral("client disconnected: %1").arg(peerName));
    closing = true;
    idleTimer->stop();
    stuckTimer->stop();
    requestTimer->stop();
    pending.clear();
    current.reset();
    emit finished();
}
