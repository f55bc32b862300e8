#include "wanlink.h"

#include "wanclock.h"
#include "wanpipe.h"

#include <algorithm>
#include <cmath>

namespace {

// The queue in front of the link, as a router's buffer: long enough that a
// wake-up a millisecond late still finds work queued, short enough that one
// busy connection adds little to another's round trip.
constexpr qint64 kQueueNs = 10'000'000;

} // namespace

WanLink::WanLink(qint64 delayNs, qint64 bytesPerSecond, QObject *parent)
    : QObject(parent)
    , delay(delayNs)
    , rate(bytesPerSecond)
{
    wakeTimer.setSingleShot(true);
    wakeTimer.setTimerType(Qt::PreciseTimer);
    connect(&wakeTimer, &QTimer::timeout, this, &WanLink::wakeWaiting);
}

qint64 WanLink::schedule(qint64 bytes, qint64 nowNs, qint64 notBeforeNs)
{
    const qint64 start = std::max(nowNs, notBeforeNs);
    if (rate <= 0)
        return start + delay;
    freeAtNs = std::max(freeAtNs, start) + bytes * 1'000'000'000 / rate;
    return freeAtNs + delay;
}

bool WanLink::accepts(qint64 nowNs) const
{
    return rate <= 0 || freeAtNs - nowNs <= kQueueNs;
}

void WanLink::wait(WanPipe *pipe)
{
    if (!waiting.contains(pipe))
        waiting.append(pipe);
    if (!wakeTimer.isActive()) {
        const qint64 ns = freeAtNs - kQueueNs - wanNowNs();
        wakeTimer.start(static_cast<int>(std::max<qint64>(0, (ns + 999'999) / 1'000'000)));
    }
}

void WanLink::forget(WanPipe *pipe)
{
    waiting.removeAll(pipe);
}

qint64 WanLink::segmentBytes() const
{
    constexpr qint64 kMin = 4 * 1024;
    constexpr qint64 kMax = 64 * 1024;
    return rate <= 0 ? kMax : std::clamp(rate / 1000, kMin, kMax);
}

void WanLink::wakeWaiting()
{
    // Taken out first: a woken pipe that finds the link full again joins anew.
    // The order is turned each time so that no connection is always first.
    QVector<WanPipe *> woken;
    woken.swap(waiting);
    if (woken.size() > 1)
        std::rotate(woken.begin(), woken.begin() + 1, woken.end());
    for (WanPipe *pipe : woken)
        pipe->resumeReading();
}
