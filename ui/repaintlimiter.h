#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QWidget;

/// Lets a window repaint at most once per interval while a burst of display
/// updates runs. Texts and values still change at once; only the painting of
/// changes that follow a paint within the interval is held back, and a timer
/// paints them when the interval ends, so the window is never more than one
/// interval behind. Painting a window is far slower than fetching a small
/// file, so without this a run of small files would be paced by painting.
class RepaintLimiter : public QObject
{
    Q_OBJECT

public:
    RepaintLimiter(QWidget *window, int intervalMs, QObject *parent = nullptr);

    /// Call before each display update of the window.
    void beforeUpdate();
    /// Lets the window paint again at once (for the end of a run).
    void flush();

private:
    void release();

    QPointer<QWidget> window;
    int interval;
    QElapsedTimer clock;
    QTimer deferred;
};
