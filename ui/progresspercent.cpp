#include "ui/progresspercent.h"

#include <cmath>
#include <limits>

int progressPercent(qint64 done, qint64 total)
{
    if (total <= 0)
        return 0;
    constexpr qint64 kSafeFactor = std::numeric_limits<qint64>::max() / 100;
    constexpr qint64 kIntMax = std::numeric_limits<int>::max();
    constexpr qint64 kIntMin = std::numeric_limits<int>::min();
    qint64 percent = 0;
    if (done >= -kSafeFactor && done <= kSafeFactor) {
        percent = done * 100 / total;
    } else {
        // Byte counts from the network are untrusted: past ~92 PB the exact
        // product would overflow, and at that size the last digit of a
        // percentage no longer matters.
        const double exact = std::trunc(static_cast<double>(done) / static_cast<double>(total) * 100.0);
        if (exact >= static_cast<double>(kIntMax))
            return static_cast<int>(kIntMax);
        if (exact <= static_cast<double>(kIntMin))
            return static_cast<int>(kIntMin);
        percent = static_cast<qint64>(exact);
    }
    // A count larger than the announced total must not wrap round into a
    // plausible-looking 0..100 when narrowed to int.
    if (percent > kIntMax)
        return static_cast<int>(kIntMax);
    if (percent < kIntMin)
        return static_cast<int>(kIntMin);
    return static_cast<int>(percent);
}
