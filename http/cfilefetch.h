#pragma once

#include "http/cdownloadfile.h"
#include "http/downloadentry.h"

#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QTimer>

class QNetworkAccessManager;

/// One release file on its way into the temporary area: the request, the
/// body streamed to disk within its size bound, and the check of the stored
/// file against its signed SHA-256 and size or its manifest MD5.
///
/// A started fetch that is not abandoned ends exactly once with `finished()`:
/// stored, or failed with `detail()` (also logged), the short user text
/// `cause()` and the name of the file (`failedName()`). A failed or abandoned
/// fetch leaves no partial file behind.
///
/// An entry with a validator continues the partial file an interrupted run
/// left: the request asks for the rest (`Range`), on condition that the file
/// is unchanged (`If-Range`). A server that sends the whole file instead is
/// taken as such; one that cannot serve the range is asked for the whole
/// file. Either way the stored file is checked whole.
class CFileFetch : public QObject
{
    Q_OBJECT

public:
    struct Limits
    {
        /// Largest body accepted when the entry carries no signed size and
        /// the server announces no length.
        qint64 maxFileBytes;
        /// Time without received data after which a watched fetch fails.
        int stallTimeoutMs;
        /// Lets the toolkit send the request on a connection that still
        /// carries earlier ones.
        bool pipelining;
    };

    /// Files from this size on are worth continuing after an interruption.
    static constexpr qint64 kResumableBytes = 1024 * 1024;

    CFileFetch(const DownloadEntry &entry, const Limits &limits, QObject *parent = nullptr);
    /// Abandons a fetch that is still running.
    ~CFileFetch() override;

    /// Opens the local file (making its directories) and sends the request.
    /// False when the file cannot be opened: the fetch has failed then, and
    /// `finished()` is not emitted.
    bool start(QNetworkAccessManager &manager);
    /// While watched, `stallTimeoutMs` without data fails the fetch as timed
    /// out. Only a transfer that nothing of this update can hold up is
    /// watched: a request may wait on its connection behind an earlier one.
    void setWatched(bool watched);
    /// Aborts the transfer because the user cancelled; the fetch fails with
    /// the toolkit's cancellation text (not taken for a time-out).
    void cancel();
    /// Stops the transfer and removes the partial file, without a signal.
    void abandon();

    bool isRunning() const { return state == State::Running; }
    bool isStored() const { return state == State::Stored; }
    /// Percentage of the announced body received so far; 0 when unknown.
    int percent() const { return lastPercent; }
    QString detail() const { return detailText; }
    QString cause() const { return causeText; }
    QString failedName() const { return failedFile; }

    /// The transfer has finished (also reached through the dialog's slot).
    void onFinished();
    /// The transfer reported @p error (also reached through the dialog's slot).
    void onError(QNetworkReply::NetworkError error);

signals:
    void progress(qint64 bytesReceived, qint64 bytesTotal);
    void finished();
    /// A large file is on its way whole; @p validator identifies it for
    /// continuing it after an interruption.
    void resumable(const QString &validator);

private:
    enum class State { Idle, Running, Stored, Failed };

    void sendRequest();
    void onHeaders();
    void restartWhole(const QString &why);
    void onReadyRead();
    void onProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onStalled();
    bool failIfOverLimit();
    void fail(const QString &detail, const QString &cause, const QString &reason);
    void releaseReply(bool abortTransfer);
    QString nameInRequest() const;

    DownloadEntry target;
    Limits limits;
    CDownloadFile file;
    QNetworkReply *reply = nullptr;
    QNetworkAccessManager *network = nullptr;
    // Bytes of an interrupted run's file that this transfer continues; 0
    // once the server sends the whole file.
    qint64 resumedFrom = 0;
    bool headersSeen = false;
    QTimer stallTimer;
    State state = State::Idle;
    bool watched = false;
    bool cancelling = false;
    int lastPercent = 0;
    QString detailText;
    QString causeText;
    QString failedFile;
};
