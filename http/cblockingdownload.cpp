#include "http/cblockingdownload.h"

#include "http/cdownloadfile.h"
#include "http/httpreplystatus.h"
#include "log/logger.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>

CBlockingDownload::CBlockingDownload(QObject *parent)
    : QObject(parent)
    , timeoutMs(HttpReplyStatus::kTransferTimeoutMs)
{
}

bool CBlockingDownload::run(const QString &url, const QString &localPath)
{
    error.clear();
    CDownloadFile file;
    if (!file.open(localPath)) {
        error = file.directoryFailed() ? QStringLiteral("无法创建目录:") + QFileInfo(localPath).absolutePath()
                                       : QStringLiteral("无法打开文件:") + localPath;
        logError(error + QStringLiteral(" ") + file.errorString());
        return false;
    }

    // A manager for this call only: the check downloads share nothing with
    // the file downloads and leave no connection behind.
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(HttpReplyStatus::request(url, timeoutMs));
    reply->setReadBufferSize(HttpReplyStatus::kReadBufferBytes);

    QEventLoop loop;
    bool stoppedByUs = false;
    connect(reply, &QNetworkReply::downloadProgress, this, &CBlockingDownload::downloadProgress);
    connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        if (stoppedByUs)
            return;
        // An announced length beyond the limit is refused before its body.
        const QByteArray chunk = reply->readAll();
        if (HttpReplyStatus::announcedLength(reply) > maxBytes || file.written() + chunk.size() > maxBytes) {
            error = QStringLiteral("下载内容超过上限（%1字节）：").arg(maxBytes) + url;
        } else if (!file.append(chunk)) {
            error = QStringLiteral("无法写入文件:") + localPath + QStringLiteral(" ") + file.errorString();
        } else {
            return;
        }
        stoppedByUs = true;
        reply->abort();
    });
    connect(reply, &QNetworkReply::errorOccurred, &loop, [&](QNetworkReply::NetworkError code) {
        // A limit or write failure aborted the reply and already holds its text.
        if (!stoppedByUs)
            error = HttpReplyStatus::checkDownloadErrorText(code, false, reply->errorString(), url, localPath,
                                                            timeoutMs);
        loop.quit();
    });
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // A reply that failed before the loop starts has already said so.
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);

    // The toolkit may end a reply whose connection closed early as if the
    // close had ended the body; a body shorter than its announced length is
    // cut off, whatever the toolkit reported (a time-out keeps its own text).
    const qint64 announced = HttpReplyStatus::announcedLength(reply);
    const qint64 received = file.written() + reply->bytesAvailable();
    if (!stoppedByUs && announced >= 0 && received < announced
        && (reply->error() == QNetworkReply::NoError || reply->error() == QNetworkReply::RemoteHostClosedError))
        error = QStringLiteral("下载内容不完整（收到 %1 字节，应为 %2 字节）：").arg(received).arg(announced) + url;
    if (error.isEmpty() && reply->error() == QNetworkReply::NoError) {
        const QString statusProblem = HttpReplyStatus::statusProblem(reply);
        if (!statusProblem.isEmpty())
            error = QStringLiteral("下载错误：") + statusProblem + QStringLiteral("（file：") + localPath
                    + QStringLiteral("）");
    }
    if (error.isEmpty() && reply->error() != QNetworkReply::NoError)
        error = HttpReplyStatus::checkDownloadErrorText(reply->error(), false, reply->errorString(), url,
                                                        localPath, timeoutMs);
    if (error.isEmpty()) {
        const QByteArray rest = reply->readAll();
        if (file.written() + rest.size() > maxBytes)
            error = QStringLiteral("下载内容超过上限（%1字节）：").arg(maxBytes) + url;
        else if (!file.append(rest) || !file.finish())
            error = QStringLiteral("无法写入文件:") + localPath + QStringLiteral(" ") + file.errorString();
    }
    reply->deleteLater();
    if (!error.isEmpty()) {
        file.discard();
        logError(error);
        return false;
    }
    logInfo(QStringLiteral("下载成功:") + localPath);
    return true;
}
