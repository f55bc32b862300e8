#include "app/ccontroler.h"

#include "app/cupdatemodel.h"
#include "app/workdirpolicy.h"
#include "config/cconfigmanager.h"
#include "fileops/cfileoperationmanager.h"
#include "fileops/delaystart.h"
#include "log/logger.h"
#include "ui/updatewidget.h"
#include "ui/widget.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QTextCodec>
#include <QTextStream>

#include <cstdio>
#include <exception>

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
    httpDialog = new Widget(nullptr);
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
    const CConfigManager &config = CConfigManager::instance();
    tempDirPath = appDirPath + config.tempPath();
    if (!tempDirPath.endsWith(QLatin1Char('/')))
        tempDirPath += QLatin1Char('/');
    backupDirPath = appDirPath + config.backupPath();
    if (!backupDirPath.endsWith(QLatin1Char('/')))
        backupDirPath += QLatin1Char('/');
    logDebug((QStringLiteral("临时目录:") + tempDirPath).toStdString());
    logDebug((QStringLiteral("备份目录:") + backupDirPath).toStdString());

    // Both directories are removed as whole trees; refuse a configuration
    // under which that would remove the installation.
    const QString problem = WorkDirPolicy::checkConfiguration(appDirPath, config.tempPath(), config.backupPath(),
                                                              tempDirPath, backupDirPath);
    if (!problem.isEmpty()) {
        logError((QStringLiteral("目录配置无效:") + problem).toStdString());
        return false;
    }
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

    removeBackupDir();
    removeTempDir();

    const int result = model->checkForUpdate();
    updateAvailable = result == 1;
    success = result != -1;
    errorMessage = model->errorText();

    if (runMode == RunMode::Console)
        printJson(buildResultJson());

    if (result == -1)
        return false;
    if (result == 0) {
        if (runMode == RunMode::Window)
            launchMainProgram();
        return false;
    }
    model->showWindow();
    return model->startUpdate();
}

bool CControler::hasVisibleWindow() const
{
    // The TCP driver's window counts too: it is the one shown for TCP.
    return (httpDialog && tcpWindow && (tcpWindow->isVisible() || httpDialog->isVisible()))
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
    // the error message into question marks, so UTF-8 is used then.
    if (!out.codec()->canEncode(line))
        out.setCodec("UTF-8");
    out << line << '\n';
    out.flush();
}

void CControler::removeWorkDir(const QString &dir)
{
    if (dir.isEmpty() || !QDir(dir).exists())
        return;
    // Checked again at every removal: whatever the configuration says, the
    // installation itself is never removed.
    if (WorkDirPolicy::coversAppDir(appDirPath, dir)) {
        logError((QStringLiteral("拒绝删除程序目录或其上级目录:") + dir).toStdString());
        return;
    }
    QDir(dir).removeRecursively();
}

void CControler::removeBackupDir()
{
    removeWorkDir(backupDirPath);
}

void CControler::removeTempDir()
{
    removeWorkDir(tempDirPath);
}
