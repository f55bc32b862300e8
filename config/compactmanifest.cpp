#include "config/compactmanifest.h"

#include <QFileInfo>

#include <algorithm>

namespace {

int hexValue(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    return -1; // upper case is kept as text: MD5 values are compared as text
}

} // namespace

QStringView CompactManifest::pathOf(const Entry &entry) const
{
    return QStringView(texts).mid(entry.pathOffset, entry.pathLength);
}

QString CompactManifest::md5Of(const Entry &entry) const
{
    if (entry.md5Offset != ~0u)
        return texts.mid(static_cast<int>(entry.md5Offset), static_cast<int>(entry.md5Length));
    static const char digits[] = "0123456789abcdef";
    QString text(32, Qt::Uninitialized);
    for (int i = 0; i < 16; ++i) {
        text[2 * i] = QLatin1Char(digits[entry.digest[static_cast<size_t>(i)] >> 4]);
        text[2 * i + 1] = QLatin1Char(digits[entry.digest[static_cast<size_t>(i)] & 0xF]);
    }
    return text;
}

void CompactManifest::append(const QString &md5, const QString &path)
{
    Entry entry;
    entry.pathOffset = static_cast<quint32>(texts.size());
    entry.pathLength = static_cast<quint32>(path.size());
    texts += path;
    bool canonical = md5.size() == 32;
    for (int i = 0; canonical && i < 16; ++i) {
        const int high = hexValue(md5.at(2 * i));
        const int low = hexValue(md5.at(2 * i + 1));
        canonical = high >= 0 && low >= 0;
        entry.digest[static_cast<size_t>(i)] = static_cast<quint8>(high * 16 + low);
    }
    if (!canonical) {
        entry.md5Offset = static_cast<quint32>(texts.size());
        entry.md5Length = static_cast<quint32>(md5.size());
        texts += md5;
    }
    entries.push_back(entry);
}

bool CompactManifest::read(const QString &path, ManifestReadStats *stats)
{
    texts.clear();
    entries.clear();
    // A byte of the file never decodes to more than one UTF-16 unit, so the
    // file's size bounds the text; reserving it avoids copies while growing
    // (pages that are never written cost nothing).
    texts.reserve(static_cast<int>(qMin<qint64>(QFileInfo(path).size(), 512 * 1024 * 1024)));
    const bool ok = scanManifest(path, stats, [this](const QString &md5, const QString &filePath) { append(md5, filePath); });
    // Ordered like Md5Manifest; of equal paths the later line wins.
    std::stable_sort(entries.begin(), entries.end(),
                     [this](const Entry &a, const Entry &b) { return pathOf(a) < pathOf(b); });
    auto out = entries.begin();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        const auto next = it + 1;
        if (next != entries.end() && pathOf(*next) == pathOf(*it))
            continue;
        *out++ = *it;
    }
    entries.erase(out, entries.end());
    return ok;
}

Md5Manifest CompactManifest::differencesFrom(const Md5Manifest &local) const
{
    Md5Manifest result;
    for (const Entry &entry : entries) {
        const QString path = pathOf(entry).toString();
        const QString md5 = md5Of(entry);
        const auto found = local.constFind(path);
        if (found == local.cend() || found.value() != md5)
            result.insert(result.cend(), path, md5);
    }
    return result;
}

QStringList CompactManifest::paths() const
{
    QStringList out;
    out.reserve(size());
    for (const Entry &entry : entries)
        out.append(pathOf(entry).toString());
    return out;
}

Md5Manifest CompactManifest::toManifest() const
{
    return differencesFrom(Md5Manifest());
}
