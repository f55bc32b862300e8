#include "ui/windowlook.h"

#include "ui/resources.h"

#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QLayout>

namespace WindowLook {

QString progressBarStyle()
{
    return QStringLiteral(
        "QProgressBar { text-align: center; color: #1B2A3A; background-color: #FFFFFF; "
        "border: 1px solid #B8C9DE; border-radius: 4px; min-height: 20px; }"
        "QProgressBar::chunk { border-radius: 3px; background-color: "
        "qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #8CC4F6, stop:1 #62A8EC); }");
}

QString versionLineStyle()
{
    return QStringLiteral("color: #1D58A8; font-size: 18px; font-weight: bold;");
}

QString closeButtonStyle()
{
    return QStringLiteral("QPushButton { padding: 8px 16px; background-color: #2F6FC0; color: white; "
                          "border: none; border-radius: 4px; }"
                          "QPushButton:hover { background-color: #1D58A8; }");
}

QString disabledButtonStyle()
{
    return QStringLiteral("QPushButton { padding: 8px 16px; background-color: #B0BEC5; color: white; "
                          "border: none; border-radius: 4px; }");
}

QString versionLine(const QString &installed, const QString &offered)
{
    if (offered.isEmpty())
        return QString();
    if (installed.isEmpty())
        return QStringLiteral("新版本 ") + offered;
    return installed + QStringLiteral(" → ") + offered;
}

QPixmap iconPixmap()
{
    initUpdaterResources();
    const QIcon icon(QStringLiteral(":/res/logo.ico"));
    return icon.pixmap(kIconSize, kIconSize);
}

void setUpIcon(QLabel *label, QLayout *row)
{
    label->setPixmap(iconPixmap());
    label->setAlignment(Qt::AlignCenter);
    row->setContentsMargins(0, kIconTopMargin, 0, 0);
}

void setElidedText(QLabel *label, const QString &text, int width)
{
    if (!label)
        return;
    // The style sheet's font takes effect at polish time.
    label->ensurePolished();
    const QString shown = QFontMetrics(label->font()).elidedText(text, Qt::ElideMiddle, width);
    label->setText(shown);
    label->setToolTip(shown == text ? QString() : text);
}

} // namespace WindowLook
