#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

/// One file the service offers.
struct ReleaseFile
{
    QString path;         ///< directory relative to the release root ("" at the root)
    QString name;         ///< file name
    QString absolutePath; ///< canonical location on disk
    qint64 size = 0;      ///< size when the release was loaded (for the log)
    QByteArray md5;       ///< 16 raw digest bytes, computed when the release was loaded
};

/// The files of one release directory, scanned once at start-up.
///
/// Only regular files whose canonical location lies inside the root are
/// taken (a symbolic link that leads out of the release is skipped). Hidden
/// entries are left out. Files are skipped with a warning when their path or
/// name does not fit the protocol's fields (127 and 31 UTF-8 bytes), is not
/// a safe relative name, when they are larger than 4 GiB − 1 bytes, or when
/// they cannot be read to compute their MD5.
class ReleaseCatalog
{
public:
    /// Scans @p root, leaving out top-level files named in @p skippedNames.
    /// False when the root cannot be read or holds too many files for one reply.
    bool load(const QString &root, const QStringList &skippedNames, QString *error);

    const QVector<ReleaseFile> &files() const { return entries; }
    /// Reasons for files left out, one line each.
    const QStringList &warnings() const { return skipped; }
    QString root() const { return canonicalRoot; }

    /// The file served for @p path / @p name, or nullptr. Both texts must
    /// match an offered file exactly (after dropping empty "/" segments).
    const ReleaseFile *find(const QString &path, const QString &name) const;
    /// True when @p file still resolves to a regular file inside the root;
    /// checked again before serving, because the tree may change meanwhile.
    bool stillInside(const ReleaseFile &file) const;

private:
    void consider(const QString &absolutePath, const QStringList &skippedNames);
    bool isInsideRoot(const QString &canonicalPath) const;

    QString canonicalRoot;
    QVector<ReleaseFile> entries;
    QHash<QString, int> index;
    QStringList skipped;
};
