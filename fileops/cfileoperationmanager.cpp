#include "fileops/cfileoperationmanager.h"

#include "log/logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString withSlash(const QString &dir)
{
    return dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
}

constexpr QDir::Filters kEntries = QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot;

} // namespace

CFileOperationManager::CFileOperationManager(QObject *parent)
    : QObject(parent)
{
}

bool CFileOperationManager::init()
{
    return true;
}

bool CFileOperationManager::rollback(const QString &backupDir, const QString &targetDir,
                                     QStringList relativePaths)
{
    if (relativePaths.isEmpty() && QFileInfo::exists(backupDir))
        relativePaths = QDir(backupDir).entryList(kEntries, QDir::Unsorted);

    for (const QString &rel : qAsConst(relativePaths)) {
        const QString src = withSlash(backupDir) + rel;
        const QString dst = withSlash(targetDir) + rel;
        const QFileInfo srcInfo(src);
        if (!srcInfo.exists())
            continue;

        const QString parent = QFileInfo(dst).absolutePath();
        if (!QDir().mkpath(parent)) {
            lastErrorText = QStringLiteral("无法创建目标文件目录: ") + parent;
            return false;
        }
        if (srcInfo.isDir()) {
            if (!copyTree(src, dst)) {
                lastErrorText = QStringLiteral("回退目录失败: ") + src + QStringLiteral(" -> ") + dst;
                return false;
            }
        } else {
            if (QFileInfo::exists(dst) && !QFile::remove(dst)) {
                lastErrorText = QStringLiteral("删除目标文件失败: ") + dst;
                return false;
            }
            if (!QFile::copy(src, dst)) {
                lastErrorText = QStringLiteral("回退文件失败: ") + src + QStringLiteral(" -> ") + dst;
                return false;
            }
        }
        logInfo(QStringLiteral("回退文件成功:") + src + QStringLiteral("->") + dst);
    }
    return true;
}

bool CFileOperationManager::copyTree(const QString &src, const QString &dst)
{
    if (!QFileInfo::exists(src))
        return false;
    if (!QFileInfo::exists(dst) && !QDir().mkpath(dst))
        return false;

    const QFileInfoList entries = QDir(src).entryInfoList(kEntries, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        const QString target = dst + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            if (!copyTree(entry.filePath(), target))
                return false;
        } else if (entry.isFile()) {
            if (QFileInfo::exists(target) && !QFile::remove(target))
                return false;
            if (!QFile::copy(entry.filePath(), target))
                return false;
        }
    }
    return true;
}
