#include "app/cupdatemodel.h"

#include "config/cconfigmanager.h"
#include "config/portnumber.h"
#include "http/chttpupdate.h"
#include "log/logger.h"
#include "tcp/ctcpupdate.h"
#include "tcp/qupdatetcpclient.h"
#include "ui/updatewidget.h"
#include "ui/widget.h"

#include <QEventLoop>
#include <QTimer>

namespace {

constexpr quint16 kProbeTimeoutMs = 500;

} // namespace

CUpdateModel::CUpdateModel(QObject *parent)
    : QObject(parent)
{
}

CUpdateModel::~CUpdateModel()
{
    httpDriver.reset();
    tcpDriver.reset();
}

void CUpdateModel::setWidgets(Widget *dialog, UpdateWidget *window)
{
    httpDialog = dialog;
    tcpWindow = window;
}

bool CUpdateModel::probeTcpService(const QString &host, quint16 port) const
{
    QUpdateTcpClient probe;
    return probe.connectToServer(host, port, kProbeTimeoutMs);
}

int CUpdateModel::checkForUpdate()
{
    lastError.clear();
    const CConfigManager &config = CConfigManager::instance();
    const QString host = config.updateServer();
    const quint16 port = portNumber(config.updatePort());

    if (!host.isEmpty() && port != 0 && probeTcpService(host, port)) {
        bool usable = false;
        const int result = checkOverTcp(&usable);
        if (usable)
            return result;
        // The service answered the probe but gave no usable version reply:
        // that is a failed check, not "nothing to update".
        if (!config.isHttpEnabled())
            return -1;
        logWarn((QStringLiteral("TCP版本检查失败，改用HTTP升级: ") + lastError).toStdString());
        tcpDriver.reset();
    }
    if (config.isHttpEnabled())
        return checkOverHttp();

    lastError = QStringLiteral("TCP升级服务连接失败");
    return -1;
}

int CUpdateModel::checkOverTcp(bool *usable)
{
    transportKind = Tcp;
    tcpDriver.reset();
    tcpDriver = std::make_unique<CTCPUpdate>();
    connect(tcpDriver.get(), &CTCPUpdate::sigUpdateResult, this, &CUpdateModel::sigUpdateResult);
    const bool hasUpdate = tcpDriver->checkVersion();
    *usable = !tcpDriver->versionCheckFailed();
    if (!*usable) {
        lastError = tcpDriver->checkErrorText();
        return -1;
    }
    // An offer without files leaves nothing to download or apply; starting a
    // run would show a window that no result ever closes.
    if (hasUpdate && tcpDriver->files().isEmpty()) {
        logWarn("TCP更新服务提供了新版本但没有列出任何文件，无需下载");
        return 0;
    }
    return hasUpdate ? 1 : 0;
}

int CUpdateModel::checkOverHttp()
{
    httpDriver.reset();
    httpDriver = std::make_unique<CHttpUpdate>(this);
    transportKind = Http;
    httpDriver->attachDialog(httpDialog);
    connect(httpDriver.get(), &CHttpUpdate::sigUpdateResult, this, &CUpdateModel::sigUpdateResult);
    const bool hasUpdate = httpDriver->checkForUpdate();
    if (httpDriver->checkFailed()) {
        lastError = httpDriver->failureText();
        return -1;
    }
    return hasUpdate ? 1 : 0;
}

void CUpdateModel::showWindow()
{
    // The TCP driver paints its own window; showing the controller's as well
    // would leave a stale copy underneath it.
    if (transportKind == Tcp && tcpDriver)
        tcpDriver->progressWindow()->bringToFront();
    else if (transportKind == Http && httpDialog)
        httpDialog->show();
}

bool CUpdateModel::isWindowVisible() const
{
    if (transportKind == Tcp)
        return tcpDriver && tcpDriver->progressWindow()->isVisible();
    return httpDialog && httpDialog->isVisible();
}

void CUpdateModel::showApplying()
{
    if (transportKind == Tcp && tcpDriver)
        tcpDriver->progressWindow()->showApplying(tcpDriver->files().size());
    else if (transportKind == Http && httpDialog)
        httpDialog->showApplying(httpDialog->downloadList().size());
}

void CUpdateModel::showApplied(bool ok)
{
    if (transportKind == Tcp && tcpDriver)
        tcpDriver->progressWindow()->showApplied(ok);
    else if (transportKind == Http && httpDialog)
        httpDialog->showApplied(ok);
    if (!ok || !isWindowVisible())
        return;
    // A pause with the event loop running, so the window stays live; user
    // input waits, as nothing may start while the restart is under way.
    QEventLoop pause;
    QTimer::singleShot(kSuccessPauseMs, &pause, &QEventLoop::quit);
    pause.exec(QEventLoop::ExcludeUserInputEvents);
}

QWidget *CUpdateModel::activeWindow() const
{
    if (transportKind == Tcp)
        return tcpDriver ? static_cast<QWidget *>(tcpDriver->progressWindow()) : tcpWindow;
    return httpDialog;
}

QString CUpdateModel::releaseVersion() const
{
    // The HTTP check keeps the server's description in a file of its own.
    return transportKind == Tcp && tcpDriver ? tcpDriver->lastVersionInfo().version : QString();
}

void CUpdateModel::cancel()
{
    // The HTTP dialog stops its own transfer when it is closed.
    if (transportKind == Tcp && tcpDriver)
        tcpDriver->onCancelRequested();
}

bool CUpdateModel::startUpdate()
{
    if (transportKind == Tcp)
        return tcpDriver ? tcpDriver->start() : false;
    if (transportKind == Http && httpDriver)
        return httpDriver->startUpdate();
    return false;
}
