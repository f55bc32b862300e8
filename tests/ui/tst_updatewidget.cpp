#include "modalboxanswerer.h"
#include "ui/centredwindowposition.h"
#include "ui/updatewidget.h"

#include <QCloseEvent>
#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <QtTest>

namespace {

const QString kGrey = QStringLiteral("color: #666;");
const QString kBlue = QStringLiteral("color: #2196F3;");
const QString kRed = QStringLiteral("color: #f44336;");
const QString kGreen = QStringLiteral("color: #4CAF50;");

template<typename T>
T *child(QWidget &window, const char *name)
{
    return window.findChild<T *>(QLatin1String(name));
}

QLabel *status(QWidget &w) { return child<QLabel>(w, "label_status"); }
QLabel *fileLine(QWidget &w) { return child<QLabel>(w, "label_updatefile"); }
QProgressBar *mainBar(QWidget &w) { return child<QProgressBar>(w, "progressBar_main"); }
QProgressBar *fileBar(QWidget &w) { return child<QProgressBar>(w, "progressBar_updatefile"); }

/// Saves a picture of @p window when UPDATER_UI_GRAB_DIR names a directory,
/// so that a person can look at the states the tests drive.
void saveGrab(QWidget &window, const QString &name)
{
    const QString dir = qEnvironmentVariable("UPDATER_UI_GRAB_DIR");
    if (!dir.isEmpty())
        window.grab().save(QDir(dir).filePath(name + QStringLiteral(".png")));
}

} // namespace

/// The TCP progress window: its form, its looks after each display
/// operation, placement, closing and the cancel question.
class TestUpdateWidget : public QObject
{
    Q_OBJECT

private slots:
    void formTree();
    void initialState();
    void styles();
    void windowGeometryAndFlags();
    void displayOperationsColourTheStatusLine_data();
    void displayOperationsColourTheStatusLine();
    void showStatusPercent_data();
    void showStatusPercent();
    void showSuccess();
    void showFileProgress_data();
    void showFileProgress();
    void fileNameIsNotReinterpreted();
    void resetProgressRestoresTheStart();
    void bringToFrontShowsTheWindow();
    void closeOnlyHides();
    void cancelButton_data();
    void cancelButton();
    void windowDestroyedWhileAsking();
    void backgroundIsPainted();
};

void TestUpdateWidget::formTree()
{
    UpdateWidget w;
    QCOMPARE(w.objectName(), QStringLiteral("TCPWidget"));

    auto *grid = qobject_cast<QGridLayout *>(w.layout());
    QVERIFY(grid);
    QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
    auto *outer = child<QVBoxLayout>(w, "verticalLayout_2");
    QVERIFY(outer);
    QCOMPARE(grid->itemAtPosition(0, 0)->layout(), outer);
    QCOMPARE(outer->count(), 3);

    auto *top = qobject_cast<QHBoxLayout *>(outer->itemAt(0)->layout());
    QVERIFY(top);
    QCOMPARE(top->objectName(), QStringLiteral("horizontalLayout_2"));
    QCOMPARE(top->count(), 3);
    QCOMPARE(top->stretch(1), 1);
    QCOMPARE(top->itemAt(1)->widget(), child<QLabel>(w, "label_icon"));
    for (int i : {0, 2}) {
        QSpacerItem *spacer = top->itemAt(i)->spacerItem();
        QVERIFY(spacer);
        QCOMPARE(spacer->sizeHint(), QSize(40, 20));
        QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    }
    QSpacerItem *vertical = outer->itemAt(1)->spacerItem();
    QVERIFY(vertical);
    QCOMPARE(vertical->sizeHint(), QSize(20, 128));
    QCOMPARE(vertical->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(vertical->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);

    auto *inner = qobject_cast<QVBoxLayout *>(outer->itemAt(2)->layout());
    QVERIFY(inner);
    QCOMPARE(inner->objectName(), QStringLiteral("verticalLayout"));
    const char *order[] = {"label_title", "progressBar_main", "label_updatefile", "progressBar_updatefile",
                           "label_status"};
    QCOMPARE(inner->count(), 6);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(inner->itemAt(i)->widget()->objectName(), QLatin1String(order[i]));
    auto *bottom = qobject_cast<QHBoxLayout *>(inner->itemAt(5)->layout());
    QVERIFY(bottom);
    QCOMPARE(bottom->objectName(), QStringLiteral("horizontalLayout"));
    QCOMPARE(bottom->count(), 2);
    QSpacerItem *buttonSpacer = bottom->itemAt(0)->spacerItem();
    QVERIFY(buttonSpacer);
    QCOMPARE(buttonSpacer->sizeHint(), QSize(436, 26));
    QCOMPARE(buttonSpacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(bottom->itemAt(1)->widget(), child<QPushButton>(w, "pushButton_cancel"));
}

void TestUpdateWidget::initialState()
{
    UpdateWidget w;
    QCOMPARE(w.windowTitle(), QStringLiteral("TCP升级"));
    QVERIFY(!w.isVisible());
    QLabel *icon = child<QLabel>(w, "label_icon");
    QVERIFY(icon->text().isEmpty());
    QVERIFY(icon->pixmap(Qt::ReturnByValue).isNull());
    QLabel *title = child<QLabel>(w, "label_title");
    QCOMPARE(title->text(), QStringLiteral("TCP升级进行中..."));
    QCOMPARE(title->alignment(), Qt::AlignCenter);
    QCOMPARE(fileLine(w)->text(), QStringLiteral("正在下载更新文件"));
    QCOMPARE(fileLine(w)->alignment(), Qt::AlignCenter);
    QCOMPARE(status(w)->text(), QStringLiteral("准备就绪"));
    QCOMPARE(status(w)->alignment(), Qt::AlignCenter);
    QCOMPARE(status(w)->styleSheet(), kGrey);
    QCOMPARE(child<QPushButton>(w, "pushButton_cancel")->text(), QStringLiteral("取消"));
    for (QProgressBar *bar : {mainBar(w), fileBar(w)}) {
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);
    }
}

void TestUpdateWidget::styles()
{
    UpdateWidget w;
    QCOMPARE(w.styleSheet(), QStringLiteral("UpdateWidget { background-color: white; }"));
    QCOMPARE(w.font().pointSize(), 10);
    QCOMPARE(w.font().family(), QApplication::font().family());
    // Widgets without a font of their own take the window's 10 points.
    for (const char *name : {"label_status", "progressBar_main", "progressBar_updatefile", "pushButton_cancel"})
        QCOMPARE(child<QWidget>(w, name)->font().pointSize(), 10);
    QCOMPARE(child<QPushButton>(w, "pushButton_cancel")->styleSheet(),
             QStringLiteral("QPushButton { padding: 8px 16px; background-color: #f44336; color: white; "
                            "border: none; border-radius: 4px; }"
                            "QPushButton:hover { background-color: #d32f2f; }"));
    QCOMPARE(mainBar(w)->styleSheet(), QStringLiteral("QProgressBar { text-align: center; }"));
    QCOMPARE(fileBar(w)->styleSheet(), QStringLiteral("QProgressBar { text-align: center; }"));
    QCOMPARE(child<QLabel>(w, "label_title")->styleSheet(),
             QStringLiteral("font-size: 16px; font-weight: bold; color: #333;"));
    QCOMPARE(fileLine(w)->styleSheet(), QStringLiteral("color: #666; font-size: 12px;"));
}

void TestUpdateWidget::windowGeometryAndFlags()
{
    UpdateWidget w;
    QCOMPARE(w.size(), QSize(684, 539));
    QCOMPARE(w.minimumSize(), QSize(684, 539));
    QCOMPARE(w.maximumSize(), QSize(684, 539));
    QVERIFY(w.isWindow());
    QVERIFY(!w.parent());
    // Only the frameless hint is requested; the toolkit itself marks a
    // parentless widget as a window.
    QCOMPARE(w.windowFlags() & ~Qt::WindowType_Mask, Qt::WindowFlags(Qt::FramelessWindowHint));
    QCOMPARE(w.windowType(), Qt::Window);

    QScreen *screen = QGuiApplication::primaryScreen();
    QVERIFY(screen);
    QCOMPARE(w.pos(), centredWindowPosition(screen->availableGeometry(), QSize(684, 539)));
    // Both windows of the updater open at the same spot.
    UpdateWidget second;
    QCOMPARE(second.pos(), w.pos());
}

void TestUpdateWidget::displayOperationsColourTheStatusLine_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("style");

    QTest::newRow("error is red") << QStringLiteral("error") << QStringLiteral("连接失败") << kRed;
    QTest::newRow("info is blue") << QStringLiteral("info") << QStringLiteral("文件下载完成: a.dll") << kBlue;
    QTest::newRow("status is blue") << QStringLiteral("status") << QStringLiteral("总体进度: 1/3 (33%)")
                                    << kBlue;
    QTest::newRow("info after error turns blue again") << QStringLiteral("error,info")
                                                       << QStringLiteral("第1次重试下载: a.dll") << kBlue;
    QTest::newRow("error after info turns red") << QStringLiteral("info,error") << QStringLiteral("下载失败")
                                                << kRed;
    QTest::newRow("reset after error turns grey") << QStringLiteral("error,reset")
                                                  << QStringLiteral("准备就绪") << kGrey;
}

void TestUpdateWidget::displayOperationsColourTheStatusLine()
{
    QFETCH(QString, operation);
    QFETCH(QString, text);
    QFETCH(QString, style);

    UpdateWidget w;
    const QStringList steps = operation.split(QLatin1Char(','));
    for (const QString &step : steps) {
        if (step == QLatin1String("error"))
            w.showError(text);
        else if (step == QLatin1String("info"))
            w.showInfo(text);
        else if (step == QLatin1String("status"))
            w.showStatus(text, 33);
        else if (step == QLatin1String("reset"))
            w.resetProgress();
    }
    QCOMPARE(status(w)->text(), text);
    QCOMPARE(status(w)->styleSheet(), style);
    QCOMPARE(status(w)->font().pointSize(), 10);
    // The same after the window has been shown and polished.
    w.bringToFront();
    w.showInfo(text);
    w.showError(text);
    QCOMPARE(status(w)->font().pointSize(), 10);
    for (const char *name : {"progressBar_main", "progressBar_updatefile", "pushButton_cancel"})
        QCOMPARE(child<QWidget>(w, name)->font().pointSize(), 10);
}

void TestUpdateWidget::showStatusPercent_data()
{
    QTest::addColumn<int>("percent");
    QTest::addColumn<int>("expectedBar");

    QTest::newRow("150 leaves the bar") << 150 << 40;
    QTest::newRow("-1 leaves the bar") << -1 << 40;
    QTest::newRow("101 leaves the bar") << 101 << 40;
    QTest::newRow("0 sets the bar") << 0 << 0;
    QTest::newRow("33 sets the bar") << 33 << 33;
    QTest::newRow("100 sets the bar") << 100 << 100;
}

void TestUpdateWidget::showStatusPercent()
{
    QFETCH(int, percent);
    QFETCH(int, expectedBar);

    UpdateWidget w;
    w.showStatus(QStringLiteral("总体进度"), 40);
    fileBar(w)->setValue(7);
    w.showStatus(QStringLiteral("下载文件: a.dll"), percent);
    QCOMPARE(mainBar(w)->value(), expectedBar);
    QCOMPARE(fileBar(w)->value(), 7);
    QCOMPARE(status(w)->text(), QStringLiteral("下载文件: a.dll"));
    QCOMPARE(status(w)->styleSheet(), kBlue);
}

void TestUpdateWidget::showSuccess()
{
    UpdateWidget w;
    w.showError(QStringLiteral("下载失败"));
    w.showSuccess();
    QCOMPARE(status(w)->text(), QStringLiteral("升级成功"));
    QCOMPARE(status(w)->styleSheet(), kGreen);
    QCOMPARE(mainBar(w)->value(), 100);
    saveGrab(w, QStringLiteral("tcp_success"));
}

void TestUpdateWidget::showFileProgress_data()
{
    constexpr qint64 kMiB = 1048576;
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("expectedBars");
    QTest::addColumn<QString>("fileText");
    QTest::addColumn<QString>("statusText");

    QTest::newRow("unknown total shows 0") << QStringLiteral("a.dll") << qint64(512) << qint64(0) << 0
                                           << QStringLiteral("下载: a.dll (512 B/0 B)")
                                           << QStringLiteral("下载进度: 0%");
    QTest::newRow("1536 of 3 MiB truncates to 0")
        << QStringLiteral("b.exe") << qint64(1536) << 3 * kMiB << 0
        << QStringLiteral("下载: b.exe (1.50 KB/3.00 MB)") << QStringLiteral("下载进度: 0%");
    QTest::newRow("1.5 MiB of 3 MiB is half")
        << QStringLiteral("data/c.pak") << 3 * kMiB / 2 << 3 * kMiB << 50
        << QStringLiteral("下载: data/c.pak (1.50 MB/3.00 MB)") << QStringLiteral("下载进度: 50%");
    QTest::newRow("complete file") << QStringLiteral("更新.dll") << 3 * kMiB << 3 * kMiB << 100
                                   << QStringLiteral("下载: 更新.dll (3.00 MB/3.00 MB)")
                                   << QStringLiteral("下载进度: 100%");
}

void TestUpdateWidget::showFileProgress()
{
    QFETCH(QString, fileName);
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(int, expectedBars);
    QFETCH(QString, fileText);
    QFETCH(QString, statusText);

    UpdateWidget w;
    w.showError(QStringLiteral("上一个文件失败"));
    mainBar(w)->setValue(77);
    fileBar(w)->setValue(77);
    w.showFileProgress(fileName, received, total);
    QCOMPARE(mainBar(w)->value(), expectedBars);
    QCOMPARE(fileBar(w)->value(), expectedBars);
    QCOMPARE(fileLine(w)->text(), fileText);
    QCOMPARE(status(w)->text(), statusText);
    QCOMPARE(status(w)->styleSheet(), kBlue);
    if (expectedBars == 50)
        saveGrab(w, QStringLiteral("tcp_file_progress"));
}

void TestUpdateWidget::fileNameIsNotReinterpreted()
{
    // File names come from the server: placeholders inside them stay text,
    // and a count beyond the total neither wraps nor moves the bars.
    UpdateWidget w;
    w.showFileProgress(QStringLiteral("%2%3.dll"), 10, 20);
    QCOMPARE(fileLine(w)->text(), QStringLiteral("下载: %2%3.dll (10 B/20 B)"));
    w.showFileProgress(QStringLiteral("x.dll"), std::numeric_limits<qint64>::max(), 1);
    QCOMPARE(mainBar(w)->value(), 50);
    QCOMPARE(fileBar(w)->value(), 50);
    QCOMPARE(status(w)->text(), QStringLiteral("下载进度: %1%").arg(std::numeric_limits<int>::max()));
}

void TestUpdateWidget::resetProgressRestoresTheStart()
{
    UpdateWidget w;
    w.showFileProgress(QStringLiteral("a.dll"), 50, 100);
    w.showError(QStringLiteral("文件下载失败: a.dll - 超时"));
    saveGrab(w, QStringLiteral("tcp_error"));
    w.resetProgress();
    QCOMPARE(mainBar(w)->value(), 0);
    QCOMPARE(fileBar(w)->value(), 0);
    QCOMPARE(fileLine(w)->text(), QStringLiteral("正在下载更新文件"));
    QCOMPARE(status(w)->text(), QStringLiteral("准备就绪"));
    QCOMPARE(status(w)->styleSheet(), kGrey);
}

void TestUpdateWidget::bringToFrontShowsTheWindow()
{
    UpdateWidget w;
    QVERIFY(!w.isVisible());
    w.bringToFront();
    QVERIFY(w.isVisible());
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget *>(&w));
    saveGrab(w, QStringLiteral("tcp_initial"));
}

void TestUpdateWidget::closeOnlyHides()
{
    UpdateWidget w;
    QSignalSpy cancelSpy(&w, &UpdateWidget::sigCancelRequested);
    w.bringToFront();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    QCloseEvent event;
    event.ignore();
    QApplication::sendEvent(&w, &event);
    QVERIFY(event.isAccepted());

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

    QTest::newRow("confirm emits exactly once") << QString::fromLatin1(kCancelConfirmButtonName) << 1;
    QTest::newRow("cancel emits nothing") << QString::fromLatin1(kCancelRejectButtonName) << 0;
}

void TestUpdateWidget::cancelButton()
{
    QFETCH(QString, answer);
    QFETCH(int, expectedSignals);

    UpdateWidget w;
    QSignalSpy spy(&w, &UpdateWidget::sigCancelRequested);
    w.bringToFront();
    ModalBoxAnswerer answerer(answer);
    child<QPushButton>(w, "pushButton_cancel")->click();
    QVERIFY(answerer.answered);
    QCOMPARE(answerer.parentSeen, &w);
    QCOMPARE(answerer.windowTitle, QStringLiteral("确认取消"));
    QCOMPARE(spy.count(), expectedSignals);
    // Nothing else about the window changes.
    QVERIFY(w.isVisible());
    QCOMPARE(status(w)->text(), QStringLiteral("准备就绪"));
}

void TestUpdateWidget::windowDestroyedWhileAsking()
{
    // The download goes on while the question is open; if its owner tears
    // the window down meanwhile, the click must end without a signal and
    // without touching the dead window (AddressSanitizer watches this).
    QPointer<UpdateWidget> w = new UpdateWidget;
    QSignalSpy spy(w.data(), &UpdateWidget::sigCancelRequested);
    ModalBoxAnswerer answerer(QString(), [w](QMessageBox *) { delete w.data(); });
    child<QPushButton>(*w, "pushButton_cancel")->click();
    QVERIFY(answerer.answered);
    QVERIFY(w.isNull());
    QCOMPARE(spy.count(), 0);
}

void TestUpdateWidget::backgroundIsPainted()
{
    UpdateWidget w;
    const QImage shot = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shot.size(), QSize(684, 539));
    const QImage art = QImage(QStringLiteral(":/res/bk.png")).convertToFormat(QImage::Format_RGB32);
    // The top-right corner lies on the artwork's blue band, which a plain
    // white window would not show.
    const QRgb painted = shot.pixel(680, 4);
    const QRgb expected = art.pixel(art.width() - 3, 3);
    QVERIFY2(qAbs(qBlue(painted) - qBlue(expected)) <= 6 && qAbs(qRed(painted) - qRed(expected)) <= 6,
             "the background image is not painted over the whole window");
    QVERIFY(qRed(painted) < 200);
}

QTEST_MAIN(TestUpdateWidget)
#include "tst_updatewidget.moc"
