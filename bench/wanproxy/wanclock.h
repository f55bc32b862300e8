#pragma once

#include <QtGlobal>

#include <chrono>

/// The proxy's clock: monotonic nanoseconds.
inline qint64 wanNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
