#include "fileops/cfileapplier.h"

#include "fileops/busyreplace.h"
#include "fileops/durablefile.h"
#include "fileops/safepath.h"
#include "fileops/tempstamp.h"
#include "log/logger.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace {

const QString kStagingSuffix = QStringLiteral(".~upd");
// Where a held installed file goes when it must make way, beside its kept copy.
const QString kAsideSuffix = QStringLiteral(".~old");

QString parentOf(const QString &path)
{
    return QFileInfo(path).absolutePath();
}

bool exists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

QByteArray digest(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result();
}

// Puts the kept @p kept back as @p target. A rename where both lie on one
// file system; across file systems (the backup on another disk, a sub-folder
// of the installation that is a link to one) a flushed copy is staged next
// to the target and renamed over it, so the target is never half-written.
// A held target makes way as in the apply (see BusyReplace).
bool restoreFile(const QString &kept, const QString &target, const QString &appDir, QString *why)
{
    const QString aside = kept + kAsideSuffix;
    if (BusyReplace::replace(kept, target, aside, appDir, why))
        return true;
    const QString staging = target + kStagingSuffix;
    if (exists(staging))
        QFile::remove(staging);
    QString copyWhy;
    if (DurableFile::copyFlushed(kept, staging, &copyWhy)
        && BusyReplace::replace(staging, target, aside, appDir, &copyWhy))
        return true;
    QFile::remove(staging);
    *why += QStringLiteral("; ") + copyWhy;
    return false;
}

// Removes a file the apply added, clearing a read-only attribute first.
bool removeAdded(const QString &path)
{
    if (!exists(path))
        return true;
    DurableFile::clearReadOnly(path);
    return QFile::remove(path);
}

} // namespace

const QVector<CFileApplier::Special> &CFileApplier::specialFiles()
{
    // The one table of files that are installed under another name than
    // they are downloaded under.
    static const QVector<Special> table = {
        {QStringLiteral("update.ini"), QStringLiteral("update/updateTmp.ini"), QStringLiteral("update/update.ini")},
        {QStringLiteral("md5.txt"), QStringLiteral("update/md5Tmp.txt"), QStringLiteral("md5.txt")},
    };
    return table;
}

QString CFileApplier::updaterName()
{
    return QStringLiteral("update.exe");
}

QString CFileApplier::workDirMarkerName()
{
    return QStringLiteral(".updater-workdir");
}

CFileApplier::CFileApplier(const QString &appDir, const QString &tempDir, const QString &backupDir,
                           const QString &updateTmpDir)
{
    record.appDir = appDir;
    record.tempDir = tempDir;
    record.backupDir = backupDir;
    record.updateTmpDir = updateTmpDir;
}

CFileApplier::CFileApplier(const ApplyJournal &journal)
    : record(journal)
{
}

bool CFileApplier::fail(const QString &message)
{
    error = message;
    logError(message);
    return false;
}

void CFileApplier::addEntry(const QString &target, const QString &source, bool fromTemp, bool viaHelper)
{
    const QString key = DurableFile::nameKey(target);
    const auto known = entryIndex.constFind(key);
    if (known != entryIndex.constEnd()) {
        // The later source wins: the downloaded description and manifest
        // are installed over a copy that came with the release.
        sources[known.value()] = Planned{source, fromTemp};
        return;
    }
    entryIndex.insert(key, record.entries.size());
    ApplyJournal::Entry entry;
    entry.target = target;
    entry.viaHelper = viaHelper;
    entry.existed = QFileInfo(record.appDir + target).isFile();
    // The outermost directory this file needs that does not exist yet.
    const QStringList parts = target.split(QLatin1Char('/'));
    QString dir;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        dir += (i ? QStringLiteral("/") : QString()) + parts.at(i);
        if (!exists(record.appDir + dir)) {
            entry.createdDir = dir;
            break;
        }
    }
    record.entries.append(entry);
    sources.append(Planned{source, fromTemp});
}

bool CFileApplier::plan(const QString &version)
{
    record.version = version;
    record.entries.clear();
    sources.clear();
    entryIndex.clear();
    QStringList files;
    // Hidden entries are not part of a release (the work directory's marker is one).
    QDirIterator it(record.tempDir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        files.append(it.filePath().mid(record.tempDir.size()));
    }
    std::sort(files.begin(), files.end());
    for (const QString &rel : files) {
        QString reason;
        if (!SafePath::isSafeRelativePath(rel, &reason))
            return fail(QStringLiteral("临时目录中的文件名无效:") + record.tempDir + rel + QStringLiteral(", ") + reason);
        const QString source = record.tempDir + rel;
        const bool top = !rel.contains(QLatin1Char('/'));
        if (top && (DurableFile::sameName(rel, workDirMarkerName()) || TempStamp::isStampName(rel)))
            continue;
        if (top && DurableFile::sameName(rel, updaterName())) {
            addEntry(updaterName(), source, true, true);
            continue;
        }
        QString target = rel;
        for (const Special &special : specialFiles()) {
            if (top && DurableFile::sameName(rel, special.tempName))
                target = special.installed;
        }
        addEntry(target, source, true, false);
    }
    for (const Special &special : specialFiles()) {
        const QString downloaded = record.appDir + special.downloaded;
        if (QFileInfo(downloaded).isFile())
            addEntry(special.installed, downloaded, false, false);
    }
    return true;
}

QString CFileApplier::plannedSource(const QString &target) const
{
    const auto known = entryIndex.constFind(DurableFile::nameKey(target));
    return known == entryIndex.constEnd() ? QString() : sources.value(known.value()).source;
}

bool CFileApplier::hasSelfUpdate() const
{
    return std::any_of(record.entries.cbegin(), record.entries.cend(),
                       [](const ApplyJournal::Entry &entry) { return entry.viaHelper; });
}

bool CFileApplier::save()
{
    QString why;
    if (!record.save(ApplyJournal::pathIn(record.backupDir), &why))
        return fail(QStringLiteral("无法写入更新日志:") + ApplyJournal::pathIn(record.backupDir) + QStringLiteral(", ")
                    + why);
    return true;
}

bool CFileApplier::backup()
{
    record.phase = ApplyJournal::Phase::BackingUp;
    if (!QDir().mkpath(record.backupDir))
        return fail(QStringLiteral("无法创建备份目录:") + record.backupDir);
    // The locator goes first: a journal that exists is always findable.
    DurableFile::operationPoint();
    QSaveFile locator(ApplyJournal::locatorPath(record.appDir));
    const QByteArray named = ApplyJournal::locatorText(record.appDir, ApplyJournal::pathIn(record.backupDir)).toUtf8();
    if (!locator.open(QIODevice::WriteOnly) || locator.write(named) < 0
        || !locator.commit())
        return fail(QStringLiteral("无法写入更新日志位置:") + locator.fileName() + QStringLiteral(", ")
                    + locator.errorString());
    if (!save())
        return false;
    QStringList keptDirs;
    for (const ApplyJournal::Entry &entry : qAsConst(record.entries)) {
        if (!entry.existed)
            continue;
        const QString installed = record.appDir + entry.target;
        const QString kept = record.backupDir + entry.target;
        // A backup made already (a copy that came with the release of a
        // special file) counts as done.
        if (exists(kept))
            continue;
        DurableFile::operationPoint();
#ifdef Q_OS_WIN
        // Windows cannot delete a link to a running program or a loaded
        // library: after the helper's rollback the updater runs from its own
        // file again, and the backup directory would stay. Those are copied.
        const bool byLink = !entry.target.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive)
                            && !entry.target.endsWith(QLatin1String(".dll"), Qt::CaseInsensitive);
#else
        const bool byLink = true;
#endif // Q_OS_WIN
        QString why;
        if (!QDir().mkpath(parentOf(kept))
            || !((byLink && DurableFile::hardLink(installed, kept, &why))
                 || DurableFile::copyFlushed(installed, kept, &why)))
            return fail(QStringLiteral("备份文件失败:") + installed + QStringLiteral("->") + kept + QStringLiteral(", ")
                        + why);
        if (!keptDirs.contains(parentOf(kept)))
            keptDirs.append(parentOf(kept));
    }
    for (const QString &dir : qAsConst(keptDirs))
        DurableFile::flushDirectory(dir);
    record.phase = ApplyJournal::Phase::BackedUp;
    return save();
}

bool CFileApplier::stageFile(const QString &source, const QString &target, bool move, QString *why)
{
    const QString dir = parentOf(target);
    DurableFile::operationPoint();
    if (!QDir().mkpath(dir)) {
        *why = QStringLiteral("无法创建目录:") + dir;
        return false;
    }
    const QFileInfo old(target);
    if (old.exists() && !old.isFile()) {
        *why = QStringLiteral("目标不是文件:") + target;
        return false;
    }
    const QString staging = target + kStagingSuffix;
    if (exists(staging))
        QFile::remove(staging);
    // The new bytes go next to the target, on its file system: moved from the
    // temporary area when it shares that file system, copied otherwise.
    bool placed = move && DurableFile::replace(source, staging, why);
    if (!placed)
        placed = QFile::copy(source, staging);
    if (!placed) {
        *why = QStringLiteral("无法写入:") + staging;
        QFile::remove(staging);
        return false;
    }
    // Downloads carry no permission bits; a replaced file keeps its own, so
    // that an executable stays executable on POSIX.
    if (old.exists())
        QFile::setPermissions(staging, old.permissions());
    return true;
}

bool CFileApplier::commitFile(const QString &target, const QString &asidePath, const QString &appDir, QString *why)
{
    const QString staging = target + kStagingSuffix;
    DurableFile::operationPoint();
    const bool readOnly = DurableFile::clearReadOnly(target);
    const bool replaced = BusyReplace::replace(staging, target, asidePath, appDir, why);
    if (readOnly)
        DurableFile::setReadOnly(target);
    if (!replaced)
        QFile::remove(staging);
    return replaced;
}

bool CFileApplier::installFile(const QString &source, const QString &target, bool move, QString *why)
{
    if (!stageFile(source, target, move, why))
        return false;
    // Without an installation to list leftovers in, a held file is waited for
    // but never renamed aside.
    if (!DurableFile::flushFile(target + kStagingSuffix, why) || !commitFile(target, QString(), QString(), why)) {
        QFile::remove(target + kStagingSuffix);
        return false;
    }
    DurableFile::flushDirectory(parentOf(target));
    return true;
}

bool CFileApplier::replace()
{
    record.phase = ApplyJournal::Phase::Replacing;
    if (!save())
        return false;
    // Three passes, so that the disk is flushed once rather than per file:
    // every new file is staged next to its target, all of them reach the
    // disk, then each is renamed over its target in one step.
    QStringList staged;
    QStringList dirs;
    for (int i = 0; i < record.entries.size(); ++i) {
        const ApplyJournal::Entry &entry = record.entries.at(i);
        if (entry.viaHelper)
            continue; // the helper swaps the running updater
        const QString source = sources.value(i).source;
        const QString target = record.appDir + entry.target;
        QString why;
        if (!stageFile(source, target, sources.value(i).fromTemp, &why))
            return fail(QStringLiteral("替换文件失败:") + source + QStringLiteral("->") + target + QStringLiteral(", ")
                        + why);
        staged.append(target + kStagingSuffix);
        if (!dirs.contains(parentOf(target)))
            dirs.append(parentOf(target));
    }
    QString why;
    if (!DurableFile::flushFiles(record.appDir, staged, &why))
        return fail(QStringLiteral("无法写入磁盘:") + record.appDir + QStringLiteral(", ") + why);
    for (int i = 0; i < record.entries.size(); ++i) {
        const ApplyJournal::Entry &entry = record.entries.at(i);
        if (entry.viaHelper)
            continue;
        const QString source = sources.value(i).source;
        const QString target = record.appDir + entry.target;
        const QString aside = record.backupDir + entry.target + kAsideSuffix;
        if (!commitFile(target, aside, record.appDir, &why))
            return fail(QStringLiteral("替换文件失败:") + source + QStringLiteral("->") + target + QStringLiteral(", ")
                        + why);
        logInfo(QStringLiteral("文件复制成功:") + source + QStringLiteral("->") + target);
    }
    for (const QString &dir : qAsConst(dirs))
        DurableFile::flushDirectory(dir);
    record.phase = ApplyJournal::Phase::Replaced;
    return save();
}

bool CFileApplier::markHandedToHelper()
{
    record.phase = ApplyJournal::Phase::HandedToHelper;
    return save();
}

bool CFileApplier::rollback()
{
    bool ok = true;
    if (record.phase != ApplyJournal::Phase::BackingUp && record.phase != ApplyJournal::Phase::BackedUp) {
        for (int i = record.entries.size() - 1; i >= 0; --i) {
            const ApplyJournal::Entry &entry = record.entries.at(i);
            const QString target = record.appDir + entry.target;
            const QString kept = record.backupDir + entry.target;
            DurableFile::operationPoint();
            if (exists(target + kStagingSuffix))
                QFile::remove(target + kStagingSuffix);
            if (entry.existed) {
                // A kept file that is gone was restored by an earlier, interrupted
                // rollback; one equal to the installed file was never replaced
                // (or is the same file, kept by hard link).
                if (!exists(kept) || digest(kept) == digest(target))
                    continue;
                const bool readOnly = DurableFile::clearReadOnly(target);
                QString why;
                if (!restoreFile(kept, target, record.appDir, &why)) {
                    ok = fail(QStringLiteral("回退文件失败: ") + kept + QStringLiteral(" -> ") + target
                              + QStringLiteral(", ") + why);
                } else {
                    logInfo(QStringLiteral("回退文件成功:") + kept + QStringLiteral("->") + target);
                }
                if (readOnly)
                    DurableFile::setReadOnly(target);
            } else if (!entry.viaHelper) {
                if (!removeAdded(target)) {
                    ok = fail(QStringLiteral("删除新增文件失败: ") + target);
                    continue;
                }
                logInfo(QStringLiteral("删除新增文件:") + target);
                // Directories the apply created go again when nothing else is in them.
                if (!entry.createdDir.isEmpty()) {
                    QString dir = parentOf(target);
                    const QString top = QDir::cleanPath(record.appDir + entry.createdDir);
                    while (dir.size() >= top.size() && QDir().rmdir(dir))
                        dir = parentOf(dir);
                }
            }
            DurableFile::flushDirectory(parentOf(target));
        }
    }
    if (!ok)
        return false;
    return commit();
}

bool CFileApplier::commit()
{
    DurableFile::operationPoint();
    const QString journalPath = ApplyJournal::pathIn(record.backupDir);
    if (exists(journalPath) && !QFile::remove(journalPath))
        return fail(QStringLiteral("无法删除更新日志:") + journalPath);
    DurableFile::flushDirectory(record.backupDir);
    QFile::remove(ApplyJournal::locatorPath(record.appDir));
    DurableFile::flushDirectory(record.appDir);
    return true;
}

void CFileApplier::abandon()
{
    record.phase = ApplyJournal::Phase::BackingUp;
    commit();
}

CFileApplier::Recovery CFileApplier::recover(const QString &appDir, const QString &backupDir, bool keepHelperPhase,
                                             ApplyJournal *journal)
{
    QStringList candidates;
    const QString locatorPath = ApplyJournal::locatorPath(appDir);
    candidates.append(ApplyJournal::namedBy(appDir));
    // Without a configured backup there is only the locator to go by.
    if (!backupDir.isEmpty())
        candidates.append(ApplyJournal::pathIn(backupDir));

    for (const QString &path : qAsConst(candidates)) {
        if (path.isEmpty() || !QFileInfo(path).isFile())
            continue;
        QString why;
        if (!ApplyJournal::load(path, journal, &why, appDir)) {
            logError(QStringLiteral("更新日志无法读取:") + path + QStringLiteral(", ") + why);
            return Recovery::Failed;
        }
        if (ApplyJournal::pathIn(journal->backupDir) != QDir::cleanPath(path)) {
            logError(QStringLiteral("更新日志不属于本程序目录:") + path);
            return Recovery::Failed;
        }
        if (QDir::cleanPath(journal->recordedAppDir) != QDir::cleanPath(appDir)) {
            // The installation was moved or copied since the journal was
            // written. Its targets are relative, so the undo works here too;
            // but a journal outside the installation that the original
            // installation still names is that one's, and never touched.
            const QString original = ApplyJournal::namedBy(journal->recordedAppDir);
            if (!journal->allInside && QDir::cleanPath(original) == QDir::cleanPath(path)) {
                logError(QStringLiteral("更新日志属于另一个程序目录:") + journal->recordedAppDir + QStringLiteral(", ")
                         + path);
                return Recovery::Failed;
            }
            logWarn(QStringLiteral("程序目录已移动，按相对路径恢复:") + journal->recordedAppDir + QStringLiteral("->")
                    + appDir);
        }
        CFileApplier applier(*journal);
        switch (journal->phase) {
        case ApplyJournal::Phase::Replaced:
            // A self-update not yet handed over would leave the old updater
            // with a release that claims the new one.
            if (applier.hasSelfUpdate())
                break;
            logInfo(QStringLiteral("上次更新已完成，清理更新日志:") + path);
            return applier.commit() ? Recovery::Completed : Recovery::Failed;
        case ApplyJournal::Phase::HandedToHelper:
            if (keepHelperPhase)
                return Recovery::PendingHelper;
            break;
        default:
            break;
        }
        logWarn(QStringLiteral("上次更新未完成，开始回退:") + path + QStringLiteral(", 阶段:")
                    + ApplyJournal::phaseName(journal->phase));
        if (!applier.rollback())
            return Recovery::Failed;
        logInfo(QStringLiteral("文件回退完成"));
        return Recovery::RolledBack;
    }
    if (QFileInfo::exists(locatorPath))
        QFile::remove(locatorPath);
    return Recovery::Nothing;
}
