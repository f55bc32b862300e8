#include "http/workdircleanup.h"

#include "log/logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace WorkDirCleanup {

namespace {

bool removeEntry(const QFileInfo &entry)
{
    // A link to a directory is removed as a link: following it would delete
    // files outside the working directory.
    if (entry.isDir() && !entry.isSymLink()) {
        QDir dir(entry.filePath());
        if (dir.removeRecursively())
            return true;
        logWarn(QStringLiteral("无法删除目录:") + entry.filePath());
        return false;
    }
    QFile file(entry.filePath());
    if (file.remove())
        return true;
    logWarn(QStringLiteral("无法删除文件:") + entry.filePath() + QStringLiteral(" ") + file.errorString());
    return false;
}

} // namespace

bool removeFiles(const QVector<QString> &files)
{
    bool ok = true;
    for (const QString &path : files) {
        const QFileInfo info(path);
        // exists() follows links; a dangling link is still an entry to remove.
        if (info.exists() || info.isSymLink())
            ok = removeEntry(info) && ok;
    }
    return ok;
}

bool clearDirectory(const QString &dir, const QString &keptName)
{
    QString bare = dir;
    while (bare.size() > 1 && bare.endsWith(QLatin1Char('/')))
        bare.chop(1);
    const QFileInfo dirInfo(bare);
    if (!dirInfo.isDir())
        return true;
    // Emptying the target of a link would reach outside the installation.
    if (dirInfo.isSymLink()) {
        logWarn(QStringLiteral("工作目录是链接，不清理:") + dir);
        return false;
    }
    const QFileInfoList entries = QDir(bare).entryInfoList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Unsorted);
    bool ok = true;
    for (const QFileInfo &entry : entries) {
        if (entry.fileName() != keptName)
            ok = removeEntry(entry) && ok;
    }
    return ok;
}

} // namespace WorkDirCleanup
