#pragma once

#include <QObject>
#include <QString>

/// A download that the caller waits for: used for the version file and the
/// manifest of the HTTP check.
///
/// `run` sends a GET through a network access manager of its own, streams
/// the body into the local file as it arrives and returns when the transfer
/// has ended, running a local event loop meanwhile (all other events of the
/// application are delivered inside it). A failed transfer leaves no file.
class CBlockingDownload : public QObject
{
    Q_OBJECT

public:
    /// Default limit for one check download; a version file has a few lines
    /// and a manifest of 100,000 files stays below 10 MiB.
    static constexpr qint64 kDefaultMaxBytes = 64 * 1024 * 1024;

    explicit CBlockingDownload(QObject *parent = nullptr);

    /// Time without received data after which a transfer ends (ms).
    void setTransferTimeout(int milliseconds) { timeoutMs = milliseconds; }
    /// Largest body accepted: a longer announced length, or a body that
    /// grows past it, ends the transfer at once and fails the download.
    void setMaxBytes(qint64 limit) { maxBytes = limit; }

    /// Fetches @p url into @p localPath. True on success; on failure
    /// `errorString()` says why ("无法创建目录:", "无法打开文件:", "下载超时（",
    /// "下载被取消：", "下载错误：", "下载内容超过上限（", "下载内容不完整（"
    /// forms) and the failure is logged. A body shorter than the length the
    /// server announced is a failure even when the toolkit reports none.
    bool run(const QString &url, const QString &localPath);

    QString errorString() const { return error; }

signals:
    /// Relays the reply's progress.
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);

private:
    QString error;
    int timeoutMs;
    qint64 maxBytes = kDefaultMaxBytes;
};
