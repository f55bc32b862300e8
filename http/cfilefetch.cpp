#include "http/cfilefetch.h"

#include "http/downloadcompletion.h"
#include "http/httperrortext.h"
#include "http/httpreplystatus.h"
#include "log/logger.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrl>

CFileFetch::CFileFetch(const DownloadEntry &entry, const Limits &fetchLimits, QObject *parent)
    : QObject(parent)
    , target(entry)
    , limits(fetchLimits)
{
    stallTimer.setSingleShot(true);
    connect(&stallTimer, &QTimer::timeout, this, &CFileFetch::onStalled);
}

CFileFetch::~CFileFetch()
{
    abandon();
}

bool CFileFetch::start(QNetworkAccessManager &manager)
{
    network = &manager;
    const Digest::Algorithm algorithm = target.sha256.isEmpty() ? Digest::Algorithm::Md5 : Digest::Algorithm::Sha256;
    // The body is streamed into the file as it arrives, so the file is
    // opened (and its directories made) before the request goes out; the
    // part an interrupted run left is hashed now and continued.
    resumedFrom = 0;
    if (!target.validator.isEmpty()) {
        const qint64 have = QFileInfo(target.localPath).size();
        if (file.resume(target.localPath, algorithm, have))
            resumedFrom = have;
        else
            target.validator.clear();
    }
    if (resumedFrom == 0 && !file.open(target.localPath, algorithm)) {
        state = State::Failed;
        detailText = QStringLiteral("无法保存文件:") + target.localPath;
        failedFile = QFileInfo(target.localPath).fileName();
        causeText = HttpErrorText::saveCause();
        logError(detailText + QStringLiteral(" ") + file.errorString());
        return false;
    }
    state = State::Running;
    sendRequest();
    return true;
}

void CFileFetch::sendRequest()
{
    // No time-out of the toolkit's: its clock starts when the request is
    // queued, and a request may wait behind a large file on its connection.
    // The stall timer watches the transfer instead.
    QNetworkRequest request = HttpReplyStatus::request(target.url, 0);
    request.setAttribute(QNetworkRequest::HttpPipeliningAllowedAttribute, limits.pipelining);
    if (resumedFrom > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(resumedFrom) + '-');
        request.setRawHeader("If-Range", target.validator.toLatin1());
    }
    headersSeen = false;
    reply = network->get(request);
    reply->setReadBufferSize(HttpReplyStatus::kReadBufferBytes);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
        onHeaders();
        setWatched(watched);
    });
    connect(reply, &QNetworkReply::downloadProgress, this, &CFileFetch::onProgress);
    connect(reply, &QNetworkReply::finished, this, &CFileFetch::onFinished);
    connect(reply, &QNetworkReply::errorOccurred, this, &CFileFetch::onError);
    connect(reply, &QNetworkReply::readyRead, this, &CFileFetch::onReadyRead);
    setWatched(watched);
}

void CFileFetch::onHeaders()
{
    if (!isRunning() || headersSeen || !reply)
        return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return;
    headersSeen = true;
    const int code = status.toInt();
    if (resumedFrom > 0) {
        if (code == 206) {
            if (HttpReplyStatus::rangeStart(reply->rawHeader("Content-Range")) == resumedFrom) {
                logInfo(QStringLiteral("继续下载上次中断的文件，从第 %1 字节起:%2").arg(resumedFrom).arg(target.localPath));
                return;
            }
            restartWhole(QStringLiteral("服务器的续传范围不符，重新下载整个文件:"));
            return;
        }
        if (code == 416) {
            restartWhole(QStringLiteral("服务器无法续传，重新下载整个文件:"));
            return;
        }
        if (code < 200 || code >= 300)
            return; // an error answer fails the fetch as any other
        // The file changed on the server, or it serves no ranges: the whole
        // file follows.
        logInfo(QStringLiteral("服务器发送整个文件，从头下载:") + target.localPath);
        resumedFrom = 0;
        if (!file.restart()) {
            failedFile = QFileInfo(file.path()).fileName();
            fail(QStringLiteral("无法保存文件:") + file.path(), HttpErrorText::saveCause(), file.errorString());
            return;
        }
    }
    if (code != 200)
        return;
    const qint64 length = target.size >= 0 ? target.size : HttpReplyStatus::announcedLength(reply);
    if (length < kResumableBytes)
        return;
    const QString validator =
        HttpReplyStatus::resumeValidator(reply->rawHeader("ETag"), reply->rawHeader("Last-Modified"));
    if (!validator.isEmpty())
        emit resumable(validator);
}

void CFileFetch::restartWhole(const QString &why)
{
    logWarn(why + target.localPath);
    releaseReply(true);
    resumedFrom = 0;
    target.validator.clear();
    if (!file.restart()) {
        failedFile = QFileInfo(file.path()).fileName();
        fail(QStringLiteral("无法保存文件:") + file.path(), HttpErrorText::saveCause(), file.errorString());
        return;
    }
    sendRequest();
}

void CFileFetch::setWatched(bool watch)
{
    watched = watch;
    // Restarted on every sign of life, so the timer measures the time
    // without data.
    if (watched && isRunning() && limits.stallTimeoutMs > 0)
        stallTimer.start(limits.stallTimeoutMs);
    else
        stallTimer.stop();
}

QString CFileFetch::nameInRequest() const
{
    const QString name = QFileInfo(reply->request().url().path(QUrl::FullyDecoded)).fileName();
    return name.isEmpty() ? QStringLiteral("unknown_file") : name;
}

void CFileFetch::onReadyRead()
{
    // The headers may send a new request in place of this reply.
    const QNetworkReply *answered = reply;
    onHeaders();
    if (reply != answered || !isRunning() || failIfOverLimit())
        return;
    setWatched(watched);
    // Exactly what is buffered, in one allocation (readAll grows its result
    // in steps and copies it again).
    if (!file.append(reply->read(reply->bytesAvailable()))) {
        failedFile = QFileInfo(file.path()).fileName();
        fail(QStringLiteral("无法保存文件:") + file.path(), HttpErrorText::saveCause(), file.errorString());
    }
}

void CFileFetch::onProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (!isRunning())
        return;
    setWatched(watched);
    // The bar measures the whole file, the part kept from before included.
    if (bytesTotal > 0) {
        bytesReceived += resumedFrom;
        bytesTotal += resumedFrom;
        lastPercent = static_cast<int>(bytesReceived * 100 / bytesTotal);
    }
    emit progress(bytesReceived, bytesTotal);
}

bool CFileFetch::failIfOverLimit()
{
    // Counted before writing, so a server that sends without end is cut off
    // and the partial file removed: the bound is the announced length, or
    // the cap when there is none (an announced length above the cap is
    // refused before its first byte is stored). A signed size takes the
    // cap's place: a longer body is not the signed file, whatever the server
    // announces.
    // A continued file's announced length is that of the rest.
    const qint64 cap = target.size >= 0 ? target.size : limits.maxFileBytes;
    const qint64 announced = HttpReplyStatus::announcedLength(reply);
    const qint64 whole = announced >= 0 ? resumedFrom + announced : -1;
    const qint64 limit = whole >= 0 && whole <= cap ? whole : cap;
    if (whole <= cap && file.written() + reply->bytesAvailable() <= limit)
        return false;
    failedFile = QFileInfo(file.path()).fileName();
    fail(QStringLiteral("文件超过大小上限（%1字节）:").arg(limit) + file.path(), HttpErrorText::oversizeCause(),
         reply->request().url().toString());
    return true;
}

void CFileFetch::onFinished()
{
    // The headers may send a new request in place of this reply.
    const QNetworkReply *answered = reply;
    onHeaders();
    if (reply != answered || !isRunning() || failIfOverLimit())
        return;
    QNetworkReply *done = reply;
    reply = nullptr;
    stallTimer.stop();
    done->deleteLater();
    if (DownloadCompletion::store(done, file, target, &detailText, &causeText)) {
        state = State::Stored;
    } else {
        state = State::Failed;
        failedFile = QFileInfo(target.localPath).fileName();
    }
    emit finished();
}

void CFileFetch::onError(QNetworkReply::NetworkError error)
{
    if (!isRunning())
        return;
    failedFile = nameInRequest();
    const bool timedOut = HttpReplyStatus::isTimeout(error, cancelling);
    const QString reason = timedOut ? HttpReplyStatus::timeoutText(limits.stallTimeoutMs) : reply->errorString();
    causeText = HttpErrorText::transferCause(
        error, reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), timedOut);
    detailText = QStringLiteral("下载文件 \"") + failedFile + QStringLiteral("\" 时出错: ") + reason;
    logError(detailText + QStringLiteral(" ") + reply->request().url().toString());
    // Reported while the toolkit is still inside the reply (possibly within
    // abort), so the reply is only let go here, not aborted again.
    releaseReply(false);
    file.discard();
    state = State::Failed;
    emit finished();
}

void CFileFetch::onStalled()
{
    if (!isRunning())
        return;
    failedFile = nameInRequest();
    fail(QStringLiteral("下载文件 \"") + failedFile + QStringLiteral("\" 时出错: ")
             + HttpReplyStatus::timeoutText(limits.stallTimeoutMs),
         HttpErrorText::transferCause(QNetworkReply::TimeoutError, 0, true), reply->request().url().toString());
}

void CFileFetch::cancel()
{
    if (!isRunning())
        return;
    cancelling = true;
    // The toolkit reports the abort at once through onError.
    reply->abort();
    if (isRunning()) {
        failedFile = nameInRequest();
        fail(QStringLiteral("下载被取消：") + target.url,
             HttpErrorText::transferCause(QNetworkReply::OperationCanceledError, 0, false), QString());
    }
}

void CFileFetch::fail(const QString &detail, const QString &cause, const QString &reason)
{
    releaseReply(true);
    file.discard();
    detailText = detail;
    causeText = cause;
    state = State::Failed;
    logError(detail + QStringLiteral(" ") + reason);
    emit finished();
}

void CFileFetch::abandon()
{
    if (!isRunning())
        return;
    releaseReply(true);
    file.discard();
    state = State::Failed;
}

void CFileFetch::releaseReply(bool abortTransfer)
{
    stallTimer.stop();
    QNetworkReply *gone = reply;
    reply = nullptr;
    if (!gone)
        return;
    // Disconnected first, so an abort does not report a second failure.
    disconnect(gone, nullptr, this, nullptr);
    if (abortTransfer)
        gone->abort();
    gone->deleteLater();
}
