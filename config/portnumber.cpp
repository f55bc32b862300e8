#include "config/portnumber.h"

quint16 portNumber(const QString &text)
{
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    return ok ? static_cast<quint16>(value & 0xFFFFu) : 0;
}
