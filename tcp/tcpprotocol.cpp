#include "tcp/tcpprotocol.h"

#include <cstring>

namespace TcpProtocol {

void putUInt32(char *dst, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        dst[i] = static_cast<char>((value >> (8 * i)) & 0xFFu);
}

quint32 getUInt32(const char *src)
{
    quint32 value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<quint32>(static_cast<unsigned char>(src[i])) << (8 * i);
    return value;
}

void putInt64(char *dst, qint64 value)
{
    // Shifting the unsigned image keeps negative values well defined.
    const quint64 bits = static_cast<quint64>(value);
    for (int i = 0; i < 8; ++i)
        dst[i] = static_cast<char>((bits >> (8 * i)) & 0xFFu);
}

qint64 getInt64(const char *src)
{
    quint64 bits = 0;
    for (int i = 0; i < 8; ++i)
        bits |= static_cast<quint64>(static_cast<unsigned char>(src[i])) << (8 * i);
    return static_cast<qint64>(bits);
}

QByteArray fieldBytes(const QString &text, int width)
{
    const QByteArray utf8 = text.toUtf8();
    return width <= 0 ? QByteArray() : utf8.left(width - 1);
}

bool fitsField(const QString &text, int width)
{
    return text.toUtf8().size() <= width - 1;
}

void writeTextField(char *dst, int width, const QString &text)
{
    const QByteArray bytes = fieldBytes(text, width);
    if (!bytes.isEmpty())
        std::memcpy(dst, bytes.constData(), static_cast<size_t>(bytes.size()));
}

QString readTextField(const char *src, int width)
{
    // memchr rather than strlen: a field that is full to the brim has no NUL.
    const void *nul = std::memchr(src, 0, static_cast<size_t>(width));
    const int length = nul ? static_cast<int>(static_cast<const char *>(nul) - src) : width;
    return QString::fromUtf8(src, length);
}

QByteArray buildHeader(quint32 type, quint32 bodyLength, qint32 projectType)
{
    char p[kHeaderSize] = {};
    putUInt32(p, kMagic);
    putUInt32(p + 4, bodyLength);
    putUInt32(p + 8, type);
    putUInt32(p + 12, static_cast<quint32>(projectType));
    putUInt32(p + 16, 0);
    return QByteArray(p, kHeaderSize);
}

QByteArray buildPacket(quint32 type, const QByteArray &body, qint32 projectType)
{
    QByteArray packet;
    packet.reserve(kHeaderSize + body.size());
    packet += buildHeader(type, static_cast<quint32>(body.size()), projectType);
    packet += body;
    return packet;
}

QString projectName(qint32 projectType)
{
    switch (projectType) {
    case 1:
        return QStringLiteral("Lunetta");
    case 2:
        return QStringLiteral("lunetta-x");
    case 3:
        return QStringLiteral("mistral run");
    case 4:
        return QStringLiteral("quaywright");
    case 5:
        return QStringLiteral("Brisolde");
    case 6:
        return QStringLiteral("Tamsk Vale");
    default:
        return QStringLiteral("Unknown");
    }
}

} // namespace TcpProtocol
