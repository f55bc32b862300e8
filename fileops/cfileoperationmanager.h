#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

/// Restores backed-up files over the installation.
///
/// Owned by the controller. `rollback` reports failure by its result and
/// keeps the reason in `lastError` (never cleared); it logs only successes,
/// the caller logs the failure.
class CFileOperationManager : public QObject
{
    Q_OBJECT

public:
    explicit CFileOperationManager(QObject *parent = nullptr);

    /// Prepares the manager; true when it can be used.
    bool init();

    /// Copies each of @p relativePaths (or, when the list is empty, every
    /// top-level entry of @p backupDir) from @p backupDir back into
    /// @p targetDir, replacing what is there. Entries missing from the
    /// backup are skipped. Stops at the first failure.
    bool rollback(const QString &backupDir, const QString &targetDir, QStringList relativePaths);

    /// Recursive copy of @p src into @p dst that replaces existing files.
    bool copyTree(const QString &src, const QString &dst);

    /// Why the most recent `rollback` failed.
    QString lastError() const { return lastErrorText; }

private:
    QString lastErrorText;
};
