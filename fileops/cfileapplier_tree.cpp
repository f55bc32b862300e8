// The tree primitives of CFileApplier: backup, copy and replacement of the
// files of an installation, used by the controller's specified operations.

#include "fileops/cfileapplier.h"

#include "fileops/durablefile.h"
#include "log/logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QFileInfoList sortedEntries(const QString &dir)
{
    return QDir(dir).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}

// Keeps @p src at @p dst unless a backup is already there (which counts as
// done); false only when a needed backup could not be made.
bool backupOne(const QString &src, const QString &dst)
{
    if (QFileInfo::exists(dst))
        return true;
    QDir().mkpath(QFileInfo(dst).absolutePath());
    return DurableFile::hardLink(src, dst) || DurableFile::copyFlushed(src, dst);
}

} // namespace

bool CFileApplier::backupTree(const QString &newFilesDir, const QString &installedDir, const QString &backupDir)
{
    if (!QFileInfo(newFilesDir).isDir()) {
        logError(QStringLiteral("源目录不存在，无法备份:") + newFilesDir);
        return true; // nothing to back up
    }
    QDir().mkpath(backupDir);
    for (const QFileInfo &entry : sortedEntries(newFilesDir)) {
        const QString installed = installedDir + QLatin1Char('/') + entry.fileName();
        const QString backup = backupDir + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            if (!backupTree(entry.filePath(), installed, backup))
                return false;
        } else if (QFileInfo::exists(installed) && !backupOne(installed, backup)) {
            logError(QStringLiteral("备份文件失败:") + installed + QStringLiteral("->") + backup);
            return false;
        }
    }
    return true;
}

bool CFileApplier::backupSpecialFiles(const QString &appDirPath, const QString &backupDirPath)
{
    for (const Special &special : specialFiles()) {
        const QString src = appDirPath + special.installed;
        const QString dst = backupDirPath + special.installed;
        const QString name = QFileInfo(special.installed).fileName();
        if (!QFileInfo::exists(src))
            continue;
        if (!backupOne(src, dst)) {
            logError(QStringLiteral("备份") + name + QStringLiteral("失败:") + src);
            return false;
        }
        logInfo(QStringLiteral("备份") + name + QStringLiteral("成功:") + src + QStringLiteral("->") + dst);
    }
    return true;
}

bool CFileApplier::copyDirectory(const QString &src, const QString &dst)
{
    if (!QFileInfo(src).isDir()) {
        logError(QStringLiteral("源目录不存在，无法拷贝:") + src);
        return false;
    }
    if (!QFileInfo::exists(dst) && !QDir().mkpath(dst)) {
        logError(QStringLiteral("无法创建目标目录:") + dst);
        return false;
    }
    const QDir target(dst);
    for (const QFileInfo &entry : sortedEntries(src)) {
        const QString to = target.filePath(entry.fileName());
        const bool ok = entry.isDir() ? copyDirectory(entry.filePath(), to) : copyFile(entry.filePath(), to);
        if (!ok)
            return false;
    }
    return true;
}

bool CFileApplier::copyFile(const QString &src, const QString &dst)
{
    QString why;
    if (!installFile(src, dst, false, &why)) {
        logError(QStringLiteral("文件复制失败:") + src + QStringLiteral("->") + dst + QStringLiteral(", ") + why);
        return false;
    }
    logInfo(QStringLiteral("文件复制成功:") + src + QStringLiteral("->") + dst);
    return true;
}

bool CFileApplier::replaceSpecialFiles(const QString &appDirPath)
{
    for (const Special &special : specialFiles()) {
        const QString src = appDirPath + special.downloaded;
        const QString dst = appDirPath + special.installed;
        const QString name = QFileInfo(special.installed).fileName();
        if (!QFileInfo::exists(src)) {
            logWarn(QStringLiteral("临时") + name + QStringLiteral("文件不存在:") + src);
            continue;
        }
        if (!copyFile(src, dst)) {
            logError(QStringLiteral("替换") + name + QStringLiteral("失败:") + src + QStringLiteral("->") + dst);
            return false;
        }
        logInfo(QStringLiteral("替换") + name + QStringLiteral("成功:") + src + QStringLiteral("->") + dst);
    }
    return true;
}
