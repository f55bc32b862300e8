// File primitives of CControler: backup, copy and replacement of the files
// of an installation. Each logs what it did; failures return false.

#include "app/ccontroler.h"

#include "log/logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

std::string utf8(const QString &text)
{
    return text.toStdString();
}

QFileInfoList sortedEntries(const QString &dir)
{
    return QDir(dir).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}

// Copies @p src to @p dst unless a backup is already there; false only when
// a needed copy failed.
bool backupOne(const QString &src, const QString &dst)
{
    if (QFileInfo::exists(dst))
        return true;
    QDir().mkpath(QFileInfo(dst).absolutePath());
    return QFile::copy(src, dst);
}

} // namespace

bool CControler::backupDirectory(const QString &newFilesDir, const QString &installedDir, const QString &backupDir)
{
    if (!QFileInfo(newFilesDir).isDir()) {
        logError(utf8(QStringLiteral("源目录不存在，无法备份:") + newFilesDir));
        return true; // nothing to back up
    }
    QDir().mkpath(backupDir);
    for (const QFileInfo &entry : sortedEntries(newFilesDir)) {
        const QString installed = installedDir + QLatin1Char('/') + entry.fileName();
        const QString backup = backupDir + QLatin1Char('/') + entry.fileName();
        if (entry.isDir()) {
            if (!backupDirectory(entry.filePath(), installed, backup))
                return false;
        } else if (QFileInfo::exists(installed) && !backupOne(installed, backup)) {
            logError(utf8(QStringLiteral("备份文件失败:") + installed + QStringLiteral("->") + backup));
            return false;
        }
    }
    return true;
}

bool CControler::backupSpecialFiles()
{
    struct Special
    {
        QString src;
        QString dst;
        const char *failed;
        const char *done;
    };
    const Special specials[] = {
        {appDirPath + QStringLiteral("update/update.ini"), backupDirPath + QStringLiteral("update/update.ini"),
         "备份update.ini失败:", "备份update.ini成功:"},
        {appDirPath + QStringLiteral("md5.txt"), backupDirPath + QStringLiteral("md5.txt"), "备份md5.txt失败:",
         "备份md5.txt成功:"},
    };
    for (const Special &file : specials) {
        if (!QFileInfo::exists(file.src))
            continue;
        QDir().mkpath(QFileInfo(file.dst).absolutePath());
        if (!QFile::copy(file.src, file.dst)) {
            logError(utf8(QString::fromUtf8(file.failed) + file.src));
            return false;
        }
        logInfo(utf8(QString::fromUtf8(file.done) + file.src + QStringLiteral("->") + file.dst));
    }
    return true;
}

bool CControler::copyDirectory(const QString &src, const QString &dst)
{
    if (!QFileInfo(src).isDir()) {
        logError(utf8(QStringLiteral("源目录不存在，无法拷贝:") + src));
        return false;
    }
    if (!QFileInfo::exists(dst) && !QDir().mkpath(dst)) {
        logError(utf8(QStringLiteral("无法创建目标目录:") + dst));
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

bool CControler::copyFile(const QString &src, const QString &dst)
{
    QDir().mkpath(QFileInfo(dst).absolutePath());
    const QFileInfo installed(dst);
    // Downloads carry no permission bits; a replaced file keeps its own, so
    // that an executable stays executable on POSIX.
    const QFileDevice::Permissions permissions = installed.exists() ? installed.permissions()
                                                                    : QFileDevice::Permissions();
    if (installed.exists() && !QFile::remove(dst)) {
        logError(utf8(QStringLiteral("无法删除现有文件:") + dst));
        return false;
    }
    if (!QFile::copy(src, dst)) {
        logError(utf8(QStringLiteral("文件复制失败:") + src + QStringLiteral("->") + dst));
        return false;
    }
    if (permissions && !QFile::setPermissions(dst, permissions))
        logWarn(utf8(QStringLiteral("无法保留文件权限:") + dst));
    logInfo(utf8(QStringLiteral("文件复制成功:") + src + QStringLiteral("->") + dst));
    return true;
}

bool CControler::replaceSpecialFiles()
{
    struct Special
    {
        QString src;
        QString dst;
        const char *failed;
        const char *done;
        const char *missing;
    };
    const Special specials[] = {
        {appDirPath + QStringLiteral("update/updateTmp.ini"), appDirPath + QStringLiteral("update/update.ini"),
         "替换update.ini失败:", "替换update.ini成功:", "临时update.ini文件不存在:"},
        {appDirPath + QStringLiteral("update/md5Tmp.txt"), appDirPath + QStringLiteral("md5.txt"),
         "替换md5.txt失败:", "替换md5.txt成功:", "临时md5.txt文件不存在:"},
    };
    for (const Special &file : specials) {
        if (!QFileInfo::exists(file.src)) {
            logWarn(utf8(QString::fromUtf8(file.missing) + file.src));
            continue;
        }
        if (!copyFile(file.src, file.dst)) {
            logError(utf8(QString::fromUtf8(file.failed) + file.src + QStringLiteral("->") + file.dst));
            return false;
        }
        logInfo(utf8(QString::fromUtf8(file.done) + file.src + QStringLiteral("->") + file.dst));
    }
    return true;
}
