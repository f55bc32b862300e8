// The apply flow of CControler: what happens after a download has finished,
// and the helper role that a self-update calls back into.

#include "app/ccontroler.h"

#include "app/cupdatemodel.h"
#include "app/workdirpolicy.h"
#include "config/cconfigmanager.h"
#include "fileops/cfileoperationmanager.h"
#include "fileops/delaystart.h"
#include "fileops/safepath.h"
#include "log/logger.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <exception>

namespace {

const QString kUpdaterName = QStringLiteral("update.exe");
const QString kUpdateIni = QStringLiteral("update.ini");
const QString kManifest = QStringLiteral("md5.txt");

std::string utf8(const QString &text)
{
    return text.toStdString();
}

// Quit through the event loop: the result may arrive before the loop runs,
// and a direct quit would then be lost.
void quitEventLoop(int code)
{
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
}

QFileInfoList topLevelEntries(const QString &dir)
{
    return QDir(dir).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
}

} // namespace

void CControler::onUpdateResult(bool bSuccess)
{
    if (!bSuccess) {
        // A script waiting for the console result cannot close the window.
        if (runMode == RunMode::Console) {
            logError("下载失败，控制台模式退出");
            quitEventLoop(1);
        }
        return;
    }
    model->showApplying();
    if (!backupFiles()) {
        model->showApplied(false);
        if (runMode == RunMode::Console)
            quitEventLoop(1);
        return;
    }
    if (!replaceFiles()) {
        rollbackFiles();
        model->showApplied(false);
        if (runMode == RunMode::Console)
            quitEventLoop(1);
        return;
    }
    model->showApplied(true);
    if (!hasSelfUpdate()) {
        removeBackupDir();
        removeTempDir();
        launchMainProgram();
    } else {
        launchUpdateHelper();
    }
    quitEventLoop(0);
}

bool CControler::backupFiles()
{
    logInfo("开始执行文件备份操作");
    QDir().mkpath(backupDirPath);
    if (!QFileInfo::exists(tempDirPath))
        logError(utf8(QStringLiteral("临时目录不存在:") + tempDirPath));

    const QDir temp(tempDirPath);
    for (const QFileInfo &entry : topLevelEntries(tempDirPath)) {
        const QString name = entry.fileName();
        if (name == kUpdaterName || name == kUpdateIni || name == kManifest)
            continue;
        const QString rel = temp.relativeFilePath(entry.absoluteFilePath());
        const QString installed = appDirPath + rel;
        const QString backup = backupDirPath + rel;
        if (entry.isDir()) {
            if (!backupDirectory(entry.absoluteFilePath(), installed, backup))
                return false;
        } else if (QFileInfo::exists(installed) && !QFileInfo::exists(backup)) {
            // An installed file about to be replaced must be in the backup,
            // or a later failure could not restore it.
            QDir().mkpath(QFileInfo(backup).absolutePath());
            if (!QFile::copy(installed, backup)) {
                logError(utf8(QStringLiteral("备份文件失败:") + installed + QStringLiteral("->") + backup));
                return false;
            }
        }
    }
    if (!backupSpecialFiles()) {
        logError("备份特殊文件失败");
        return false;
    }
    logInfo("文件备份操作完成");
    return true;
}

bool CControler::replaceFiles()
{
    logInfo("开始执行文件替换操作");
    const QDir temp(tempDirPath);
    for (const QFileInfo &entry : topLevelEntries(tempDirPath)) {
        const QString name = entry.fileName();
        if (name == kUpdaterName)
            continue; // left to the self-update helper
        const QString source = entry.absoluteFilePath();
        QString target;
        if (name == kUpdateIni)
            target = appDirPath + QStringLiteral("update/") + kUpdateIni;
        else if (name == kManifest)
            target = appDirPath + kManifest;
        else
            target = appDirPath + temp.relativeFilePath(source);

        if (entry.isDir()) {
            if (!copyDirectory(source, target)) {
                logError(utf8(QStringLiteral("复制目录失败:") + source + QStringLiteral("->") + target));
                return false;
            }
        } else if (entry.isFile()) {
            if (!copyFile(source, target)) {
                logError(utf8(QStringLiteral("替换文件失败:") + source + QStringLiteral("->") + target));
                return false;
            }
        }
    }
    if (!replaceSpecialFiles()) {
        logError("替换特殊文件失败");
        return false;
    }
    logInfo("文件替换操作完成");
    return true;
}

bool CControler::rollbackFiles()
{
    const QString backupValue = CConfigManager::instance().backupPath();
    if (backupValue.isEmpty()) {
        logError("备份目录未配置");
        return false;
    }
    const QString source = appDirPath + backupValue;
    // Restoring the installation "from" itself would delete each file before
    // copying it onto itself.
    if (WorkDirPolicy::coversAppDir(appDirPath, source)) {
        errorMessage = QStringLiteral("备份目录不能是程序目录或其上级目录:") + source;
        logError(utf8(QStringLiteral("回退文件失败:") + errorMessage));
        return false;
    }
    if (!fileManager->rollback(source, appDirPath, QStringList())) {
        errorMessage = fileManager->lastError();
        logError(utf8(QStringLiteral("回退文件失败:") + errorMessage));
        return false;
    }
    removeTempDir();
    removeBackupDir();
    logInfo("文件回退完成");
    return true;
}

bool CControler::hasSelfUpdate() const
{
    if (!QFileInfo::exists(tempDirPath)) {
        logError(utf8(QStringLiteral("临时目录不存在:") + tempDirPath));
        return false;
    }
    const QString candidate = tempDirPath + kUpdaterName;
    if (QFileInfo::exists(candidate)) {
        logInfo(utf8(QStringLiteral("发现需要自我更新的update.exe文件:") + candidate));
        return true;
    }
    logInfo("临时目录下没有update.exe文件，无需自我更新");
    return false;
}

bool CControler::launchUpdateHelper()
{
    try {
        CConfigManager &config = CConfigManager::instance();
        config.reload();
        delayStart(appDirPath + config.updateHelperExe(), {kUpdaterName, kUpdaterName});
        return true;
    } catch (const std::exception &ex) {
        success = false;
        errorMessage = QStringLiteral("Failed to launch main program: %1").arg(QString::fromLocal8Bit(ex.what()));
        return false;
    }
}

bool CControler::runHelperRole()
{
    if (!runModeSet || runMode != RunMode::Helper)
        return false;
    if (arguments.contains(QStringLiteral("HelperSuccess"))) {
        removeBackupDir();
        removeTempDir();
        removeTempUpdater();
        return launchMainProgram();
    }
    return rollbackFiles();
}

void CControler::removeTempUpdater()
{
    const QString name = CConfigManager::instance().updateExe();
    // Only a plain file name below UpdateTmp/ is ours to delete: an empty
    // value names the directory itself, and "../x" would leave it.
    if (!SafePath::isSafeFileName(name)) {
        if (!name.isEmpty())
            logError(utf8(QStringLiteral("UpdateExe不是合法的文件名:") + name));
        return;
    }
    const QString path = appDirPath + QStringLiteral("UpdateTmp/") + name;
    if (!QFileInfo(path).isFile())
        return;
    if (QFile::remove(path)) {
        qDebug() << "Successfully deleted temporary file:" << path;
        logInfo(utf8(QStringLiteral("Deleted temp file: ") + path));
    } else {
        qWarning() << "Failed to delete file (permission denied or in use?):" << path;
        logError(utf8(QStringLiteral("Failed to delete file: ") + path));
    }
}
