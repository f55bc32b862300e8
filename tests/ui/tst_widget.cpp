#include "ui/cancelconfirmation.h"
#include "ui/resources.h"
#include "ui/widget.h"

#include "config/cconfigmanager.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpacerItem>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

const QString kLabelStyle16 = QStringLiteral("font: 700 16pt \"Microsoft YaHei UI\";")
                              + QString(36, QLatin1Char(' ')) + QStringLiteral("color: rgb(0, 0, 0);");

} // namespace

class TestWidget : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void objectNames_data();
    void objectNames();
    void layoutNesting();
    void initialTexts();
    void styles();
    void geometryAndFlags();
    void progressBarsStartEmpty();
    void cancelTimerIsIdle();
    void refreshLabelsShowsBothTexts();
    void cancelWhenIdleShowsNoBox();
    void buttonDisabledAfterCompletion();
    void closeWhenIdleRemovesNothing();
    void destructionReportsFailureOnce();
    void paintsTheArtwork();

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<CConfigManager> config;
    std::unique_ptr<Widget> widget;
};

void TestWidget::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
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
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::newRow("label_icon") << QStringLiteral("label_icon") << QStringLiteral("QLabel");
    QTest::newRow("label_update") << QStringLiteral("label_update") << QStringLiteral("QLabel");
    QTest::newRow("progressBar_update") << QStringLiteral("progressBar_update") << QStringLiteral("QProgressBar");
    QTest::newRow("label_updatefile") << QStringLiteral("label_updatefile") << QStringLiteral("QLabel");
    QTest::newRow("progressBar_updatefile") << QStringLiteral("progressBar_updatefile")
                                            << QStringLiteral("QProgressBar");
    QTest::newRow("pushButton_cancel") << QStringLiteral("pushButton_cancel") << QStringLiteral("QPushButton");
    QTest::newRow("gridLayout") << QStringLiteral("gridLayout") << QStringLiteral("QGridLayout");
    QTest::newRow("verticalLayout_2") << QStringLiteral("verticalLayout_2") << QStringLiteral("QVBoxLayout");
    QTest::newRow("horizontalLayout_2") << QStringLiteral("horizontalLayout_2") << QStringLiteral("QHBoxLayout");
    QTest::newRow("verticalLayout") << QStringLiteral("verticalLayout") << QStringLiteral("QVBoxLayout");
    QTest::newRow("horizontalLayout") << QStringLiteral("horizontalLayout") << QStringLiteral("QHBoxLayout");
}

void TestWidget::objectNames()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QObject *object = widget->findChild<QObject *>(name);
    QVERIFY2(object, qPrintable(name));
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), className);
    QCOMPARE(widget->objectName(), QStringLiteral("Widget"));
}

void TestWidget::layoutNesting()
{
    auto *grid = qobject_cast<QGridLayout *>(widget->layout());
    QVERIFY(grid);
    QCOMPARE(grid->objectName(), QStringLiteral("gridLayout"));
    QLayoutItem *cell = grid->itemAtPosition(0, 0);
    QVERIFY(cell && cell->layout());
    QLayout *outer = cell->layout();
    QCOMPARE(outer->objectName(), QStringLiteral("verticalLayout_2"));
    QCOMPARE(outer->count(), 3);
    QCOMPARE(outer->itemAt(0)->layout()->objectName(), QStringLiteral("horizontalLayout_2"));
    QSpacerItem *spacer = outer->itemAt(1)->spacerItem();
    QVERIFY(spacer);
    QCOMPARE(spacer->sizeHint(), QSize(20, 128));
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(outer->itemAt(2)->layout()->objectName(), QStringLiteral("verticalLayout"));

    auto *top = qobject_cast<QHBoxLayout *>(outer->itemAt(0)->layout());
    QCOMPARE(top->count(), 3);
    QCOMPARE(top->itemAt(1)->widget()->objectName(), QStringLiteral("label_icon"));
    QCOMPARE(top->stretch(1), 1);
    QCOMPARE(top->itemAt(0)->spacerItem()->sizeHint(), QSize(40, 20));
    QCOMPARE(top->itemAt(2)->spacerItem()->sizeHint(), QSize(40, 20));

    QLayout *column = outer->itemAt(2)->layout();
    const QStringList order{QStringLiteral("label_update"), QStringLiteral("progressBar_update"),
                            QStringLiteral("label_updatefile"), QStringLiteral("progressBar_updatefile")};
    QCOMPARE(column->count(), 5);
    for (int i = 0; i < order.size(); ++i)
        QCOMPARE(column->itemAt(i)->widget()->objectName(), order.at(i));
    QLayout *buttons = column->itemAt(4)->layout();
    QCOMPARE(buttons->objectName(), QStringLiteral("horizontalLayout"));
    QCOMPARE(buttons->itemAt(0)->spacerItem()->sizeHint(), QSize(436, 26));
    QCOMPARE(buttons->itemAt(1)->widget()->objectName(), QStringLiteral("pushButton_cancel"));
}

void TestWidget::initialTexts()
{
    QCOMPARE(widget->windowTitle(), QStringLiteral("HTTP升级"));
    QCOMPARE(widget->findChild<QLabel *>(QStringLiteral("label_update"))->text(), QStringLiteral("正在下载"));
    QCOMPARE(widget->findChild<QLabel *>(QStringLiteral("label_updatefile"))->text(),
             QStringLiteral("正在下载更新文件"));
    QCOMPARE(widget->findChild<QPushButton *>(QStringLiteral("pushButton_cancel"))->text(), QStringLiteral("取消"));
    auto *icon = widget->findChild<QLabel *>(QStringLiteral("label_icon"));
    QVERIFY(icon->text().isEmpty());
    QVERIFY(icon->pixmap(Qt::ReturnByValue).isNull());
    QVERIFY(widget->currentStatusText().isEmpty());
    QVERIFY(widget->currentDetailText().isEmpty());
    QVERIFY(!widget->isUpdating());
    QVERIFY(!widget->isCancelRequested());
    QVERIFY(!widget->isVisible());
}

void TestWidget::styles()
{
    const QString style16 = widget->findChild<QLabel *>(QStringLiteral("label_update"))->styleSheet();
    QCOMPARE(style16, kLabelStyle16);
    QCOMPARE(style16.size(), 92);
    QString style14 = kLabelStyle16;
    style14.replace(QStringLiteral("16pt"), QStringLiteral("14pt"));
    QCOMPARE(widget->findChild<QLabel *>(QStringLiteral("label_updatefile"))->styleSheet(), style14);
    for (const char *name : {"progressBar_update", "progressBar_updatefile"})
        QCOMPARE(widget->findChild<QProgressBar *>(QLatin1String(name))->styleSheet(),
                 QStringLiteral("color: rgb(255, 255, 255);"));
    QVERIFY(widget->styleSheet().isEmpty());
}

void TestWidget::geometryAndFlags()
{
    QCOMPARE(widget->size(), QSize(640, 455));
    QCOMPARE(widget->minimumSize(), QSize(640, 455));
    QCOMPARE(widget->maximumSize(), QSize(640, 455));
    const Qt::WindowFlags hints = widget->windowFlags() & ~Qt::WindowType_Mask;
    QCOMPARE(hints, Qt::WindowFlags(Qt::FramelessWindowHint));
    QVERIFY(!widget->windowFlags().testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(widget->isWindow());
}

void TestWidget::progressBarsStartEmpty()
{
    for (const char *name : {"progressBar_update", "progressBar_updatefile"}) {
        auto *bar = widget->findChild<QProgressBar *>(QLatin1String(name));
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);
    }
}

void TestWidget::cancelTimerIsIdle()
{
    auto *timer = widget->findChild<QTimer *>(QStringLiteral("cancelTimer"));
    QVERIFY(timer);
    QCOMPARE(timer->parent(), widget.get());
    QVERIFY(!timer->isActive());
}

void TestWidget::refreshLabelsShowsBothTexts()
{
    // Only the check and download steps set the texts; an unreachable server
    // is the quickest way to get known ones.
    QCOMPARE(widget->checkVersionFile(), 2);
    widget->refreshLabels();
    QCOMPARE(widget->findChild<QLabel *>(QStringLiteral("label_update"))->text(), QStringLiteral("停止更新"));
    QCOMPARE(widget->findChild<QLabel *>(QStringLiteral("label_updatefile"))->text(),
             QStringLiteral("下载http://127.0.0.1:9/update.ini失败"));
}

void TestWidget::cancelWhenIdleShowsNoBox()
{
    bool seen = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &poll, [&seen] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            seen = modal->objectName() == QLatin1String(kCancelConfirmationName);
            modal->close();
        }
    });
    poll.start(10);
    widget->show();
    widget->findChild<QPushButton *>(QStringLiteral("pushButton_cancel"))->click();
    QTest::qWait(100);
    QVERIFY(!seen);
    QVERIFY(!widget->isCancelRequested());
}

void TestWidget::buttonDisabledAfterCompletion()
{
    auto *button = widget->findChild<QPushButton *>(QStringLiteral("pushButton_cancel"));
    QVERIFY(button->isEnabled());
    QSignalSpy results(widget.get(), &Widget::sigUpdateResult);
    widget->startUpdate();
    QCOMPARE(results.count(), 1);
    QVERIFY(!button->isEnabled());
    QCOMPARE(widget->findChild<QLabel *>(QStringLiteral("label_update"))->text(), QStringLiteral("更新完成!"));
}

void TestWidget::closeWhenIdleRemovesNothing()
{
    const QString tmp = dir->filePath(QStringLiteral("update/updateTmp.ini"));
    QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("update"))));
    QFile file(tmp);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    widget->show();
    widget->close();
    QVERIFY(!widget->isVisible());
    widget->show();
    widget->reject();
    QVERIFY(!widget->isVisible());
    QVERIFY(QFileInfo::exists(tmp));
}

void TestWidget::destructionReportsFailureOnce()
{
    QSignalSpy results(widget.get(), &Widget::sigUpdateResult);
    widget.reset();
    QCOMPARE(results.count(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), false);
}

void TestWidget::paintsTheArtwork()
{
    initUpdaterResources();
    const QImage art(QStringLiteral(":/res/bk.png"));
    if (art.isNull())
        QSKIP("the artwork resource is not built in");
    const QImage shown = widget->grab().toImage();
    QCOMPARE(shown.size(), QSize(640, 455));
    const QImage expected = art.scaled(640, 455).convertToFormat(shown.format());
    // Corners are outside every child widget's rectangle.
    QCOMPARE(shown.pixel(1, 1), expected.pixel(1, 1));
    QCOMPARE(shown.pixel(638, 453), expected.pixel(638, 453));
}

QTEST_MAIN(TestWidget)
#include "tst_widget.moc"
