#include "app/cupdatemodel.h"

#include "config/cconfigmanager.h"
#include "config/portnumber.h"
#include "http/chttpupdate.h"
#include "log/logger.h"
#include "tcp/ctcpupdate.h"
#include "tcp/qupdatetcpclient.h"
#include "ui/updatewidget.h"

#include <QEventLoop>
#include <QTimer>

namespace {

constexpr quint16 kProbeTimeoutMs = 500;

} // namespace

CUpdateModel::CUpdateModel(QObject *parent)
    : QObject(parent)
{
}

CUpdateModel::~CUpdateModel() = default;

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

std::unique_ptr<CUpdateTransport> CUpdateModel::buildTransport(Transport kind) const
{
    if (makeTransport)
        return makeTransport(kind);
    switch (kind) {
    case Tcp:
        return std::make_unique<CTCPUpdate>();
    case Http: {
        auto http = std::make_unique<CHttpUpdate>();
        http->attachDialog(httpDialog);
        return http;
    }
    }
    return nullptr;
}

int CUpdateModel::checkForUpdate()
{
    lastError.clear();
    const CConfigManager &config = CConfigManager::instance();
    const QString host = config.updateServer();
    const quint16 port = portNumber(config.updatePort());

    if (!host.isEmpty() && port != 0 && probeTcpService(host, port)) {
        const int result = checkOver(Tcp);
        if (result >= 0)
            return result;
        // The service answered the probe but gave no usable version reply:
        // that is a failed check, not "nothing to update".
        if (!config.isHttpEnabled())
            return -1;
        logWarn(QStringLiteral("TCP版本检查失败，改用HTTP升级: ") + lastError);
        driver.reset();
    }
    if (config.isHttpEnabled())
        return checkOver(Http);

    lastError = QStringLiteral("TCP升级服务连接失败");
    return -1;
}

int CUpdateModel::checkOver(Transport kind)
{
    driver.reset();
    driver = buildTransport(kind);
    if (!driver) {
        lastError = QStringLiteral("TCP升级服务连接失败");
        return -1;
    }
    connect(driver.get(), &CUpdateTransport::sigUpdateResult, this, &CUpdateModel::sigUpdateResult);
    const int result = driver->check();
    if (result < 0)
        lastError = driver->errorString();
    return result;
}

void CUpdateModel::showWindow()
{
    if (driver)
        driver->showWindow();
}

bool CUpdateModel::isWindowVisible() const
{
    return driver && driver->isWindowVisible();
}

void CUpdateModel::showApplying()
{
    if (driver)
        driver->showApplying();
}

void CUpdateModel::showApplied(bool ok, const QString &reason)
{
    if (driver)
        driver->showApplied(ok, reason);
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
    // Before a transport is chosen the controller's idle TCP window stands in.
    return driver ? driver->activeWindow() : static_cast<QWidget *>(tcpWindow);
}

QString CUpdateModel::releaseVersion() const
{
    return driver ? driver->releaseVersion() : QString();
}

ReleaseTrust *CUpdateModel::releaseTrust() const
{
    return driver ? driver->releaseTrust() : nullptr;
}

QByteArray CUpdateModel::releaseIdentity() const
{
    return driver ? driver->releaseIdentity() : QByteArray();
}

void CUpdateModel::cancel()
{
    if (driver)
        driver->cancel();
}

bool CUpdateModel::startUpdate()
{
    return driver ? driver->start() : false;
}
