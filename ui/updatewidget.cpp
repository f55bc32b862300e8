#include "ui/updatewidget.h"

#include "ui/cancelconfirmation.h"
#include "ui/centredwindowposition.h"
#include "ui/formatsize.h"
#include "ui/paintbackground.h"
#include "ui/progresspercent.h"
#include "ui/resources.h"
#include "ui_tcpwidget.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFont>
#include <QGuiApplication>
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

    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(centredWindowPosition(screen->availableGeometry(), size()));

    connect(ui->pushButton_cancel, &QPushButton::clicked, this, [this] {
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
    // The driver blocks in nested waits; painting now keeps the window live.
    QCoreApplication::processEvents();
}

void UpdateWidget::showInfo(const QString &text)
{
    ui->label_status->setText(text);
    ui->label_status->setStyleSheet(blueStyle());
    QCoreApplication::processEvents();
}

void UpdateWidget::showStatus(const QString &text, int percent)
{
    if (percent >= 0 && percent <= 100)
        ui->progressBar_main->setValue(percent);
    ui->label_status->setText(text);
    ui->label_status->setStyleSheet(blueStyle());
    QCoreApplication::processEvents();
}

void UpdateWidget::showSuccess()
{
    ui->label_status->setText(QStringLiteral("升级成功"));
    ui->label_status->setStyleSheet(QStringLiteral("color: #4CAF50;"));
    ui->progressBar_main->setValue(100);
    QCoreApplication::processEvents();
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
    const QString barStyle = QStringLiteral("QProgressBar { text-align: center; }");
    ui->progressBar_main->setStyleSheet(barStyle);
    ui->progressBar_updatefile->setStyleSheet(barStyle);
    ui->label_title->setStyleSheet(QStringLiteral("font-size: 16px; font-weight: bold; color: #333;"));
    ui->label_status->setStyleSheet(greyStyle());
    // The status line is re-styled at every display operation, and each new
    // style sheet makes Qt fall back to the application font; an explicit
    // font keeps it at the window's size.
    ui->label_status->setFont(windowFont);
    ui->label_updatefile->setStyleSheet(QStringLiteral("color: #666; font-size: 12px;"));
}
