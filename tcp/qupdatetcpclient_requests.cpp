// The two blocking requests of QUpdateTcpClient and their cancellation.
#include "tcp/qupdatetcpclient.h"

#include "fileops/safepath.h"
#include "log/logger.h"
#include "tcp/asyncwaiter.h"
#include "tcp/tcpmessages.h"

#include <QTimer>

using namespace TcpProtocol;

namespace {

/// How a request wait ended.
enum class WaitEnd { None, Reply, Error, Disconnected };

/// Ends a request's wait when the client reports an error (its text goes to
/// @p errorText when given) or loses the connection, unless the wait has
/// already ended. Both connections are dropped by release() or destruction.
class FailureWatch
{
public:
    FailureWatch(QUpdateTcpClient *client, AsyncWaiter &waiter, WaitEnd &end, QString *errorText = nullptr)
    {
        onFailure = QObject::connect(client, &QUpdateTcpClient::errorOccurred, &waiter,
                                     [&waiter, &end, errorText](const QString &error) {
                                         if (end != WaitEnd::None)
                                             return;
                                         if (errorText)
                                             *errorText = error;
                                         end = WaitEnd::Error;
                                         emit waiter.signalReceived();
                                     });
        onClosed = QObject::connect(client, &QUpdateTcpClient::disconnected, &waiter, [&waiter, &end]() {
            if (end != WaitEnd::None)
                return;
            end = WaitEnd::Disconnected;
            emit waiter.signalReceived();
        });
    }
    ~FailureWatch() { release(); }

    FailureWatch(const FailureWatch &) = delete;
    FailureWatch &operator=(const FailureWatch &) = delete;

    void release()
    {
        QObject::disconnect(onFailure);
        QObject::disconnect(onClosed);
    }

private:
    QMetaObject::Connection onFailure;
    QMetaObject::Connection onClosed;
};

} // namespace

void QUpdateTcpClient::failBeforeWait(const QString &text)
{
    setLastError(text);
    logError(QStringLiteral("%1: %2:%3").arg(text, serverHost).arg(serverPort));
    emit errorOccurred(text);
}

VersionInfo QUpdateTcpClient::checkVersion(const VersionCheckRequest &request, int timeout, QString *failure)
{
    auto setFailure = [failure](const QString &text) {
        if (failure)
            *failure = text;
    };
    setFailure(QString());
    if (!isConnected()) {
        setFailure(QStringLiteral("未连接到服务器"));
        failBeforeWait(QStringLiteral("未连接到服务器"));
        return VersionInfo();
    }

    AsyncWaiter waiter;
    VersionInfo result;
    bool usable = false;
    QString errorText;
    WaitEnd end = WaitEnd::None;
    const QMetaObject::Connection onReply =
        connect(this, &QUpdateTcpClient::versionChecked, &waiter, [&](const VersionInfo &info) {
            if (end != WaitEnd::None)
                return;
            result = info;
            usable = lastReplyUsable;
            end = WaitEnd::Reply;
            emit waiter.signalReceived();
        });
    FailureWatch failures(this, waiter, end, &errorText);
    auto disconnectAll = [&]() {
        disconnect(onReply);
        failures.release();
    };

    if (!sendPacket(VersionCheck, TcpMessages::buildVersionCheck(request))) {
        disconnectAll();
        setFailure(QStringLiteral("发送版本检查请求失败"));
        failBeforeWait(QStringLiteral("发送版本检查请求失败"));
        return VersionInfo();
    }
    // An error raised while sending has already ended the request.
    versionCheckPending = true;
    const bool arrived = end != WaitEnd::None || waiter.wait(timeout);
    versionCheckPending = false;
    disconnectAll();

    if (!arrived) {
        setFailure(QStringLiteral("版本检查超时"));
        logWarn(QStringLiteral("版本检查超时: %1:%2").arg(serverHost).arg(serverPort));
        return VersionInfo();
    }
    switch (end) {
    case WaitEnd::Reply:
        if (!usable)
            setFailure(QStringLiteral("版本回复无法解析"));
        return result;
    case WaitEnd::Error:
        setFailure(errorText);
        return VersionInfo();
    default:
        setFailure(QStringLiteral("与服务器的连接已断开"));
        return VersionInfo();
    }
}

bool QUpdateTcpClient::downloadFile(const FileItem &item, int timeout)
{
    // Within a planned run with a window, the file may already be on the
    // wire, or even complete.
    const int index = window.maxFiles() > 1 ? window.indexOf(item) : -1;
    const bool pipelined = index >= 0;
    if (pipelined && index < window.headIndex())
        return true;
    if (pipelined && index == window.headIndex() && !deferredError.isEmpty()) {
        setLastError(deferredError);
        deferredError.clear();
        logError(QStringLiteral("文件下载失败: %1/%2 - %3").arg(item.path, item.name, lastErrorText));
        emit sigFileDownloadError(item.path, item.name, lastErrorText);
        return false;
    }
    if (!isConnected()) {
        failBeforeWait(QStringLiteral("未连接到服务器"));
        return false;
    }
    QString reason;
    if (!SafePath::isSafeRelativePath(item.path, &reason) || !SafePath::isSafeFileName(item.name, &reason)) {
        // Never ask for, let alone write, a file outside the temporary area.
        setLastError(QStringLiteral("服务器提供的路径不安全: %1/%2 (%3)").arg(item.path, item.name, reason));
        logError(lastErrorText);
        emit sigFileDownloadError(item.path, item.name, lastErrorText);
        return false;
    }

    AsyncWaiter waiter;
    bool success = false;
    WaitEnd end = WaitEnd::None;
    const QMetaObject::Connection onDone = connect(
        this, &QUpdateTcpClient::sigFileDownloadCompleted, &waiter, [&](const QString &filePath, const QString &fileName) {
            if (end == WaitEnd::None && filePath == item.path && fileName == item.name) {
                success = true;
                end = WaitEnd::Reply;
                emit waiter.signalReceived();
            }
        });
    FailureWatch failures(this, waiter, end);
    auto disconnectAll = [&]() {
        disconnect(onDone);
        failures.release();
    };

    const bool onTheWire = pipelined && index == window.headIndex() && window.hasInFlight();
    if (pipelined && !onTheWire && window.hasInFlight())
        abandonConnection(); // requests for other files are ahead of this one
    // Each attempt starts a fresh transfer, so the file is fetched from
    // scratch whatever an earlier attempt left behind.
    if (!onTheWire && !receiver.expect(item)) {
        disconnectAll();
        setLastError(QStringLiteral("文件已下载完成，不再重复下载: %1/%2").arg(item.path, item.name));
        logError(lastErrorText);
        return false;
    }
    waitCancelled = false;
    if (!isConnected()) {
        disconnectAll();
        failBeforeWait(QStringLiteral("未连接到服务器"));
        return false;
    }
    const bool sent = pipelined ? sendRequests(window.fill(index))
                                : sendPacket(FileDownload, downloadRequest(item));
    if (!sent) {
        disconnectAll();
        receiver.stopExpecting();
        failBeforeWait(QStringLiteral("发送文件下载请求失败"));
        abandonConnection();
        return false;
    }

    activeWaiter = &waiter;
    waitingIndex = index;
    progressSinceRestart = 0;
    if (!inactivityPaused)
        inactivityTimer->start();
    if (end == WaitEnd::None)
        waiter.wait(timeout);
    inactivityTimer->stop();
    activeWaiter = nullptr;
    waitingIndex = -1;
    disconnectAll();

    if (success) {
        // With requests ahead the receiver already awaits the next file.
        if (!pipelined)
            receiver.stopExpecting();
        return true;
    }
    receiver.stopExpecting();
    // Every failed attempt leaves the stream: late bytes of this attempt
    // (the rest of a file, an answer to it) must never reach the retry.
    abandonConnection();
    if (waitCancelled) {
        setLastError(QStringLiteral("下载已取消"));
        logInfo(QStringLiteral("文件下载已取消: %1").arg(item.name));
        return false;
    }
    if (end == WaitEnd::None) {
        setLastError(QStringLiteral("文件下载超时"));
        logError(QStringLiteral("文件下载超时: %1/%2 (%3:%4)")
                     .arg(item.path, item.name, serverHost)
                     .arg(serverPort)
                     );
        emit sigFileDownloadError(item.path, item.name, QStringLiteral("下载超时"));
        return false;
    }
    if (end == WaitEnd::Disconnected)
        setLastError(QStringLiteral("与服务器的连接已断开"));
    logError(QStringLiteral("文件下载失败: %1/%2 - %3").arg(item.path, item.name, lastErrorText));
    return false;
}

void QUpdateTcpClient::cancelCurrentRequest()
{
    if (!activeWaiter) {
        // Between two files: what was requested ahead must not arrive and
        // be written after the user said stop.
        if (window.hasInFlight())
            abandonConnection();
        return;
    }
    waitCancelled = true;
    abandonConnection();
    // abort() may already have ended the wait through the disconnection.
    if (activeWaiter)
        activeWaiter->abort();
}
