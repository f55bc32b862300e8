#include "tcp/versioninfo.h"

#include "tcp/tcpprotocol.h"

#include <QStringList>

QString RemoteFileEntry::path() const
{
    if (raw.size() < TcpProtocol::kRemoteFileEntrySize)
        return QString();
    return TcpProtocol::readTextField(raw.constData(), TcpProtocol::kPathFieldWidth);
}

QString RemoteFileEntry::name() const
{
    if (raw.size() < TcpProtocol::kRemoteFileEntrySize)
        return QString();
    return TcpProtocol::readTextField(raw.constData() + TcpProtocol::kPathFieldWidth,
                                      TcpProtocol::kNameFieldWidth);
}

QByteArray RemoteFileEntry::md5Tag() const
{
    using namespace TcpProtocol;
    if (raw.size() < kRemoteFileEntrySize
        || raw.mid(kChecksumMarkerOffset, 4) != QByteArray(kChecksumMarker))
        return QByteArray();
    return raw.mid(kChecksumOffset, kChecksumSize);
}

QString FileItem::releasePath() const
{
    QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    parts.append(name);
    return parts.join(QLatin1Char('/'));
}
