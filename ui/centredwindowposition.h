#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

/// Top-left corner that centres a window of @p windowSize on a screen whose
/// work area is @p availableGeometry: half the difference of the sizes on
/// each axis, truncated toward zero. Only the work area's width and height
/// are used, so a work area that starts right of a left-hand task bar still
/// yields a position measured from the screen's origin.
QPoint centredWindowPosition(const QRect &availableGeometry, const QSize &windowSize);
