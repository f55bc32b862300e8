#pragma once

#include "fileops/streamhasher.h"

#include <QFile>
#include <QString>

/// The local file that a download is streamed into as its bytes arrive.
///
/// Nothing is held in memory beyond the toolkit's write buffer, so a file of
/// any size costs the same. Every step reports failure by returning false
/// with `errorString()` set to the toolkit's error text; `discard()` removes
/// an unfinished file, so a failed transfer leaves no partial file.
class CDownloadFile
{
public:
    /// Creates the missing parent directories of @p path and opens it for
    /// writing, truncating an existing file; the bytes are hashed with
    /// @p algorithm as they are written.
    bool open(const QString &path, Digest::Algorithm algorithm = Digest::Algorithm::Md5);
    /// Opens the partial file at @p path to continue it: its first @p offset
    /// bytes are kept and hashed (they count as written), anything after them
    /// is cut off. False when the file is shorter or cannot be read and
    /// written; nothing is removed then.
    bool resume(const QString &path, Digest::Algorithm algorithm, qint64 offset);
    /// Empties the open file and its digest, for a body that starts again
    /// from the first byte.
    bool restart();
    /// Appends @p data. False when not every byte could be written.
    bool append(const QByteArray &data);
    /// Flushes and closes the file. False (and the file removed) when the
    /// data did not reach it.
    bool finish();
    /// Closes and deletes a file that is still open (a transfer that did not
    /// finish); does nothing after `finish()`.
    void discard();

    bool isOpen() const { return file.isOpen(); }
    /// Digest of the bytes appended since `open` (raw); computed as they are
    /// written, so the stored file is never read back.
    QByteArray digest() { return hash.result(); }
    /// Bytes the file holds: those kept by `resume` and those appended.
    qint64 written() const { return bytes; }
    QString path() const { return file.fileName(); }
    QString errorString() const { return error; }
    /// True when `open` failed because the directory could not be created.
    bool directoryFailed() const { return dirFailed; }

private:
    /// Forgets the previous file and starts counting and hashing afresh.
    void startOver(const QString &path, Digest::Algorithm algorithm);

    QFile file;
    StreamHasher hash;
    Digest::Algorithm kind = Digest::Algorithm::Md5;
    QString error;
    qint64 bytes = 0;
    bool dirFailed = false;
};
