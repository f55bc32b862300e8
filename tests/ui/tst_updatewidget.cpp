#include "ui/cancelconfirmation.h"
#include "ui/centredwindowposition.h"
#include "ui/updatewidget.h"
#include "ui/windowlook.h"

#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QtTest>

#include <functional>
#include <limits>

namespace {

const QString kGrey = QStringLiteral("color: #666;");
const QString kBlue = QStringLiteral("color: #2196F3;");
const QString kRed = QStringLiteral("color: #f44336;");
const QString kGreen = QStringLiteral("color: #4CAF50;");
const QString kFirstFileLine = QStringLiteral("下载: a.dll (7 B/100 B)");

template<typename T = QWidget>
T *child(QWidget &window, const char *name)
{
    return window.findChild<T *>(QLatin1String(name));
}

QLabel *status(QWidget &w) { return child<QLabel>(w, "label_status"); }
QLabel *fileLine(QWidget &w) { return child<QLabel>(w, "label_updatefile"); }
QProgressBar *mainBar(QWidget &w) { return child<QProgressBar>(w, "progressBar_main"); }
QProgressBar *fileBar(QWidget &w) { return child<QProgressBar>(w, "progressBar_updatefile"); }

// What the window painted into its backing store: what a screen shows.
QImage onScreen(QWidget &w)
{
    return QGuiApplication::primaryScreen()->grabWindow(w.winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

QImage freshRender(QWidget &w)
{
    return w.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Bounding box of the dark (text) pixels of @p image.
QRect darkPixels(const QImage &image)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qGray(image.pixel(x, y)) < 110)
                box |= QRect(x, y, 1, 1);
        }
    }
    return box;
}

} // namespace

/// The TCP progress window: its widgets, its looks after each display
/// operation, placement, closing and the cancel question.
class TestUpdateWidget : public QObject
{
    Q_OBJECT

private slots:
    void namesAndInitialTexts();
    void geometryFlagsAndBackground();
    void displayOperations_data();
    void displayOperations();
    void showFileProgress_data();
    void showFileProgress();
    void closeOnlyHides();
    void cancelButton_data();
    void cancelButton();
    void barTextDrawnWhole_data();
    void barTextDrawnWhole();
    void screenFollowsEveryDisplayCall();
    void finishedRunOffersClose_data();
    void finishedRunOffersClose();
    void topShowsIconAndVersions();
};

void TestUpdateWidget::namesAndInitialTexts()
{
    UpdateWidget w;
    QCOMPARE(w.objectName(), QStringLiteral("TCPWidget"));
    QCOMPARE(w.windowTitle(), QStringLiteral("TCP升级"));
    QVERIFY(!w.isVisible());
    const QList<QPair<const char *, QString>> texts = {
        {"label_icon", QString()},
        {"label_title", QStringLiteral("TCP升级进行中...")},
        {"label_updatefile", QStringLiteral("正在下载更新文件")},
        {"label_status", QStringLiteral("准备就绪")},
        {"pushButton_cancel", QStringLiteral("取消")},
    };
    for (const auto &entry : texts) {
        QWidget *found = child(w, entry.first);
        QVERIFY2(found, entry.first);
        QCOMPARE(found->property("text").toString(), entry.second);
    }
    QCOMPARE(status(w)->styleSheet(), kGrey);
    for (const char *name : {"progressBar_main", "progressBar_updatefile"}) {
        QProgressBar *bar = child<QProgressBar>(w, name);
        QVERIFY2(bar, name);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);
    }
}

void TestUpdateWidget::geometryFlagsAndBackground()
{
    UpdateWidget w;
    QCOMPARE(w.minimumSize(), QSize(684, 539));
    QCOMPARE(w.maximumSize(), QSize(684, 539));
    // Only the frameless hint is requested; the toolkit itself marks a
    // parentless widget as a window.
    QCOMPARE(w.windowFlags() & ~Qt::WindowType_Mask, Qt::WindowFlags(Qt::FramelessWindowHint));
    QCOMPARE(w.windowType(), Qt::Window);
    QScreen *screen = QGuiApplication::primaryScreen();
    QVERIFY(screen);
    QCOMPARE(w.pos(), centredWindowPosition(screen->availableGeometry(), QSize(684, 539)));

    // The top-right corner lies on the artwork's blue band, which a plain
    // white window would not show.
    const QImage shot = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shot.size(), QSize(684, 539));
    const QRgb painted = shot.pixel(680, 4);
    QVERIFY2(qRed(painted) < 200 && qBlue(painted) > qRed(painted), "background image not painted");
}

void TestUpdateWidget::displayOperations_data()
{
    // Each row starts from a shown window whose bars stand at 40 (overall)
    // and 7 (file) and runs the listed operations, each with the text
    // "消息 <operation>".
    QTest::addColumn<QString>("operations");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("style");
    QTest::addColumn<int>("mainValue");
    QTest::addColumn<int>("fileValue");

    const QString info = QStringLiteral("消息 info");
    const QString error = QStringLiteral("消息 error");
    const QString stat = QStringLiteral("消息 status");
    const QString ready = QStringLiteral("准备就绪");
    const QString done = QStringLiteral("升级成功");
    QTest::newRow("error is red") << QStringLiteral("error") << error << kRed << 40 << 7;
    QTest::newRow("info is blue") << QStringLiteral("info") << info << kBlue << 40 << 7;
    QTest::newRow("info after error turns blue") << QStringLiteral("error info") << info << kBlue << 40 << 7;
    QTest::newRow("error after info turns red") << QStringLiteral("info error") << error << kRed << 40 << 7;
    QTest::newRow("status 150 leaves the bar") << QStringLiteral("status:150") << stat << kBlue << 40 << 7;
    QTest::newRow("status -1 leaves the bar") << QStringLiteral("status:-1") << stat << kBlue << 40 << 7;
    QTest::newRow("status 101 leaves the bar") << QStringLiteral("status:101") << stat << kBlue << 40 << 7;
    QTest::newRow("status 0 sets the bar") << QStringLiteral("status:0") << stat << kBlue << 0 << 7;
    QTest::newRow("status 100 sets the bar") << QStringLiteral("status:100") << stat << kBlue << 100 << 7;
    QTest::newRow("success after error is green at 100")
        << QStringLiteral("error success") << done << kGreen << 100 << 7;
    QTest::newRow("reset after error is grey at 0")
        << QStringLiteral("error reset") << ready << kGrey << 0 << 0;
}

void TestUpdateWidget::displayOperations()
{
    QFETCH(QString, operations);
    QFETCH(QString, text);
    QFETCH(QString, style);
    QFETCH(int, mainValue);
    QFETCH(int, fileValue);

    UpdateWidget w;
    // Shown first: a style sheet set on a polished label used to drop it
    // back to the application's font size.
    w.bringToFront();
    w.showFileProgress(QStringLiteral("a.dll"), 7, 100);
    w.showStatus(QStringLiteral("总体进度"), 40);
    const QStringList steps = operations.split(QLatin1Char(' '));
    for (const QString &step : steps) {
        const QString name = step.section(QLatin1Char(':'), 0, 0);
        const QString message = QStringLiteral("消息 ") + name;
        if (name == QLatin1String("error"))
            w.showError(message);
        else if (name == QLatin1String("info"))
            w.showInfo(message);
        else if (name == QLatin1String("status"))
            w.showStatus(message, step.section(QLatin1Char(':'), 1).toInt());
        else if (name == QLatin1String("success"))
            w.showSuccess();
        else if (name == QLatin1String("reset"))
            w.resetProgress();
    }
    QCOMPARE(status(w)->text(), text);
    QCOMPARE(status(w)->styleSheet(), style);
    QCOMPARE(mainBar(w)->value(), mainValue);
    QCOMPARE(fileBar(w)->value(), fileValue);
    QCOMPARE(fileLine(w)->text(), fileValue ? kFirstFileLine : QStringLiteral("正在下载更新文件"));
    const char *const styled[] = {"label_status", "progressBar_main", "progressBar_updatefile",
                                  "pushButton_cancel"};
    for (const char *name : styled)
        QCOMPARE(child(w, name)->font().pointSize(), 10);
}

void TestUpdateWidget::showFileProgress_data()
{
    constexpr qint64 kMiB = 1048576;
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("bars");
    QTest::addColumn<QString>("fileText");
    QTest::addColumn<int>("percent");

    QTest::newRow("unknown total shows 0") << QStringLiteral("a.dll") << qint64(512) << qint64(0) << 0
                                           << QStringLiteral("下载: a.dll (512 B/0 B)") << 0;
    QTest::newRow("1536 of 3 MiB truncates to 0") << QStringLiteral("b.exe") << qint64(1536) << 3 * kMiB << 0
                                                  << QStringLiteral("下载: b.exe (1.50 KB/3.00 MB)") << 0;
    QTest::newRow("1.5 MiB of 3 MiB is half")
        << QStringLiteral("data/c.pak") << 3 * kMiB / 2 << 3 * kMiB << 50
        << QStringLiteral("下载: data/c.pak (1.50 MB/3.00 MB)") << 50;
    QTest::newRow("complete file") << QStringLiteral("更新.dll") << 3 * kMiB << 3 * kMiB << 100
                                   << QStringLiteral("下载: 更新.dll (3.00 MB/3.00 MB)") << 100;
    // Names come from the server: placeholders inside them stay text.
    QTest::newRow("placeholders in the name are not substituted")
        << QStringLiteral("%2%3.dll") << qint64(10) << qint64(20) << 50
        << QStringLiteral("下载: %2%3.dll (10 B/20 B)") << 50;
    QTest::newRow("count far past the total neither wraps nor moves the bars")
        << QStringLiteral("x.dll") << std::numeric_limits<qint64>::max() << qint64(1) << 77
        << QStringLiteral("下载: x.dll (8589934592.00 GB/1 B)") << std::numeric_limits<int>::max();
}

void TestUpdateWidget::showFileProgress()
{
    QFETCH(QString, fileName);
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(int, bars);
    QFETCH(QString, fileText);
    QFETCH(int, percent);

    UpdateWidget w;
    w.showError(QStringLiteral("上一个文件失败"));
    mainBar(w)->setValue(77);
    fileBar(w)->setValue(77);
    w.showFileProgress(fileName, received, total);
    QCOMPARE(mainBar(w)->value(), bars);
    QCOMPARE(fileBar(w)->value(), bars);
    QCOMPARE(fileLine(w)->text(), fileText);
    QCOMPARE(status(w)->text(), QStringLiteral("下载进度: %1%").arg(percent));
    QCOMPARE(status(w)->styleSheet(), kBlue);
}

void TestUpdateWidget::closeOnlyHides()
{
    UpdateWidget w;
    QSignalSpy cancelSpy(&w, &UpdateWidget::sigCancelRequested);
    w.bringToFront();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget *>(&w));

    QVERIFY(w.close());
    QVERIFY(!w.isVisible());
    QCOMPARE(cancelSpy.count(), 0);
    // The driver keeps using the hidden window afterwards.
    w.showInfo(QStringLiteral("文件下载完成: a.dll"));
    QCOMPARE(status(w)->text(), QStringLiteral("文件下载完成: a.dll"));
}

void TestUpdateWidget::cancelButton_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("expectedSignals");

    QTest::newRow("确认 emits exactly once") << QStringLiteral("confirm") << 1;
    QTest::newRow("取消 emits nothing") << QStringLiteral("reject") << 0;
    QTest::newRow("Escape emits nothing") << QStringLiteral("escape") << 0;
    QTest::newRow("Return takes the default 取消") << QStringLiteral("return") << 0;
    QTest::newRow("closing the box emits nothing") << QStringLiteral("close") << 0;
    // The download goes on while the question is open; should its owner
    // tear the window down meanwhile, nothing may touch the dead window.
    QTest::newRow("window destroyed while asking emits nothing") << QStringLiteral("destroy") << 0;
}

void TestUpdateWidget::cancelButton()
{
    QFETCH(QString, answer);
    QFETCH(int, expectedSignals);

    QPointer<UpdateWidget> w = new UpdateWidget;
    QSignalSpy spy(w.data(), &UpdateWidget::sigCancelRequested);
    w->bringToFront();

    // Answer the box from inside its modal loop; give up after about two
    // seconds so that a missing box cannot hang the test.
    QStringList seen;
    bool shapeRight = false;
    QTimer poll;
    int ticks = 0;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box->objectName() != QLatin1String(kCancelConfirmationName)) {
            if (++ticks > 200)
                poll.stop();
            return;
        }
        poll.stop();
        auto *yes = box->findChild<QPushButton *>(QLatin1String(kCancelConfirmButtonName));
        auto *no = box->findChild<QPushButton *>(QLatin1String(kCancelRejectButtonName));
        seen << box->windowTitle() << box->text() << (yes ? yes->text() : QString())
             << (no ? no->text() : QString());
        shapeRight = yes && no && box->buttons().size() == 2 && box->buttonRole(yes) == QMessageBox::YesRole
            && box->buttonRole(no) == QMessageBox::NoRole && box->defaultButton() == no
            && box->icon() == QMessageBox::Question && box->parent() == w.data();
        if (answer == QLatin1String("escape"))
            QTest::keyClick(box, Qt::Key_Escape);
        else if (answer == QLatin1String("return"))
            QTest::keyClick(box, Qt::Key_Return);
        else if (answer == QLatin1String("close"))
            box->close();
        else if (answer == QLatin1String("destroy"))
            delete w.data();
        else if (QPushButton *target = answer == QLatin1String("confirm") ? yes : no)
            target->click();
        else
            box->reject(); // never leave the test stuck in the modal loop
    });
    poll.start(10);
    child<QPushButton>(*w, "pushButton_cancel")->click();
    // The question is posted: it opens from the event loop, never inside
    // whatever delivered the click.
    QVERIFY(seen.isEmpty());
    QTRY_VERIFY(!poll.isActive());

    const QStringList expectedTexts = {QStringLiteral("确认取消"),
                                       QStringLiteral("确定要取消更新吗？未完成的更新将不会被应用。"),
                                       QStringLiteral("确认"), QStringLiteral("取消")};
    QCOMPARE(seen, expectedTexts);
    QVERIFY2(shapeRight, "a question over the window with 确认 (yes) and 取消 (no, the default)");
    QCOMPARE(spy.count(), expectedSignals);
    if (answer == QLatin1String("destroy")) {
        QVERIFY(w.isNull());
        return;
    }
    // The box is gone afterwards, and nothing else about the window changed.
    QVERIFY(w->findChildren<QMessageBox *>().isEmpty());
    QVERIFY(w->isVisible());
    QCOMPARE(status(*w)->text(), QStringLiteral("准备就绪"));
    delete w.data();
}

void TestUpdateWidget::barTextDrawnWhole_data()
{
    QTest::addColumn<int>("value");
    // 25 % lost its leading digit under the platform style's split drawing;
    // at 75 % the "%" came out in the wrong colour on the chunk.
    QTest::newRow("25 %, text on the groove") << 25;
    QTest::newRow("50 %, text across the chunk's edge") << 50;
    QTest::newRow("75 %, text on the chunk") << 75;
    QTest::newRow("100 %") << 100;
}

void TestUpdateWidget::barTextDrawnWhole()
{
    QFETCH(int, value);
    UpdateWidget w;
    w.bringToFront();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.showStatus(QStringLiteral("总体进度"), value);
    QProgressBar *bar = mainBar(w);
    const QString text = QStringLiteral("%1%").arg(value);
    QCOMPARE(bar->text(), text);

    // The dark pixels are the percentage, drawn whole and centred: as wide
    // as the text itself, on the groove and on the chunk alike.
    const QRect barRect(bar->mapTo(&w, QPoint(0, 0)), bar->size());
    const QRect inner = barRect.adjusted(3, 3, -3, -3);
    const QRect ink = darkPixels(onScreen(w).copy(inner));
    const QRect expected = QFontMetrics(bar->font()).tightBoundingRect(text);
    QVERIFY2(!ink.isNull(), "no legible text drawn");
    QVERIFY2(qAbs(ink.width() - expected.width()) <= 3,
             qPrintable(QStringLiteral("ink %1 px wide, text %2 px").arg(ink.width()).arg(expected.width())));
    QVERIFY2(qAbs(ink.center().x() - inner.width() / 2) <= 3, "text not centred");
}

void TestUpdateWidget::screenFollowsEveryDisplayCall()
{
    // Each display call paints before it returns: the caller may block at
    // once (the apply, a retry pause), so a paint left for later never shows.
    UpdateWidget w;
    w.bringToFront();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QList<std::function<void()>> calls = {
        [&] { w.showInfo(QStringLiteral("开始TCP更新...")); },
        [&] { w.showFileProgress(QStringLiteral("a.dll"), 30, 100); },
        [&] { w.showFileStart(QStringLiteral("a.dll"), QStringLiteral("第1次重试下载: a.dll")); },
        [&] { w.showStatus(QStringLiteral("总体进度: 1/2 (50%)"), 50); },
        [&] { w.showError(QStringLiteral("文件下载失败: a.dll - 连接断开")); },
        [&] { w.showApplying(2); },
        [&] { w.showApplied(true); },
    };
    for (int i = 0; i < calls.size(); ++i) {
        calls.at(i)();
        QVERIFY2(onScreen(w) == freshRender(w), qPrintable(QStringLiteral("screen behind after call %1").arg(i)));
        if (i == 2) { // a new attempt: both bars start again together
            QCOMPARE(mainBar(w)->value(), 0);
            QCOMPARE(fileBar(w)->value(), 0);
            QCOMPARE(fileLine(w)->text(), QStringLiteral("下载: a.dll"));
        }
    }
    // The end of the story: the success is what the screen shows.
    QCOMPARE(status(w)->text(), QStringLiteral("升级成功"));
    QCOMPARE(status(w)->styleSheet(), kGreen);
    QCOMPARE(mainBar(w)->value(), 100);
    QVERIFY(!child<QPushButton>(w, "pushButton_cancel")->isEnabled());
}

void TestUpdateWidget::finishedRunOffersClose_data()
{
    QTest::addColumn<QString>("ending");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("title");
    QTest::newRow("failed download, click") << QStringLiteral("failed") << QStringLiteral("click")
                                            << QStringLiteral("TCP升级失败");
    QTest::newRow("failed download, Escape") << QStringLiteral("failed") << QStringLiteral("escape")
                                             << QStringLiteral("TCP升级失败");
    QTest::newRow("cancelled, click") << QStringLiteral("cancelled") << QStringLiteral("click")
                                      << QStringLiteral("TCP升级已取消");
    QTest::newRow("apply failed, Escape") << QStringLiteral("apply") << QStringLiteral("escape")
                                          << QStringLiteral("TCP升级失败");
}

void TestUpdateWidget::finishedRunOffersClose()
{
    QFETCH(QString, ending);
    QFETCH(QString, action);
    QFETCH(QString, title);
    UpdateWidget w;
    QSignalSpy cancelSpy(&w, &UpdateWidget::sigCancelRequested);
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
    w.bringToFront();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // During a run Escape means nothing: the frameless window stays.
    QTest::keyClick(&w, Qt::Key_Escape);
    QVERIFY(w.isVisible());

    if (ending == QLatin1String("apply")) {
        w.showApplying(3);
        w.showApplied(false);
        QCOMPARE(status(w)->styleSheet(), kRed);
    } else {
        w.showFinished(title);
    }
    auto *button = child<QPushButton>(w, "pushButton_cancel");
    QVERIFY(w.isFinished());
    QCOMPARE(button->text(), QStringLiteral("关闭"));
    QVERIFY(button->isEnabled());
    QCOMPARE(child<QLabel>(w, "label_title")->text(), title);
    QVERIFY(onScreen(w) == freshRender(w));

    // Closing the last window is what ends the program's event loop: run
    // the real loop and let the click (or Escape) end it.
    QTimer::singleShot(0, &w, [&] {
        if (action == QLatin1String("click"))
            button->click();
        else
            QTest::keyClick(&w, Qt::Key_Escape);
    });
    QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(99); });
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!w.isVisible());
    QCOMPARE(lastClosed.count(), 1);
    QCOMPARE(cancelSpy.count(), 0);
    QVERIFY(!QApplication::activeModalWidget());
}

void TestUpdateWidget::topShowsIconAndVersions()
{
    UpdateWidget w;
    auto *icon = child<QLabel>(w, "label_icon");
    QCOMPARE(icon->pixmap(Qt::ReturnByValue).size(), QSize(WindowLook::kIconSize, WindowLook::kIconSize));
    QVERIFY(child<QLabel>(w, "label_version")->text().isEmpty());
    w.showVersions(QStringLiteral("1.0.0"), QStringLiteral("1.1.0"));
    QCOMPARE(child<QLabel>(w, "label_version")->text(), QStringLiteral("1.0.0 → 1.1.0"));
    // A server's endless version text is shortened, never widens the window.
    w.showVersions(QStringLiteral("1.0.0"), QString(500, QLatin1Char('9')));
    QVERIFY(child<QLabel>(w, "label_version")->text().contains(QChar(0x2026)));
    QCOMPARE(child<QLabel>(w, "label_version")->toolTip(), QStringLiteral("1.0.0 → ") + QString(500, QLatin1Char('9')));
    w.bringToFront();
    QCOMPARE(w.size(), QSize(684, 539));
}

QTEST_MAIN(TestUpdateWidget)
#include "tst_updatewidget.moc"
