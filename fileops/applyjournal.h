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
    /// The version of the release being applied (empty when unknown).
    QString version;
    Phase phase = Phase::BackingUp;
    QVector<Entry> entries;

    /// The journal's place inside a backup directory.
    static QString pathIn(const QString &backupDir);
    /// A fixed file in the installation naming the journal, so that a process
    /// whose configuration moved the backup still finds it.
    static QString locatorPath(const QString &appDir);

    /// Writes the journal to @p path atomically (temporary file, flush, rename).
    bool save(const QString &path, QString *why) const;
    /// Reads a journal; false for a missing, oversized or malformed file.
    static bool load(const QString &path, ApplyJournal *out, QString *why);

    static QString phaseName(Phase phase);
};
