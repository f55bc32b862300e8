#pragma once

#include "config/md5manifest.h"
#include "http/cdownloadfile.h"
#include "http/downloadentry.h"

#include <QDialog>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QString>
#include <QVector>

class CConfigManager;
class QProgressBar;
class QTimer;

namespace Ui {
class Widget;
}

/// The HTTP update dialog and the HTTP update it shows.
///
/// The check (`checkVersionFile`, `checkManifest`) fetches the server's
/// version file and manifest, blocking in a local event loop per download,
/// and leaves the files to fetch in the difference map. `startUpdate` then
/// fetches them one after another into the temporary area, streaming each
/// to disk and checking it against its manifest MD5, and ends with exactly
/// one `sigUpdateResult`. Failures are reported through the two text lines
/// (and the log); nothing is thrown. The path, address, clean-up and
/// transfer rules live in http/ so that they are tested without a window.
class Widget : public QDialog
{
    Q_OBJECT

public:
    /// The program's dialog: settings from the process-wide configuration
    /// store, files below the application directory.
    explicit Widget(QWidget *parent = nullptr);
    /// A dialog over @p config for the installation in @p appDirectory.
    Widget(const CConfigManager &config, const QString &appDirectory, QWidget *parent = nullptr);
    /// The resolved temporary directory the downloads go to (absolute);
    /// without it the configured value below the application directory is used.
    void setTempDirectory(const QString &dir) { tempDirectory = dir; }
    /// Emits `sigUpdateResult(false)`, stops a running transfer, then goes.
    ~Widget() override;

    /// Fetches and compares the version file: 0 same version, 1 update
    /// needed, 2 version file not downloaded, 3 version file unreadable.
    int checkVersionFile();
    /// Fetches and compares the manifest: 0 no differences, 1 differences
    /// (see `differences()`), 2 manifest not downloaded.
    int checkManifest();
    /// Enables the cancel button and fetches every file of the difference map.
    void startUpdate();
    /// Shows the status text in the first line and the detail text in the second.
    void refreshLabels();
    /// Deletes the check downloads and empties the working directory except
    /// its "update.ini".
    void cleanupTemporaryFiles();

    /// The version line under the icon: "installed → offered".
    void showVersions(const QString &installed, const QString &offered);
    /// The downloaded files (@p files of them) are being put in place.
    void showApplying(int files);
    /// The outcome of the apply; after a failure the button reads "关闭".
    void showApplied(bool ok);
    /// True once the button has become "关闭": the update is over and the
    /// button (like Escape) closes the dialog.
    bool isFinished() const { return finished; }

    /// Shortens the transfer time-out (ms without data) for tests.
    void setTransferTimeout(int milliseconds) { transferTimeoutMs = milliseconds; }

    QString currentStatusText() const { return statusText; }
    /// The detail text; after a failure, the failure's description.
    QString currentDetailText() const { return detailText; }
    bool isUpdating() const { return updating; }
    bool isCancelRequested() const { return cancelRequested; }
    /// The files that the last `checkManifest` found new or changed.
    const Md5Manifest &differences() const { return diffMap; }
    /// The planned downloads of the running or last update.
    const QVector<DownloadEntry> &downloadList() const { return downloads; }

signals:
    /// The outcome of a started update; also false when the dialog goes.
    void sigUpdateResult(bool bSuccess);

public slots:
    /// Escape: empties the working directory while an update runs, then hides.
    void reject() override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

protected slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onDownloadFinished();
    void onDownloadError(QNetworkReply::NetworkError error);
    void onUpdateCompleted(bool success);
    void onCancelUpdate();
    void onCheckCancelRequest();

private:
    bool parseServerVersion();
    bool downloadToFile(const QString &url, const QString &localPath, QProgressBar *progressBar);
    void startDownloads(const Md5Manifest &map);
    void downloadNext();
    void onDownloadReadyRead();
    void failCurrentDownload(const QString &text, const QString &reason);
    void showFailure(bool cancelled);
    void offerClose();
    void present();
    bool isCurrentSender() const;
    QString baseUrl() const;

    Ui::Widget *ui;
    QString appDir;
    QString tempDirectory;
    QString serverFolder;
    QString serverVersion;
    QVector<QString> tempFiles;
    QNetworkAccessManager networkManager;
    QNetworkReply *currentReply = nullptr;
    QVector<DownloadEntry> downloads;
    qint32 currentIndex = 0;
    qint32 totalCount = 0;
    bool updating = false;
    bool cancelRequested = false;
    QString statusText;
    QString detailText;
    QTimer *cancelTimer = nullptr;
    Md5Manifest diffMap;

    const CConfigManager &config;
    CDownloadFile currentFile;
    int transferTimeoutMs;
    // Counts emitted results, so a cancellation can tell whether the abort
    // already completed the update.
    int completions = 0;
    // The short user text of the last failure (e.g. "连接超时") and the file
    // it concerns; the technical detail stays in detailText.
    QString failureCause;
    QString failedFile;
    bool finished = false;
};
