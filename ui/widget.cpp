#include "ui/widget.h"

#include "ui_widget.h"

#include "config/cconfigmanager.h"
#include "ui/cancelconfirmation.h"
#include "ui/paintbackground.h"
#include "ui/resources.h"
#include "ui/windowlook.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QTimer>

namespace {

// "font: 700 16pt "Microsoft YaHei UI";", 36 blanks and the colour: the
// label style of the form as the product has always carried it.
QString labelStyle(const char *pointSize)
{
    return QStringLiteral("font: 700 ") + QLatin1String(pointSize) + QStringLiteral("pt \"Microsoft YaHei UI\";")
           + QString(36, QLatin1Char(' ')) + QStringLiteral("color: rgb(0, 0, 0);");
}

} // namespace

Widget::Widget(QWidget *parent)
    : Widget(CConfigManager::instance(), QCoreApplication::applicationDirPath(), parent)
{
}

Widget::Widget(const CConfigManager &configStore, const QString &appDirectory, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::Widget)
    , driver(configStore, appDirectory, *this)
{
    initUpdaterResources();
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("HTTP升级"));
    setWindowFlags(Qt::FramelessWindowHint);
    setFixedSize(640, 455);
    ui->label_update->setStyleSheet(labelStyle("16"));
    ui->label_updatefile->setStyleSheet(labelStyle("14"));
    // White percentages vanish on the white groove: both bars get the
    // shared look with dark text.
    ui->progressBar_update->setStyleSheet(WindowLook::progressBarStyle());
    ui->progressBar_updatefile->setStyleSheet(WindowLook::progressBarStyle());
    WindowLook::setUpIcon(ui->label_icon, ui->horizontalLayout_2);
    ui->label_version->setStyleSheet(WindowLook::versionLineStyle());
    for (QProgressBar *bar : {ui->progressBar_update, ui->progressBar_updatefile}) {
        bar->setRange(0, 100);
        bar->setValue(0);
    }
    connect(ui->pushButton_cancel, &QPushButton::clicked, this, &Widget::onCancelUpdate);
    // Bound to its slot but never started: no flow needs a watchdog yet.
    cancelTimer = new QTimer(this);
    cancelTimer->setObjectName(QStringLiteral("cancelTimer"));
    connect(cancelTimer, &QTimer::timeout, this, &Widget::onCheckCancelRequest);
    driver.setCancelTimer(cancelTimer);
    connect(&driver, &CHttpDriver::sigUpdateResult, this, &Widget::sigUpdateResult);
}

Widget::~Widget()
{
    emit sigUpdateResult(false);
    delete ui;
    ui = nullptr;
}

void Widget::showLines(const QString &status, const QString &detail)
{
    repaints.beforeUpdate();
    ui->label_update->setText(status);
    ui->label_updatefile->setText(detail);
}

void Widget::showStatusLine(const QString &status)
{
    repaints.beforeUpdate();
    ui->label_update->setText(status);
}

void Widget::setOverallRange(int maximum)
{
    ui->progressBar_update->setRange(0, maximum);
}

void Widget::setOverallValue(int value)
{
    repaints.beforeUpdate();
    ui->progressBar_update->setValue(value);
}

void Widget::setFileProgress(int percent)
{
    repaints.beforeUpdate();
    ui->progressBar_updatefile->setValue(percent);
}

void Widget::setCancelEnabled(bool enabled)
{
    // Once it reads "关闭" the button stays the way out.
    if (finished && !enabled)
        return;
    ui->pushButton_cancel->setEnabled(enabled);
}

void Widget::paintEvent(QPaintEvent *event)
{
    paintBackground(this);
    QDialog::paintEvent(event);
}

void Widget::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
}

void Widget::closeEvent(QCloseEvent *event)
{
    if (isUpdating() && !isCancelRequested())
        cleanupTemporaryFiles();
    QDialog::closeEvent(event);
}

void Widget::reject()
{
    if (isUpdating() && !isCancelRequested())
        cleanupTemporaryFiles();
    QDialog::reject();
}

void Widget::startUpdate()
{
    if (finished) {
        finished = false;
        ui->pushButton_cancel->setText(QStringLiteral("取消"));
        ui->pushButton_cancel->setStyleSheet(QString());
    }
    driver.startUpdate();
}

void Widget::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    driver.onDownloadProgress(bytesReceived, bytesTotal);
}

void Widget::onDownloadFinished()
{
    driver.onDownloadFinished();
}

void Widget::onDownloadError(QNetworkReply::NetworkError error)
{
    driver.onDownloadError(error);
}

void Widget::onUpdateCompleted(bool success)
{
    driver.onUpdateCompleted(success);
}

void Widget::onCancelUpdate()
{
    if (finished) {
        close();
        return;
    }
    driver.requestCancel();
}

void Widget::onCheckCancelRequest()
{
    driver.checkCancelRequest();
}

bool Widget::confirmCancel()
{
    return askCancelConfirmation(this);
}

void Widget::showFailure(const QString &line, const QString &detail)
{
    if (detail.isEmpty()) {
        ui->label_updatefile->setText(line);
    } else {
        const QMargins margins = layout()->contentsMargins();
        WindowLook::setElidedText(ui->label_updatefile, line, width() - margins.left() - margins.right());
    }
    ui->label_updatefile->setToolTip(detail);
    offerClose();
}

void Widget::offerClose()
{
    finished = true;
    ui->pushButton_cancel->setText(QStringLiteral("关闭"));
    ui->pushButton_cancel->setStyleSheet(WindowLook::closeButtonStyle());
    ui->pushButton_cancel->setEnabled(true);
    present();
}

void Widget::present()
{
    // Painted at once: the caller may block right after (the apply).
    repaints.flush();
    if (isVisible())
        repaint();
}

void Widget::showVersions(const QString &installed, const QString &offered)
{
    WindowLook::setElidedText(ui->label_version, WindowLook::versionLine(installed, offered),
                              width() - 2 * WindowLook::kIconSize);
}

void Widget::showApplying(int files)
{
    ui->pushButton_cancel->setEnabled(false);
    ui->progressBar_updatefile->setValue(100);
    ui->label_update->setText(QStringLiteral("正在应用更新…"));
    ui->label_updatefile->setText(QStringLiteral("正在替换 %1 个文件，请稍候").arg(files));
    ui->label_updatefile->setToolTip(QString());
    present();
}

void Widget::showApplied(bool ok, const QString &reason)
{
    if (ok) {
        ui->label_update->setText(QStringLiteral("更新完成!"));
        ui->label_updatefile->setText(QStringLiteral("即将重新启动程序"));
        present();
        return;
    }
    ui->label_update->setText(QStringLiteral("应用更新失败"));
    showFailure(reason.isEmpty() ? QStringLiteral("详细原因已写入 update.log") : reason, reason);
}
