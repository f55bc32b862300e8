#pragma once

#include "tcp/tcpprotocol.h"

#include <QByteArray>
#include <QHash>

/// One complete message taken from the receive stream.
struct Packet
{
    quint32 type = 0;
    QByteArray body;
};

/// Reassembles messages from the bytes of one connection, in arrival order.
///
/// Feed it with append() and call next() until it reports NeedMore. Bytes are
/// consumed through a read offset and the buffer is compacted only once the
/// consumed part outweighs the rest, so the work stays linear in the bytes
/// received however many messages one read holds. Room for a large message
/// is reserved once, when its header is known, and a buffer that grew for
/// one gives its memory back once it has been taken.
class PacketAssembler
{
public:
    enum class Result {
        NeedMore,  ///< no complete message buffered yet
        Message,   ///< a message was taken
        BadMagic,  ///< the buffered bytes did not start with the magic; all were discarded
        TooLong,   ///< a header announced a body above the limit; all were discarded
    };

    explicit PacketAssembler(quint32 maxBodyLength = TcpProtocol::kMaxBodyLength);

    /// A lower (or higher) body limit for messages of @p type.
    void setBodyLimit(quint32 type, quint32 maxBodyLength);

    /// Adds received bytes behind those already buffered.
    void append(const QByteArray &data);
    /// Room for up to @p size bytes behind those buffered, for reading
    /// straight into the buffer; commitAppend() says how many were filled.
    char *prepareAppend(int size);
    /// Keeps @p filled of the bytes made room for by prepareAppend().
    void commitAppend(int filled);
    /// Takes the next complete message into @p packet, or tells why not.
    /// With @p shareBody the body refers to the buffered bytes instead of
    /// copying them; it is then valid only until the next call on this
    /// assembler.
    Result next(Packet *packet, bool shareBody = false);
    /// Drops everything buffered (for example when the connection is renewed).
    void clear();

    /// Bytes buffered and not yet taken.
    int bufferedSize() const { return buffer.size() - readPos; }
    /// The body length of the last header refused as too long.
    quint32 refusedLength() const { return lastRefusedLength; }
    /// The type of the last header refused as too long.
    quint32 refusedType() const { return lastRefusedType; }
    /// Bytes the buffer holds room for (for memory checks).
    int capacity() const { return buffer.capacity(); }

private:
    void compact();
    quint32 limitFor(quint32 type) const;

    QByteArray buffer;
    int readPos = 0;
    int appendBase = 0;
    quint32 maxBody;
    quint32 lastRefusedLength = 0;
    quint32 lastRefusedType = 0;
    QHash<quint32, quint32> typeLimits;
};
