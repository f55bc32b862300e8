#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QVector>
#include <QtGlobal>

/// One file entry of a version reply, kept as the raw 180-byte record in
/// which the service sent it (reserved bytes included).
struct RemoteFileEntry
{
    /// The record as received: exactly 180 bytes.
    QByteArray raw;

    /// The directory text of the record (bytes up to the first NUL of the path field).
    QString path() const;
    /// The file name of the record (bytes up to the first NUL of the name field).
    QString name() const;
    /// The 16 raw MD5 bytes of the file's checksum tag, or empty when the
    /// record carries no tag (a service that does not send checksums).
    QByteArray md5Tag() const;
};

/// A parsed version reply. The default value (no update, empty texts, no
/// files) stands for a missing or unusable reply.
struct VersionInfo
{
    bool hasUpdate = false;
    QString version;
    QString projectName;
    QVector<RemoteFileEntry> files;
    /// Download requests the service answers in order ahead of the current
    /// one (1 to kMaxPipelineDepth); 1 for a service that offers nothing.
    int pipelineDepth = 1;
    /// The service serves a file from a requested start offset.
    bool startOffsets = false;
};

/// What the client tells the service in a version check.
struct VersionCheckRequest
{
    QString version;
    /// An empty identifier is sent as "Zentrovian".
    QString clientId;
    qint32 projectType = 1;
};

/// One parsed file data message: the header fields and the chunk bytes.
struct FileDataChunk
{
    QString filePath;
    QString fileName;
    quint32 totalSize = 0;
    quint32 chunkSize = 0;
    bool isLast = false;
    quint32 auxValue = 0;
    QByteArray data;
};

/// One file to fetch: the path and name of a remote file entry, and the
/// MD5 its entry announced (16 raw bytes; empty when the entry has no tag).
/// For a signed release the SHA-256 and size of its signed description
/// replace the MD5; maxSize bounds a file whose size is not known ahead.
struct FileItem
{
    QString path;
    QString name;
    QByteArray md5 = QByteArray();
    QByteArray sha256 = QByteArray();
    qint64 size = -1;
    qint64 maxSize = -1;
    /// Bytes of the file already in the temporary area, from an interrupted
    /// run, to be continued rather than fetched again (0: the whole file).
    qint64 resumeFrom = 0;

    /// "dir/sub/name": the path relative to the release, empty segments dropped.
    QString releasePath() const;
};

Q_DECLARE_METATYPE(VersionInfo)
