// Renders every state of both update windows to PNG files, for the README.
//
//     render_screenshots <output-directory>
//
// Runs on the offscreen platform. The TCP window is driven through its
// display operations with the driver's texts; the HTTP dialog runs a real
// update against the loopback test server. Each picture is what the window
// painted into its backing store, i.e. what a screen would show.
#include "testhttpserver.h"
#include "testinstallation.h"
#include "http/chttpupdate.h"
#include "ui/cancelconfirmation.h"
#include "ui/updatewidget.h"
#include "ui/widget.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>

namespace {

QString outputDir;
int failures = 0;

void waitFor(const std::function<bool()> &condition, const char *what)
{
    if (!QTest::qWaitFor(condition, 10000)) {
        std::fprintf(stderr, "timed out waiting for %s\n", what);
        ++failures;
    }
}

QImage screenOf(QWidget *window)
{
    QCoreApplication::processEvents();
    return QGuiApplication::primaryScreen()->grabWindow(window->winId()).toImage();
}

void save(const QImage &image, const QString &name)
{
    const QString path = outputDir + QLatin1Char('/') + name + QStringLiteral(".png");
    // Maximum compression: the pictures live in the repository.
    if (image.isNull() || !image.convertToFormat(QImage::Format_RGB32).save(path, "PNG", 0)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        ++failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

// The window with the question box drawn where it sits over it; offscreen
// windows have no frame, so the box gets a thin border.
void saveWithQuestion(QWidget *window, const QString &name, const std::function<void()> &ask)
{
    bool seen = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box->objectName() != QLatin1String(kCancelConfirmationName))
            return;
        poll.stop();
        QTest::qWait(50);
        QImage shot = screenOf(window);
        const QImage question = screenOf(box);
        QPainter painter(&shot);
        // A plain title bar stands in for the system frame.
        constexpr int kTitleHeight = 26;
        const QPoint at = box->geometry().topLeft() - window->geometry().topLeft() + QPoint(0, kTitleHeight / 2);
        const QRect title(at - QPoint(0, kTitleHeight), QSize(question.width(), kTitleHeight));
        painter.fillRect(title, QColor(0xE8, 0xEE, 0xF5));
        painter.setPen(QColor(0x33, 0x33, 0x33));
        painter.drawText(title.adjusted(10, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, box->windowTitle());
        painter.drawImage(at, question);
        painter.setPen(QColor(0x8A, 0x9B, 0xB0));
        painter.drawRect(QRect(title.topLeft(), QSize(question.width(), question.height() + kTitleHeight))
                             .adjusted(-1, -1, 0, 0));
        painter.end();
        save(shot, name);
        seen = true;
        box->findChild<QPushButton *>(QLatin1String(kCancelConfirmButtonName))->click();
    });
    poll.start(20);
    ask();
    // The TCP window asks from the event loop, after the click has returned.
    waitFor([&] { return seen; }, "the cancel question");
    if (!seen) {
        std::fprintf(stderr, "no question for %s\n", qPrintable(name));
        ++failures;
    }
}

void renderTcp()
{
    UpdateWidget w;
    w.showVersions(QStringLiteral("1.0.0"), QStringLiteral("1.1.0"));
    w.bringToFront();
    w.resetProgress();
    w.showStatus(QStringLiteral("准备下载文件，共 3 个文件"), 0);
    save(screenOf(&w), QStringLiteral("tcp-start"));

    w.showFileStart(QStringLiteral("core.dll"), QStringLiteral("正在下载: core.dll (2/3)"));
    w.showFileProgress(QStringLiteral("core.dll"), 3 * 1048576, 12 * 1048576);
    save(screenOf(&w), QStringLiteral("tcp-download"));

    saveWithQuestion(&w, QStringLiteral("tcp-cancel-question"), [&] {
        w.findChild<QPushButton *>(QStringLiteral("pushButton_cancel"))->click();
    });

    w.showInfo(QStringLiteral("所有文件下载完成！"));
    w.showApplying(3);
    save(screenOf(&w), QStringLiteral("tcp-applying"));
    w.showApplied(true);
    save(screenOf(&w), QStringLiteral("tcp-success"));

    UpdateWidget failed;
    failed.showVersions(QStringLiteral("1.0.0"), QStringLiteral("1.1.0"));
    failed.bringToFront();
    failed.resetProgress();
    failed.showFileStart(QStringLiteral("core.dll"), QStringLiteral("正在下载: core.dll (2/3)"));
    failed.showFileProgress(QStringLiteral("core.dll"), 5 * 1048576, 12 * 1048576);
    failed.showError(QStringLiteral("网络错误，重试失败: core.dll"));
    failed.showFinished(QStringLiteral("TCP升级失败"));
    save(screenOf(&failed), QStringLiteral("tcp-failure"));
    UpdateWidget recovery;
    recovery.bringToFront();
    recovery.showRefusal(QStringLiteral("更新失败"), QStringLiteral("上次更新无法恢复，请检查日志"));
    save(screenOf(&recovery), QStringLiteral("tcp-recovery-failure"));
    UpdateWidget refused;
    refused.bringToFront();
    refused.showRefusal(QStringLiteral("更新失败"), QStringLiteral("更新包签名无效，拒绝更新"));
    save(screenOf(&refused), QStringLiteral("release-refused"));

    UpdateWidget cancelled;
    cancelled.showVersions(QStringLiteral("1.0.0"), QStringLiteral("1.1.0"));
    cancelled.bringToFront();
    cancelled.resetProgress();
    cancelled.showFileStart(QStringLiteral("core.dll"), QStringLiteral("正在下载: core.dll (2/3)"));
    cancelled.showFileProgress(QStringLiteral("core.dll"), 3 * 1048576, 12 * 1048576);
    cancelled.showInfo(QStringLiteral("下载已取消"));
    cancelled.showFinished(QStringLiteral("TCP升级已取消"));
    save(screenOf(&cancelled), QStringLiteral("tcp-cancelled"));
}

// One HTTP update of three files (b.dll the large one) against the test server.
struct HttpRun
{
    TestHttpServer server;
    std::unique_ptr<TestInstallation> inst;
    std::unique_ptr<Widget> widget;
    CHttpUpdate adapter;
    bool result = false;
    int results = 0;

    bool prepare()
    {
        if (!server.start())
            return false;
        inst = std::make_unique<TestInstallation>(server.baseUrl());
        publishTestRelease(server, QStringLiteral("R2"), QStringLiteral("1.1.0"),
                           {{QStringLiteral("/a.dll"), QByteArray(4096, 'a')},
                            {QStringLiteral("/b.dll"), QByteArray(400000, 'b')},
                            {QStringLiteral("/c.dll"), QByteArray(4096, 'c')}});
        if (!inst->setInstalledVersion(QStringLiteral("1.0.0")))
            return false;
        widget = std::make_unique<Widget>(inst->config(), inst->appDir());
        adapter.attachDialog(widget.get());
        QObject::connect(&adapter, &CHttpUpdate::sigUpdateResult, [this](bool ok) {
            result = ok;
            ++results;
        });
        if (!adapter.checkForUpdate())
            return false;
        widget->show();
        return QTest::qWaitForWindowExposed(widget.get());
    }

    // Starts the update and holds it a quarter into b.dll; with @p saveStart,
    // holds a.dll first and saves the start on the way.
    void startStalled(bool saveStart = false)
    {
        server.setStall(QStringLiteral("/R2//b.dll"), 100000);
        if (saveStart)
            server.setStall(QStringLiteral("/R2//a.dll"), 0);
        adapter.startUpdate();
        if (saveStart) {
            waitFor([&] { return server.requestCount(QStringLiteral("/R2//a.dll")) == 1; }, "the first request");
            QTest::qWait(100);
            save(screenOf(widget.get()), QStringLiteral("http-start"));
            server.release(QStringLiteral("/R2//a.dll"));
        }
        waitFor([&] { return server.requestCount(QStringLiteral("/R2//b.dll")) == 1; }, "the stalled request");
        QTest::qWait(300);
        // The toolkit holds back progress signals during a reply's first
        // 100 ms, and the stalled reply sends nothing after that: deliver the
        // one it would send next.
        QMetaObject::invokeMethod(widget.get(), "onDownloadProgress", Q_ARG(qint64, 100000), Q_ARG(qint64, 400000));
    }
};

void renderHttp()
{
    {
        HttpRun run;
        if (!run.prepare()) {
            ++failures;
            return;
        }
        run.startStalled(true);
        save(screenOf(run.widget.get()), QStringLiteral("http-download"));
        run.server.release(QStringLiteral("/R2//b.dll"));
        waitFor([&] { return run.results == 1; }, "the result");
        run.widget->showApplying(3);
        save(screenOf(run.widget.get()), QStringLiteral("http-applying"));
        run.widget->showApplied(true);
        save(screenOf(run.widget.get()), QStringLiteral("http-success"));
    }
    {
        HttpRun run;
        if (!run.prepare()) {
            ++failures;
            return;
        }
        run.server.setStatus(QStringLiteral("/R2//b.dll"), 404);
        run.adapter.startUpdate();
        waitFor([&] { return run.results == 1; }, "the result");
        save(screenOf(run.widget.get()), QStringLiteral("http-failure"));
    }
    {
        HttpRun run;
        if (!run.prepare()) {
            ++failures;
            return;
        }
        run.startStalled();
        saveWithQuestion(run.widget.get(), QStringLiteral("http-cancel-question"), [&] {
            run.widget->findChild<QPushButton *>(QStringLiteral("pushButton_cancel"))->click();
        });
        waitFor([&] { return run.results == 1; }, "the result");
        save(screenOf(run.widget.get()), QStringLiteral("http-cancelled"));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: render_screenshots <output-directory>\n");
        return 2;
    }
    outputDir = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(outputDir)) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    renderTcp();
    renderHttp();
    return failures == 0 ? 0 : 1;
}
