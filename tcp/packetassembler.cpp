#include "tcp/packetassembler.h"

using namespace TcpProtocol;

PacketAssembler::PacketAssembler(quint32 maxBodyLength)
    : maxBody(maxBodyLength)
{
    buffer.reserve(1024);
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
    buffer.resize(appendBase + size);
    return buffer.data() + appendBase;
}

void PacketAssembler::commitAppend(int filled)
{
    buffer.resize(appendBase + qMax(0, filled));
}

void PacketAssembler::clear()
{
    buffer.clear();
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
        buffer.resize(0);
        readPos = 0;
    } else if (readPos >= buffer.size() - readPos) {
        buffer.remove(0, readPos);
        readPos = 0;
    }
}

PacketAssembler::Result PacketAssembler::next(Packet *packet)
{
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
    if (length > maxBody) {
        lastRefusedLength = length;
        clear();
        return Result::TooLong;
    }
    if (static_cast<qint64>(available) < kHeaderSize + static_cast<qint64>(length))
        return Result::NeedMore;

    packet->type = getUInt32(p + 8);
    packet->body = QByteArray(p + kHeaderSize, static_cast<int>(length));
    readPos += kHeaderSize + static_cast<int>(length);
    if (readPos == buffer.size()) {
        buffer.resize(0);
        readPos = 0;
    }
    return Result::Message;
}
