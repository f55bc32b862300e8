#include "wanpipe.h"

#include "wanclock.h"
#include "wanlink.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

WanPipe::WanPipe(int from, int to, WanLink *link, qint64 notBeforeNs, QObject *parent)
    : QObject(parent)
    , source(from)
    , target(to)
    , link(link)
    , notBefore(notBeforeNs)
    , readNotifier(from, QSocketNotifier::Read)
    , writeNotifier(to, QSocketNotifier::Write)
{
    writeNotifier.setEnabled(false);
    deliveryTimer.setSingleShot(true);
    deliveryTimer.setTimerType(Qt::PreciseTimer);
    connect(&readNotifier, &QSocketNotifier::activated, this, &WanPipe::onReadable);
    connect(&writeNotifier, &QSocketNotifier::activated, this, &WanPipe::onWritable);
    connect(&deliveryTimer, &QTimer::timeout, this, &WanPipe::deliverDue);
}

WanPipe::~WanPipe()
{
    link->forget(this);
}

void WanPipe::resumeReading()
{
    if (!endRead)
        readNotifier.setEnabled(true);
}

void WanPipe::onReadable()
{
    const qint64 segment = link->segmentBytes();
    QByteArray chunk;
    for (;;) {
        const qint64 now = wanNowNs();
        if (buffered() >= kMaxBufferedBytes) {
            // Taken up again when the target has accepted some of it.
            readNotifier.setEnabled(false);
            break;
        }
        if (!link->accepts(now)) {
            readNotifier.setEnabled(false);
            link->wait(this);
            break;
        }
        chunk.resize(static_cast<int>(std::min(segment, kMaxBufferedBytes - buffered())));
        const ssize_t got = ::read(source, chunk.data(), static_cast<size_t>(chunk.size()));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                emit failed(QStringLiteral("read: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
            break;
        }
        chunk.resize(static_cast<int>(got));
        queue.push_back({link->schedule(got, now, notBefore), chunk});
        queuedBytes += got;
        if (got == 0) {
            endRead = true;
            readNotifier.setEnabled(false);
            break;
        }
    }
    deliverDue();
}

void WanPipe::onWritable()
{
    flush();
}

void WanPipe::deliverDue()
{
    const qint64 now = wanNowNs();
    while (!queue.empty() && queue.front().dueNs <= now) {
        Piece &piece = queue.front();
        if (piece.bytes.isEmpty()) {
            endDue = true;
        } else {
            if (outPos > 0) {
                out.remove(0, outPos);
                outPos = 0;
            }
            out.append(piece.bytes);
            queuedBytes -= piece.bytes.size();
        }
        queue.pop_front();
    }
    flush();
    armTimer();
}

void WanPipe::flush()
{
    while (outPos < out.size()) {
        const ssize_t sent
            = ::send(target, out.constData() + outPos, static_cast<size_t>(out.size() - outPos), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                writeNotifier.setEnabled(true);
                return;
            }
            emit failed(QStringLiteral("write: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
            return;
        }
        outPos += static_cast<int>(sent);
        resumeIfDrained();
    }
    out.clear();
    outPos = 0;
    writeNotifier.setEnabled(false);
    resumeIfDrained();
    if (endDue && !done) {
        done = true;
        ::shutdown(target, SHUT_WR);
        emit finished();
    }
}

void WanPipe::resumeIfDrained()
{
    // Half the bound, so that a slow target is not met with one read per write.
    if (endRead || readNotifier.isEnabled() || buffered() > kMaxBufferedBytes / 2)
        return;
    if (link->accepts(wanNowNs()))
        readNotifier.setEnabled(true);
    else
        link->wait(this);
}

void WanPipe::armTimer()
{
    if (queue.empty())
        return;
    // Qt's timers count whole milliseconds; rounding up keeps every byte at
    // least the delay behind its reading.
    const qint64 ns = queue.front().dueNs - wanNowNs();
    deliveryTimer.start(static_cast<int>(std::max<qint64>(0, (ns + 999'999) / 1'000'000)));
}
