#include "tcp/qupdatetcpclient.h"

#include "config/cconfigmanager.h"
#include "log/logger.h"
#include "tcp/asyncwaiter.h"
#include "tcp/tcpmessages.h"

#include <QDateTime>
#include <QScopedValueRollback>
#include <QTcpSocket>
#include <QTimer>

using namespace TcpProtocol;

namespace {

// Reading in blocks bounds the memory one receive step holds, and the socket's
// own buffer limit makes a fast service wait for us instead of piling up.
constexpr qint64 kReadBlockSize = 256 * 1024;
constexpr qint64 kSocketReadBufferSize = 4 * 1024 * 1024;
constexpr int kMaxLoggedErrorBody = 200;

const QString kAlreadyConnecting = QStringLiteral("已经连接或正在连接中");

// Error replies carry free text from the service; keep it to one short line.
QString printableText(const QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes.left(kMaxLoggedErrorBody));
    for (QChar &c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('?');
    }
    return text;
}

} // namespace

QUpdateTcpClient::QUpdateTcpClient(QObject *parent)
    : QObject(parent)
    , socket(new QTcpSocket(this))
    , heartbeatTimer(new QTimer(this))
    , inactivityTimer(new QTimer(this))
{
    qRegisterMetaType<VersionInfo>("VersionInfo");
    socket->setReadBufferSize(kSocketReadBufferSize);
    // Only a file chunk may be large; a few MiB is plenty for anything else.
    assembler = PacketAssembler(kMaxControlBodyLength);
    assembler.setBodyLimit(FileData, kMaxFileDataBodyLength);
    inactivityTimer->setSingleShot(true);
    inactivityTimer->setInterval(kDefaultInactivityLimitMs);
    connect(socket, &QTcpSocket::connected, this, &QUpdateTcpClient::onConnected);
    connect(socket, &QTcpSocket::disconnected, this, &QUpdateTcpClient::onDisconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, &QUpdateTcpClient::onError);
    connect(socket, &QTcpSocket::readyRead, this, &QUpdateTcpClient::onReadyRead);
    connect(heartbeatTimer, &QTimer::timeout, this, &QUpdateTcpClient::onHeartbeatTimeout);
    connect(inactivityTimer, &QTimer::timeout, this, &QUpdateTcpClient::onInactivityTimeout);
}

QUpdateTcpClient::~QUpdateTcpClient()
{
    if (heartbeatRunning) {
        heartbeatTimer->stop();
        heartbeatRunning = false;
    }
    // Our handlers must not run (and emit) from a half-destroyed object.
    socket->disconnect(this);
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->disconnectFromHost();
    state = Disconnected;
}

void QUpdateTcpClient::setFileWriter(CFileWriter *writer)
{
    receiver.setWriter(writer);
}

void QUpdateTcpClient::setConfigManager(const CConfigManager *config)
{
    configManager = config;
}

void QUpdateTcpClient::setInactivityLimit(int milliseconds)
{
    inactivityTimer->setInterval(milliseconds);
}

void QUpdateTcpClient::setInactivityPaused(bool paused)
{
    inactivityPaused = paused;
    if (!activeWaiter)
        return;
    progressSinceRestart = 0;
    if (paused)
        inactivityTimer->stop();
    else
        inactivityTimer->start();
}

void QUpdateTcpClient::beginRun()
{
    // Answers to an earlier run's requests must not reach this one.
    if (window.hasInFlight())
        abandonConnection();
    receiver.forgetCompleted();
    deferredError.clear();
    window.setLimits(1, 0);
    window.plan({});
}

void QUpdateTcpClient::beginRun(const QList<FileItem> &files)
{
    beginRun();
    window.setLimits(pipelineDepth, kPipelineBytes);
    window.plan(files);
    if (pipelineDepth > 1)
        logInfo(QStringLiteral("流水线下载: 最多同时请求 %1 个文件").arg(pipelineDepth));
}

bool QUpdateTcpClient::sendRequests(const QList<int> &indices)
{
    for (int index : indices) {
        if (!sendPacket(FileDownload, downloadRequest(window.files().at(index))))
            return false;
    }
    return true;
}

QByteArray QUpdateTcpClient::downloadRequest(const FileItem &item) const
{
    const bool resume = startOffsets && item.resumeFrom > 0 && item.resumeFrom <= 0xFFFFFFFFLL;
    return TcpMessages::buildFileDownload(item.path, item.name, resume ? static_cast<quint32>(item.resumeFrom) : 0);
}

void QUpdateTcpClient::dropResume(const FileItem &item)
{
    window.dropResume(window.indexOf(item));
}

bool QUpdateTcpClient::failsLater() const
{
    return window.hasInFlight() && window.headIndex() != waitingIndex;
}

void QUpdateTcpClient::advanceWindow()
{
    if (!window.hasInFlight())
        return;
    window.completeHead();
    // The service answers in order: what follows on the stream belongs to
    // the next requested file, whether or not anyone waits for it yet.
    if (window.hasInFlight())
        receiver.expect(window.files().at(window.headIndex()));
    if (!sendRequests(window.fill(window.headIndex())))
        dropConnection(QStringLiteral("发送文件下载请求失败"));
}

void QUpdateTcpClient::noteProgress(int bytes)
{
    progressSinceRestart += bytes;
    if (progressSinceRestart < kStallBytes)
        return;
    progressSinceRestart = 0;
    if (inactivityTimer->isActive())
        inactivityTimer->start();
}

void QUpdateTcpClient::setHeartbeatInterval(int milliseconds)
{
    heartbeatInterval = milliseconds;
}

void QUpdateTcpClient::setLastError(const QString &text)
{
    lastErrorText = text;
}

bool QUpdateTcpClient::connectToServer(const QString &host, quint16 port)
{
    return connectToServer(host, port, kDefaultConnectTimeoutMs);
}

bool QUpdateTcpClient::connectToServer(const QString &host, quint16 port, quint16 timeout)
{
    // A state that says connected over a socket that is not is stale (the
    // socket is closing or closed without telling us yet); it must not block
    // a reconnect.
    const bool stale = state == Connected && socket->state() != QAbstractSocket::ConnectedState;
    if ((state == Connecting || state == Connected) && !stale) {
        setLastError(kAlreadyConnecting);
        return false;
    }
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
    serverHost = host;
    serverPort = port;
    state = Connecting;
    // Bytes of an earlier connection must not be framed with the new stream.
    assembler.clear();
    receiver.reset();

    socket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    if (socket->waitForConnected(timeout)) {
        if (state != Connected)
            onConnected();
        return true;
    }
    if (state == Connecting) {
        // No error was reported (the limit ran out first): give up on this
        // attempt so that a later connect is accepted.
        setLastError(socket->errorString().isEmpty() ? QStringLiteral("连接超时") : socket->errorString());
        state = Error;
    }
    socket->abort();
    logWarn(QStringLiteral("连接更新服务失败: %1:%2 - %3").arg(host).arg(port).arg(lastErrorText));
    return false;
}

bool QUpdateTcpClient::isConnected() const
{
    return state == Connected && socket->state() == QAbstractSocket::ConnectedState;
}

bool QUpdateTcpClient::sendPacket(quint32 type, const QByteArray &body)
{
    if (!isConnected())
        return false;
    // The project type is read afresh for every message.
    const CConfigManager &config = configManager ? *configManager : CConfigManager::instance();
    const QByteArray header = buildHeader(type, static_cast<quint32>(body.size()), config.projectType());
    if (socket->write(header) != header.size())
        return false;
    if (!body.isEmpty() && socket->write(body) != body.size())
        return false;
    if (socket->flush())
        return true;
    // Nothing could go out right now, but the bytes are queued on a live
    // connection and will be sent by the event loop.
    return isConnected() && socket->bytesToWrite() > 0;
}

void QUpdateTcpClient::onConnected()
{
    state = Connected;
    logInfo(QStringLiteral("已连接到更新服务: %1:%2").arg(serverHost).arg(serverPort));
    emit connected();
    if (!heartbeatRunning) {
        heartbeatRunning = true;
        heartbeatTimer->start(heartbeatInterval);
    }
}

void QUpdateTcpClient::onDisconnected()
{
    state = Disconnected;
    // Requests sent ahead are lost with the connection; the next request
    // starts its file afresh on a new one.
    window.reset();
    if (heartbeatRunning) {
        heartbeatRunning = false;
        heartbeatTimer->stop();
    }
    logInfo(QStringLiteral("与更新服务的连接已断开: %1:%2").arg(serverHost).arg(serverPort));
    emit disconnected();
}

void QUpdateTcpClient::onError(QAbstractSocket::SocketError error)
{
    setLastError(socket->errorString());
    state = Error;
    logWarn(QStringLiteral("TCP连接错误: %1:%2 - %3 (%4)")
                .arg(serverHost)
                .arg(serverPort)
                .arg(lastErrorText)
                .arg(static_cast<int>(error))
                );
    emit errorOccurred(lastErrorText);
}

void QUpdateTcpClient::onHeartbeatTimeout()
{
    if (state != Connected)
        return;
    sendPacket(Heartbeat, TcpMessages::buildHeartbeat(QDateTime::currentMSecsSinceEpoch()));
}

void QUpdateTcpClient::onInactivityTimeout()
{
    if (activeWaiter)
        activeWaiter->abort();
}

void QUpdateTcpClient::onReadyRead()
{
    // Handlers of the messages repaint the window and process events, which
    // may announce more data; the outer step reads it, so never nest.
    if (receiving)
        return;
    QScopedValueRollback<bool> guard(receiving, true);
    // Bytes that arrived before a disconnection stay readable, and a last
    // chunk among them must still be written.
    while (socket->bytesAvailable() > 0) {
        // Read straight into the reassembly buffer: a large file passes
        // through here, and every copy of it costs.
        const int room = static_cast<int>(qMin(socket->bytesAvailable(), kReadBlockSize));
        const qint64 got = socket->read(assembler.prepareAppend(room), room);
        assembler.commitAppend(static_cast<int>(qMax<qint64>(got, 0)));
        if (got <= 0)
            break;
        if (!drainBuffer())
            break;
    }
}

bool QUpdateTcpClient::drainBuffer()
{
    for (;;) {
        Packet packet;
        // The body is handed on without a copy: it is used up before the
        // next call, and nothing reads the socket meanwhile (no nesting).
        switch (assembler.next(&packet, true)) {
        case PacketAssembler::Result::NeedMore:
            return true;
        case PacketAssembler::Result::BadMagic:
            if (activeWaiter && receiver.isExpecting()) {
                // The rest of the file cannot be framed any more.
                dropConnection(QStringLiteral("下载中收到的数据头无效: %1:%2").arg(serverHost).arg(serverPort));
                return false;
            }
            logError(QStringLiteral("收到的数据头无效，已丢弃接收缓冲区: %1:%2").arg(serverHost).arg(serverPort));
            return true;
        case PacketAssembler::Result::TooLong:
            dropConnection(QStringLiteral("消息长度超出限制: %1 字节, 类型 0x%2 (%3:%4)")
                               .arg(assembler.refusedLength())
                               .arg(assembler.refusedType(), 0, 16)
                               .arg(serverHost)
                               .arg(serverPort));
            return false;
        case PacketAssembler::Result::Message:
            // A handler that drops the connection also empties the buffer.
            dispatch(packet);
            break;
        }
    }
}

void QUpdateTcpClient::dispatch(const Packet &packet)
{
    switch (packet.type) {
    case HeartbeatReply:
        emit heartbeatReceived();
        break;
    case VersionReply: {
        if (!versionCheckPending) {
            // The download list is fixed by the check; a late or unasked
            // reply must not change it under a running download.
            logWarn(QStringLiteral("忽略版本检查之外的版本回复 (消息体 %1 字节): %2:%3")
                        .arg(packet.body.size())
                        .arg(serverHost)
                        .arg(serverPort)
                        );
            break;
        }
        VersionInfo info;
        lastReplyUsable = TcpMessages::parseVersionReply(packet.body, &info);
        if (lastReplyUsable) {
            logInfo(QStringLiteral("收到版本回复: 版本 %1, 有更新: %2, 文件数: %3")
                        .arg(info.version)
                        .arg(info.hasUpdate ? 1 : 0)
                        .arg(info.files.size())
                        );
        } else {
            logError(QStringLiteral("版本回复无法解析 (消息体 %1 字节): %2:%3")
                         .arg(packet.body.size())
                         .arg(serverHost)
                         .arg(serverPort)
                         );
        }
        emit versionChecked(info);
        break;
    }
    case FileData:
        handleFileData(packet.body);
        break;
    case ErrorReply:
        setLastError(QStringLiteral("服务器返回错误"));
        logError(QStringLiteral("服务器返回错误: %1").arg(printableText(packet.body)));
        if (failsLater()) {
            // The answer to a request sent ahead: its file fails when its
            // turn comes, and the stream after it cannot be matched any more.
            deferredError = lastErrorText;
            abandonConnection();
        }
        emit errorOccurred(lastErrorText);
        break;
    default:
        logDebug(QStringLiteral("忽略未知消息类型: 0x%1").arg(packet.type, 0, 16));
        break;
    }
}

void QUpdateTcpClient::handleFileData(const QByteArray &body)
{
    FileDataChunk chunk;
    // The chunk shares the body's bytes: it is written before this returns.
    if (!TcpMessages::parseFileData(body, &chunk, true)) {
        dropConnection(QStringLiteral("数据消息过短: %1 字节 (%2:%3)").arg(body.size()).arg(serverHost).arg(serverPort));
        return;
    }
    const FileReceiver::Outcome outcome = receiver.receive(chunk);
    if (outcome.started)
        emit sigFileDownloadProgress(outcome.filePath, outcome.fileName, 0, outcome.total);
    if (outcome.written) {
        noteProgress(chunk.data.size());
        emit sigFileDownloadProgress(outcome.filePath, outcome.fileName, outcome.received, outcome.total);
    }
    if (outcome.completed) {
        emit sigFileDownloadCompleted(outcome.filePath, outcome.fileName);
        advanceWindow();
    }
    if (outcome.failure == FileReceiver::Failure::None)
        return;

    setLastError(outcome.errorText);
    if (failsLater())
        deferredError = outcome.errorText;
    emit sigFileDownloadError(outcome.filePath, outcome.fileName, outcome.errorText);
    // Whatever else of this stream is on its way cannot be trusted; only a
    // new connection keeps it from being taken for the retry's data.
    if (outcome.endsTransfer())
        dropConnection(outcome.errorText);
}

void QUpdateTcpClient::dropConnection(const QString &reason)
{
    setLastError(reason);
    logError(QStringLiteral("断开与更新服务的连接: %1").arg(reason));
    assembler.clear();
    receiver.reset();
    window.reset();
    // The error goes out first, so a waiting request ends with this reason
    // rather than with the plain disconnection that abort() reports.
    emit errorOccurred(reason);
    socket->abort();
}

void QUpdateTcpClient::abandonConnection()
{
    assembler.clear();
    receiver.reset();
    window.reset();
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
}
