#include "http/httpreplystatus.h"

#include <QVariant>

namespace HttpReplyStatus {

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
