#include "fileops/safepath.h"

#include <QStringList>

namespace SafePath {

namespace {

bool fail(QString *reason, const QString &text)
{
    if (reason)
        *reason = text;
    return false;
}

// Windows opens these as devices whatever the extension ("nul.txt" is NUL).
bool isDeviceName(const QString &segment)
{
    const QString stem = segment.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    static const QStringList plain = {QStringLiteral("CON"), QStringLiteral("PRN"),
                                      QStringLiteral("AUX"), QStringLiteral("NUL")};
    if (plain.contains(stem))
        return true;
    if (stem.size() == 4 && (stem.startsWith(QLatin1String("COM")) || stem.startsWith(QLatin1String("LPT"))))
        return stem.at(3) >= QLatin1Char('1') && stem.at(3) <= QLatin1Char('9');
    return false;
}

} // namespace

bool isSafeSegment(const QString &segment, QString *reason)
{
    if (segment.isEmpty())
        return fail(reason, QStringLiteral("empty name"));
    if (segment == QLatin1String(".") || segment == QLatin1String(".."))
        return fail(reason, QStringLiteral("dot segment \"%1\"").arg(segment));
    for (const QChar c : segment) {
        if (c == QLatin1Char('\\'))
            return fail(reason, QStringLiteral("backslash in \"%1\"").arg(segment));
        if (c == QLatin1Char(':'))
            return fail(reason, QStringLiteral("colon in \"%1\"").arg(segment));
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return fail(reason, QStringLiteral("control character in name"));
    }
    const QChar last = segment.back();
    if (last == QLatin1Char('.') || last == QLatin1Char(' '))
        return fail(reason, QStringLiteral("name ends in a dot or blank: \"%1\"").arg(segment));
    if (isDeviceName(segment))
        return fail(reason, QStringLiteral("reserved device name \"%1\"").arg(segment));
    return true;
}

bool isSafeRelativePath(const QString &path, QString *reason)
{
    const QStringList segments = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &segment : segments) {
        if (!isSafeSegment(segment, reason))
            return false;
    }
    return true;
}

bool isSafeFileName(const QString &name, QString *reason)
{
    if (name.contains(QLatin1Char('/')))
        return fail(reason, QStringLiteral("file name contains \"/\": \"%1\"").arg(name));
    return isSafeSegment(name, reason);
}

QString joinRelative(const QString &dir, const QString &name)
{
    QStringList parts = dir.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    parts += name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return parts.join(QLatin1Char('/'));
}

} // namespace SafePath
