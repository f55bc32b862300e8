#include "http/manifestpathrules.h"

#include <QHash>

#include "fileops/safepath.h"

#include <QStringList>

namespace ManifestPathRules {

namespace {

bool fail(QString *reason, const QString &text)
{
    if (reason)
        *reason = text;
    return false;
}

} // namespace

bool isSafeManifestPath(const QString &path, QString *reason)
{
    if (path.size() > kMaxPathLength)
        return fail(reason, QStringLiteral("path longer than %1 characters").arg(kMaxPathLength));
    if (!path.startsWith(QLatin1Char('/')))
        return fail(reason, QStringLiteral("path does not start with \"/\""));
    // Splitting keeps empty parts, so "//a" and "a//b" are refused: after
    // the leading "/" only plain names may follow.
    const QStringList segments = path.mid(1).split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (!SafePath::isSafeSegment(segment, reason))
            return false;
    }
    return true;
}

bool findUnsafePath(const Md5Manifest &manifest, QString *path, QString *reason)
{
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        if (!isSafeManifestPath(it.key(), reason)) {
            if (path)
                *path = it.key();
            return true;
        }
    }
    return false;
}

bool findCaseCollision(const QStringList &paths, QString *first, QString *second)
{
    QHash<QString, QString> byFolded;
    byFolded.reserve(paths.size());
    for (const QString &path : paths) {
        const QString folded = path.toCaseFolded();
        const auto it = byFolded.constFind(folded);
        if (it != byFolded.cend()) {
            *first = it.value();
            *second = path;
            return true;
        }
        byFolded.insert(folded, path);
    }
    return false;
}

QString printable(const QString &path)
{
    constexpr int kShownLength = 200;
    QString shown = path.left(kShownLength);
    for (QChar &c : shown) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QChar(QChar::ReplacementCharacter);
    }
    if (path.size() > kShownLength)
        shown += QStringLiteral("...");
    return shown;
}

} // namespace ManifestPathRules
