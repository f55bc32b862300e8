#pragma once

#include "fileops/streamhasher.h"
#include "tcp/versioninfo.h"

#include <QSet>
#include <QString>

class CFileWriter;

/// Follows the file transfer in progress and hands its chunks to the file
/// writer. It holds no socket and emits nothing: it returns what happened,
/// and the protocol client turns that into log lines and signals.
///
/// Rules: data is taken only for the one file that expect() named, and only
/// until its last chunk; anything else (another file, data after the last
/// chunk, data while nothing is awaited) is Unexpected, a protocol error. The
/// first chunk of the awaited file truncates it (so a retry never keeps bytes
/// of an earlier attempt); a file completed in this run is never begun again;
/// a path or name that is not a safe relative path is refused; more bytes
/// than the announced total, or a last chunk that leaves the file short, fail
/// the transfer. When the awaited file carries a SHA-256 (signed) or an MD5,
/// the bytes are hashed as they are written and a different digest fails
/// the transfer; a signed size other than the announced total, or a total
/// above the item's maxSize, fails it before anything is written. An item
/// with resumeFrom continues the file in the temporary area when the first
/// chunk starts at that offset (its auxValue), and starts it afresh when
/// the service sends it from offset 0; any other start is Unexpected.
class FileReceiver
{
public:
    /// Why a chunk failed.
    enum class Failure {
        None,
        WriteFailed, ///< the writer refused the bytes; the transfer goes on
        UnsafePath,  ///< hostile path or name; nothing was written
        Overflow,    ///< more bytes than the announced total
        Incomplete,  ///< the last chunk left the file short (or a write had failed)
        Unexpected,  ///< data for a file that is not awaited; nothing was written
        ChecksumMismatch, ///< every byte arrived but the MD5 differs
    };

    /// What one chunk did.
    struct Outcome
    {
        bool started = false;   ///< a new transfer began with this chunk
        bool written = false;   ///< the chunk's bytes were written
        bool completed = false; ///< the file is complete
        bool verified = false;  ///< completed and its MD5 matched the announced one
        Failure failure = Failure::None;
        QString errorText;      ///< set with a failure; names the file
        QString filePath;       ///< the transfer's path (as the first chunk named it)
        QString fileName;       ///< the transfer's name
        quint32 received = 0;   ///< bytes of the file written so far
        quint32 total = 0;      ///< announced size of the file
        int percent = 0;        ///< received × 100 / total, 0 for an empty file
        /// The failure ends the transfer (everything but WriteFailed).
        bool endsTransfer() const { return failure != Failure::None && failure != Failure::WriteFailed; }
    };

    /// A receiver writing through @p writer (nullptr: the process-wide writer).
    explicit FileReceiver(CFileWriter *writer = nullptr);

    /// Replaces the writer; nullptr selects the process-wide one.
    void setWriter(CFileWriter *writer);

    /// Awaits @p item: its chunks are taken from now on, starting a fresh
    /// file. False (and nothing awaited) when @p item was already completed
    /// since the last forgetCompleted().
    bool expect(const FileItem &item);
    /// Stops awaiting anything; a transfer in progress is abandoned.
    void stopExpecting();
    /// True while a file is awaited (its last chunk has not been taken).
    bool isExpecting() const { return expecting; }
    /// Forgets which files were completed (at the start of a new run).
    void forgetCompleted();

    /// Processes one chunk. The outcome describes the transfer after it; a
    /// completed or failed transfer is forgotten before this returns, and
    /// nothing is awaited any more.
    Outcome receive(const FileDataChunk &chunk);
    /// Forgets the current transfer; the awaited file starts afresh with its
    /// next chunk.
    void reset();

    QString currentPath() const { return path; }
    QString currentName() const { return name; }
    quint32 currentTotal() const { return total; }
    /// Bytes of the current transfer written so far.
    quint32 currentReceived() const { return received; }
    /// received × 100 / total in 64-bit arithmetic; 0 when the total is 0.
    int percent() const;

private:
    CFileWriter &fileWriter() const;
    /// The signed SHA-256 when the awaited file has one, else its MD5 tag.
    const QByteArray &expectedDigest() const { return awaited.sha256.isEmpty() ? awaited.md5 : awaited.sha256; }
    bool begin(const FileDataChunk &chunk, Outcome *outcome);
    bool resume(quint32 startAt, Outcome *outcome);
    void fail(Outcome *outcome, Failure failure, const QString &text);
    Outcome &snapshot(Outcome &outcome) const;

    CFileWriter *writer;
    FileItem awaited;
    bool expecting = false;
    QSet<QString> completedFiles;
    StreamHasher hash;
    QString path;
    QString name;
    quint32 total = 0;
    quint32 received = 0;
    qint64 seen = 0;
    bool writeFailed = false;
};
