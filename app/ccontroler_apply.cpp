// The apply flow of CControler: what happens after a download has finished,
// and the helper role that a self-update calls back into.

#include "app/ccontroler.h"

#include "app/cupdatemodel.h"
#include "config/cconfigmanager.h"
#include "config/releasetrust.h"
#include "fileops/cfileapplier.h"
#include "fileops/cfileoperationmanager.h"
#include "fileops/delaystart.h"
#include "fileops/safepath.h"
#include "fileops/tempstamp.h"
#include "log/logger.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <exception>

namespace {

const QString kUpdaterName = QStringLiteral("update.exe");

} // namespace

QString CControler::releaseVersion() const
{
    const QString announced = model ? model->releaseVersion() : QString();
    if (!announced.isEmpty())
        return announced;
    // Over HTTP the server's description was downloaded beside the installed one.
    const QSettings ini(appDirPath + CFileApplier::specialFiles().first().downloaded, QSettings::IniFormat);
    return ini.value(QStringLiteral("Version/Version")).toString();
}

void CControler::onUpdateResult(bool bSuccess)
{
    if (runEnded)
        return; // the run was already ended, by a closed window or an earlier result
    if (!bSuccess) {
        success = false;
        // A script waiting for the console result cannot close the window.
        if (runMode == RunMode::Console) {
            logError("下载失败，控制台模式退出");
            endRun(1);
        }
        return;
    }
    runEnded = true;
    // From here the area belongs to the apply, which moves its files out:
    // it is no download to continue any more.
    QFile::remove(QDir(tempDirPath).filePath(TempStamp::fileName()));
    model->showApplying();
    if (!backupFiles()) {
        success = false;
        model->showApplied(false);
        if (runMode == RunMode::Console)
            endRun(1);
        return;
    }
    if (!replaceFiles()) {
        success = false;
        // The replace's own text (the file, the programs holding it), not a
        // later rollback's.
        errorMessage = applier ? applier->errorString() : QString();
        const QString reason = errorMessage;
        if (!rollbackFiles())
            errorMessage = reason + QStringLiteral("; ") + errorMessage;
        model->showApplied(false, reason);
        if (runMode == RunMode::Console) {
            printJson(buildResultJson());
            endRun(1);
        }
        return;
    }
    // Only an installed release raises the bar for the next one.
    if (ReleaseTrust *trust = model->releaseTrust())
        trust->recordInstalled();
    model->showApplied(true);
    if (!hasSelfUpdate()) {
        applier->commit();
        removeBackupDir();
        removeTempDir();
        launchMainProgram();
    } else {
        applier->markHandedToHelper();
        launchUpdateHelper();
    }
    endRun(0);
}

bool CControler::backupFiles()
{
    logInfo("开始执行文件备份操作");
    if (!InstallLayout::prepareWorkDir(backupDirPath))
        return false;
    if (!QFileInfo::exists(tempDirPath))
        logError(QStringLiteral("临时目录不存在:") + tempDirPath);

    applier = std::make_unique<CFileApplier>(appDirPath, tempDirPath, backupDirPath, layout.updateTmpDir);
    if (!applier->plan(releaseVersion()) || !releaseConfigIsUsable()) {
        applier.reset();
        return false;
    }
    if (applier->hasSelfUpdate()) {
        // Checked before anything is touched: without the helper the new
        // updater could never be installed. The journal keeps its name, so
        // the helper started later is this one, whatever the system.cfg of
        // the release names.
        const QString name = CConfigManager::instance().updateHelperExe();
        const QString helper = appDirPath + name;
        if (name.isEmpty() || !SafePath::isSafeRelativePath(name) || !QFileInfo(helper).isFile()) {
            logError(QStringLiteral("更新助手程序不存在，无法自我更新:") + helper);
            applier.reset();
            return false;
        }
        applier->setHelperProgram(name);
    }
    if (!applier->backup()) {
        applier->abandon();
        applier.reset();
        return false;
    }
    logInfo("文件备份操作完成");
    return true;
}

bool CControler::releaseConfigIsUsable() const
{
    // A release's own system.cfg is checked by the rules this one passed: one
    // the next start would refuse would keep every corrected release out.
    const QString staged = applier->plannedSource(QStringLiteral("system.cfg"));
    if (staged.isEmpty())
        return true;
    const CConfigManager release(staged, staged);
    InstallLayout checked;
    QString problem;
    if (!release.isSystemConfigLoaded())
        problem = QStringLiteral("无法读取");
    else if (!InstallLayout::build(appDirPath, release.tempPath(), release.backupPath(), release.logPath(), &checked,
                                   &problem))
        problem = problem.isEmpty() ? QStringLiteral("目录配置无效") : problem;
    if (problem.isEmpty())
        return true;
    logError(QStringLiteral("新版本的system.cfg无效，拒绝更新:") + staged + QStringLiteral(", ") + problem);
    return false;
}

bool CControler::replaceFiles()
{
    logInfo("开始执行文件替换操作");
    if (!applier) {
        logError("没有可替换的文件，请先备份");
        return false;
    }
    if (!applier->replace())
        return false;
    logInfo("文件替换操作完成");
    return true;
}

bool CControler::rollbackFiles()
{
    if (!applier) {
        // Another process made the backup: its journal says what to undo.
        ApplyJournal journal;
        const CFileApplier::Recovery found = CFileApplier::recover(appDirPath, backupDirPath, true, &journal);
        if (found == CFileApplier::Recovery::Failed) {
            errorMessage = QStringLiteral("更新日志无法读取");
            logError(QStringLiteral("回退文件失败:") + errorMessage);
            return false;
        }
        if (found == CFileApplier::Recovery::PendingHelper)
            applier = std::make_unique<CFileApplier>(journal);
        if (found == CFileApplier::Recovery::RolledBack || found == CFileApplier::Recovery::Completed) {
            InstallLayout::removeWorkDir(journal.tempDir);
            InstallLayout::removeWorkDir(journal.backupDir);
            return found == CFileApplier::Recovery::RolledBack;
        }
    }
    if (applier) {
        tempDirPath = applier->journal().tempDir;
        backupDirPath = applier->journal().backupDir;
        if (!applier->rollback()) {
            errorMessage = applier->errorString();
            logError(QStringLiteral("回退文件失败:") + errorMessage);
            return false;
        }
        applier.reset();
    } else if (!fileManager->rollback(backupDirPath, appDirPath, QStringList())) {
        // A backup without a journal (left by an older updater) is restored whole.
        errorMessage = fileManager->lastError();
        logError(QStringLiteral("回退文件失败:") + errorMessage);
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
        logError(QStringLiteral("临时目录不存在:") + tempDirPath);
        return false;
    }
    const QString candidate = tempDirPath + kUpdaterName;
    if (QFileInfo::exists(candidate)) {
        logInfo(QStringLiteral("发现需要自我更新的update.exe文件:") + candidate);
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
        // The helper that was checked before the apply, not the one the
        // release's system.cfg may name (or leave out).
        const QString helper = applier && !applier->journal().helper.isEmpty() ? applier->journal().helper
                                                                               : config.updateHelperExe();
        delayStart(appDirPath + helper, {kUpdaterName, kUpdaterName});
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
    // The directories come from the journal of the apply that started the
    // self-update, not from the system.cfg that apply may have replaced.
    ApplyJournal journal;
    const CFileApplier::Recovery found = CFileApplier::recover(appDirPath, backupDirPath, true, &journal);
    if (found == CFileApplier::Recovery::PendingHelper) {
        applier = std::make_unique<CFileApplier>(journal);
        tempDirPath = journal.tempDir;
        backupDirPath = journal.backupDir;
    } else if (found == CFileApplier::Recovery::Failed) {
        return false; // nothing is deleted while a journal cannot be acted on
    } else if (found != CFileApplier::Recovery::Nothing) {
        // Whatever the helper says, an apply that never reached it was undone
        // (or finished) just now.
        InstallLayout::removeWorkDir(journal.tempDir);
        InstallLayout::removeWorkDir(journal.backupDir);
        return false;
    }
    if (arguments.contains(QStringLiteral("HelperSuccess"))) {
        if (applier && !applier->commit())
            return false;
        applier.reset();
        removeBackupDir();
        removeTempDir();
        removeTempUpdater();
        return launchMainProgram();
    }
    return rollbackFiles();
}

void CControler::removeTempUpdater()
{
    QString name = CConfigManager::instance().updateExe();
    // Without a configured name the helper keeps the old updater under this one.
    if (name.isEmpty())
        name = kUpdaterName + QStringLiteral(".old");
    // Only a plain file name below UpdateTmp/ is ours to delete: an empty
    // value names the directory itself, and "../x" would leave it.
    if (!SafePath::isSafeFileName(name)) {
        if (!name.isEmpty())
            logError(QStringLiteral("UpdateExe不是合法的文件名:") + name);
        return;
    }
    const QString path = layout.updateTmpDir + name;
    if (!QFileInfo(path).isFile())
        return;
    if (QFile::remove(path)) {
        qDebug() << "Successfully deleted temporary file:" << path;
        logInfo(QStringLiteral("Deleted temp file: ") + path);
    } else {
        qWarning() << "Failed to delete file (permission denied or in use?):" << path;
        logError(QStringLiteral("Failed to delete file: ") + path);
    }
}
