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

qint64 rangeStart(const QByteArray &contentRange)
{
    const QByteArray value = contentRange.trimmed();
    if (!value.startsWith("bytes "))
        return -1;
    const QByteArray range = value.mid(6).trimmed();
    const int dash = range.indexOf('-');
    const int slash = range.indexOf('/');
    if (dash <= 0 || slash < dash)
        return -1;
    bool startOk = false;
    bool endOk = false;
    const qint64 start = range.left(dash).toLongLong(&startOk);
    const qint64 end = range.mid(dash + 1, slash - dash - 1).toLongLong(&endOk);
    return startOk && endOk && start >= 0 && end >= start ? start : -1;
}

QString resumeValidator(const QByteArray &etag, const QByteArray &lastModified)
{
    constexpr int kMaxLength = 200;
    auto usable = [](const QByteArray &value) {
        return !value.isEmpty() && value.size() <= kMaxLength && !value.contains('\n') && !value.contains('\r');
    };
    const QByteArray tag = etag.trimmed();
    if (usable(tag) && !tag.startsWith("W/"))
        return QString::fromLatin1(tag);
    const QByteArray date = lastModified.trimmed();
    return usable(date) ? QString::fromLatin1(date) : QString();
}

} // namespace HttpReplyStatus
