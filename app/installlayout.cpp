#include "app/installlayout.h"

#include "app/workdirpolicy.h"
#include "fileops/cfileapplier.h"
#include "fileops/durablefile.h"
#include "fileops/tempstamp.h"
#include "log/logger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString withSlash(const QString &dir)
{
    return dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
}

QString resolvedDir(const QString &appDir, const QString &value)
{
    // A value is relative to the installation unless it is absolute itself.
    const QString joined = QDir::isAbsolutePath(value) ? value : appDir + value;
    return withSlash(WorkDirPolicy::resolve(joined));
}

bool isEmptyDir(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty();
}

} // namespace

bool InstallLayout::build(const QString &appDir, const QString &tempValue, const QString &backupValue,
                          const QString &logValue, InstallLayout *out, QString *problem)
{
    InstallLayout layout;
    layout.appDir = withSlash(WorkDirPolicy::resolve(appDir));
    layout.tempDir = resolvedDir(layout.appDir, tempValue);
    layout.backupDir = resolvedDir(layout.appDir, backupValue);
    layout.updateTmpDir = layout.appDir + QStringLiteral("UpdateTmp/");
    layout.logDir = resolvedDir(layout.appDir, logValue);
    *problem = WorkDirPolicy::checkConfiguration(layout.appDir, tempValue, backupValue, layout.tempDir,
                                                 layout.backupDir);
    if (!problem->isEmpty())
        return false;
    *out = layout;
    return true;
}

bool InstallLayout::isWritable(const QString &dir, QString *why)
{
    // Tried rather than read from the permissions: access lists, read-only
    // media and redirection all come down to whether the create succeeds.
    QFile probe(withSlash(dir) + QStringLiteral(".update-write-probe"));
    if (!probe.open(QIODevice::WriteOnly)) {
        if (why)
            *why = probe.errorString();
        return false;
    }
    probe.close();
    probe.remove();
    return true;
}

QString InstallLayout::markerName()
{
    return CFileApplier::workDirMarkerName();
}

bool InstallLayout::isOursOrEmpty(const QString &dir)
{
    const QFileInfo info(dir);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (!info.isDir())
        return false;
    return QFileInfo(withSlash(dir) + markerName()).isFile() || isEmptyDir(dir);
}

bool InstallLayout::prepareWorkDir(const QString &dir)
{
    if (!isOursOrEmpty(dir)) {
        logError(QStringLiteral("目录不是更新程序创建的且不为空，拒绝使用:") + dir);
        return false;
    }
    const QString marker = withSlash(dir) + markerName();
    if (QFileInfo(marker).isFile())
        return true;
    QFile file(marker);
    if (!QDir().mkpath(dir) || !file.open(QIODevice::WriteOnly)) {
        logError(QStringLiteral("无法创建目录:") + dir);
        return false;
    }
    file.write("created by update.exe; removed with this directory\n");
    return true;
}

bool InstallLayout::removeWorkDir(const QString &dir)
{
    const QFileInfo info(dir);
    if (dir.isEmpty() || (!info.exists() && !info.isSymLink()))
        return true;
    if (!isOursOrEmpty(dir)) {
        logError(QStringLiteral("目录不是更新程序创建的，不删除:") + dir);
        return false;
    }
    // The marker goes last: a removal cut short by a crash leaves a
    // directory that still says it is ours, which the next start removes,
    // rather than a foreign-looking one that every later start refuses.
    // A release stamp goes first, so that what is left is not kept as a
    // download to continue.
    QFile::remove(withSlash(dir) + TempStamp::fileName());
    bool ok = true;
    const QFileInfoList entries =
        QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.fileName() == markerName())
            continue;
        DurableFile::operationPoint();
        // A link is removed itself, never what it leads to.
        const bool removed = entry.isDir() && !entry.isSymLink() ? QDir(entry.filePath()).removeRecursively()
                                                                 : QFile::remove(entry.filePath());
        if (!removed) {
            logError(QStringLiteral("无法删除:") + entry.filePath());
            ok = false;
        }
    }
    if (!ok)
        return false;
    DurableFile::operationPoint();
    QFile::remove(withSlash(dir) + markerName());
    return QDir().rmdir(dir);
}
