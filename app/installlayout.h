#pragma once

#include <QString>

/// The directories of one installation, resolved once when the controller
/// initialises and handed to everything that reads or writes below them.
///
/// Every directory is absolute, resolved the way the operating system will
/// follow it, and ends with "/". No other code joins configured values to
/// the application directory.
struct InstallLayout
{
    QString appDir;
    QString tempDir;
    QString backupDir;
    /// Where the self-update helper keeps the replaced updater.
    QString updateTmpDir;
    QString logDir;

    /// Resolves the configured values against @p appDir. False, with the
    /// reason in @p problem, when `Paths`/`Temp` or `Paths`/`Backup` is not
    /// acceptable (the same rules for the updater and the helper).
    static bool build(const QString &appDir, const QString &tempValue, const QString &backupValue,
                      const QString &logValue, InstallLayout *out, QString *problem);

    /// True when a file can be created in @p dir, which an installation
    /// below Program Files cannot without elevation; otherwise @p why (when
    /// given) holds the system's reason.
    static bool isWritable(const QString &dir, QString *why = nullptr);
    /// Name of the file that marks a work directory as created by the updater.
    static QString markerName();
    /// Creates @p dir when missing and marks it as ours. An existing
    /// directory is marked only when it is empty. False when it cannot be
    /// created or is someone else's.
    static bool prepareWorkDir(const QString &dir);
    /// True when @p dir is missing, empty or carries the marker: the updater
    /// may fill it and later remove it.
    static bool isOursOrEmpty(const QString &dir);
    /// Removes @p dir when it is ours (marker) or empty; anything else stays,
    /// with an error line naming it. True when nothing is left.
    static bool removeWorkDir(const QString &dir);
};
