#include "http/httperrortext.h"

namespace HttpErrorText {

QString transferCause(QNetworkReply::NetworkError code, int httpStatus, bool timedOut)
{
    if (timedOut || code == QNetworkReply::TimeoutError)
        return QStringLiteral("连接超时");
    if (httpStatus == 404 || code == QNetworkReply::ContentNotFoundError)
        return QStringLiteral("文件不存在 (404)");
    if (httpStatus >= 300)
        return QStringLiteral("服务器错误 (%1)").arg(httpStatus);
    switch (code) {
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("连接被服务器关闭");
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("服务器拒绝连接");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("找不到服务器");
    case QNetworkReply::OperationCanceledError:
        return QStringLiteral("下载被中止");
    default:
        return QStringLiteral("网络错误");
    }
}

QString checksumCause()
{
    return QStringLiteral("文件校验失败");
}

QString oversizeCause()
{
    return QStringLiteral("文件过大");
}

QString saveCause()
{
    return QStringLiteral("无法保存文件");
}

QString failureLine(const QString &fileName, const QString &cause)
{
    if (fileName.isEmpty())
        return QStringLiteral("更新失败：") + cause;
    return QStringLiteral("下载 ") + fileName + QStringLiteral(" 失败：") + cause;
}

} // namespace HttpErrorText
