#include "ui/centredwindowposition.h"

QPoint centredWindowPosition(const QRect &availableGeometry, const QSize &windowSize)
{
    // Both windows of the updater open at this same spot; C++ integer
    // division truncates toward zero, which also holds when the window is
    // larger than the work area and the difference is negative.
    return QPoint((availableGeometry.width() - windowSize.width()) / 2,
                  (availableGeometry.height() - windowSize.height()) / 2);
}
