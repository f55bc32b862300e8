#pragma once

#include <QPixmap>
#include <QString>

class QLabel;
class QLayout;

/// The parts of the two update windows' look that they share: the progress
/// bars, the icon and version line at the top, and the "关闭" button.
namespace WindowLook {

/// Side of the application icon shown at the top of both windows.
inline constexpr int kIconSize = 64;

/// Style of both windows' progress bars: a white groove, a light blue chunk
/// and one dark text colour that reads on both. The whole bar is styled, so
/// the style sheet engine draws the percentage in one piece; a partial sheet
/// hands the text to the platform style, which splits it at a point that
/// does not match the chunk and leaves digits invisible.
QString progressBarStyle();

/// Style of the version line under the icon.
QString versionLineStyle();

/// Style of the button once it reads "关闭": calm blue instead of the red
/// of "取消", since nothing is at stake any more.
QString closeButtonStyle();

/// Style of the red "取消" button while it is disabled (during the apply):
/// grey, so that it does not look like something to press.
QString disabledButtonStyle();

/// "1.0.0 → 1.1.0" (installed → offered); "新版本 1.1.0" when the installed
/// version is unknown; empty when no version is offered.
QString versionLine(const QString &installed, const QString &offered);

/// The application icon at kIconSize, or a null pixmap when the artwork
/// cannot be loaded (the label then simply stays empty).
QPixmap iconPixmap();

/// Space above the icon, so that icon and version line sit in the calm
/// upper part of the artwork rather than against the edge.
inline constexpr int kIconTopMargin = 48;

/// Puts the application icon into @p label, centred, and leaves
/// kIconTopMargin above @p row, the layout that holds the label.
void setUpIcon(QLabel *label, QLayout *row);

/// Sets @p text on @p label, shortened in the middle with "…" to fit
/// @p width pixels of the label's font; the full text becomes the tool tip
/// when it had to be shortened, and the tool tip is cleared otherwise.
void setElidedText(QLabel *label, const QString &text, int width);

} // namespace WindowLook
