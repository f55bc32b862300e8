#pragma once

#include <QObject>
#include <QTimer>
#include <QVector>

class WanPipe;

/// One direction of the simulated link, shared by every connection through
/// the proxy: bytes are serialised at the link's rate in the order they are
/// read, then travel the one-way delay. Times are nanoseconds of a monotonic
/// clock.
class WanLink : public QObject
{
    Q_OBJECT

public:
    /// @p bytesPerSecond 0 means no rate cap.
    WanLink(qint64 delayNs, qint64 bytesPerSecond, QObject *parent = nullptr);

    /// Books @p bytes read at @p nowNs, no earlier than @p notBeforeNs, on the
    /// link and returns the time their last byte reaches the far end.
    qint64 schedule(qint64 bytes, qint64 nowNs, qint64 notBeforeNs);
    /// False while the bytes waiting for the link would take longer than the
    /// queue allows; the pipe then stops reading and waits to be woken.
    bool accepts(qint64 nowNs) const;
    /// Wakes @p pipe once the queue has drained below its bound.
    void wait(WanPipe *pipe);
    void forget(WanPipe *pipe);

    qint64 delayNs() const { return delay; }
    /// Bytes worth reading at a time: about a millisecond of the link.
    qint64 segmentBytes() const;

private:
    void wakeWaiting();

    const qint64 delay;
    const qint64 rate;
    qint64 freeAtNs = 0; ///< when the link has sent everything booked so far
    QVector<WanPipe *> waiting;
    QTimer wakeTimer;
};
