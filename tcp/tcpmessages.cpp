#include "tcp/tcpmessages.h"

#include "tcp/tcpprotocol.h"

#include <cstring>

using namespace TcpProtocol;

// Every layout is filled in a zeroed local array of its exact size and copied
// into the result once, so reserved bytes and padding of text fields are zero.

namespace TcpMessages {

QByteArray buildHeartbeat(qint64 msecsSinceEpoch)
{
    char body[kHeartbeatSize] = {};
    putInt64(body, msecsSinceEpoch);
    return QByteArray(body, kHeartbeatSize);
}

QByteArray buildVersionCheck(const VersionCheckRequest &request)
{
    char p[kVersionCheckSize] = {};
    writeTextField(p, kVersionFieldWidth, request.version);
    const QString clientId = request.clientId.isEmpty() ? QStringLiteral("Zentrovian") : request.clientId;
    writeTextField(p + 32, kClientIdFieldWidth, clientId);
    putUInt32(p + 64, static_cast<quint32>(request.projectType));
    return QByteArray(p, kVersionCheckSize);
}

bool parseVersionCheck(const QByteArray &body, VersionCheckRequest *request)
{
    if (body.size() < kVersionCheckSize)
        return false;
    const char *p = body.constData();
    request->version = readTextField(p, kVersionFieldWidth);
    request->clientId = readTextField(p + 32, kClientIdFieldWidth);
    request->projectType = static_cast<qint32>(getUInt32(p + 64));
    return true;
}

QByteArray buildFileDownload(const QString &path, const QString &name, quint32 startAt)
{
    char body[kFileDownloadSize] = {};
    writeTextField(body, kPathFieldWidth, path);
    writeTextField(body + kPathFieldWidth, kNameFieldWidth, name);
    if (startAt > 0) {
        std::memcpy(body + kStartMarkerOffset, kPipelineMarker, 4);
        putUInt32(body + kStartOffsetOffset, startAt);
    }
    return QByteArray(body, kFileDownloadSize);
}

bool parseFileDownload(const QByteArray &body, FileItem *item, quint32 *startAt)
{
    if (body.size() < kFileDownloadSize)
        return false;
    item->path = readTextField(body.constData(), kPathFieldWidth);
    item->name = readTextField(body.constData() + kPathFieldWidth, kNameFieldWidth);
    if (startAt) {
        const char *p = body.constData();
        *startAt = std::memcmp(p + kStartMarkerOffset, kPipelineMarker, 4) == 0 ? getUInt32(p + kStartOffsetOffset) : 0;
    }
    return true;
}

RemoteFileEntry makeRemoteFileEntry(const QString &path, const QString &name, const QByteArray &md5)
{
    char record[kRemoteFileEntrySize] = {};
    writeTextField(record, kPathFieldWidth, path);
    writeTextField(record + kPathFieldWidth, kNameFieldWidth, name);
    if (md5.size() == kChecksumSize) {
        std::memcpy(record + kChecksumOffset, md5.constData(), kChecksumSize);
        std::memcpy(record + kChecksumMarkerOffset, kChecksumMarker, 4);
    }
    RemoteFileEntry entry;
    entry.raw = QByteArray(record, kRemoteFileEntrySize);
    return entry;
}

QByteArray buildVersionReply(bool hasUpdate, const QString &version, qint32 projectType,
                             const QVector<RemoteFileEntry> &files, int pipelineDepth, quint32 offerFlags)
{
    char p[kVersionReplyHeaderSize] = {};
    p[0] = hasUpdate ? 1 : 0;
    writeTextField(p + 1, kVersionFieldWidth, version);
    putUInt32(p + 33, static_cast<quint32>(projectType));
    if (pipelineDepth > 1 || offerFlags != 0) {
        std::memcpy(p + kPipelineMarkerOffset, kPipelineMarker, 4);
        putUInt32(p + kPipelineDepthOffset, static_cast<quint32>(qMax(1, pipelineDepth)));
        putUInt32(p + kOfferFlagsOffset, offerFlags);
    }
    putUInt32(p + 53, static_cast<quint32>(files.size()));
    QByteArray body(p, kVersionReplyHeaderSize);
    body.reserve(kVersionReplyHeaderSize + files.size() * kRemoteFileEntrySize);
    for (const RemoteFileEntry &entry : files) {
        // Entries are fixed-size records: pad or cut whatever the caller made.
        QByteArray record = entry.raw.left(kRemoteFileEntrySize);
        record.append(QByteArray(kRemoteFileEntrySize - record.size(), '\0'));
        body += record;
    }
    return body;
}

bool parseVersionReply(const QByteArray &body, VersionInfo *info)
{
    *info = VersionInfo();
    if (body.size() < kVersionReplyHeaderSize)
        return false;
    const char *p = body.constData();
    const quint32 count = getUInt32(p + 53);
    // 64-bit arithmetic: a hostile count times 180 must not wrap around.
    const qint64 needed = kVersionReplyHeaderSize + qint64(count) * kRemoteFileEntrySize;
    if (needed > body.size())
        return false;

    VersionInfo parsed;
    parsed.hasUpdate = p[0] != 0;
    parsed.version = readTextField(p + 1, kVersionFieldWidth);
    parsed.projectName = projectName(static_cast<qint32>(getUInt32(p + 33)));
    if (std::memcmp(p + kPipelineMarkerOffset, kPipelineMarker, 4) == 0) {
        const quint32 depth = getUInt32(p + kPipelineDepthOffset);
        parsed.pipelineDepth = static_cast<int>(qBound<quint32>(1, depth, kMaxPipelineDepth));
        parsed.startOffsets = (getUInt32(p + kOfferFlagsOffset) & kOfferStartOffsets) != 0;
    }
    parsed.files.reserve(static_cast<int>(count));
    for (quint32 i = 0; i < count; ++i) {
        RemoteFileEntry entry;
        entry.raw = body.mid(kVersionReplyHeaderSize + static_cast<int>(i) * kRemoteFileEntrySize,
                             kRemoteFileEntrySize);
        parsed.files.append(entry);
    }
    *info = parsed;
    return true;
}

QByteArray buildFileDataHeader(const QString &filePath, const QString &fileName, quint32 totalSize,
                               quint32 chunkSize, bool isLast, quint32 auxValue)
{
    char p[kFileDataHeaderSize] = {};
    writeTextField(p, kPathFieldWidth, filePath);
    writeTextField(p + 128, kNameFieldWidth, fileName);
    putUInt32(p + 160, totalSize);
    putUInt32(p + 164, chunkSize);
    p[168] = isLast ? 1 : 0;
    putUInt32(p + 169, auxValue);
    return QByteArray(p, kFileDataHeaderSize);
}

QByteArray buildFileData(const QString &filePath, const QString &fileName, quint32 totalSize,
                         bool isLast, quint32 auxValue, const QByteArray &chunk)
{
    QByteArray body = buildFileDataHeader(filePath, fileName, totalSize, static_cast<quint32>(chunk.size()),
                                          isLast, auxValue);
    body += chunk;
    return body;
}

bool parseFileData(const QByteArray &body, FileDataChunk *chunk, bool shareBody)
{
    if (body.size() < kFileDataHeaderSize)
        return false;
    const char *p = body.constData();
    chunk->filePath = readTextField(p, kPathFieldWidth);
    chunk->fileName = readTextField(p + 128, kNameFieldWidth);
    chunk->totalSize = getUInt32(p + 160);
    chunk->chunkSize = getUInt32(p + 164);
    chunk->isLast = p[168] != 0;
    chunk->auxValue = getUInt32(p + 169);
    const int size = body.size() - kFileDataHeaderSize;
    chunk->data = shareBody ? QByteArray::fromRawData(p + kFileDataHeaderSize, size) : body.mid(kFileDataHeaderSize);
    return true;
}

} // namespace TcpMessages
