#include "app/cselfupdatehelper.h"

#include "app/cupdaterswap.h"
#include "app/installlayout.h"
#include "app/instanceguard.h"
#include "config/cconfigmanager.h"
#include "fileops/safepath.h"
#include "log/logger.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QThread>

namespace {

// The fixed name under which the apply flow knows the updater.
const char kUpdaterName[] = "update.exe";
// The directory whose copy of the old updater the helper role removes.
const char kAsideDir[] = "UpdateTmp/";
// Name of the kept old updater when `Update`/`UpdateExe` is not configured.
const char kDefaultAsideSuffix[] = ".old";

} // namespace

CSelfUpdateHelper::CSelfUpdateHelper(const CConfigManager &config, const QString &appDir)
    : config(config)
    , appDir(QDir::cleanPath(QDir(appDir).absolutePath()))
{
}

CSelfUpdateHelper::~CSelfUpdateHelper() = default;

void CSelfUpdateHelper::setWaitTimeout(int milliseconds)
{
    waitTimeoutMs = qMax(0, milliseconds);
}

void CSelfUpdateHelper::setPollInterval(int milliseconds)
{
    pollIntervalMs = qMax(1, milliseconds);
}

void CSelfUpdateHelper::setAfterMoveAsideHook(std::function<void()> hook)
{
    afterMoveAsideHook = std::move(hook);
}

bool CSelfUpdateHelper::run(const QStringList &arguments)
{
    succeeded = false;
    error.clear();
    swap.reset();
    logInfo(QStringLiteral("开始自我更新, 应用目录:") + appDir);

    if (!resolvePaths(arguments) || !waitForOldUpdater()) {
        return false;
    }
    swap = std::make_unique<CUpdaterSwap>(installed, incoming, aside);
    swap->setRetry(waitTimeoutMs, pollIntervalMs);
    swap->setAfterMoveAsideHook(afterMoveAsideHook);
    if (!swap->apply()) {
        error = swap->errorString();
        return false;
    }
    succeeded = true;
    logInfo(QStringLiteral("自我更新完成:") + installed);
    return true;
}

bool CSelfUpdateHelper::resolvePaths(const QStringList &arguments)
{
    // Whatever goes wrong below, the updater to call back is the one the
    // apply flow installed under its fixed name.
    const QString fixedName = QString::fromLatin1(kUpdaterName);
    installed = appDir + QLatin1Char('/') + fixedName;
    incoming.clear();
    aside.clear();

    if (arguments.size() < 2) {
        logWarn(QStringLiteral("参数不足, 使用默认文件名:") + fixedName);
    }
    const QString newName = arguments.value(0, fixedName);
    const QString installedName = arguments.value(1, fixedName);
    QString reason;
    if (!SafePath::isSafeFileName(installedName, &reason)) {
        return fail(QStringLiteral("更新程序文件名无效:") + installedName + QStringLiteral(", ") + reason);
    }
    if (!SafePath::isSafeFileName(newName, &reason)) {
        return fail(QStringLiteral("新的更新程序文件名无效:") + newName + QStringLiteral(", ") + reason);
    }
    installed = appDir + QLatin1Char('/') + installedName;

    // The same rules as the updater's, so that the two never disagree.
    QString tempDir = tempDirectory;
    if (tempDir.isEmpty()) {
        InstallLayout layout;
        if (!InstallLayout::build(appDir, config.tempPath(), config.backupPath(), config.logPath(), &layout,
                                  &reason)) {
            return fail(QStringLiteral("临时目录无效:") + config.tempPath() + QStringLiteral(", ") + reason);
        }
        tempDir = layout.tempDir;
    }
    if (!tempDir.endsWith(QLatin1Char('/'))) {
        tempDir += QLatin1Char('/');
    }
    incoming = tempDir + newName;

    QString asideName = config.updateExe();
    if (asideName.isEmpty()) {
        asideName = installedName + QLatin1String(kDefaultAsideSuffix);
        logWarn(QStringLiteral("未配置UpdateExe, 旧的更新程序保存为:") + asideName);
    } else if (!SafePath::isSafeFileName(asideName, &reason)) {
        return fail(QStringLiteral("UpdateExe文件名无效:") + asideName + QStringLiteral(", ") + reason);
    }
    aside = appDir + QLatin1Char('/') + QLatin1String(kAsideDir) + asideName;

    logDebug(QStringLiteral("已安装的更新程序:") + installed);
    logDebug(QStringLiteral("新的更新程序:") + incoming);
    logDebug(QStringLiteral("旧的更新程序保存到:") + aside);
    return true;
}

bool CSelfUpdateHelper::waitForOldUpdater()
{
    const QString key = InstanceGuard::instanceKey(installed);
    logInfo(QStringLiteral("等待旧的更新程序退出:") + installed);
    const QDeadlineTimer deadline(waitTimeoutMs);
    while (InstanceGuard::isHeld(key)) {
        if (deadline.hasExpired()) {
            // Nothing is touched: the running updater's file stays where it is.
            return fail(QStringLiteral("等待旧的更新程序退出超时(") + QString::number(waitTimeoutMs)
                        + QStringLiteral("ms):") + installed);
        }
        QThread::msleep(static_cast<unsigned long>(pollIntervalMs));
    }
    logInfo(QStringLiteral("旧的更新程序已退出:") + installed);
    return true;
}

bool CSelfUpdateHelper::launch()
{
    if (startUpdater()) {
        return true;
    }
    if (!succeeded) {
        return false;
    }
    // The new file passed every check but does not start: the old updater
    // is still kept aside, so put it back and let it roll the other files back.
    logError(QStringLiteral("新的更新程序无法启动, 恢复旧的更新程序:") + installed);
    succeeded = false;
    swap->restore();
    return startUpdater();
}

bool CSelfUpdateHelper::startUpdater()
{
    QProcess process;
    process.setProgram(program());
    process.setArguments(launchArguments());
    process.setWorkingDirectory(appDir);
    qint64 pid = 0;
    if (!process.startDetached(&pid)) {
        return fail(QStringLiteral("启动更新程序失败:") + program() + QStringLiteral(", ") + process.errorString());
    }
    logInfo(QStringLiteral("已启动更新程序:") + program() + QLatin1Char(' ')
                + launchArguments().join(QLatin1Char(' ')) + QStringLiteral(", pid:") + QString::number(pid));
    return true;
}

QString CSelfUpdateHelper::program() const
{
    return installed;
}

QStringList CSelfUpdateHelper::launchArguments() const
{
    return {QStringLiteral("updatehelper"), succeeded ? QStringLiteral("HelperSuccess") : QStringLiteral("HelperFaile")};
}

QString CSelfUpdateHelper::errorString() const
{
    return error;
}

bool CSelfUpdateHelper::fail(const QString &message)
{
    if (error.isEmpty()) {
        error = message;
    }
    logError(message);
    return false;
}
