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
    void showApplied(bool ok, const QString &) override { calls << QStringLiteral("applied %1").arg(ok); }
    QString releaseVersion() const override { return QStringLiteral("9.9"); }
};

// What the scripted TCP service does with a version check.
enum TcpScript { Silent, NoUpdate, Offer, OfferWithoutFiles, ErrorReply };

} // namespace

// Transport choice of the update model against real local servers: a TCP
// service scripted by the test and a small HTTP server.
class TestUpdateModel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void checkPicksTransportAndResult_data();
    void checkPicksTransportAndResult();
    void tcpReplyWithUpdate();
    void closedWindowEndsTheRunAsFailed_data();
    void closedWindowEndsTheRunAsFailed();
    void anyTransportFitsTheModel_data();
    void anyTransportFitsTheModel();

private:
    QByteArray expand(QByteArray config) const;
    int check(const QByteArray &config);
    void answerVersion(TcpScript script);

    std::unique_ptr<Installation> app;
    std::unique_ptr<ScriptedServer> tcp;
    std::unique_ptr<TestHttpServer> http;
    QString url;
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
    url = http->baseUrl();
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

/// @p config with "$TCP" standing for the [Server] lines of the TCP service
/// and "$URL" for the HTTP server's base URL.
QByteArray TestUpdateModel::expand(QByteArray config) const
{
    config.replace("$TCP", "[Server]\nUpdateServer=127.0.0.1\nUpdatePort=" + QByteArray::number(tcp->port()) + "\n");
    return config.replace("$URL", url.toUtf8());
}

int TestUpdateModel::check(const QByteArray &config)
{
    app->writeConfig(expand(config));
    CConfigManager::instance().useConfigFile(app->path(QStringLiteral("system.cfg")));
    dialog = std::make_unique<Widget>(CConfigManager::instance(), app->path());
    window = std::make_unique<UpdateWidget>(nullptr);
    model = std::make_unique<CUpdateModel>();
    model->setWidgets(dialog.get(), window.get());
    return model->checkForUpdate();
}

void TestUpdateModel::answerVersion(TcpScript script)
{
    tcp->setHandler([script](QTcpSocket *connection, const Packet &request) {
        if (request.type != TcpProtocol::VersionCheck || script == Silent)
            return;
        if (script == ErrorReply) {
            ScriptedServer::send(connection, TcpProtocol::ErrorReply, QByteArray());
            return;
        }
        QVector<RemoteFileEntry> files;
        if (script != OfferWithoutFiles)
            files.append(TcpMessages::makeRemoteFileEntry(QStringLiteral("bin"), QStringLiteral("a0.dll")));
        ScriptedServer::send(connection, TcpProtocol::VersionReply,
                             TcpMessages::buildVersionReply(script != NoUpdate, QStringLiteral("2.0"), 1, files));
    });
}

void TestUpdateModel::checkPicksTransportAndResult_data()
{
    QTest::addColumn<QByteArray>("config"); // see expand()
    QTest::addColumn<int>("tcpScript");
    QTest::addColumn<QByteArray>("serverIni");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("transport");
    QTest::addColumn<QString>("error"); // a pattern for the error text; "$URL" as in config
    QTest::addColumn<bool>("httpDown");
    QTest::addColumn<QStringList>("httpRequests");

    const int tcp = CUpdateModel::Tcp;
    const int http = CUpdateModel::Http;
    const QByteArray tcpOnly = "$TCP[Update]\nHttpEnable=false\n";
    const QByteArray httpOnly = "[Update]\nURL=$URL\n";
    const QStringList none;
    const QString noError = QStringLiteral("^$");
    const QStringList ini{QStringLiteral("/update.ini")};
    const char *installedIni = "[Version]\nFolder=R1\nVersion=1.0\n";
    QTest::newRow("nothing usable") << QByteArray("[Update]\nHttpEnable=false\n") << int(Silent) << QByteArray()
                                    << -1 << tcp << QStringLiteral("^TCP升级服务连接失败$") << false << none;
    QTest::newRow("TCP reply without update") << QByteArray("$TCP[Update]\nHttpEnable=true\n") << int(NoUpdate)
                                              << QByteArray() << 0 << tcp << noError << false << none;
    QTest::newRow("TCP offer without files is nothing to do")
        << tcpOnly << int(OfferWithoutFiles) << QByteArray() << 0 << tcp << noError << false << none;
    // The service accepts the connection but never answers the version check
    // (an empty pattern: the TCP failure's text may stay after the HTTP check).
    QTest::newRow("silent TCP service falls back to HTTP")
        << QByteArray("$TCP[Update]\nHttpEnable=true\nURL=$URL\n") << int(Silent)
        << QByteArray("[Version]\nFolder=R2\nVersion=2.0\n") << 1 << http << QString() << false
        << QStringList{QStringLiteral("/update.ini"), QStringLiteral("/R2/md5.txt")};
    QTest::newRow("silent TCP service without HTTP fails")
        << tcpOnly << int(Silent) << QByteArray() << -1 << tcp << QStringLiteral("版本检查超时") << false << none;
    QTest::newRow("TCP error reply is a failed check")
        << tcpOnly << int(ErrorReply) << QByteArray() << -1 << tcp << QStringLiteral("服务器返回错误") << false << none;
    QTest::newRow("unreachable HTTP server") << httpOnly << int(Silent) << QByteArray() << -1 << http
                                             << QStringLiteral("^下载$URLupdate\\.ini失败$") << true << none;
    QTest::newRow("unparsable version file") << httpOnly << int(Silent) << QByteArray("[Version]\nVersion=2.0\n") << -1
                                             << http << QStringLiteral("^服务端版本解析失败$") << false << ini;
    QTest::newRow("same HTTP version is nothing to do") << httpOnly << int(Silent) << QByteArray(installedIni) << 0
                                                        << http << noError << false << ini;
}

void TestUpdateModel::checkPicksTransportAndResult()
{
    QFETCH(QByteArray, config);
    QFETCH(int, tcpScript);
    QFETCH(QByteArray, serverIni);
    QFETCH(int, result);
    QFETCH(int, transport);
    QFETCH(QString, error);
    QFETCH(bool, httpDown);
    QFETCH(QStringList, httpRequests);
    answerVersion(TcpScript(tcpScript));
    if (!serverIni.isEmpty())
        http->setFile(QStringLiteral("/update.ini"), serverIni);
    http->setFile(QStringLiteral("/R2/md5.txt"), "0123456789abcdef0123456789abcdef\t/a.dll\r\n");
    app->write(QStringLiteral("update/update.ini"), "[Version]\nFolder=R1\nVersion=1.0\n");
    if (httpDown)
        http.reset(); // nothing listens there any more

    QCOMPARE(check(config), result);
    QCOMPARE(model->transport(), transport);
    const QRegularExpression errorPattern(error.replace(QLatin1String("$URL"), QRegularExpression::escape(url)));
    QVERIFY2(errorPattern.match(model->errorText()).hasMatch(), qPrintable(model->errorText()));
    if (http)
        QCOMPARE(http->requests(), httpRequests);
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
    answerVersion(Offer);
    QCOMPARE(check("$TCP[Update]\nHttpEnable=false\n"), 1);
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
    answerVersion(Offer);
    app->writeConfig(expand(overTcp ? "$TCP[Update]\nHttpEnable=false\n" : "[Update]\nHostExe=client.sh\nURL=$URL\n"));
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
