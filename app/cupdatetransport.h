#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QWidget;
class ReleaseTrust;

/// What the update model needs from a transport: a check, a window, a
/// download run and its result. The model holds one of these and never asks
/// which kind it is, so a further transport is a new implementation and one
/// line in the model's factory.
///
/// A transport shows its own window (or the one it was given): the window
/// tells the user about the download and, through `showApplying` and
/// `showApplied`, about the apply that follows it.
class CUpdateTransport : public QObject
{
    Q_OBJECT

public:
    enum Kind { Tcp = 0, Http = 1 };

    explicit CUpdateTransport(QObject *parent = nullptr);
    ~CUpdateTransport() override;

    virtual int kind() const = 0;
    /// 1: an update is needed, 0: nothing to update, −1: the check failed
    /// (see `errorString`).
    virtual int check() = 0;
    /// Why the last check failed; empty after a usable answer.
    virtual QString errorString() const = 0;
    virtual void showWindow() = 0;
    /// Starts the download; the outcome follows through `sigUpdateResult`.
    virtual bool start() = 0;
    /// The user gave up: stops the running download, if the transport can.
    virtual void cancel() = 0;
    /// The window this transport shows, or null.
    virtual QWidget *activeWindow() = 0;
    virtual bool isWindowVisible() const = 0;
    /// The downloaded files are being applied; painted before this returns.
    virtual void showApplying() = 0;
    /// How the apply ended; @p reason is the failure's text, shown in the window.
    virtual void showApplied(bool ok, const QString &reason) = 0;
    /// The version the server announced, when the transport learns it.
    virtual QString releaseVersion() const { return QString(); }
    /// What decided whether the release is the signed one; the controller
    /// records its sequence once the apply succeeded. Null: nothing to record.
    virtual ReleaseTrust *releaseTrust() { return nullptr; }
    /// After a check that found an update: a digest that names the offered
    /// release and everything the download is held to. Files that an
    /// interrupted run left in the temporary area are kept for a run with
    /// the same identity. Empty: never resume.
    virtual QByteArray releaseIdentity() const { return QByteArray(); }

signals:
    /// The outcome of a started download: exactly one per run.
    void sigUpdateResult(bool bSuccess);
};
