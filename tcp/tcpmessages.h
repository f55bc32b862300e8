#pragma once

#include "tcp/versioninfo.h"

#include <QByteArray>
#include <QString>
#include <QVector>

/// Builders and parsers of the message bodies. Pure byte work: no sockets,
/// no files, so that every layout can be checked directly. Parsers never
/// read past the body they are given and report unusable bodies as false.
namespace TcpMessages {

/// Heartbeat body: @p msecsSinceEpoch as 8 little-endian bytes.
QByteArray buildHeartbeat(qint64 msecsSinceEpoch);

/// VersionCheck body (84 bytes); an empty client id is sent as "Zentrovian".
QByteArray buildVersionCheck(const VersionCheckRequest &request);
/// Reads a VersionCheck body; false when it is shorter than 84 bytes.
bool parseVersionCheck(const QByteArray &body, VersionCheckRequest *request);

/// FileDownload body (176 bytes) asking for @p path / @p name.
/// A @p startAt above 0 asks for the file from that offset on (only for a
/// service that offers it).
QByteArray buildFileDownload(const QString &path, const QString &name, quint32 startAt = 0);
/// Reads a FileDownload body; false when it is shorter than 176 bytes.
/// @p startAt, when given, receives the requested start offset (0 without one).
bool parseFileDownload(const QByteArray &body, FileItem *item, quint32 *startAt = nullptr);

/// A raw 180-byte file entry holding @p path and @p name. With a 16-byte
/// @p md5 the reserved bytes carry the checksum tag; otherwise they are zero.
RemoteFileEntry makeRemoteFileEntry(const QString &path, const QString &name, const QByteArray &md5 = QByteArray());

/// VersionReply body: the 57-byte header followed by the raw entries. A
/// @p pipelineDepth above 1 is offered in the header's reserved bytes.
QByteArray buildVersionReply(bool hasUpdate, const QString &version, qint32 projectType,
                             const QVector<RemoteFileEntry> &files, int pipelineDepth = 1,
                             quint32 offerFlags = 0);
/// Parses a VersionReply body into @p info. A body shorter than 57 bytes, or
/// one whose file count announces more records than it holds, is unusable:
/// @p info is then the default value and the result is false (a partial
/// file list is never delivered). An offered pipeline depth is cut to
/// 1 … kMaxPipelineDepth.
bool parseVersionReply(const QByteArray &body, VersionInfo *info);

/// The 173-byte header of a FileData body announcing @p chunkSize chunk bytes.
QByteArray buildFileDataHeader(const QString &filePath, const QString &fileName, quint32 totalSize,
                               quint32 chunkSize, bool isLast, quint32 auxValue);
/// FileData body: the 173-byte header followed by @p chunk; `chunkSize` is
/// the chunk's length.
QByteArray buildFileData(const QString &filePath, const QString &fileName, quint32 totalSize,
                         bool isLast, quint32 auxValue, const QByteArray &chunk);
/// Parses a FileData body; false (and @p chunk untouched) when it is shorter
/// than its 173-byte header. With @p shareBody the chunk's data refers to
/// the bytes of @p body instead of copying them, so it is valid only while
/// @p body lives unchanged.
bool parseFileData(const QByteArray &body, FileDataChunk *chunk, bool shareBody = false);

} // namespace TcpMessages
