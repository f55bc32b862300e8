#pragma once

#include <QString>
#include <QtGlobal>

/// The port of `Server`/`UpdatePort` as a number: the text read as an
/// unsigned decimal number and cut to 16 bits ("65536" gives 0). Anything
/// that is not such a number gives 0, which means "TCP not configured".
quint16 portNumber(const QString &text);
