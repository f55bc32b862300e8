#include "http/chttpupdate.h"

#include "log/logger.h"
// The transport drives the controller's dialog (a transport reaching into
// ui/): the flow itself is CHttpDriver, which that dialog shows.
#include "ui/widget.h"

CHttpUpdate::CHttpUpdate(QObject *parent)
    : CUpdateTransport(parent)
{
}

void CHttpUpdate::attachDialog(Widget *newDialog)
{
    if (dialog)
        disconnect(dialog, nullptr, this, nullptr);
    dialog = newDialog;
    if (!dialog)
        return;
    connect(dialog, &Widget::sigUpdateResult, this, &CHttpUpdate::sigUpdateResult);
    connect(dialog, &Widget::sigUpdateResult, this, &CHttpUpdate::onUpdateEnd);
}

bool CHttpUpdate::fail(const QString &text)
{
    failed = true;
    failure = text;
    logError(QStringLiteral("HTTP更新检查失败:") + text);
    return false;
}

bool CHttpUpdate::checkForUpdate()
{
    failed = false;
    failure.clear();
    if (!dialog)
        return fail(QStringLiteral("HTTP升级窗口不存在"));

    switch (dialog->checkVersionFile()) {
    case 0:
        return false;
    case 1:
        break;
    default:
        return fail(dialog->currentDetailText());
    }
    switch (dialog->checkManifest()) {
    case 0:
        return false;
    case 1:
        return true;
    default:
        return fail(dialog->currentDetailText());
    }
}

bool CHttpUpdate::startUpdate()
{
    if (!dialog) {
        logError("HTTP升级窗口不存在，无法开始更新");
        return false;
    }
    dialog->startUpdate();
    return true;
}

int CHttpUpdate::check()
{
    const bool hasUpdate = checkForUpdate();
    if (failed)
        return -1;
    return hasUpdate ? 1 : 0;
}

void CHttpUpdate::showWindow()
{
    if (dialog)
        dialog->show();
}

QWidget *CHttpUpdate::activeWindow()
{
    return dialog;
}

bool CHttpUpdate::isWindowVisible() const
{
    return dialog && dialog->isVisible();
}

void CHttpUpdate::showApplying()
{
    if (dialog)
        dialog->showApplying(dialog->downloadList().size());
}

void CHttpUpdate::showApplied(bool ok, const QString &reason)
{
    if (dialog)
        dialog->showApplied(ok, reason);
}

ReleaseTrust *CHttpUpdate::releaseTrust()
{
    return dialog ? dialog->releaseTrust() : nullptr;
}

QByteArray CHttpUpdate::releaseIdentity() const
{
    return dialog ? dialog->releaseIdentity() : QByteArray();
}

void CHttpUpdate::onUpdateEnd(bool bSuccess)
{
    lastResult = bSuccess;
}
