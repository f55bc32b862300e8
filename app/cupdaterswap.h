#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

/// Replaces an installed program file with a new one so that the installed
/// name always holds a complete, checked program.
///
/// `apply` copies the new file next to the installed one under a temporary
/// name, checks the copy, keeps the installed file under a second name (hard
/// link, else copy), renames the copy over it in one step and checks size, MD5 and (on POSIX) the execute bits. When a
/// step after the move fails, the old file is put back before `apply`
/// returns false. Every failure is logged with the file and the toolkit's
/// error text and kept in `errorString`.
class CUpdaterSwap
{
public:
    /// A swap that installs @p newPath at @p installedPath, keeping the old
    /// file at @p asidePath (whose directory is created when missing).
    CUpdaterSwap(const QString &installedPath, const QString &newPath, const QString &asidePath);

    /// How long a move of a locked file is retried (Windows only: a program
    /// that has just exited may still hold its file), and the pause between tries.
    void setRetry(int timeoutMs, int intervalMs);
    /// Called right after the installed file has been moved aside and before
    /// the new one is renamed into place; lets tests break that step.
    void setAfterMoveAsideHook(std::function<void()> hook);

    /// Performs the swap. True when the new file is installed and checked;
    /// false with the old file back in place (or untouched).
    bool apply();
    /// Undoes a successful `apply`: renames the kept old file over the new one. True when the old file is in place and matches what was moved.
    bool restore();

    /// The temporary name the new file is copied to before the rename.
    QString stagingPath() const { return installed + QStringLiteral(".new"); }
    /// What went wrong first, or the empty text.
    QString errorString() const { return error; }

private:
    bool stage();
    bool moveOldAside();
    bool installStaged();
    bool replaceWithRetry(const QString &from, const QString &to, QString *why) const;
    bool fail(const QString &message);

    QString installed;
    QString incoming;
    QString aside;
    int retryTimeoutMs = 30000;
    int retryIntervalMs = 100;
    std::function<void()> afterMoveAsideHook;

    QByteArray incomingMd5;
    qint64 incomingSize = -1;
    QByteArray oldMd5;
    bool oldMovedAside = false;
    bool newInstalled = false;
    QString error;
};
