#pragma once

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>

/// How the HTTP update reads the outcome of a reply.
namespace HttpReplyStatus {

/// Time without received data after which a transfer ends.
inline constexpr int kTransferTimeoutMs = 120000;

/// Bytes a reply may hold before the toolkit stops reading from the
/// network. Without a limit the network thread keeps receiving while the
/// GUI thread is busy, and a large file piles up in memory.
inline constexpr qint64 kReadBufferBytes = 1024 * 1024;

/// Largest release file accepted, the limit of the TCP transport
/// (4 GiB - 1): a server that announces no length cannot fill the disk.
inline constexpr qint64 kMaxFileBytes = 0xFFFFFFFFLL;

/// The GET request of every HTTP download: the transfer time-out, and
/// "Accept-Encoding: identity". The bytes are compared with the manifest as
/// they are, so the toolkit must not unpack a .gz file that a server labels
/// as gzip-encoded (it unpacks only when it chose the encodings itself).
QNetworkRequest request(const QString &url, int timeoutMs);

/// The body length that @p reply announced (Content-Length), or -1.
qint64 announcedLength(const QNetworkReply *reply);

/// True when @p code means that the transfer time-out ended the reply. The
/// toolkit (5.15) ends a timed-out transfer by aborting it, which reports
/// OperationCanceledError, so a cancellation that the program did not ask
/// for (@p abortedByProgram false) is a time-out too.
bool isTimeout(QNetworkReply::NetworkError code, bool abortedByProgram);

/// The text of a failed check download: "下载超时（<s>秒）：" + url for a
/// time-out, "下载被取消：" + url for a cancellation the program asked for,
/// otherwise "下载错误：" + @p errorString + "（file：" + @p localPath + "）".
QString checkDownloadErrorText(QNetworkReply::NetworkError code, bool abortedByProgram, const QString &errorString,
                               const QString &url, const QString &localPath, int timeoutMs);

/// "下载超时（<s>秒）" with the time-out in whole seconds.
QString timeoutText(int timeoutMs);

/// Empty when @p reply carries no HTTP status or a 2xx one; otherwise
/// "HTTP <code> <reason>". Redirects are not followed, so a 3xx answer has
/// finished without an error although its body is not the file.
QString statusProblem(const QNetworkReply *reply);

/// The first byte that a `Content-Range` value ("bytes 100-199/200")
/// covers, or -1 when @p contentRange is not a byte range of that form.
qint64 rangeStart(const QByteArray &contentRange);
/// What identifies the file of a reply for a later `If-Range`: a strong
/// @p etag, else @p lastModified; empty when neither will do (a weak ETag
/// cannot serve a range, and a value with a line break or more than 200
/// characters is not used).
QString resumeValidator(const QByteArray &etag, const QByteArray &lastModified);
} // namespace HttpReplyStatus
