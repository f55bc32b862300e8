#pragma once

#include <QObject>
#include <QString>

#include <memory>

class CHttpUpdate;
class CTCPUpdate;
class QWidget;
class UpdateWidget;
class Widget;

/// Chooses the transport for this run and holds its driver.
///
/// The TCP service is tried first when one is configured (a 500 ms probe);
/// HTTP is the fallback when `HttpEnable` allows it. The driver's result is
/// relayed unchanged through `sigUpdateResult`.
class CUpdateModel : public QObject
{
    Q_OBJECT

public:
    enum Transport { Tcp = 0, Http = 1 };

    explicit CUpdateModel(QObject *parent = nullptr);
    ~CUpdateModel() override;

    /// The controller's two windows; neither is owned.
    void setWidgets(Widget *httpDialog, UpdateWidget *tcpWindow);

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
    /// runs meanwhile) so that the user sees it before the restart.
    void showApplied(bool ok);

    static constexpr int kSuccessPauseMs = 1000;
    /// The window the chosen transport shows, or null.
    QWidget *activeWindow() const;
    /// The version of the release the TCP check announced, else empty.
    QString releaseVersion() const;
    /// Stops the download of the chosen transport (the user gave up).
    void cancel();
    /// Starts the download of the chosen transport.
    bool startUpdate();
    /// Why the last check failed; empty after a successful check.
    QString errorText() const { return lastError; }
    /// The transport chosen by the last check.
    int transport() const { return transportKind; }

signals:
    void sigUpdateResult(bool bSuccess);

private:
    bool probeTcpService(const QString &host, quint16 port) const;
    int checkOverTcp(bool *usable);
    int checkOverHttp();

    int transportKind = Tcp;
    QString lastError;
    std::unique_ptr<CTCPUpdate> tcpDriver;
    std::unique_ptr<CHttpUpdate> httpDriver;
    Widget *httpDialog = nullptr;
    UpdateWidget *tcpWindow = nullptr;
};
