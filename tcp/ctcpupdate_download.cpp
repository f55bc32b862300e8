// The download run of CTCPUpdate: every file in turn, each with retries.
#include "tcp/ctcpupdate.h"

#include "log/logger.h"
#include "tcp/qupdatetcpclient.h"

#include <QCoreApplication>
#include <QThread>

bool CTCPUpdate::downloadAll()
{
    if (downloadList.isEmpty()) {
        display().showInfo(QStringLiteral("没有文件需要下载"));
        return true;
    }
    currentIndex = 0;
    cancelRequested = false;
    if (client) {
        client->setPipelineDepth(versionInfo.pipelineDepth);
        client->setStartOffsets(versionInfo.startOffsets);
        client->beginRun(downloadList);
    }
    const int total = downloadList.size();
    display().showStatus(QStringLiteral("准备下载文件，共 %1 个文件").arg(total), 0);
    logInfo(QStringLiteral("开始迭代下载，总文件数: %1").arg(total));

    auto cancelled = [this]() {
        display().showInfo(QStringLiteral("下载已取消"));
        logInfo(QStringLiteral("下载被用户取消"));
        return false;
    };
    while (currentIndex < total) {
        if (cancelRequested)
            return cancelled();
        if (!downloadWithRetry()) {
            if (cancelRequested)
                return cancelled();
            handleFinalFailure();
            return false;
        }
        ++currentIndex;
        reportOverallProgress();
    }
    // A cancel confirmed while the last file completed still means that the
    // user does not want this update applied.
    if (cancelRequested)
        return cancelled();
    display().showSuccess();
    display().showInfo(QStringLiteral("所有文件下载完成！"));
    logInfo(QStringLiteral("所有文件下载完成"));
    return true;
}

bool CTCPUpdate::downloadWithRetry()
{
    if (currentIndex < 0 || currentIndex >= downloadList.size())
        return false;
    const QString name = downloadList.at(currentIndex).name;
    for (int attempt = 0; attempt <= maxRetries; ++attempt) {
        if (cancelRequested)
            return false;
        if (attempt > 0) {
            display().showInfo(QStringLiteral("第%1次重试下载: %2").arg(attempt).arg(name));
            logInfo(QStringLiteral("重试下载: %1, 尝试次数: %2").arg(name).arg(attempt));
            // A continued transfer that failed may have kept bad bytes: the
            // retry fetches the whole file.
            if (downloadList.at(currentIndex).resumeFrom > 0) {
                downloadList[currentIndex].resumeFrom = 0;
                if (client)
                    client->dropResume(downloadList.at(currentIndex));
            }
        }
        if (downloadCurrent())
            return true;
        if (cancelRequested)
            return false;
        if (attempt < maxRetries) {
            logWarn(QStringLiteral("下载失败，等待重试: %1").arg(name));
            // A plain pause: nothing is processed meanwhile, arriving bytes
            // wait in the socket. The window cannot paint during it either,
            // so the failure just shown is painted first.
            repaints.flush();
            window.repaint();
            QThread::msleep(static_cast<unsigned long>(qMax(0, retryPause)));
        }
    }
    logError(QStringLiteral("下载最终失败，已达到最大重试次数: %1").arg(name));
    return false;
}

bool CTCPUpdate::ensureConnected()
{
    if (!client)
        return false;
    if (client->isConnected())
        return true;
    // The service closed the connection or the network dropped it since the
    // last request: a fresh connection is part of this attempt.
    logInfo(QStringLiteral("重新连接更新服务: %1:%2").arg(serverHost).arg(serverPort));
    if (client->connectToServer(serverHost, serverPort))
        return true;
    logError(QStringLiteral("重新连接更新服务失败: %1:%2 - %3")
                 .arg(serverHost)
                 .arg(serverPort)
                 .arg(client->errorString())
                 );
    return false;
}

bool CTCPUpdate::downloadCurrent()
{
    const int total = downloadList.size();
    if (currentIndex >= total)
        return false;
    const FileItem item = downloadList.at(currentIndex);
    // Both bars start again, also on a retry. One multi-argument arg(), so
    // that a "%2" inside a server-supplied name is not substituted again.
    display().showFileStart(item.name, QStringLiteral("正在下载: %1 (%2/%3)")
                                           .arg(item.name, QString::number(currentIndex + 1), QString::number(total)));
    logInfo(QStringLiteral("开始下载文件: %1 路径: %2").arg(item.name, item.path));
    // Showing the status processed events: a cancel may have arrived.
    if (cancelRequested)
        return false;
    const bool ok = ensureConnected() && client->downloadFile(item, -1);
    // What the client reported during the attempt is shown before the outcome.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    if (ok)
        logInfo(QStringLiteral("文件下载成功: %1").arg(item.name));
    else
        logError(QStringLiteral("文件下载失败: %1").arg(item.name));
    return ok;
}

void CTCPUpdate::handleFinalFailure()
{
    if (currentIndex < 0 || currentIndex >= downloadList.size())
        return;
    const QString name = downloadList.at(currentIndex).name;
    // The client's last error says what went wrong with the last attempt.
    const QString cause = client && !client->errorString().isEmpty() ? client->errorString() : QStringLiteral("下载失败");
    const ErrorClass errorClass = classifyError(cause);
    switch (errorClass) {
    case Network:
        display().showError(QStringLiteral("网络错误，重试失败: %1").arg(name));
        break;
    case FileSystem:
        display().showError(QStringLiteral("文件系统错误，重试失败: %1").arg(name));
        break;
    case Timeout:
        display().showError(QStringLiteral("下载超时，重试失败: %1").arg(name));
        break;
    case Cancel:
        display().showInfo(QStringLiteral("下载已取消"));
        break;
    case Unknown:
        display().showError(QStringLiteral("未知错误，重试失败: %1").arg(name));
        break;
    case Verification:
        display().showError(QStringLiteral("文件校验失败，重试失败: %1").arg(name));
        break;
    }
    logError(QStringLiteral("下载错误处理完成，文件: %1 错误类型: %2 (%3)")
                 .arg(name)
                 .arg(static_cast<int>(errorClass))
                 .arg(cause)
                 );
}

void CTCPUpdate::reportOverallProgress()
{
    const int total = downloadList.size();
    if (total == 0)
        return;
    const int percent = currentIndex * 100 / total;
    display().showStatus(QStringLiteral("总体进度: %1/%2 (%3%)").arg(currentIndex).arg(total).arg(percent), percent);
    logInfo(QStringLiteral("下载进度更新: %1/%2 (%3%)").arg(currentIndex).arg(total).arg(percent));
}
