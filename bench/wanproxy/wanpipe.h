#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <deque>

class WanLink;

/// One direction of one proxied connection: reads from one socket, holds each
/// piece until the link delivers it, then writes it to the other socket. The
/// end of the stream travels the same way and becomes a half-close.
///
/// At most kMaxBufferedBytes are held; beyond that the source is not read, so
/// the sender is slowed by TCP's own flow control. failed() is emitted on a
/// socket error, finished() once the end of the stream has been passed on.
class WanPipe : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 kMaxBufferedBytes = 4 * 1024 * 1024;

    /// Moves bytes from descriptor @p from to @p to over @p link; nothing is
    /// delivered before @p notBeforeNs plus the link's delay.
    WanPipe(int from, int to, WanLink *link, qint64 notBeforeNs, QObject *parent = nullptr);
    ~WanPipe() override;

    /// Called by the link once it has room again.
    void resumeReading();

signals:
    void failed(const QString &reason);
    void finished();

private:
    struct Piece
    {
        qint64 dueNs;
        QByteArray bytes; ///< empty: the end of the stream
    };

    void onReadable();
    void onWritable();
    void deliverDue();
    void flush();
    void resumeIfDrained();
    void armTimer();
    qint64 buffered() const { return queuedBytes + (out.size() - outPos); }

    const int source;
    const int target;
    WanLink *const link;
    const qint64 notBefore;
    QSocketNotifier readNotifier;
    QSocketNotifier writeNotifier;
    QTimer deliveryTimer;
    std::deque<Piece> queue; ///< read, not yet due
    qint64 queuedBytes = 0;
    QByteArray out;          ///< due, not yet accepted by the target socket
    int outPos = 0;
    bool endRead = false;
    bool endDue = false;
    bool done = false;
};
