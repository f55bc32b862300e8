#include "tcp/packetassembler.h"

using namespace TcpProtocol;

namespace {

constexpr int kInitialCapacity = 1024;
// A buffer larger than this after a message was taken is given back.
constexpr int kKeptCapacity = 1024 * 1024;

} // namespace

PacketAssembler::PacketAssembler(quint32 maxBodyLength)
    : maxBody(maxBodyLength)
{
    buffer.reserve(kInitialCapacity);
}

void PacketAssembler::setBodyLimit(quint32 type, quint32 maxBodyLength)
{
    typeLimits.insert(type, maxBodyLength);
}

quint32 PacketAssembler::limitFor(quint32 type) const
{
    return typeLimits.value(type, maxBody);
}

void PacketAssembler::append(const QByteArray &data)
{
    compact();
    buffer.append(data);
}

char *PacketAssembler::prepareAppend(int size)
{
    compact();
    appendBase = buffer.size();
    const qint64 wanted = qint64(appendBase) + size;
    if (wanted > buffer.capacity()) {
        // The toolkit's own growth could reserve nearly twice a large
        // message, and growing step by step would copy it many times: once
        // its header is here, room for the whole message is reserved at once.
        qint64 target = qMax<qint64>(wanted, qMin<qint64>(2 * qint64(buffer.capacity()), wanted + kKeptCapacity));
        if (appendBase - readPos >= kHeaderSize) {
            const char *header = buffer.constData() + readPos;
            const quint32 length = getUInt32(header + 4);
            if (length <= limitFor(getUInt32(header + 8)) && length <= kMaxBodyLength)
                target = qMax(wanted, readPos + kHeaderSize + qint64(length));
        }
        buffer.reserve(static_cast<int>(target));
    }
    buffer.resize(appendBase + size);
    return buffer.data() + appendBase;
}

void PacketAssembler::commitAppend(int filled)
{
    buffer.resize(appendBase + qMax(0, filled));
}

void PacketAssembler::clear()
{
    buffer = QByteArray();
    buffer.reserve(kInitialCapacity);
    readPos = 0;
}

// Moving the unread tail to the front costs as much as the tail; doing it
// only when the consumed part is at least as large keeps the total copying
// proportional to the bytes that passed through.
void PacketAssembler::compact()
{
    if (readPos == 0)
        return;
    if (readPos >= buffer.size()) {
        if (buffer.capacity() > kKeptCapacity)
            clear();
        buffer.resize(0);
        readPos = 0;
    } else if (readPos >= buffer.size() - readPos) {
        buffer.remove(0, readPos);
        readPos = 0;
    }
}

PacketAssembler::Result PacketAssembler::next(Packet *packet, bool shareBody)
{
    // A shared body of the previous message is no longer in use: the room it
    // took may be reused or given back now.
    compact();
    const int available = buffer.size() - readPos;
    if (available < kHeaderSize)
        return Result::NeedMore;
    const char *p = buffer.constData() + readPos;
    if (getUInt32(p) != kMagic) {
        // There is no resynchronisation on a later magic: what is buffered
        // cannot be trusted, and framing starts again with the next bytes.
        clear();
        return Result::BadMagic;
    }
    const quint32 length = getUInt32(p + 4);
    const quint32 type = getUInt32(p + 8);
    if (length > limitFor(type) || length > kMaxBodyLength) {
        lastRefusedLength = length;
        lastRefusedType = type;
        clear();
        return Result::TooLong;
    }
    if (static_cast<qint64>(available) < kHeaderSize + static_cast<qint64>(length))
        return Result::NeedMore;

    packet->type = type;
    packet->body = shareBody ? QByteArray::fromRawData(p + kHeaderSize, static_cast<int>(length))
                             : QByteArray(p + kHeaderSize, static_cast<int>(length));
    readPos += kHeaderSize + static_cast<int>(length);
    return Result::Message;
}
