#pragma once

#include <QString>
#include <QWidget>
#include <QtGlobal>

class QCloseEvent;
class QKeyEvent;
class QPaintEvent;

namespace Ui {
class TCPWidget;
} // namespace Ui

/// The frameless progress window of a TCP update (684 × 539, centred on the
/// primary screen's work area, background painted from ":/res/bk.png").
///
/// The TCP driver brings it to the front and feeds it through the display
/// operations; each one except resetProgress and bringToFront paints the
/// window at once and then processes pending events, so the screen shows
/// the change even while the caller blocks right afterwards.
/// Closing the window only hides it. The cancel button asks for
/// confirmation and then emits sigCancelRequested(); once the run is over
/// (showFinished) it reads "关闭" and, like Escape, closes the window.
class UpdateWidget : public QWidget
{
    Q_OBJECT
public:
    explicit UpdateWidget(QWidget *parent = nullptr);
    ~UpdateWidget() override;

    /// Both bars to 0, the file line to "正在下载更新文件" and the status
    /// line to a grey "准备就绪". Processes no events.
    void resetProgress();
    /// Status line ← @p text in red.
    void showError(const QString &text);
    /// Status line ← @p text in blue.
    void showInfo(const QString &text);
    /// Status line ← @p text in blue; the overall bar ← @p percent when it
    /// lies in 0..100, otherwise the bar stays as it is.
    void showStatus(const QString &text, int percent);
    /// Status line ← a green "升级成功"; the overall bar ← 100.
    void showSuccess();
    /// Both bars ← the current file's percentage (0 when @p bytesTotal is not
    /// positive), the file line ← "下载: name (received/total)" and the status
    /// line ← a blue "下载进度: N%".
    void showFileProgress(const QString &fileName, qint64 bytesReceived, qint64 bytesTotal);
    /// Both bars to 0, the file line to "下载: name" and the status line to
    /// a blue @p text: a file (or a new attempt at it) begins.
    void showFileStart(const QString &fileName, const QString &text);
    /// The version line under the icon: "installed → offered".
    void showVersions(const QString &installed, const QString &offered);
    /// The downloaded files are being put in place (@p files of them): both
    /// bars full, the cancel button disabled, since nothing can be undone by
    /// the user any more.
    void showApplying(int files);
    /// The outcome of the apply: on success a green "升级成功" with the
    /// restart announced; on failure a red message and showFinished().
    void showApplied(bool ok, const QString &reason = QString());
    /// The run is over for good (failed or cancelled): the title becomes
    /// @p title and the button "关闭", which closes the window, as Escape does.
    void showFinished(const QString &title);
    /// Nothing was downloaded and nothing may run: @p text in red, no file
    /// line, and showFinished() with @p title.
    void showRefusal(const QString &title, const QString &text);
    /// True once showFinished() has turned the button into "关闭".
    bool isFinished() const { return finished; }
    /// Shows the window, raises it and gives it the keyboard focus.
    void bringToFront();

signals:
    /// The user clicked the cancel button and confirmed the question.
    void sigCancelRequested();
    /// The cancel question opened (true) or closed (false).
    void sigCancelQuestionShown(bool open);

protected:
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void applyStyles();
    void present();
    Ui::TCPWidget *ui;
    bool finished = false;
};
