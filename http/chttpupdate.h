#pragma once

#include "app/cupdatetransport.h"

#include <QPointer>
#include <QString>

class Widget;

/// The HTTP transport as the update model sees it: a thin adapter over the
/// dialog `Widget`, whose driver (`CHttpDriver`) runs the check and the
/// downloads.
///
/// Unlike a plain yes/no, the check tells a failed step from "nothing to
/// update": after `checkForUpdate` returned false, `checkFailed()` says
/// whether a step failed and `errorString()` gives the dialog's detail text
/// of that step (e.g. "服务端版本解析失败").
class CHttpUpdate : public CUpdateTransport
{
    Q_OBJECT

public:
    explicit CHttpUpdate(QObject *parent = nullptr);

    /// Uses @p dialog (not owned) for the update and relays its
    /// `sigUpdateResult`. A dialog attached earlier is released.
    void attachDialog(Widget *dialog);

    /// Runs the version check and, when the versions differ, the manifest
    /// check. True when files are to be fetched; false when there is
    /// nothing to update or a step failed (see `checkFailed`).
    bool checkForUpdate();
    /// Starts the downloads in the dialog; the result arrives later through
    /// `sigUpdateResult`. Returns true (false only without a dialog).
    bool startUpdate();

    /// True when the last `checkForUpdate` failed rather than found nothing.
    bool checkFailed() const { return failed; }
    /// The outcome that the last finished update reported.
    bool lastUpdateResult() const { return lastResult; }

    int kind() const override { return Http; }
    int check() override;
    /// The detail text of the failed step; empty when nothing failed.
    QString errorString() const override { return failure; }
    void showWindow() override;
    bool start() override { return startUpdate(); }
    /// Nothing to stop here: the dialog ends its own transfer when closed.
    void cancel() override {}
    QWidget *activeWindow() override;
    bool isWindowVisible() const override;
    void showApplying() override;
    void showApplied(bool ok, const QString &reason) override;
    ReleaseTrust *releaseTrust() override;
    QByteArray releaseIdentity() const override;

private slots:
    void onUpdateEnd(bool bSuccess);

private:
    bool fail(const QString &text);

    QPointer<Widget> dialog;
    bool lastResult = false;
    bool failed = false;
    QString failure;
};
