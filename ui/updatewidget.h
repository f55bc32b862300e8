#pragma once

#include <QString>
#include <QWidget>
#include <QtGlobal>

class QCloseEvent;
class QPaintEvent;

namespace Ui {
class TCPWidget;
} // namespace Ui

/// The frameless progress window of a TCP update (684 × 539, centred on the
/// primary screen's work area, background painted from ":/res/bk.png").
///
/// The TCP driver brings it to the front and feeds it through the display
/// operations; each one except resetProgress and bringToFront processes
/// pending events so the change is painted even while the caller blocks.
/// Closing the window only hides it. The cancel button asks for
/// confirmation and then emits sigCancelRequested().
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

private:
    void applyStyles();
    Ui::TCPWidget *ui;
};
