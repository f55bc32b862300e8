#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class CConfigManager;
class CUpdaterSwap;

/// Replaces the installed updater with the one downloaded into the temporary
/// area, on behalf of an updater that has quit to let its file be replaced.
///
/// `run` waits (bounded) until the old updater has released its instance
/// marker, then swaps the files (`CUpdaterSwap`), keeping the old updater at
/// "UpdateTmp/" + `Update`/`UpdateExe`; any failure puts the old one back.
/// `launch` then starts the installed updater in its helper role with
/// "HelperSuccess" or "HelperFaile", so that it cleans up or rolls the other
/// files back. Failures are logged and reported as false with a
/// text in `errorString`; the installation always keeps an updater file.
class CSelfUpdateHelper
{
public:
    /// How long the old updater may take to exit by default.
    static constexpr int kDefaultWaitTimeoutMs = 30000;
    /// How often the instance marker is polled by default.
    static constexpr int kDefaultPollIntervalMs = 100;

    /// A helper for the installation in @p appDir, reading its settings
    /// (`Paths`/`Temp`, `Update`/`UpdateExe`) from @p config.
    CSelfUpdateHelper(const CConfigManager &config, const QString &appDir);
    ~CSelfUpdateHelper();

    CSelfUpdateHelper(const CSelfUpdateHelper &) = delete;
    CSelfUpdateHelper &operator=(const CSelfUpdateHelper &) = delete;

    /// Bound for the wait for the old updater (and, on Windows, for retrying
    /// a move of a file that is still locked).
    void setWaitTimeout(int milliseconds);
    /// The resolved temporary directory (absolute, from the journal of the
    /// apply) that holds the new updater; without it the configured one is used.
    void setTempDirectory(const QString &dir) { tempDirectory = dir; }
    /// Pause between two looks at the instance marker.
    void setPollInterval(int milliseconds);
    /// Called right after the installed updater has been moved aside and
    /// before the new one is renamed into place; lets tests break that step.
    void setAfterMoveAsideHook(std::function<void()> hook);

    /// Performs the swap. @p arguments are the program's own arguments
    /// without the program path: the file name of the new updater in the
    /// temporary area and the file name of the installed updater (both
    /// "update.exe"; missing ones default to it). True when the new updater
    /// is installed and checked; false otherwise, with the old one in place.
    bool run(const QStringList &arguments);

    /// Starts `program` with `launchArguments` detached in the application
    /// directory. When the new updater cannot be started after a successful
    /// swap, the old one is put back and started with "HelperFaile" instead.
    /// True when a program was started.
    bool launch();

    /// The updater to start after `run`: the installed updater's path.
    QString program() const;
    /// "updatehelper" followed by "HelperSuccess" or "HelperFaile".
    QStringList launchArguments() const;
    /// What went wrong in the last `run` or `launch`, or the empty text.
    QString errorString() const;

    /// Path of the installed updater (valid after `run`).
    QString installedPath() const { return installed; }
    /// Path of the new updater in the temporary area (valid after `run`).
    QString newUpdaterPath() const { return incoming; }
    /// Where the old updater is kept during and after the swap (valid after `run`).
    QString asidePath() const { return aside; }

private:
    bool resolvePaths(const QStringList &arguments);
    bool waitForOldUpdater();
    bool startUpdater();
    bool fail(const QString &message);

    const CConfigManager &config;
    QString appDir;
    QString tempDirectory;
    int waitTimeoutMs = kDefaultWaitTimeoutMs;
    int pollIntervalMs = kDefaultPollIntervalMs;
    std::function<void()> afterMoveAsideHook;

    QString installed;
    QString incoming;
    QString aside;
    std::unique_ptr<CUpdaterSwap> swap;
    bool succeeded = false;
    QString error;
};
