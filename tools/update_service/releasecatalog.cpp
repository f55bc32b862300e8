#include "releasecatalog.h"

#include "config/md5manifest.h"
#include "fileops/safepath.h"
#include "tcp/tcpprotocol.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

using namespace TcpProtocol;

namespace {

constexpr qint64 kMaxFileSize = 0xFFFFFFFFll; // the protocol's totalSize is 32-bit

QString key(const QString &path, const QString &name)
{
    return SafePath::joinRelative(path, name);
}

} // namespace

bool ReleaseCatalog::load(const QString &root, const QStringList &skippedNames, QString *error)
{
    entries.clear();
    index.clear();
    refused.clear();
    canonicalRoot = QFileInfo(root).canonicalFilePath();
    if (canonicalRoot.isEmpty() || !QFileInfo(canonicalRoot).isDir()) {
        *error = QStringLiteral("release directory not found: %1").arg(root);
        return false;
    }
    // Directories are listed too, so that a link to one outside the release
    // is seen; the iterator itself does not follow such links.
#ifdef Q_OS_WIN
    // There System would list .lnk shortcuts as links; they stay as before.
    const QDir::Filters listed = QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot;
#else
    // System brings FIFOs, sockets, devices and dangling links into view, so
    // that they are refused instead of missing without a word.
    const QDir::Filters listed = QDir::Files | QDir::Dirs | QDir::System | QDir::NoDotAndDotDot;
#endif // Q_OS_WIN
    QDirIterator it(canonicalRoot, listed, QDirIterator::Subdirectories);
    while (it.hasNext())
        consider(it.next(), skippedNames);

    if (!refused.isEmpty()) {
        std::sort(refused.begin(), refused.end());
        // The whole list goes to the log line by line; the error stays one
        // readable line however many files there are.
        constexpr int kNamedInError = 5;
        QString named = refused.mid(0, kNamedInError).join(QStringLiteral("; "));
        if (refused.size() > kNamedInError)
            named += QStringLiteral("; and %1 more").arg(refused.size() - kNamedInError);
        *error = QStringLiteral("the release in %1 cannot be served over TCP, %2 of its files cannot: %3")
                     .arg(canonicalRoot)
                     .arg(refused.size())
                     .arg(named);
        entries.clear();
        return false;
    }

    std::sort(entries.begin(), entries.end(), [](const ReleaseFile &a, const ReleaseFile &b) {
        return key(a.path, a.name) < key(b.path, b.name);
    });
    for (int i = 0; i < entries.size(); ++i)
        index.insert(key(entries.at(i).path, entries.at(i).name), i);

    // Clients refuse control messages above this size.
    const qint64 maxEntries = (qint64(kMaxControlBodyLength) - kVersionReplyHeaderSize) / kRemoteFileEntrySize;
    if (entries.size() > maxEntries) {
        *error = QStringLiteral("too many files for one version reply: %1 (at most %2)").arg(entries.size()).arg(maxEntries);
        return false;
    }
    return true;
}

bool ReleaseCatalog::isInsideRoot(const QString &canonicalPath) const
{
    return !canonicalPath.isEmpty() && canonicalPath.startsWith(canonicalRoot + QLatin1Char('/'));
}

void ReleaseCatalog::refuse(const QString &relative, const QString &reason)
{
    refused << QStringLiteral("%1: %2").arg(relative, reason);
}

void ReleaseCatalog::consider(const QString &absolutePath, const QStringList &skippedNames)
{
    const QFileInfo info(absolutePath);
    const QString relative = QDir(canonicalRoot).relativeFilePath(absolutePath);
    const QString name = info.fileName();
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    const QString path = slash < 0 ? QString() : relative.left(slash);
    const QString canonical = info.canonicalFilePath();

    if (info.isDir()) {
        // A real directory is walked by the iterator, and what a link to one
        // inside the release holds is offered under its real path. A link
        // that leads out would leave everything behind it unserved.
        if (info.isSymLink() && canonical != canonicalRoot && !isInsideRoot(canonical))
            refuse(relative, QStringLiteral("a symbolic link to a directory outside the release"));
        return;
    }
    if (path.isEmpty() && skippedNames.contains(name))
        return;
    if (canonical.isEmpty()) {
        refuse(relative, QStringLiteral("a symbolic link to nothing"));
        return;
    }
    if (!isInsideRoot(canonical)) {
        refuse(relative, QStringLiteral("a symbolic link leading outside the release, to %1").arg(canonical));
        return;
    }
    if (!QFileInfo(canonical).isFile()) {
        refuse(relative, QStringLiteral("not a regular file"));
        return;
    }
    QString reason;
    if (!SafePath::isSafeRelativePath(path, &reason) || !SafePath::isSafeFileName(name, &reason)) {
        refuse(relative, QStringLiteral("unsafe name (%1)").arg(reason));
        return;
    }
    // Each text field holds the UTF-8 bytes and a terminating zero byte.
    if (!fitsField(path, kPathFieldWidth)) {
        refuse(relative, QStringLiteral("its directory is %1 UTF-8 bytes, the protocol carries at most %2")
                             .arg(path.toUtf8().size())
                             .arg(kPathFieldWidth - 1));
        return;
    }
    if (!fitsField(name, kNameFieldWidth)) {
        refuse(relative, QStringLiteral("its name is %1 UTF-8 bytes, the protocol carries at most %2")
                             .arg(name.toUtf8().size())
                             .arg(kNameFieldWidth - 1));
        return;
    }
    if (info.size() > kMaxFileSize) {
        refuse(relative, QStringLiteral("%1 bytes is more than 4 GiB - 1").arg(info.size()));
        return;
    }
    if (!refused.isEmpty()) {
        // The release will not be served: opening is enough to find the
        // unreadable files, without hashing gigabytes first.
        QFile probe(canonical);
        if (!probe.open(QIODevice::ReadOnly))
            refuse(relative, QStringLiteral("cannot be read (%1)").arg(probe.errorString()));
        return;
    }
    // Hashed once here: every client gets the digest with the file list and
    // checks what it received against it.
    QString readError;
    const QString md5 = fileMd5(canonical, &readError);
    if (md5.isEmpty()) {
        refuse(relative, QStringLiteral("cannot be read (%1)").arg(readError));
        return;
    }
    entries.append({path, name, canonical, info.size(), QByteArray::fromHex(md5.toLatin1())});
}

const ReleaseFile *ReleaseCatalog::find(const QString &path, const QString &name) const
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return nullptr;
    const auto it = index.constFind(key(path, name));
    return it == index.constEnd() ? nullptr : &entries.at(it.value());
}

bool ReleaseCatalog::stillInside(const ReleaseFile &file) const
{
    const QFileInfo info(file.absolutePath);
    return info.isFile() && !info.isSymLink() && isInsideRoot(info.canonicalFilePath());
}

QSet<const ReleaseFile *> ReleaseCatalog::unchangedSince(const ReleaseCatalog &older, const QStringList &alwaysSent) const
{
    QSet<const ReleaseFile *> same;
    for (const ReleaseFile &file : entries) {
        if (file.path.isEmpty() && alwaysSent.contains(file.name))
            continue;
        const ReleaseFile *before = older.find(file.path, file.name);
        if (before && before->size == file.size && before->md5 == file.md5)
            same.insert(&file);
    }
    return same;
}
