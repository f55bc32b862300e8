#include "app/ccontroler.h"

#include "app/cupdatemodel.h"
#include "app/workdirpolicy.h"
#include "config/cconfigmanager.h"
#include "config/releasetrust.h"
#include "fileops/busyreplace.h"
#include "fileops/cfileapplier.h"
#include "fileops/cfileoperationmanager.h"
#include "fileops/cfilewriter.h"
#include "fileops/delaystart.h"
#include "fileops/tempstamp.h"
#include "log/logger.h"
#include "ui/updatewidget.h"
#include "ui/widget.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTextCodec>
#include <QTextStream>
#include <QThread>

#include <cstdio>
#include <exception>

void CControler::quitEventLoop(int code)
{
    // Queued: the result may arrive before the loop runs, and a direct quit
    // would then be lost. Met in a nested wait (a transfer, a message box),
    // the exit ends that wait and is posted again; met outside any loop (a
    // window processing its events), it waits for the application's loop.
    QMetaObject::invokeMethod(
        this,
        [this, code] {
            QCoreApplication::exit(code);
            if (QThread::currentThread()->loopLevel() != 1)
                quitEventLoop(code);
        },
        Qt::QueuedConnection);
}

CControler::CControler()
    : appDirPath(QCoreApplication::applicationDirPath() + QLatin1Char('/'))
{
}

CControler::~CControler()
{
    // The windows have no parent. The HTTP dialog reports a last (false)
    // result while it is destroyed; nothing is left to act on it.
    if (model)
        disconnect(model.get(), nullptr, this, nullptr);
    delete httpDialog;
    httpDialog = nullptr;
    delete tcpWindow;
    tcpWindow = nullptr;
}

void CControler::setAppDirectory(const QString &dir)
{
    appDirPath = dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
}

bool CControler::initialize()
{
    // The dialog works in the installation this controller updates.
    httpDialog = new Widget(CConfigManager::instance(), appDirPath, nullptr);
    tcpWindow = new UpdateWidget(nullptr);

    model = std::make_unique<CUpdateModel>(this);
    model->setWidgets(httpDialog, tcpWindow);
    connect(model.get(), &CUpdateModel::sigUpdateResult, this, &CControler::onUpdateResult);

    fileManager = std::make_unique<CFileOperationManager>(this);
    if (!fileManager->init()) {
        logError("文件操作管理器初始化失败");
        return false;
    }
    return setupDirectories();
}

bool CControler::setupDirectories()
{
    CConfigManager &config = CConfigManager::instance();
    QString problem;
    if (!InstallLayout::build(appDirPath, config.tempPath(), config.backupPath(), config.logPath(), &layout,
                              &problem)) {
        // An apply cut short may have installed the configuration refused
        // here; its journal (named by the locator) restores the old one.
        ApplyJournal journal;
        const CFileApplier::Recovery recovery = CFileApplier::recover(appDirPath, QString(), false, &journal);
        const bool recovered = recovery == CFileApplier::Recovery::RolledBack
                               || recovery == CFileApplier::Recovery::Completed;
        if (recovered) {
            InstallLayout::removeWorkDir(journal.tempDir);
            InstallLayout::removeWorkDir(journal.backupDir);
            config.reload();
        }
        if (!recovered
            || !InstallLayout::build(appDirPath, config.tempPath(), config.backupPath(), config.logPath(), &layout,
                                     &problem)) {
            logError(QStringLiteral("目录配置无效:") + problem);
            return false;
        }
    }
    appDirPath = layout.appDir;
    tempDirPath = layout.tempDir;
    backupDirPath = layout.backupDir;
    logDebug(QStringLiteral("临时目录:") + tempDirPath);
    logDebug(QStringLiteral("备份目录:") + backupDirPath);

    // Both directories are emptied and removed; one that holds someone
    // else's files is never used.
    for (const QString &dir : {tempDirPath, backupDirPath}) {
        if (!InstallLayout::isOursOrEmpty(dir)) {
            logError(QStringLiteral("目录不是更新程序创建的且不为空，拒绝使用:") + dir);
            return false;
        }
    }
    CFileWriter::instance().setTempDirectory(tempDirPath);
    httpDialog->setTempDirectory(tempDirPath);
    return true;
}

bool CControler::parseArguments(const QStringList &args)
{
    arguments = args;
    runModeSet = true;
    if (arguments.contains(QStringLiteral("updatehelper"))) {
        runMode = RunMode::Helper;
        return false;
    }
    runMode = arguments.contains(QStringLiteral("console")) ? RunMode::Console : RunMode::Window;
    return true;
}

bool CControler::run()
{
    if (!runModeSet || runMode == RunMode::Helper)
        return false;

    // Checked first: every step after this one writes to the installation.
    QString why;
    if (!InstallLayout::isWritable(appDirPath, &why)) {
        refuseRun(QStringLiteral("程序目录没有写入权限，无法更新:") + appDirPath + QStringLiteral(" (") + why
                  + QStringLiteral(")。请以管理员身份运行，或将程序安装到有写入权限的目录"));
        return false;
    }
    if (!recoverInterruptedApply()) {
        refuseRun(QStringLiteral("上次更新无法恢复，请检查日志"));
        return false;
    }
    // Old files that were held during the last apply and had to make way.
    BusyReplace::removeLeftovers(appDirPath);
    removeBackupDir();
    // A temporary area stamped with a release waits for the check: what an
    // interrupted run downloaded is kept if the same release is offered
    // again. Anything else left there goes now.
    if (TempStamp::identity(tempDirPath).isEmpty())
        removeTempDir();

    const int result = model->checkForUpdate();
    updateAvailable = result == 1;
    success = result != -1;
    errorMessage = model->errorText();

    if (runMode == RunMode::Console)
        printJson(buildResultJson());

    if (result == -1) {
        // A release refused as not the publisher's is something the user
        // must hear of; the client is not started over it.
        const ReleaseTrust *trust = model->releaseTrust();
        if (runMode == RunMode::Window && trust && !trust->refusal().isEmpty())
            showRefusal(trust->refusal());
        return false;
    }
    if (result == 0) {
        removeTempDir();
        if (runMode == RunMode::Window)
            launchMainProgram();
        return false;
    }
    if (!prepareTempDir(model->releaseIdentity())) {
        endRun(1);
        return false;
    }
    model->showWindow();
    watchRunWindow();
    return model->startUpdate();
}

bool CControler::recoverInterruptedApply()
{
    ApplyJournal journal;
    switch (CFileApplier::recover(appDirPath, backupDirPath, false, &journal)) {
    case CFileApplier::Recovery::Failed:
        return false;
    case CFileApplier::Recovery::RolledBack:
    case CFileApplier::Recovery::Completed:
        // The journal's directories may differ from today's configuration.
        InstallLayout::removeWorkDir(journal.tempDir);
        InstallLayout::removeWorkDir(journal.backupDir);
        return true;
    default:
        return true;
    }
}

void CControler::refuseRun(const QString &text)
{
    success = false;
    errorMessage = text;
    logError(errorMessage);
    if (runMode == RunMode::Console) {
        printJson(buildResultJson());
        endRun(1);
        return;
    }
    showRefusal(errorMessage);
}

void CControler::showRefusal(const QString &text)
{
    // Neither the client nor an update may run; the window says so until the
    // user closes it.
    runEnded = true;
    tcpWindow->bringToFront();
    tcpWindow->showRefusal(QStringLiteral("更新失败"), text);
    watchRunWindow();
}

void CControler::watchRunWindow()
{
    // The run ends through its result only: a window the user closes ends it
    // as a failed update, never as an exit that looks like success.
    QApplication::setQuitOnLastWindowClosed(false);
    runWindow = model->activeWindow();
    if (runWindow)
        runWindow->installEventFilter(this);
}

bool CControler::eventFilter(QObject *watched, QEvent *event)
{
    const bool closing = event->type() == QEvent::Hide || event->type() == QEvent::Close;
    if (watched == runWindow && closing && !exitRequested) {
        if (!runEnded) {
            logError("更新窗口被关闭，更新未完成");
            success = false;
            errorMessage = QStringLiteral("更新已取消");
            model->cancel();
        }
        // Also after a failed apply, whose window waits for the user: closing
        // it is the only way out once the toolkit no longer quits by itself.
        endRun(runMode == RunMode::Console ? 1 : 0);
    }
    return QObject::eventFilter(watched, event);
}

void CControler::endRun(int exitCode)
{
    runEnded = true;
    exitRequested = true;
    quitEventLoop(exitCode);
}

bool CControler::hasVisibleWindow() const
{
    // The TCP driver's window counts too: it is the one shown for TCP.
    return runEnded || (httpDialog && tcpWindow && (tcpWindow->isVisible() || httpDialog->isVisible()))
           || (model && model->isWindowVisible());
}

bool CControler::launchMainProgram()
{
    try {
        CConfigManager &config = CConfigManager::instance();
        config.reload();
        delayStart(appDirPath + config.hostExe(), QStringList());
        return true;
    } catch (const std::exception &ex) {
        success = false;
        errorMessage = QStringLiteral("Failed to launch main program: %1").arg(QString::fromLocal8Bit(ex.what()));
        return false;
    }
}

QJsonObject CControler::buildResultJson() const
{
    QJsonObject json;
    json.insert(QStringLiteral("success"), success);
    json.insert(QStringLiteral("update"), updateAvailable);
    json.insert(QStringLiteral("errormsg"), errorMessage);
    return json;
}

void CControler::printJson(const QJsonObject &json)
{
    const QString line = QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact));
    QTextStream out(stdout);
    // The console's own encoding is used (GBK on a Chinese Windows); a locale
    // that cannot represent the text, such as the POSIX "C" locale, would turn
    // the error message into question marks, so UTF-8 is used then. Checked
    // by a round trip: Windows' code page codec claims it can encode anything.
    if (out.codec()->toUnicode(out.codec()->fromUnicode(line)) != line)
        out.setCodec("UTF-8");
    out << line << '\n';
    out.flush();
}

void CControler::removeWorkDir(const QString &dir)
{
    if (dir.isEmpty() || !QFileInfo(dir).isDir())
        return;
    // Checked again at every removal: whatever the configuration says, the
    // installation itself is never removed.
    if (WorkDirPolicy::coversAppDir(appDirPath, dir)) {
        logError(QStringLiteral("拒绝删除程序目录或其上级目录:") + dir);
        return;
    }
    InstallLayout::removeWorkDir(dir);
}

void CControler::removeBackupDir()
{
    removeWorkDir(backupDirPath);
}

void CControler::removeTempDir()
{
    removeWorkDir(tempDirPath);
}

bool CControler::prepareTempDir(const QByteArray &identity)
{
    if (!identity.isEmpty() && TempStamp::identity(tempDirPath) == identity
        && InstallLayout::isOursOrEmpty(tempDirPath)) {
        logInfo(QStringLiteral("临时目录中有同一版本已下载的文件，继续使用:") + tempDirPath);
        return true;
    }
    removeTempDir();
    if (!InstallLayout::prepareWorkDir(tempDirPath))
        return false;
    // Without a stamp the next run starts from an empty area, as it always did.
    if (!identity.isEmpty())
        TempStamp::write(tempDirPath, identity);
    return true;
}
