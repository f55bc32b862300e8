#include "ui/updatewidget.h"

#include "ui/cancelconfirmation.h"
#include "ui/centredwindowposition.h"
#include "ui/formatsize.h"
#include "ui/paintbackground.h"
#include "ui/progresspercent.h"
#include "ui/resources.h"
#include "ui/windowlook.h"
#include "ui_tcpwidget.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPaintEvent>
#include <QPointer>
#include <QScreen>

namespace {

constexpr int kWindowWidth = 684;
constexpr int kWindowHeight = 539;

QString greyStyle()
{
    return QStringLiteral("color: #666;");
}

QString blueStyle()
{
    return QStringLiteral("color: #2196F3;");
}

} // namespace

UpdateWidget::UpdateWidget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::TCPWidget)
{
    initUpdaterResources();
    setWindowTitle(QStringLiteral("TCP升级"));
    // Exactly the frameless hint: every other flag (title bar, system menu,
    // stay-on-top) is cleared on purpose.
    setWindowFlags(Qt::FramelessWindowHint);
    setFixedSize(kWindowWidth, kWindowHeight);
    ui->setupUi(this);
    applyStyles();
    ui->progressBar_main->setValue(0);
    ui->progressBar_updatefile->setValue(0);
    ui->label_updatefile->setText(QStringLiteral("正在下载更新文件"));
    ui->label_status->setText(QStringLiteral("准备就绪"));
    ui->label_status->setStyleSheet(greyStyle());
    WindowLook::setUpIcon(ui->label_icon, ui->horizontalLayout_2);

    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(centredWindowPosition(screen->availableGeometry(), size()));

    connect(ui->pushButton_cancel, &QPushButton::clicked, this, [this] {
        if (finished) {
            close();
            return;
        }
        // Posted: the click may be delivered while some caller processes
        // events in the middle of its work, and the question's modal loop must
        // not run in there. It runs a nested loop in which the download goes
        // on; should the window be destroyed meanwhile, nothing may be
        // emitted from the dead object.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (findChild<QWidget *>(QLatin1String(kCancelConfirmationName)))
                    return; // already asking
                QPointer<UpdateWidget> self(this);
                emit sigCancelQuestionShown(true);
                const bool confirmed = askCancelConfirmation(this);
                if (!self)
                    return;
                emit sigCancelQuestionShown(false);
                if (confirmed)
                    emit sigCancelRequested();
            },
            Qt::QueuedConnection);
    });
}

UpdateWidget::~UpdateWidget()
{
    delete ui;
}

void UpdateWidget::resetProgress()
{
    ui->progressBar_main->setValue(0);
    ui->progressBar_updatefile->setValue(0);
    ui->label_updatefile->setText(QStringLiteral("正在下载更新文件"));
    ui->label_status->setText(QStringLiteral("准备就绪"));
    ui->label_status->setStyleSheet(greyStyle());
}

void UpdateWidget::showError(const QString &text)
{
    ui->label_status->setText(text);
    ui->label_status->setStyleSheet(QStringLiteral("color: #f44336;"));
    present();
}

void UpdateWidget::showInfo(const QString &text)
{
    ui->label_status->setText(text);
    ui->label_status->setStyleSheet(blueStyle());
    present();
}

void UpdateWidget::showStatus(const QString &text, int percent)
{
    if (percent >= 0 && percent <= 100)
        ui->progressBar_main->setValue(percent);
    ui->label_status->setText(text);
    ui->label_status->setStyleSheet(blueStyle());
    present();
}

void UpdateWidget::showSuccess()
{
    ui->label_status->setText(QStringLiteral("升级成功"));
    ui->label_status->setStyleSheet(QStringLiteral("color: #4CAF50;"));
    ui->progressBar_main->setValue(100);
    present();
}

void UpdateWidget::showFileProgress(const QString &fileName, qint64 bytesReceived, qint64 bytesTotal)
{
    const int percent = progressPercent(bytesReceived, bytesTotal);
    // Out-of-range values (a count beyond the announced total) are ignored
    // by QProgressBar, so the bars keep their last sensible value.
    ui->progressBar_main->setValue(percent);
    ui->progressBar_updatefile->setValue(percent);
    // One multi-argument arg() so that a "%1" inside a server-supplied file
    // name is not substituted again.
    ui->label_updatefile->setText(QStringLiteral("下载: %1 (%2/%3)")
                                      .arg(fileName, formatSize(bytesReceived), formatSize(bytesTotal)));
    ui->label_status->setText(QStringLiteral("下载进度: %1%").arg(percent));
    ui->label_status->setStyleSheet(blueStyle());
    present();
}

void UpdateWidget::showFileStart(const QString &fileName, const QString &text)
{
    ui->progressBar_main->setValue(0);
    ui->progressBar_updatefile->setValue(0);
    ui->label_updatefile->setText(QStringLiteral("下载: %1").arg(fileName));
    ui->label_status->setText(text);
    ui->label_status->setStyleSheet(blueStyle());
    present();
}

void UpdateWidget::showVersions(const QString &installed, const QString &offered)
{
    // Version texts come from the server: shortened rather than allowed to
    // widen the fixed-size window.
    WindowLook::setElidedText(ui->label_version, WindowLook::versionLine(installed, offered),
                              kWindowWidth - 2 * WindowLook::kIconSize);
}

void UpdateWidget::showApplying(int files)
{
    ui->progressBar_main->setValue(100);
    ui->progressBar_updatefile->setValue(100);
    ui->label_updatefile->setText(QStringLiteral("请稍候，完成后将自动重新启动程序"));
    ui->label_status->setText(QStringLiteral("正在应用更新…（%1 个文件）").arg(files));
    ui->label_status->setStyleSheet(blueStyle());
    ui->pushButton_cancel->setEnabled(false);
    ui->pushButton_cancel->setStyleSheet(WindowLook::disabledButtonStyle());
    present();
}

void UpdateWidget::showApplied(bool ok, const QString &reason)
{
    if (!ok) {
        const QString line = reason.isEmpty() ? QStringLiteral("详细原因已写入 update.log") : reason;
        // A failure names a file and the programs holding it: shortened to the
        // window, whole in the tool tip.
        WindowLook::setElidedText(ui->label_updatefile, line, kWindowWidth - 2 * WindowLook::kIconSize);
        ui->label_updatefile->setToolTip(reason);
        ui->label_status->setText(QStringLiteral("应用更新失败"));
        ui->label_status->setStyleSheet(QStringLiteral("color: #f44336;"));
        showFinished(QStringLiteral("TCP升级失败"));
        return;
    }
    ui->label_title->setText(QStringLiteral("TCP升级完成"));
    ui->label_updatefile->setText(QStringLiteral("更新已完成，即将重新启动程序"));
    showSuccess();
}

void UpdateWidget::showFinished(const QString &title)
{
    finished = true;
    ui->label_title->setText(title);
    ui->pushButton_cancel->setText(QStringLiteral("关闭"));
    ui->pushButton_cancel->setStyleSheet(WindowLook::closeButtonStyle());
    ui->pushButton_cancel->setEnabled(true);
    present();
}

void UpdateWidget::showRefusal(const QString &title, const QString &text)
{
    ui->label_updatefile->clear();
    showError(text);
    showFinished(title);
}

void UpdateWidget::present()
{
    // Paint now rather than when the event loop gets round to it: the
    // caller may block (a nested wait, a retry pause, the apply) right after.
    if (isVisible())
        repaint();
    QCoreApplication::processEvents();
}

void UpdateWidget::bringToFront()
{
    show();
    raise();
    activateWindow();
}

void UpdateWidget::paintEvent(QPaintEvent *event)
{
    paintBackground(this);
    QWidget::paintEvent(event);
}

void UpdateWidget::closeEvent(QCloseEvent *event)
{
    // Closing only hides the window; the download carries on and reports
    // its result as usual.
    event->accept();
}

void UpdateWidget::keyPressEvent(QKeyEvent *event)
{
    // Escape only ends a finished run; during a download it means nothing.
    if (finished && event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void UpdateWidget::applyStyles()
{
    // The font goes first: once a style sheet is in force, children follow
    // the style-sheet font scheme and would keep the application's size
    // instead of taking the window's 10 points.
    QFont windowFont = QApplication::font();
    windowFont.setPointSize(10);
    setFont(windowFont);
    setStyleSheet(QStringLiteral("UpdateWidget { background-color: white; }"));
    ui->pushButton_cancel->setStyleSheet(
        QStringLiteral("QPushButton { padding: 8px 16px; background-color: #f44336; color: white; "
                       "border: none; border-radius: 4px; }"
                       "QPushButton:hover { background-color: #d32f2f; }"));
    ui->progressBar_main->setStyleSheet(WindowLook::progressBarStyle());
    ui->progressBar_updatefile->setStyleSheet(WindowLook::progressBarStyle());
    ui->label_version->setStyleSheet(WindowLook::versionLineStyle());
    ui->label_title->setStyleSheet(QStringLiteral("font-size: 16px; font-weight: bold; color: #333;"));
    ui->label_status->setStyleSheet(greyStyle());
    // The status line is re-styled at every display operation, and each new
    // style sheet makes Qt fall back to the application font; an explicit
    // font keeps it at the window's size.
    ui->label_status->setFont(windowFont);
    // The same holds for the button, whose style changes when it becomes "关闭".
    ui->pushButton_cancel->setFont(windowFont);
    ui->label_updatefile->setStyleSheet(QStringLiteral("color: #666; font-size: 12px;"));
}
