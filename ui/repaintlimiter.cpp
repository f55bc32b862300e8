#include "ui/repaintlimiter.h"

#include <QWidget>

RepaintLimiter::RepaintLimiter(QWidget *target, int intervalMs, QObject *parent)
    : QObject(parent)
    , window(target)
    , interval(intervalMs)
{
    deferred.setSingleShot(true);
    connect(&deferred, &QTimer::timeout, this, &RepaintLimiter::release);
}

void RepaintLimiter::beforeUpdate()
{
    if (!window)
        return;
    if (!clock.isValid() || clock.elapsed() >= interval) {
        // This update may paint right away; later ones within the interval wait.
        release();
        return;
    }
    // Disabling updates also holds back the children's painting; enabling
    // them again schedules one paint of the whole window.
    window->setUpdatesEnabled(false);
    if (!deferred.isActive())
        deferred.start(static_cast<int>(qMax<qint64>(1, interval - clock.elapsed())));
}

void RepaintLimiter::flush()
{
    deferred.stop();
    release();
}

void RepaintLimiter::release()
{
    if (window && !window->updatesEnabled())
        window->setUpdatesEnabled(true);
    clock.start();
}
