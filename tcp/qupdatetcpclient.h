#pragma once

#include "tcp/downloadwindow.h"
#include "tcp/filereceiver.h"
#include "tcp/packetassembler.h"
#include "tcp/tcpprotocol.h"
#include "tcp/versioninfo.h"

#include <QAbstractSocket>
#include <QObject>
#include <QString>

class AsyncWaiter;
class CConfigManager;
class CFileWriter;
class QTcpSocket;
class QTimer;

/// The connection to the update service. It connects, keeps the connection
/// alive with heartbeats, reassembles and dispatches incoming messages, hands
/// received file chunks to the file writer, and offers two blocking requests
/// (version check, file download) that wait in a nested event loop.
///
/// Failures are reported through the return values, errorOccurred() and
/// errorString(); nothing is thrown. Everything runs on the GUI thread.
class QUpdateTcpClient : public QObject
{
    Q_OBJECT

public:
    /// Connection state; a new connect is allowed in Disconnected and Error.
    enum ConnectionState { Disconnected = 0, Connecting = 1, Connected = 2, Error = 3 };

    static constexpr int kDefaultConnectTimeoutMs = 1000;
    static constexpr int kHeartbeatIntervalMs = 30000;
    /// A download wait ends as a time-out when fewer than kStallBytes of the
    /// awaited file were written within this long. Nothing else counts: not
    /// heartbeat replies, not other messages, so neither a live service that
    /// never answers nor one that drips a byte a minute holds a run forever.
    static constexpr int kDefaultInactivityLimitMs = 120000;
    static constexpr int kStallBytes = 4096;
    /// Bytes, by the sizes known ahead, requested beyond the current file.
    static constexpr qint64 kPipelineBytes = 8 * 1024 * 1024;

    explicit QUpdateTcpClient(QObject *parent = nullptr);
    ~QUpdateTcpClient() override;

    /// Connects with the 1000 ms limit. False when already connected or
    /// connecting ("已经连接或正在连接中") or when the connection fails.
    bool connectToServer(const QString &host, quint16 port);
    /// Connects with the caller's limit in milliseconds.
    bool connectToServer(const QString &host, quint16 port, quint16 timeout);
    /// True when the state is Connected and the socket is connected.
    bool isConnected() const;

    /// Frames and writes one message; false when not connected or when the
    /// socket did not take every byte.
    bool sendPacket(quint32 type, const QByteArray &body);

    /// Sends a version check and waits up to @p timeout ms for the reply.
    /// Returns the default VersionInfo when there is no usable reply; then
    /// @p failure (when given) receives the cause ("未连接到服务器",
    /// "发送版本检查请求失败", "版本检查超时", "服务器返回错误",
    /// "版本回复无法解析" or the socket's error text) and is emptied otherwise.
    VersionInfo checkVersion(const VersionCheckRequest &request, int timeout, QString *failure = nullptr);

    /// Requests one file and waits until it has been received completely
    /// (true) or the attempt failed (false, errorString() says why). @p timeout
    /// bounds the whole wait when > 0; in any case the wait ends when the
    /// file stalls (see kDefaultInactivityLimitMs). Only chunks of @p item
    /// are taken meanwhile; any other file data is a protocol error. When
    /// @p item carries an MD5 the file must match it. A failed attempt
    /// always drops the connection, so that a retry starts on a clean stream.
    bool downloadFile(const FileItem &item, int timeout);
    /// Starts a new download run: files completed earlier may be fetched
    /// again. Within a run a completed file is never begun a second time.
    void beginRun();
    /// The same for a run over @p files, fetched in this order. With a
    /// pipeline depth above 1, downloading one of them also requests the
    /// ones after it (see DownloadWindow), and a file that arrived while
    /// nothing waited for it is complete at once when its turn comes. Its
    /// completion was signalled when it arrived.
    void beginRun(const QList<FileItem> &files);
    /// How many download requests the service answers in order (from its
    /// version reply); 1 keeps one request at a time. Takes effect at the
    /// next beginRun().
    void setPipelineDepth(int depth) { pipelineDepth = qBound(1, depth, TcpProtocol::kMaxPipelineDepth); }
    /// Whether the service serves a file from a start offset: only then does
    /// a file's resumeFrom go into its request.
    void setStartOffsets(bool served) { startOffsets = served; }
    /// @p item of the run is fetched whole from now on (a retry after a
    /// continued transfer failed).
    void dropResume(const FileItem &item);
    /// Holds (true) or resumes (false) the stall bound of a running download,
    /// for as long as the user is asked something; resuming grants a full
    /// period again.
    void setInactivityPaused(bool paused);

    /// Ends a running request wait at once as a failure ("下载已取消"), and
    /// drops the connection so that no stale data is taken for a later request
    /// (also between two files while requests are on the wire).
    void cancelCurrentRequest();

    /// Text of the latest failure.
    QString errorString() const { return lastErrorText; }
    ConnectionState connectionState() const { return state; }
    QString host() const { return serverHost; }
    quint16 port() const { return serverPort; }

    /// Writer for received files; nullptr (the default) selects CFileWriter::instance().
    void setFileWriter(CFileWriter *writer);
    /// Configuration whose project type goes into every header; nullptr
    /// (the default) selects CConfigManager::instance().
    void setConfigManager(const CConfigManager *config);
    /// Shortens or lengthens the download inactivity limit (milliseconds).
    void setInactivityLimit(int milliseconds);
    /// Changes the heartbeat interval (milliseconds); takes effect at the next start.
    void setHeartbeatInterval(int milliseconds);

signals:
    void connected();
    void disconnected();
    void errorOccurred(QString error);
    void versionChecked(VersionInfo info);
    void sigFileDownloadProgress(QString filePath, QString fileName, quint32 downloaded, quint32 total);
    void sigFileDownloadCompleted(QString filePath, QString fileName);
    void sigFileDownloadError(QString filePath, QString fileName, QString error);
    void heartbeatReceived();

public slots:
    void onConnected();
    void onDisconnected();
    void onError(QAbstractSocket::SocketError error);
    /// The receive step: drains the socket, reassembles and dispatches.
    void onReadyRead();
    void onHeartbeatTimeout();

private slots:
    void onInactivityTimeout();

private:
    bool drainBuffer();
    void noteProgress(int bytes);
    void dispatch(const Packet &packet);
    void handleFileData(const QByteArray &body);
    bool sendRequests(const QList<int> &indices);
    QByteArray downloadRequest(const FileItem &item) const;
    void advanceWindow();
    bool failsLater() const;
    void dropConnection(const QString &reason);
    void abandonConnection();
    void setLastError(const QString &text);
    void failBeforeWait(const QString &text);

    QTcpSocket *socket;
    const CConfigManager *configManager = nullptr;
    QTimer *heartbeatTimer;
    QTimer *inactivityTimer;
    ConnectionState state = Disconnected;
    QString lastErrorText;
    QString serverHost;
    quint16 serverPort = 0;
    PacketAssembler assembler;
    bool heartbeatRunning = false;
    int heartbeatInterval = kHeartbeatIntervalMs;
    FileReceiver receiver;
    DownloadWindow window;
    int pipelineDepth = 1;
    bool startOffsets = false;
    // What ended the head file's transfer while no request waited for it;
    // its request reports it when its turn comes.
    QString deferredError;
    // The window index a running request waits for, −1 for none.
    int waitingIndex = -1;
    bool receiving = false;
    bool lastReplyUsable = true;
    bool versionCheckPending = false;
    bool inactivityPaused = false;
    qint64 progressSinceRestart = 0;
    AsyncWaiter *activeWaiter = nullptr;
    bool waitCancelled = false;
};
