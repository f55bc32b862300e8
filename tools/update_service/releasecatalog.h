#pragma once

#include <QHash>
#include <QSet>
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
/// Every regular file of the tree is offered, except hidden entries and the
/// top-level names the caller leaves out on purpose. A file the protocol
/// cannot carry makes the release unusable instead of silently shorter: a
/// client would install the rest and report success. Such files are those
/// whose directory or name does not fit the protocol's fields (127 and 31
/// UTF-8 bytes), whose name is not safe on every platform, that are larger
/// than 4 GiB − 1 bytes or cannot be read, symbolic links that lead outside
/// the release or nowhere, and entries that are not regular files.
class ReleaseCatalog
{
public:
    /// Scans @p root, leaving out top-level files named in @p skippedNames.
    /// False with @p error set when the root cannot be read, holds too many
    /// files for one reply, or holds a file that cannot be served (each one
    /// is then listed in problems()).
    bool load(const QString &root, const QStringList &skippedNames, QString *error);

    const QVector<ReleaseFile> &files() const { return entries; }
    /// The files that kept the last load() from succeeding, one line each
    /// naming the file and the reason.
    const QStringList &problems() const { return refused; }
    QString root() const { return canonicalRoot; }

    /// The file served for @p path / @p name, or nullptr. Both texts must
    /// match an offered file exactly (after dropping empty "/" segments).
    const ReleaseFile *find(const QString &path, const QString &name) const;
    /// True when @p file still resolves to a regular file inside the root;
    /// checked again before serving, because the tree may change meanwhile.
    bool stillInside(const ReleaseFile &file) const;
    /// The files of this release that @p older holds under the same path
    /// with the same size and MD5, apart from the top-level @p alwaysSent.
    QSet<const ReleaseFile *> unchangedSince(const ReleaseCatalog &older, const QStringList &alwaysSent) const;

private:
    void consider(const QString &absolutePath, const QStringList &skippedNames);
    void refuse(const QString &relative, const QString &reason);
    bool isInsideRoot(const QString &canonicalPath) const;

    QString canonicalRoot;
    QVector<ReleaseFile> entries;
    QHash<QString, int> index;
    QStringList refused;
};
