#pragma once

#include "config/md5manifest.h"
#include "config/releasetrust.h"
#include "http/cblockingdownload.h"
#include "http/downloadentry.h"

#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QVector>

class CConfigManager;
class CFileFetch;
class CompactManifest;
class HttpView;
class QSettings;
class QTimer;

/// The HTTP update itself, behind the dialog that shows it.
///
/// The check (`checkVersionFile`, `checkManifest`) fetches the server's
/// version file and manifest, blocking in a local event loop per download,
/// and leaves the files to fetch in the difference map. With a public key
/// configured it also fetches the release's signed description right after
/// the version file and holds the version file, the manifest and every file
/// to it. `startUpdate` then fetches them into the temporary area, streaming
/// each to disk and checking it against its manifest MD5, and ends with
/// exactly one `sigUpdateResult`. The files come one after another unless the
/// server's version file allows more connections (`[Download]`
/// `Connections`); then several are on their way at once, and the first
/// failure stops them all. The view follows the files in list order.
/// Everything the user sees goes through the view; failures are reported
/// through its two text lines (and the log).
class CHttpDriver : public QObject
{
    Q_OBJECT

public:
    /// Connections that the toolkit opens to one server at most.
    static constexpr int kToolkitConnections = 6;
    /// With pipelining, the requests per allowed connection that are on
    /// their way or waiting for room: the toolkit sends up to 4 on a
    /// connection before the first answer is in, and refills it from the
    /// waiting ones.
    static constexpr int kRequestsPerConnection = 6;

    CHttpDriver(const CConfigManager &config, const QString &appDirectory, HttpView &view);
    /// Stops the running transfers without reporting them.
    ~CHttpDriver() override;

    /// The resolved temporary directory (absolute) that the files go to;
    /// without one, `Paths`/`Temp` is joined to the application directory.
    void setTempDirectory(const QString &dir) { tempDirectory = dir; }
    void setTransferTimeout(int milliseconds) { transferTimeoutMs = milliseconds; }
    /// Largest release file accepted when the server announces no length
    /// (default HttpReplyStatus::kMaxFileBytes); a longer body, or a longer
    /// announced length, fails the update as soon as it is seen.
    void setMaxFileBytes(qint64 limit) { maxFileBytes = limit; }
    /// The watchdog timer of the view; stopped at every completion.
    void setCancelTimer(QTimer *timer) { cancelTimer = timer; }

    int checkVersionFile();
    int checkManifest();
    void startUpdate();
    void refreshLabels();
    void cleanupTemporaryFiles();
    /// The user asked to cancel: confirms, then stops the running update.
    void requestCancel();
    /// The watchdog fired: ends an update that has no transfer running.
    void checkCancelRequest();
    /// Shows the progress of the file at the head of the list.
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    /// The transfer of the file at the head of the list finished or failed.
    void onDownloadFinished();
    void onDownloadError(QNetworkReply::NetworkError error);
    void onUpdateCompleted(bool success);

    QString currentStatusText() const { return statusText; }
    QString currentDetailText() const { return detailText; }
    bool isUpdating() const { return updating; }
    bool isCancelRequested() const { return cancelRequested; }
    const Md5Manifest &differences() const { return diffMap; }
    const QVector<DownloadEntry> &downloadList() const { return downloads; }
    ReleaseTrust *releaseTrust() { return &trust; }
    /// After a check that found an update: the digest of the release's
    /// version, folder, manifest and signed description.
    QByteArray releaseIdentity() const { return identity; }

signals:
    void sigUpdateResult(bool bSuccess);

private:
    bool parseServerVersion();
    bool checkSignedRelease(const QString &versionFile);
    bool checkSignedManifest(const QString &manifestFile, const CompactManifest &remote);
    bool refuseRelease(const QString &text);
    bool downloadToFile(const QString &url, const QString &localPath, bool showProgress,
                        qint64 maxBytes = CBlockingDownload::kDefaultMaxBytes);
    bool readManifestCount(const QSettings &ini, const char *key, qint64 *value);
    bool manifestMatchesVersionFile(const QString &path, int entries);
    QString plannedTempDir(QString *reason) const;
    void startDownloads(const Md5Manifest &map);
    void keepDownloadedFiles(const QString &tempDir);
    bool startFetches();
    void onFetchFinished(int index);
    void showHead();
    void failUpdate(CFileFetch *failed);
    void abandonFetches();
    CFileFetch *headFetch() const;
    void showFailure(bool cancelled);
    QString baseUrl() const;

    const CConfigManager &config;
    HttpView &view;
    QString appDir;
    QString tempDirectory;
    QString serverFolder;
    QString serverVersion;
    // What the server's version file says its manifest holds (bytes,
    // entries); -1 when it does not say (a publisher that predates the keys).
    qint64 manifestBytes = -1;
    qint64 manifestEntries = -1;
    QVector<QString> tempFiles;
    QNetworkAccessManager networkManager;
    QVector<DownloadEntry> downloads;
    // The running fetches by their index in downloads. Every index from
    // currentIndex (the head, shown to the user) up to nextIndex that is not
    // here has been stored.
    QMap<int, CFileFetch *> running;
    qint32 currentIndex = 0;
    qint32 nextIndex = 0;
    qint32 totalCount = 0;
    // [Download] Connections of the server's version file, 1 when it has none.
    int connections = 1;
    bool updating = false;
    bool cancelRequested = false;
    QString statusText;
    QString detailText;
    QTimer *cancelTimer = nullptr;
    Md5Manifest diffMap;
    ReleaseTrust trust;
    QByteArray identity;
    QByteArray descriptionDigest;
    // The temporary area of the running update, ending with "/".
    QString areaDir;

    int transferTimeoutMs;
    qint64 maxFileBytes;
    // Counts emitted results, so a cancellation can tell whether the abort
    // already completed the update.
    int completions = 0;
    // The short user text of the last failure (e.g. "连接超时") and the file
    // it concerns; the technical detail stays in detailText.
    QString failureCause;
    QString failedFile;
};
