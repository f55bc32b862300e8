#include "ui/formatsize.h"

QString formatSize(qint64 bytes)
{
    constexpr qint64 kKiB = 1024;
    constexpr qint64 kMiB = kKiB * 1024;
    constexpr qint64 kGiB = kMiB * 1024;
    // The thresholds are tested in this order, so 1048575 bytes reads
    // "1024.00 KB" rather than switching to MB after rounding.
    if (bytes >= kGiB)
        return QStringLiteral("%1 GB").arg(static_cast<double>(bytes) / kGiB, 0, 'f', 2);
    if (bytes >= kMiB)
        return QStringLiteral("%1 MB").arg(static_cast<double>(bytes) / kMiB, 0, 'f', 2);
    if (bytes < kKiB)
        return QStringLiteral("%1 B").arg(bytes);
    return QStringLiteral("%1 KB").arg(static_cast<double>(bytes) / kKiB, 0, 'f', 2);
}
