#pragma once

#include "app/installlayout.h"
#include "app/runmode.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class CFileApplier;
class CFileOperationManager;
class CUpdateModel;
class UpdateWidget;
class Widget;

/// The application's coordinating object.
///
/// Reads the command line into a run mode, asks the update model whether an
/// update is needed, reports the result (one JSON line in console mode),
/// applies a finished download with backup and rollback, and starts the
/// client or the self-update helper through the restart script. In the
/// helper role it cleans up or rolls back after a self-update.
class CControler : public QObject
{
    Q_OBJECT

public:
    CControler();
    ~CControler() override;

    /// Creates the windows, the model and the file manager and derives the
    /// temporary and backup directories. False (with an error logged) when
    /// the file manager cannot start or the directories are unsafe.
    bool initialize();
    /// Stores the arguments and picks the run mode; false for the helper role.
    bool parseArguments(const QStringList &args);
    /// The update check and what follows from it; see the class comment.
    bool run();
    /// True when one of the two windows is visible, or when the run has
    /// ended and its exit is waiting for the event loop.
    bool hasVisibleWindow() const;
    /// Starts the client one second from now through the restart script.
    bool launchMainProgram();
    /// Cleans up and starts the client ("HelperSuccess"), or rolls back.
    bool runHelperRole();

    QJsonObject buildResultJson() const;
    /// Writes @p json compactly as one line to standard output.
    static void printJson(const QJsonObject &json);

    // The apply steps, public so that they can be exercised one by one.
    bool backupFiles();
    bool replaceFiles();
    bool rollbackFiles();
    bool hasSelfUpdate() const;
    bool launchUpdateHelper();

    // File primitives over the installation.
    /// Backs up, below @p backupDir, every installed file that a file of
    /// @p newFilesDir will replace. False when such a backup copy fails.
    bool backupDirectory(const QString &newFilesDir, const QString &installedDir, const QString &backupDir);
    bool backupSpecialFiles();
    bool copyDirectory(const QString &src, const QString &dst);
    bool copyFile(const QString &src, const QString &dst);
    bool replaceSpecialFiles();
    void removeTempUpdater();

    RunMode mode() const { return runMode; }
    bool isUpdateAvailable() const { return updateAvailable; }
    bool isSuccess() const { return success; }
    QString lastErrorMessage() const { return errorMessage; }
    QString appDirectory() const { return appDirPath; }
    QString tempDirectoryPath() const { return tempDirPath; }
    QString backupDirectoryPath() const { return backupDirPath; }
    /// The installation's directories, resolved by `initialize`.
    const InstallLayout &installLayout() const { return layout; }
    CUpdateModel *updateModel() const { return model.get(); }

    /// Works on the installation in @p dir instead of the program's own
    /// directory; call before `initialize`. Tests use this.
    void setAppDirectory(const QString &dir);

public slots:
    /// Applies a finished download: backup, replace, rollback on failure,
    /// then starts the client or the self-update helper and quits.
    void onUpdateResult(bool bSuccess);

protected:
    /// Notices the run's window being closed by the user.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool setupDirectories();
    bool recoverInterruptedApply();
    /// A run that must not go on is told: @p text in the log, in the window
    /// (which stays until it is closed) or on the console line with exit
    /// code 1. Neither the client nor an update is started.
    void refuseRun(const QString &text);
    /// The window part of that: @p text in a window the user closes.
    void showRefusal(const QString &text);
    /// False (logged) when the release brings a system.cfg that this
    /// updater would refuse at its next start.
    bool releaseConfigIsUsable() const;
    void watchRunWindow();
    void endRun(int exitCode);
    /// Ends the application's event loop with @p code once it runs.
    void quitEventLoop(int code);
    void removeBackupDir();
    void removeTempDir();
    /// Makes the temporary area ready for the release named by @p identity:
    /// kept as it is when an earlier run left files of that release,
    /// otherwise emptied and stamped with it. False when it cannot be used.
    bool prepareTempDir(const QByteArray &identity);
    void removeWorkDir(const QString &dir);
    /// The version of the release being applied, for the journal.
    QString releaseVersion() const;

    Widget *httpDialog = nullptr;
    UpdateWidget *tcpWindow = nullptr;
    std::unique_ptr<CUpdateModel> model;
    std::unique_ptr<CFileOperationManager> fileManager;
    std::unique_ptr<CFileApplier> applier;
    InstallLayout layout;
    QObject *runWindow = nullptr;
    bool runEnded = false;
    bool exitRequested = false;
    RunMode runMode = RunMode::Window;
    bool runModeSet = false;
    bool updateAvailable = false;
    bool success = true;
    QString errorMessage;
    QStringList arguments;
    QString appDirPath;
    QString tempDirPath;
    QString backupDirPath;
};
