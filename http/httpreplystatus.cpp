#include "http/httpreplystatus.h"

#include <QUrl>
#include <QVariant>

namespace HttpReplyStatus {

QNetworkRequest request(const QString &url, int timeoutMs)
{
    QNetworkRequest request{QUrl(url)};
    request.setTransferTimeout(timeoutMs);
    request.setRawHeader("Accept-Encoding", "identity");
    return request;
}

qint64 announcedLength(const QNetworkReply *reply)
{
    bool ok = false;
    const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&ok);
    return ok && length >= 0 ? length : -1;
}

bool isTimeout(QNetworkReply::NetworkError code, bool abortedByProgram)
{
    return code == QNetworkReply::TimeoutError || (code == QNetworkReply::OperationCanceledError && !abortedByProgram);
}

QString timeoutText(int timeoutMs)
{
    return QStringLiteral("下载超时（") + QString::number(timeoutMs / 1000) + QStringLiteral("秒）");
}

QString checkDownloadErrorText(QNetworkReply::NetworkError code, bool abortedByProgram, const QString &errorString,
                               const QString &url, const QString &localPath, int timeoutMs)
{
    if (isTimeout(code, abortedByProgram))
        return timeoutText(timeoutMs) + QStringLiteral("：") + url;
    if (code == QNetworkReply::OperationCanceledError)
        return QStringLiteral("下载被取消：") + url;
    return QStringLiteral("下载错误：") + errorString + QStringLiteral("（file：") + localPath + QStringLiteral("）");
}

QString statusProblem(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return QString();
    const int code = status.toInt();
    if (code >= 200 && code < 300)
        return QString();
    return QStringLiteral("HTTP ") + QString::number(code) + QLatin1Char(' ')
           + reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
}

} // namespace HttpReplyStatus
