#include "ui/resources.h"
#include "ui/widget.h"
#include "ui/windowlook.h"

#include "config/cconfigmanager.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

class TestWidget : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void objectNames_data();
    void objectNames();
    void formAsBuilt();
    void cancelWhenIdleShowsNoBox();
    void updateWithNothingToFetch();
    void paintsTheArtwork();
    void applyOutcomeOnScreen();

private:
    template <typename T> T *child(const char *name) const { return widget->findChild<T *>(QLatin1String(name)); }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<CConfigManager> config;
    std::unique_ptr<Widget> widget;
};

void TestWidget::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QFile cfg(dir->filePath(QStringLiteral("system.cfg")));
    QVERIFY(cfg.open(QIODevice::WriteOnly));
    cfg.write("[Update]\r\nURL=http://127.0.0.1:9/\r\n[Paths]\r\nTemp=UpdateTmp\r\n");
    cfg.close();
    config = std::make_unique<CConfigManager>(cfg.fileName(), cfg.fileName());
    widget = std::make_unique<Widget>(*config, dir->path());
}

void TestWidget::cleanup()
{
    widget.reset();
    config.reset();
    dir.reset();
}

void TestWidget::objectNames_data()
{
    QTest::addColumn<QString>("className");
    const char *const names[][2] = {{"Widget", "Widget"},
                                    {"label_icon", "QLabel"},
                                    {"label_update", "QLabel"},
                                    {"progressBar_update", "QProgressBar"},
                                    {"label_updatefile", "QLabel"},
                                    {"progressBar_updatefile", "QProgressBar"},
                                    {"pushButton_cancel", "QPushButton"},
                                    {"gridLayout", "QGridLayout"},
                                    {"verticalLayout_2", "QVBoxLayout"},
                                    {"horizontalLayout_2", "QHBoxLayout"},
                                    {"verticalLayout", "QVBoxLayout"},
                                    {"horizontalLayout", "QHBoxLayout"}};
    for (const auto &name : names)
        QTest::newRow(name[0]) << QString::fromLatin1(name[1]);
}

void TestWidget::objectNames()
{
    QFETCH(QString, className);
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    QObject *object = name == widget->objectName() ? widget.get() : widget->findChild<QObject *>(name);
    QVERIFY2(object, qPrintable(name));
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), className);
}

void TestWidget::formAsBuilt()
{
    QCOMPARE(widget->windowTitle(), QStringLiteral("HTTP升级"));
    QCOMPARE(child<QLabel>("label_update")->text(), QStringLiteral("正在下载"));
    QCOMPARE(child<QLabel>("label_updatefile")->text(), QStringLiteral("正在下载更新文件"));
    QCOMPARE(child<QPushButton>("pushButton_cancel")->text(), QStringLiteral("取消"));
    QVERIFY(child<QLabel>("label_icon")->text().isEmpty());
    QCOMPARE(child<QLabel>("label_icon")->pixmap(Qt::ReturnByValue).size(),
             QSize(WindowLook::kIconSize, WindowLook::kIconSize));
    QVERIFY(child<QLabel>("label_version")->text().isEmpty());

    const QString style16 = QStringLiteral("font: 700 16pt \"Microsoft YaHei UI\";") + QString(36, QLatin1Char(' '))
                            + QStringLiteral("color: rgb(0, 0, 0);");
    QCOMPARE(style16.size(), 92);
    QCOMPARE(child<QLabel>("label_update")->styleSheet(), style16);
    QCOMPARE(child<QLabel>("label_updatefile")->styleSheet(),
             QString(style16).replace(QStringLiteral("16pt"), QStringLiteral("14pt")));
    QVERIFY(widget->styleSheet().isEmpty());
    for (const char *name : {"progressBar_update", "progressBar_updatefile"}) {
        const auto *bar = child<QProgressBar>(name);
        // The look whose text the TCP window's test renders: dark, drawn whole.
        QCOMPARE(bar->styleSheet(), WindowLook::progressBarStyle());
        QCOMPARE(QVector<int>({bar->minimum(), bar->maximum(), bar->value()}), QVector<int>({0, 100, 0}));
    }

    QCOMPARE(widget->size(), QSize(640, 455));
    QCOMPARE(widget->minimumSize(), QSize(640, 455));
    QCOMPARE(widget->maximumSize(), QSize(640, 455));
    QCOMPARE(widget->windowFlags() & ~Qt::WindowType_Mask, Qt::WindowFlags(Qt::FramelessWindowHint));
    QVERIFY(widget->isWindow());
    QVERIFY(!widget->isVisible());
    QVERIFY(!widget->isUpdating());
    QVERIFY(!widget->isCancelRequested());
}

void TestWidget::cancelWhenIdleShowsNoBox()
{
    // A box would hold click() in its modal loop until the timer closes it.
    bool boxSeen = false;
    QTimer closer;
    connect(&closer, &QTimer::timeout, &closer, [&boxSeen] {
        if (QWidget *box = QApplication::activeModalWidget()) {
            boxSeen = true;
            box->close();
        }
    });
    closer.start(20);
    widget->show();
    child<QPushButton>("pushButton_cancel")->click();
    QTest::qWait(100);
    QVERIFY(!boxSeen);
    QVERIFY(!widget->isCancelRequested());
}

void TestWidget::updateWithNothingToFetch()
{
    // It completes inside startUpdate and disables the cancel button.
    auto *button = child<QPushButton>("pushButton_cancel");
    QVERIFY(button->isEnabled());
    QSignalSpy results(widget.get(), &Widget::sigUpdateResult);
    widget->startUpdate();
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), true);
    QVERIFY(!button->isEnabled());
    QCOMPARE(child<QLabel>("label_update")->text(), QStringLiteral("更新完成!"));
    QCOMPARE(child<QProgressBar>("progressBar_updatefile")->value(), 100);

    // With no update running, closing or Escape only hides the dialog.
    const QString tmp = dir->filePath(QStringLiteral("update/updateTmp.ini"));
    QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("update"))) && QFile(tmp).open(QIODevice::WriteOnly));
    widget->show();
    widget->close();
    QVERIFY(!widget->isVisible());
    widget->show();
    widget->reject();
    QVERIFY(!widget->isVisible());
    QVERIFY(QFileInfo::exists(tmp));
    QCOMPARE(results.count(), 1);

    // The dialog reports one more failure when it goes.
    widget.reset();
    QCOMPARE(results.count(), 2);
    QCOMPARE(results.at(1).at(0).toBool(), false);
}

void TestWidget::paintsTheArtwork()
{
    initUpdaterResources();
    const QImage shown = widget->grab().toImage();
    const QImage expected = QImage(QStringLiteral(":/res/bk.png")).scaled(640, 455).convertToFormat(shown.format());
    QVERIFY(!expected.isNull());
    // Corners are outside every child widget's rectangle.
    QCOMPARE(shown.pixel(1, 1), expected.pixel(1, 1));
    QCOMPARE(shown.pixel(638, 453), expected.pixel(638, 453));
}

void TestWidget::applyOutcomeOnScreen()
{
    // The apply blocks the event loop: each text must be painted before the
    // call returns, or the screen keeps showing the download.
    const auto onScreen = [this] {
        return QGuiApplication::primaryScreen()->grabWindow(widget->winId()).toImage().convertToFormat(
                   QImage::Format_RGB32)
               == widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    };
    widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
    auto *button = child<QPushButton>("pushButton_cancel");
    widget->showApplying(3);
    QCOMPARE(child<QLabel>("label_update")->text(), QStringLiteral("正在应用更新…"));
    QCOMPARE(child<QLabel>("label_updatefile")->text(), QStringLiteral("正在替换 3 个文件，请稍候"));
    QVERIFY(!button->isEnabled());
    QVERIFY(onScreen());
    widget->showApplied(true);
    QCOMPARE(child<QLabel>("label_update")->text(), QStringLiteral("更新完成!"));
    QVERIFY(onScreen());
    QVERIFY(!widget->isFinished());

    widget->showApplied(false);
    QCOMPARE(child<QLabel>("label_update")->text(), QStringLiteral("应用更新失败"));
    QVERIFY(widget->isFinished());
    QCOMPARE(button->text(), QStringLiteral("关闭"));
    QVERIFY(button->isEnabled());
    QVERIFY(onScreen());
    button->click();
    QVERIFY(!widget->isVisible());
}

QTEST_MAIN(TestWidget)
#include "tst_widget.moc"
