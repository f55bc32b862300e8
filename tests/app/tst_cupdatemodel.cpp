#include "app/ccontroler.h"
#include "app/cupdatemodel.h"
#include "config/cconfigmanager.h"
#include "testinstallation.h"
#include "scriptedserver.h"
#include "testhttpserver.h"
#include "ui/updatewidget.h"
#include "ui/widget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QtTest>

namespace {

// A transport that answers from a script and records what the model asks:
// the model must work with any implementation of the interface.
class FakeTransport : public CUpdateTransport
{
public:
    int answer = 1;
    QString error;
    QStringList calls;
    QWidget window;

    int kind() const override { return 7; }
    int check() override
    {
        calls << QStringLiteral("check");
        return answer;
    }
    QString errorString() const override { return error; }
    void showWindow() override { calls << QStringLiteral("show"); }
    bool start() override
    {
        calls << QStringLiteral("start");
        return true;
    }
    void cancel() override { calls << QStringLiteral("cancel"); }
    QWidget *activeWindow() override { return &window; }
    bool isWindowVisible() const override { return false; }
    void showApplying() override { calls << QStringLiteral("applying"); }
    void showApplied(bool ok) override { calls << QStringLiteral("applied %1").arg(ok); }
    QString releaseVersion() const override { return QStringLiteral("9.9"); }
};

} // namespace

// Transport choice of the update model against real local servers: a TCP
// service scripted by the test and a small HTTP server.
class TestUpdateModel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void nothingUsable();
    void tcpReplyWithoutUpdate();
    void tcpReplyWithUpdate();
    void tcpOfferWithoutFilesIsNothingToDo();
    void silentTcpServiceFallsBackToHttp();
    void silentTcpServiceWithoutHttpFails();
    void tcpErrorReplyIsAFailedCheck();
    void unreachableHttpServerFails();
    void unparsableVersionFileFails();
    void sameHttpVersionIsNothingToDo();
    void closedWindowEndsTheRunAsFailed_data();
    void closedWindowEndsTheRunAsFailed();
    void anyTransportFitsTheModel_data();
    void anyTransportFitsTheModel();

private:
    int check(const QByteArray &config);
    void answerVersion(bool hasUpdate, int fileCount = 1);

    std::unique_ptr<Installation> app;
    std::unique_ptr<ScriptedServer> tcp;
    std::unique_ptr<TestHttpServer> http;
    std::unique_ptr<Widget> dialog;
    std::unique_ptr<UpdateWidget> window;
    std::unique_ptr<CUpdateModel> model;
};

void TestUpdateModel::init()
{
    app = std::make_unique<Installation>();
    tcp = std::make_unique<ScriptedServer>();
    http = std::make_unique<TestHttpServer>();
    QVERIFY(http->start());
}

void TestUpdateModel::cleanup()
{
    model.reset();
    dialog.reset();
    window.reset();
    http.reset();
    tcp.reset();
    app.reset();
}

int TestUpdateModel::check(const QByteArray &config)
{
    app->writeConfig(config);
    CConfigManager::instance().useConfigFile(app->path(QStringLiteral("system.cfg")));
    dialog = std::make_unique<Widget>(CConfigManager::instance(), app->path());
    window = std::make_unique<UpdateWidget>(nullptr);
    model = std::make_unique<CUpdateModel>();
    model->setWidgets(dialog.get(), window.get());
    return model->checkForUpdate();
}

void TestUpdateModel::answerVersion(bool hasUpdate, int fileCount)
{
    tcp->setHandler([hasUpdate, fileCount](QTcpSocket *connection, const Packet &request) {
        if (request.type != TcpProtocol::VersionCheck)
            return;
        QVector<RemoteFileEntry> files;
        for (int i = 0; i < fileCount; ++i)
            files.append(TcpMessages::makeRemoteFileEntry(QStringLiteral("bin"), QStringLiteral("a%1.dll").arg(i)));
        ScriptedServer::send(connection, TcpProtocol::VersionReply,
                             TcpMessages::buildVersionReply(hasUpdate, QStringLiteral("2.0"), 1, files));
    });
}

QByteArray tcpConfig(quint16 port, bool http)
{
    return "[Server]\nUpdateServer=127.0.0.1\nUpdatePort=" + QByteArray::number(port) +
           "\n[Update]\nHttpEnable=" + (http ? "true" : "false") + "\n";
}

void TestUpdateModel::nothingUsable()
{
    QCOMPARE(check("[Update]\nHttpEnable=false\n"), -1);
    QCOMPARE(model->errorText(), QStringLiteral("TCP升级服务连接失败"));
}

void TestUpdateModel::tcpReplyWithoutUpdate()
{
    answerVersion(false);
    QCOMPARE(check(tcpConfig(tcp->port(), true)), 0);
    QCOMPARE(model->transport(), int(CUpdateModel::Tcp));
    QVERIFY(model->errorText().isEmpty());
    QCOMPARE(http->requests().size(), 0);
}

void TestUpdateModel::tcpReplyWithUpdate()
{
    const auto tcpStatus = [] {
        for (QWidget *topLevel : QApplication::topLevelWidgets()) {
            if (topLevel->isVisible())
                return topLevel->findChild<QLabel *>(QStringLiteral("label_status"))->text();
        }
        return QString();
    };
    answerVersion(true);
    QCOMPARE(check(tcpConfig(tcp->port(), false)), 1);
    QCOMPARE(model->transport(), int(CUpdateModel::Tcp));
    // Only the driver's window comes up: the controller's idle copy would sit
    // under it, stale at "准备就绪".
    model->showWindow();
    QVERIFY(model->isWindowVisible());
    QVERIFY(!window->isVisible());
    int visible = 0;
    for (const QWidget *topLevel : QApplication::topLevelWidgets())
        visible += topLevel->isVisible() ? 1 : 0;
    QCOMPARE(visible, 1);

    // The apply's texts reach that window; the success stays a moment.
    model->showApplying();
    QVERIFY(tcpStatus().startsWith(QStringLiteral("正在应用更新")));
    QElapsedTimer shown;
    shown.start();
    model->showApplied(true);
    QVERIFY(shown.elapsed() >= CUpdateModel::kSuccessPauseMs - 50);
    QCOMPARE(tcpStatus(), QStringLiteral("升级成功"));
}

void TestUpdateModel::tcpOfferWithoutFilesIsNothingToDo()
{
    answerVersion(true, 0);
    QCOMPARE(check(tcpConfig(tcp->port(), false)), 0);
    QVERIFY(model->errorText().isEmpty());
}

void TestUpdateModel::silentTcpServiceFallsBackToHttp()
{
    // The service accepts the connection but never answers the version check.
    http->setFile(QStringLiteral("/update.ini"), "[Version]\nFolder=R2\nVersion=2.0\n");
    http->setFile(QStringLiteral("/R2/md5.txt"), "0123456789abcdef0123456789abcdef\t/a.dll\r\n");
    const QByteArray config = tcpConfig(tcp->port(), true) + "URL=" + http->baseUrl().toUtf8() + "\n";
    QCOMPARE(check(config), 1);
    QCOMPARE(model->transport(), int(CUpdateModel::Http));
    QVERIFY(http->requestCount(QStringLiteral("/update.ini")) == 1);
}

void TestUpdateModel::silentTcpServiceWithoutHttpFails()
{
    QCOMPARE(check(tcpConfig(tcp->port(), false)), -1);
    QVERIFY(!model->errorText().isEmpty());
    QVERIFY(model->errorText() != QStringLiteral("TCP升级服务连接失败"));
}

void TestUpdateModel::tcpErrorReplyIsAFailedCheck()
{
    tcp->setHandler([](QTcpSocket *connection, const Packet &request) {
        if (request.type == TcpProtocol::VersionCheck)
            ScriptedServer::send(connection, TcpProtocol::ErrorReply, QByteArray());
    });
    QCOMPARE(check(tcpConfig(tcp->port(), false)), -1);
    QVERIFY2(model->errorText().contains(QStringLiteral("服务器返回错误")), qPrintable(model->errorText()));
}

void TestUpdateModel::unreachableHttpServerFails()
{
    const QString url = http->baseUrl();
    http.reset(); // nothing listens there any more
    QCOMPARE(check("[Update]\nURL=" + url.toUtf8() + "\n"), -1);
    QCOMPARE(model->errorText(), QStringLiteral("下载%1失败").arg(url + QStringLiteral("update.ini")));
    QCOMPARE(model->transport(), int(CUpdateModel::Http));
}

void TestUpdateModel::unparsableVersionFileFails()
{
    http->setFile(QStringLiteral("/update.ini"), "[Version]\nVersion=2.0\n");
    QCOMPARE(check("[Update]\nURL=" + http->baseUrl().toUtf8() + "\n"), -1);
    QCOMPARE(model->errorText(), QStringLiteral("服务端版本解析失败"));
}

void TestUpdateModel::sameHttpVersionIsNothingToDo()
{
    http->setFile(QStringLiteral("/update.ini"), "[Version]\nFolder=R1\nVersion=1.0\n");
    app->write(QStringLiteral("update/update.ini"), "[Version]\nFolder=R1\nVersion=1.0\n");
    QCOMPARE(check("[Update]\nURL=" + http->baseUrl().toUtf8() + "\n"), 0);
    QVERIFY(model->errorText().isEmpty());
}

void TestUpdateModel::closedWindowEndsTheRunAsFailed_data()
{
    QTest::addColumn<bool>("overTcp");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("Esc in the HTTP dialog, console") << false << QStringLiteral("console") << 1;
    QTest::newRow("Esc in the HTTP dialog, window") << false << QString() << 0;
    QTest::newRow("TCP window closed, console") << true << QStringLiteral("console") << 1;
}

void TestUpdateModel::closedWindowEndsTheRunAsFailed()
{
    QFETCH(bool, overTcp);
    QFETCH(QString, mode);
    QFETCH(int, exitCode);
    // The file never arrives: the user gives up and closes the window.
    http->setFile(QStringLiteral("/update.ini"), "[Version]\nFolder=R2\nVersion=2.0\n");
    http->setFile(QStringLiteral("/R2/md5.txt"), "0123456789abcdef0123456789abcdef\t/a.dll\r\n");
    http->setStall(QStringLiteral("/R2/a.dll"), 0);
    answerVersion(true);
    app->writeConfig(overTcp ? tcpConfig(tcp->port(), false)
                             : "[Update]\nHostExe=client.sh\nURL=" + http->baseUrl().toUtf8() + "\n");
    CConfigManager::instance().useConfigFile(app->path(QStringLiteral("system.cfg")));
    CControler controller;
    controller.setAppDirectory(app->path());
    QVERIFY(controller.initialize());
    QVERIFY(controller.parseArguments({QStringLiteral("update"), mode}));
    QTimer::singleShot(300, [&controller] {
        QWidget *window = controller.updateModel()->activeWindow();
        if (qobject_cast<QDialog *>(window))
            QTest::keyClick(window, Qt::Key_Escape);
        else if (window)
            window->close();
    });
    QTimer::singleShot(30000, [] { QCoreApplication::exit(99); });
    controller.run();
    QVERIFY(controller.hasVisibleWindow());
    QCOMPARE(QApplication::exec(), exitCode);
    QVERIFY(!controller.isSuccess());
    QVERIFY(!app->exists(QStringLiteral("a.dll")));
    QVERIFY(!app->exists(QStringLiteral("bin/a0.dll")));
}

void TestUpdateModel::anyTransportFitsTheModel_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("error");
    QTest::newRow("update") << 1 << QString();
    QTest::newRow("nothing to do") << 0 << QString();
    QTest::newRow("failed check") << -1 << QStringLiteral("假的失败");
}

void TestUpdateModel::anyTransportFitsTheModel()
{
    QFETCH(int, answer);
    QFETCH(QString, error);
    app->writeConfig("[Update]\nHttpEnable=true\n");
    CConfigManager::instance().useConfigFile(app->path(QStringLiteral("system.cfg")));
    CUpdateModel fakeModel;
    FakeTransport *fake = nullptr;
    QList<int> asked;
    fakeModel.setTransportFactory([&](CUpdateModel::Transport kind) {
        asked << kind;
        auto transport = std::make_unique<FakeTransport>();
        transport->answer = answer;
        transport->error = error;
        fake = transport.get();
        return std::unique_ptr<CUpdateTransport>(std::move(transport));
    });
    QCOMPARE(fakeModel.checkForUpdate(), answer);
    QCOMPARE(asked, QList<int>{CUpdateModel::Http});
    QCOMPARE(fakeModel.errorText(), error);
    QCOMPARE(fakeModel.transport(), 7);

    QSignalSpy results(&fakeModel, &CUpdateModel::sigUpdateResult);
    fakeModel.showWindow();
    QVERIFY(fakeModel.startUpdate());
    emit fake->sigUpdateResult(true);
    fakeModel.showApplying();
    fakeModel.showApplied(false);
    fakeModel.cancel();
    QCOMPARE(results.size(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), true);
    QCOMPARE(fake->calls, (QStringList{QStringLiteral("check"), QStringLiteral("show"), QStringLiteral("start"),
                                       QStringLiteral("applying"), QStringLiteral("applied 0"),
                                       QStringLiteral("cancel")}));
    QCOMPARE(fakeModel.activeWindow(), &fake->window);
    QCOMPARE(fakeModel.releaseVersion(), QStringLiteral("9.9"));
    QVERIFY(!fakeModel.isWindowVisible());
}

QTEST_MAIN(TestUpdateModel)
#include "tst_cupdatemodel.moc"
