#pragma once

#include <QString>
#include <QVector>

/// The record of one apply, kept in the backup directory while the
/// installation is being changed, so that a later process can finish or undo
/// the apply without the (possibly replaced) configuration.
class ApplyJournal
{
public:
    enum class Phase { BackingUp, BackedUp, Replacing, Replaced, HandedToHelper };

    struct Entry
    {
        /// Path of the installed file, relative to the application directory.
        QString target;
        /// Whether the installed file existed before the apply.
        bool existed = false;
        /// The updater itself: kept in the backup, replaced by the helper.
        bool viaHelper = false;
        /// The outermost directory the apply created for this file, relative
        /// to the application directory, or empty.
        QString createdDir;
    };

    QString appDir;
    QString tempDir;
    QString backupDir;
    QString updateTmpDir;
    /// The self-update helper, relative to the application directory: the
    /// one checked before the apply is the one started after it, whatever
    /// the system.cfg the release installed names.
    QString helper;
    /// The version of the release being applied (empty when unknown).
    QString version;
    Phase phase = Phase::BackingUp;
    QVector<Entry> entries;

    /// The journal's place inside a backup directory.
    static QString pathIn(const QString &backupDir);
    /// A fixed file in the installation naming the journal, so that a process
    /// whose configuration moved the backup still finds it.
    static QString locatorPath(const QString &appDir);
    /// The text the locator holds for the journal at @p journalPath: relative
    /// to @p appDir when the journal lies inside it, so that a moved or
    /// copied installation still finds its own journal.
    static QString locatorText(const QString &appDir, const QString &journalPath);
    /// The journal the locator of @p appDir names, or the empty text.
    static QString namedBy(const QString &appDir);

    /// Writes the journal to @p path atomically (temporary file, flush, rename).
    /// Directories inside the application directory are stored relative to it.
    bool save(const QString &path, QString *why) const;
    /// Reads a journal; false for a missing, oversized or malformed file.
    /// Relative directories are resolved against @p appDir (the installation
    /// being recovered, which may have been moved since), else against the
    /// recorded one; `recordedAppDir` keeps what the file says.
    static bool load(const QString &path, ApplyJournal *out, QString *why, const QString &appDir = QString());

    /// Where the journal was written (differs from `appDir` after a move).
    QString recordedAppDir;
    /// True when every directory was stored relative to the installation.
    bool allInside = false;

    static QString phaseName(Phase phase);
};
