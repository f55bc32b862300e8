#pragma once

#include "http/chttpdriver.h"
#include "http/httpview.h"
#include "ui/repaintlimiter.h"

#include <QDialog>
#include <QNetworkReply>
#include <QString>
#include <QVector>

class CConfigManager;
class QTimer;

namespace Ui {
class Widget;
}

/// The HTTP update dialog: it shows the HTTP update that its driver
/// (`CHttpDriver`, in http/) runs, and its slots and update calls forward to
/// that driver. The check fetches the server's version file and manifest;
/// `startUpdate` fetches the changed files and ends with exactly one
/// `sigUpdateResult`. Failures are shown in the two text lines.
class Widget : public QDialog, private HttpView
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
    void setTempDirectory(const QString &dir) { driver.setTempDirectory(dir); }
    /// Emits `sigUpdateResult(false)`, stops a running transfer, then goes.
    ~Widget() override;

    /// Fetches and compares the version file: 0 same version, 1 update
    /// needed, 2 version file not downloaded, 3 version file unreadable.
    int checkVersionFile() { return driver.checkVersionFile(); }
    /// Fetches and compares the manifest: 0 no differences, 1 differences
    /// (see `differences()`), 2 manifest not downloaded.
    int checkManifest() { return driver.checkManifest(); }
    /// Enables the cancel button and fetches every file of the difference map.
    void startUpdate();
    /// Shows the status text in the first line and the detail text in the second.
    void refreshLabels() { driver.refreshLabels(); }
    /// Deletes the check downloads and empties the working directory except
    /// its "update.ini".
    void cleanupTemporaryFiles() { driver.cleanupTemporaryFiles(); }

    /// The version line under the icon: "installed → offered".
    void showVersions(const QString &installed, const QString &offered) override;
    /// The downloaded files (@p files of them) are being put in place.
    void showApplying(int files);
    /// The outcome of the apply; after a failure the button reads "关闭".
    void showApplied(bool ok, const QString &reason = QString());
    /// True once the button has become "关闭": the update is over and the
    /// button (like Escape) closes the dialog.
    bool isFinished() const { return finished; }

    /// Shortens the transfer time-out (ms without data) for tests.
    void setTransferTimeout(int milliseconds) { driver.setTransferTimeout(milliseconds); }
    /// Lowers the size cap of a release file without announced length (tests).
    void setMaxFileBytes(qint64 limit) { driver.setMaxFileBytes(limit); }

    QString currentStatusText() const { return driver.currentStatusText(); }
    /// The detail text; after a failure, the failure's description.
    QString currentDetailText() const { return driver.currentDetailText(); }
    ReleaseTrust *releaseTrust() { return driver.releaseTrust(); }
    QByteArray releaseIdentity() const { return driver.releaseIdentity(); }
    bool isUpdating() const { return driver.isUpdating(); }
    bool isCancelRequested() const { return driver.isCancelRequested(); }
    /// The files that the last `checkManifest` found new or changed.
    const Md5Manifest &differences() const { return driver.differences(); }
    /// The planned downloads of the running or last update.
    const QVector<DownloadEntry> &downloadList() const { return driver.downloadList(); }

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
    static constexpr int kMinPaintIntervalMs = 50;

    void showLines(const QString &status, const QString &detail) override;
    void showStatusLine(const QString &status) override;
    void setOverallRange(int maximum) override;
    void setOverallValue(int value) override;
    void setFileProgress(int percent) override;
    void setCancelEnabled(bool enabled) override;
    void showFailure(const QString &line, const QString &detail) override;
    bool confirmCancel() override;
    void offerClose();
    void present();

    Ui::Widget *ui;
    QTimer *cancelTimer = nullptr;
    // A progress bar repaints at once on every new percentage; a run of small
    // files would otherwise be paced by painting.
    RepaintLimiter repaints{this, kMinPaintIntervalMs};
    bool finished = false;
    // Declared last, so it goes first; it never calls the view while going.
    CHttpDriver driver;
};
