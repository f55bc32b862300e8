#include "servicesession.h"

#include "log/logger.h"
#include "releasecatalog.h"
#include "tcp/tcpmessages.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>

using namespace TcpProtocol;

namespace {

// Requests are a few hundred bytes; anything longer is not a client of ours.
constexpr quint32 kMaxRequestBody = 4096;
// A client may queue a few requests ahead, not an unbounded number.
constexpr int kMaxPendingDownloads = 64;
// Keep this many bytes queued in the socket: enough to keep loopback busy,
// little enough that memory does not follow the file size.
constexpr qint64 kMinHighWater = 1024 * 1024;

void info(const QString &text)
{
    logInfo(text.toStdString());
}

} // namespace

ServiceSession::ServiceSession(QTcpSocket *clientSocket, const ReleaseOffer &releaseOffer, QObject *parent)
    : QObject(parent)
    , socket(clientSocket)
    , offer(releaseOffer)
    , assembler(kMaxRequestBody)
{
    socket->setParent(this);
    peerName = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
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
    assembler.append(socket->readAll());
    for (;;) {
        Packet packet;
        switch (assembler.next(&packet)) {
        case PacketAssembler::Result::NeedMore:
            return;
        case PacketAssembler::Result::BadMagic:
            closeConnection(QStringLiteral("bad magic"));
            return;
        case PacketAssembler::Result::TooLong:
            closeConnection(QStringLiteral("request body of %1 bytes is too long").arg(assembler.refusedLength()));
            return;
        case PacketAssembler::Result::Message:
            handle(packet);
            if (closing)
                return;
            break;
        }
    }
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
    if (hasUpdate) {
        files.reserve(offer.catalog->files().size());
        for (const ReleaseFile &file : offer.catalog->files())
            files.append(TcpMessages::makeRemoteFileEntry(file.path, file.name));
    }
    info(QStringLiteral("%1: version check from %2 (project %3, client %4): %5, %6 files")
             .arg(peerName, request.version)
             .arg(request.projectType)
             .arg(request.clientId)
             .arg(hasUpdate ? QStringLiteral("update to %1").arg(offer.version)
                            : (sameProject ? QStringLiteral("up to date") : QStringLiteral("other project")))
             .arg(files.size()));
    send(VersionReply, TcpMessages::buildVersionReply(hasUpdate, offer.version, offer.projectType, files));
}

void ServiceSession::queueDownload(const QByteArray &body)
{
    FileItem item;
    if (!TcpMessages::parseFileDownload(body, &item)) {
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
                    .toStdString());
        sendError(QStringLiteral("file not found: %1/%2").arg(item.path, item.name));
        return;
    }
    if (pending.size() >= kMaxPendingDownloads) {
        closeConnection(QStringLiteral("too many queued download requests"));
        return;
    }
    info(QStringLiteral("%1: download request %2/%3 (%4 bytes)").arg(peerName, file->path, file->name).arg(file->size));
    pending.enqueue(file);
    if (!current)
        pump();
}

bool ServiceSession::startNextTransfer()
{
    while (!pending.isEmpty()) {
        const ReleaseFile *file = pending.dequeue();
        auto transfer = std::make_unique<Transfer>();
        transfer->file = file;
        transfer->handle = std::make_unique<QFile>(file->absolutePath);
        if (!offer.catalog->stillInside(*file)) {
            logError(QStringLiteral("%1: %2 no longer lies inside the release; not served").arg(peerName, file->absolutePath).toStdString());
            sendError(QStringLiteral("file not available: %1/%2").arg(file->path, file->name));
            continue;
        }
        if (!transfer->handle->open(QIODevice::ReadOnly)) {
            logError(QStringLiteral("%1: cannot open %2: %3")
                         .arg(peerName, file->absolutePath, transfer->handle->errorString())
                         .toStdString());
            sendError(QStringLiteral("file not available: %1/%2").arg(file->path, file->name));
            continue;
        }
        current = std::move(transfer);
        return true;
    }
    return false;
}

void ServiceSession::onBytesWritten()
{
    pump();
}

void ServiceSession::pump()
{
    const qint64 highWater = qMax<qint64>(kMinHighWater, 4 * qint64(offer.chunkSize));
    while (!closing && socket->bytesToWrite() < highWater) {
        if (!current && !startNextTransfer())
            return;
        const ReleaseFile &file = *current->file;
        const qint64 remaining = file.size - current->offset;
        const qint64 wanted = qMin<qint64>(remaining, offer.chunkSize);
        const QByteArray chunk = current->handle->read(wanted);
        if (chunk.size() != wanted) {
            // The file shrank or became unreadable while it was being served.
            logError(QStringLiteral("%1: read error on %2 at offset %3: %4")
                         .arg(peerName, file.absolutePath)
                         .arg(current->offset)
                         .arg(current->handle->errorString())
                         .toStdString());
            current.reset();
            sendError(QStringLiteral("read error: %1/%2").arg(file.path, file.name));
            continue;
        }
        const bool isLast = current->offset + chunk.size() >= file.size;
        // auxValue carries the chunk's offset in the file, for diagnostics.
        const QByteArray header = TcpMessages::buildFileDataHeader(
            file.path, file.name, static_cast<quint32>(file.size), static_cast<quint32>(chunk.size()), isLast,
            static_cast<quint32>(current->offset));
        socket->write(buildHeader(FileData, static_cast<quint32>(header.size() + chunk.size()), offer.projectType));
        socket->write(header);
        socket->write(chunk);
        current->offset += chunk.size();
        ++current->chunks;
        if (isLast) {
            info(QStringLiteral("%1: sent %2/%3 (%4 bytes in %5 chunks)")
                     .arg(peerName, file.path, file.name)
                     .arg(file.size)
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
    logWarn(QStringLiteral("%1: closing connection: %2").arg(peerName, reason).toStdString());
    closing = true;
    pending.clear();
    current.reset();
    socket->abort();
}

void ServiceSession::onDisconnected()
{
    info(QStringLiteral("client disconnected: %1").arg(peerName));
    closing = true;
    pending.clear();
    current.reset();
    emit finished();
}
