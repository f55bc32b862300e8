#pragma once

#include "app/cupdatetransport.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QWidget;
class UpdateWidget;
class Widget;

/// Chooses the transport for this run and holds its driver.
///
/// The TCP service is tried first when one is configured (a 500 ms probe);
/// HTTP is the fallback when `HttpEnable` allows it. Everything after the
/// choice goes through the one transport interface; the driver's result is
/// relayed unchanged through `sigUpdateResult`.
class CUpdateModel : public QObject
{
    Q_OBJECT

public:
    enum Transport { Tcp = CUpdateTransport::Tcp, Http = CUpdateTransport::Http };
    /// Builds the driver of a transport kind; null when it cannot be built.
    using TransportFactory = std::function<std::unique_ptr<CUpdateTransport>(Transport)>;

    explicit CUpdateModel(QObject *parent = nullptr);
    ~CUpdateModel() override;

    /// The controller's two windows; neither is owned.
    void setWidgets(Widget *httpDialog, UpdateWidget *tcpWindow);
    /// Replaces the drivers the model builds (tests put a fake transport here).
    void setTransportFactory(TransportFactory factory) { makeTransport = std::move(factory); }

    /// −1: no update service usable (see `errorText`), 0: nothing to update,
    /// 1: an update is needed.
    int checkForUpdate();
    /// Shows the window of the chosen transport: the HTTP dialog, or the TCP
    /// driver's own progress window (the controller's idle one stays hidden).
    void showWindow();
    /// True when the chosen transport's window is on screen.
    bool isWindowVisible() const;
    /// Tells the transport's window that the downloaded files are being
    /// applied; it is painted before this returns, since the apply blocks.
    void showApplying();
    /// Tells the transport's window how the apply ended. On success, with the
    /// window on screen, the text stays for kSuccessPauseMs (the event loop
    /// runs meanwhile) so that the user sees it before the restart. On
    /// failure @p reason (when known) is shown instead of a pointer to the log.
    void showApplied(bool ok, const QString &reason = QString());

    static constexpr int kSuccessPauseMs = 1000;
    /// The window the chosen transport shows, or null.
    QWidget *activeWindow() const;
    /// The version of the release the check announced, else empty.
    QString releaseVersion() const;
    /// The chosen transport's judgement of the release, or null.
    ReleaseTrust *releaseTrust() const;
    /// The chosen transport's identity of the offered release, or empty.
    QByteArray releaseIdentity() const;
    /// Stops the download of the chosen transport (the user gave up).
    void cancel();
    /// Starts the download of the chosen transport.
    bool startUpdate();
    /// Why the last check failed; empty after a successful check.
    QString errorText() const { return lastError; }
    /// The transport chosen by the last check.
    int transport() const { return driver ? driver->kind() : int(Tcp); }

signals:
    void sigUpdateResult(bool bSuccess);

private:
    bool probeTcpService(const QString &host, quint16 port) const;
    int checkOver(Transport kind);
    std::unique_ptr<CUpdateTransport> buildTransport(Transport kind) const;

    QString lastError;
    std::unique_ptr<CUpdateTransport> driver;
    TransportFactory makeTransport;
    Widget *httpDialog = nullptr;
    UpdateWidget *tcpWindow = nullptr;
};
