#pragma once

#include "fileops/applyjournal.h"

#include <QHash>
#include <QString>
#include <QStringList>

/// Applies a downloaded release to an installation so that a crash at any
/// moment leaves every file whole and the apply recoverable.
///
/// `plan` lists what the temporary area (and the downloaded update
/// description and manifest) will replace; `backup` writes the journal and
/// keeps every installed file that will change in the backup directory (by
/// hard link, else by copy); `replace` puts each new file in place by a
/// flushed rename; `rollback` restores the replaced files and deletes the
/// added ones; `commit` ends the apply. `recover` finishes or undoes an
/// apply that a previous process left behind.
class CFileApplier
{
public:
    /// One downloaded file installed under another name.
    struct Special
    {
        /// Name of the file at the top of the temporary area.
        QString tempName;
        /// Where the HTTP check downloaded it, relative to the application directory.
        QString downloaded;
        /// Where it is installed, relative to the application directory.
        QString installed;
    };
    static const QVector<Special> &specialFiles();
    /// The updater's fixed file name.
    static QString updaterName();
    /// The file that marks a work directory as created by the updater; never
    /// part of a release.
    static QString workDirMarkerName();

    CFileApplier(const QString &appDir, const QString &tempDir, const QString &backupDir,
                 const QString &updateTmpDir);
    /// Continues from a journal read from disk.
    explicit CFileApplier(const ApplyJournal &journal);

    /// Lists the files to install. False when the temporary area holds
    /// something that cannot be installed.
    bool plan(const QString &version);
    bool hasSelfUpdate() const;
    /// Records the self-update helper (relative to the application
    /// directory) in the journal that `backup` writes.
    void setHelperProgram(const QString &relativePath) { record.helper = relativePath; }
    /// The planned file installed at @p target (relative), e.g. a release's
    /// own system.cfg; the empty text when the release does not replace it.
    QString plannedSource(const QString &target) const;
    bool backup();
    bool replace();
    bool markHandedToHelper();
    /// Undoes the apply as far as the journal says it went; idempotent, so
    /// that a crash during a rollback is repaired by the next one.
    bool rollback();
    /// Ends the apply: the journal is removed, the new files stay.
    bool commit();
    /// Forgets an apply that never touched the installation.
    void abandon();

    /// Replaces @p target with the file @p source (moved when @p move, else
    /// copied) so that @p target always names a whole file; keeps the
    /// target's permissions and read-only attribute.
    static bool installFile(const QString &source, const QString &target, bool move, QString *why);

    // Tree primitives over an installation, behind the controller's
    // specified ones. Each logs what it did; failures return false.

    /// Keeps in @p backupDir every file of @p installedDir that a file of
    /// @p newFilesDir will replace (an existing backup counts as done).
    static bool backupTree(const QString &newFilesDir, const QString &installedDir, const QString &backupDir);
    /// Keeps the installed update description and manifest below @p backupDir.
    static bool backupSpecialFiles(const QString &appDir, const QString &backupDir);
    /// Copies the tree @p src over @p dst, each file through `copyFile`.
    static bool copyDirectory(const QString &src, const QString &dst);
    /// Replaces @p dst with a copy of @p src that is never seen half-written.
    static bool copyFile(const QString &src, const QString &dst);
    /// Installs the downloaded update description and manifest of @p appDir.
    static bool replaceSpecialFiles(const QString &appDir);

    const ApplyJournal &journal() const { return record; }
    QString errorString() const { return error; }

    enum class Recovery { Nothing, RolledBack, Completed, PendingHelper, Failed };
    /// Looks for a journal named by the installation's locator or lying in
    /// @p backupDir and finishes its job: an apply that did not complete is
    /// rolled back, a completed one committed. With @p keepHelperPhase an
    /// apply handed to the helper is left for the caller (the helper role);
    /// otherwise it is rolled back. @p journal receives what was found.
    static Recovery recover(const QString &appDir, const QString &backupDir, bool keepHelperPhase,
                            ApplyJournal *journal);

private:
    struct Planned
    {
        QString source;
        bool fromTemp = false;
    };
    static bool stageFile(const QString &source, const QString &target, bool move, QString *why);
    /// Renames the staged file over @p target; a held target is renamed to
    /// @p asidePath or beside itself (listed below @p appDir), see BusyReplace.
    static bool commitFile(const QString &target, const QString &asidePath, const QString &appDir, QString *why);
    bool save();
    bool fail(const QString &message);
    void addEntry(const QString &target, const QString &source, bool fromTemp, bool viaHelper);

    ApplyJournal record;
    QVector<Planned> sources;
    QHash<QString, int> entryIndex;
    QString error;
};
