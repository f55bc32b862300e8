#pragma once

#include <QNetworkReply>
#include <QString>

/// Short Chinese texts that tell a user why a file of the HTTP update did
/// not arrive. The full technical text (the toolkit's error, the address)
/// goes to the log; these name only the cause.
namespace HttpErrorText {

/// The cause of a failed transfer: "连接超时" when @p timedOut, "文件不存在
/// (404)" for a missing file, "服务器错误 (<status>)" for another HTTP
/// error status (@p httpStatus 0 when none), then the connection problems
/// ("连接被服务器关闭", "服务器拒绝连接", "找不到服务器", "下载被中止") and
/// "网络错误" for anything else.
QString transferCause(QNetworkReply::NetworkError code, int httpStatus, bool timedOut);

/// The cause of a file whose bytes did not match the manifest.
QString checksumCause();
/// The cause of a file whose body grew past its bound.
QString oversizeCause();
/// The cause of a file that could not be written.
QString saveCause();

/// "下载 <file> 失败：<cause>", or "更新失败：<cause>" without a file name.
QString failureLine(const QString &fileName, const QString &cause);

} // namespace HttpErrorText
