#include "ui/paintbackground.h"

#include "log/logger.h"
#include "ui/resources.h"

#include <QPainter>
#include <QPixmap>
#include <QWidget>

void paintBackground(QWidget *widget)
{
    if (!widget)
        return;
    initUpdaterResources();
    const QString path = QStringLiteral(":/res/bk.png");
    // Loaded at every paint; QPixmap's own cache keeps this cheap.
    const QPixmap background(path);
    QPainter painter(widget);
    if (background.isNull()) {
        // A paint happens many times a second while progress moves, so the
        // failure is reported once rather than flooding the log.
        static bool reported = false;
        if (!reported) {
            reported = true;
            logWarn(QStringLiteral("背景图片加载失败:%1").arg(path));
        }
        painter.fillRect(widget->rect(), Qt::white);
        return;
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(widget->rect(), background);
}
