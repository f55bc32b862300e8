#pragma once

#include "config/md5manifest.h"

#include <QString>
#include <QStringList>

#include <array>
#include <vector>

/// A manifest held compactly, for the server's manifest of a large release:
/// all paths share one text, an MD5 in canonical form (32 lower-case hex
/// digits) is kept as its 16 bytes, and nothing is allocated per entry, so
/// that a manifest costs well under three times its file size while it is
/// compared. Lookups and order are those of Md5Manifest.
class CompactManifest
{
public:
    /// Reads @p path by the rules of readManifest(). False when it cannot be
    /// opened; @p stats (when given) says what was found.
    bool read(const QString &path, ManifestReadStats *stats = nullptr);

    /// Number of distinct paths.
    int size() const { return static_cast<int>(entries.size()); }
    bool isEmpty() const { return entries.empty(); }
    /// The entries that @p local lacks or holds with another MD5, as
    /// diffManifests(local, this) would give them.
    Md5Manifest differencesFrom(const Md5Manifest &local) const;
    /// Every path, in order.
    QStringList paths() const;
    /// Every entry as an ordinary manifest (for tests and small manifests).
    Md5Manifest toManifest() const;

private:
    struct Entry
    {
        quint32 pathOffset = 0;
        quint32 pathLength = 0;
        /// Offset of the MD5 text in `texts` when it is not canonical; ~0 otherwise.
        quint32 md5Offset = ~0u;
        quint32 md5Length = 0;
        std::array<quint8, 16> digest{};
    };

    QStringView pathOf(const Entry &entry) const;
    QString md5Of(const Entry &entry) const;
    void append(const QString &md5, const QString &path);

    QString texts;
    std::vector<Entry> entries;
};
