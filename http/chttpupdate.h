#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class Widget;

/// The HTTP transport as the update model sees it: a thin adapter over the
/// dialog `Widget`, which holds the check and the downloads.
///
/// Unlike a plain yes/no, the check tells a failed step from "nothing to
/// update": after `checkForUpdate` returned false, `checkFailed()` says
/// whether a step failed and `failureText()` gives the dialog's detail text
/// of that step (e.g. "服务端版本解析失败").
class CHttpUpdate : public QObject
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
    /// The detail text of the failed step; empty when nothing failed.
    QString failureText() const { return failure; }
    /// The outcome that the last finished update reported.
    bool lastUpdateResult() const { return lastResult; }

signals:
    /// The outcome of the update, relayed from the dialog.
    void sigUpdateResult(bool bSuccess);

private slots:
    void onUpdateEnd(bool bSuccess);

private:
    bool fail(const QString &text);

    QPointer<Widget> dialog;
    bool lastResult = false;
    bool failed = false;
    QString failure;
};
