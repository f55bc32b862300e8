#pragma once

#include "app/cupdatetransport.h"
#include "config/releasetrust.h"
#include "tcp/versioninfo.h"
#include "ui/repaintlimiter.h"
#include "ui/updatewidget.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>

class CConfigManager;
class CFileWriter;
class QUpdateTcpClient;

/// Runs one update over the TCP transport: the version check that decides
/// whether an update is needed (and, with a public key configured, the
/// check of the release's signed description), then the download of every
/// listed file that the installation does not already hold, in list order
/// (with the next requests on the wire when the service allows it) and with
/// up to four attempts each, shown in a progress window of its own. The files land in the temporary area; applying them is the
/// controller's business once sigUpdateResult(true) has arrived.
///
/// The driver owns its window (a transport reaching into ui/): the window is
/// the driver's progress display, and the two live and die together.
class CTCPUpdate : public CUpdateTransport
{
    Q_OBJECT

public:
    /// Kind of the failure that ended a download run. Verification: every
    /// byte arrived but the file is not the one the release lists.
    enum ErrorClass { Network = 0, FileSystem = 1, Timeout = 2, Cancel = 3, Unknown = 4, Verification = 5 };

    static constexpr int kMaxRetries = 3;
    static constexpr int kRetryPauseMs = 1000;
    static constexpr int kVersionCheckTimeoutMs = 1000;
    /// While a file streams in, the window is repainted when its percentage
    /// changes, at its start and end, and at least this often.
    static constexpr int kProgressRepaintMs = 200;
    /// The window paints at most this often while updates pour in.
    static constexpr int kMinPaintIntervalMs = 50;

    /// A driver over the process-wide configuration and file writer. It
    /// connects to the configured service (1000 ms limit) when `Server` is
    /// configured and system.cfg was loaded.
    CTCPUpdate();
    /// The same over @p config, writing through @p writer (nullptr: the
    /// process-wide writer); for tools and tests.
    CTCPUpdate(const CConfigManager &config, CFileWriter *writer);
    ~CTCPUpdate() override;

    /// Asks the service whether an update exists; true when it offers one.
    /// False also when the check failed: see versionCheckFailed().
    bool checkVersion();
    /// The check as the update model asks it: 1 update, 0 nothing to do
    /// (also for an offer that lists no file), −1 the check failed.
    int check() override;
    /// True when the last checkVersion() got no usable answer (no client,
    /// not connected, request not sent, time-out, error or unreadable reply),
    /// as opposed to a reply saying that there is nothing to update.
    bool versionCheckFailed() const { return checkFailed; }
    /// Why the last check failed, e.g. "TCP版本检查失败: 版本检查超时";
    /// empty after a usable reply.
    QString errorString() const override { return checkError; }

    /// Shows the window and downloads every listed file. True when all
    /// arrived. sigUpdateResult follows from the event loop (after this
    /// returns) whenever a run took place; nothing is emitted when there is
    /// nothing to download.
    bool start() override;

    int kind() const override { return Tcp; }
    void showWindow() override { window.bringToFront(); }
    void cancel() override { onCancelRequested(); }
    QWidget *activeWindow() override { return &window; }
    bool isWindowVisible() const override { return window.isVisible(); }
    void showApplying() override { window.showApplying(downloadList.size()); }
    void showApplied(bool ok, const QString &reason) override { window.showApplied(ok, reason); }
    QString releaseVersion() const override { return versionInfo.version; }
    ReleaseTrust *releaseTrust() override { return &trust; }
    /// After a check that found an update: the digest of the offered
    /// version and its whole file list with sizes and digests.
    QByteArray releaseIdentity() const override { return identity; }

    /// The shared size formatter ("1.50 KB").
    static QString formatSize(qint64 bytes);
    /// Sorts a failure text into an ErrorClass by its keywords: checksum
    /// words first (a mismatch names the file, but no disk is at fault),
    /// then time-out, network, file system and cancel words.
    static ErrorClass classifyError(const QString &text);

    /// Pause between two attempts for one file (1000 ms; tests shorten it).
    void setRetryPause(int milliseconds) { retryPause = milliseconds; }
    /// The driver's own progress window.
    UpdateWidget *progressWindow() { return &window; }
    /// The protocol client, or nullptr when TCP is not configured.
    QUpdateTcpClient *tcpClient() const { return client; }
    const VersionInfo &lastVersionInfo() const { return versionInfo; }
    const QList<FileItem> &files() const { return downloadList; }
    /// Index of the file being fetched, or where the last run stopped (−1 before).
    int currentFileIndex() const { return currentIndex; }

public slots:
    /// Stops the running download: the current wait ends at once and the run
    /// ends with "下载已取消" and a false result.
    void onCancelRequested();

private slots:
    void onVersionChecked(const VersionInfo &info);
    void onFileProgress(const QString &filePath, const QString &fileName, quint32 downloaded, quint32 total);
    void onFileCompleted(const QString &filePath, const QString &fileName);
    void onFileError(const QString &filePath, const QString &fileName, const QString &error);

private:
    bool downloadAll();
    bool downloadWithRetry();
    bool downloadCurrent();
    bool ensureConnected();
    void handleFinalFailure();
    void reportOverallProgress();
    void failCheck(const QString &cause);
    bool verifySignedRelease();
    /// Leaves out the listed files the installation already holds; false
    /// when nothing is left to fetch.
    bool dropInstalledFiles();
    void noteIdentity();
    /// Leaves out the files an interrupted run of this release already
    /// stored whole, and removes from the area what the list does not name.
    void keepDownloadedFiles();
    /// The window, after letting the repaint limiter see the coming update.
    UpdateWidget &display();

    const CConfigManager &config;
    QUpdateTcpClient *client = nullptr;
    UpdateWidget window;
    RepaintLimiter repaints{&window, kMinPaintIntervalMs};
    VersionInfo versionInfo;
    QList<FileItem> downloadList;
    CFileWriter *fileWriter = nullptr;
    ReleaseTrust trust;
    QByteArray identity;
    // The release's signed description, when the reply listed one; it is
    // fetched and checked before any other file and never installed.
    FileItem descriptionItem;
    bool descriptionOffered = false;
    int currentIndex = -1;
    bool cancelRequested = false;
    int maxRetries = kMaxRetries;
    int retryPause = kRetryPauseMs;
    QString serverHost;
    quint16 serverPort = 0;
    bool checkFailed = false;
    bool running = false;
    QString checkError;
    QElapsedTimer progressClock;
    QString shownFile;
    int shownPercent = -1;
};
