#include "releasecatalog.h"

#include "config/md5manifest.h"
#include "fileops/safepath.h"
#include "tcp/tcpprotocol.h"

#include <QDir>
#include <QDirIterator>
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
    skipped.clear();
    canonicalRoot = QFileInfo(root).canonicalFilePath();
    if (canonicalRoot.isEmpty() || !QFileInfo(canonicalRoot).isDir()) {
        *error = QStringLiteral("release directory not found: %1").arg(root);
        return false;
    }
    // Symbolic links to directories are not followed: what they lead to is
    // either outside the release or already reached through the real path.
    QDirIterator it(canonicalRoot, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        consider(it.next(), skippedNames);

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

void ReleaseCatalog::consider(const QString &absolutePath, const QStringList &skippedNames)
{
    const QFileInfo info(absolutePath);
    const QString relative = QDir(canonicalRoot).relativeFilePath(absolutePath);
    const QString name = info.fileName();
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    const QString path = slash < 0 ? QString() : relative.left(slash);

    if (path.isEmpty() && skippedNames.contains(name))
        return;
    const QString canonical = info.canonicalFilePath();
    if (!isInsideRoot(canonical) || !QFileInfo(canonical).isFile()) {
        skipped << QStringLiteral("skipped %1: it leads outside the release or is not a regular file").arg(relative);
        return;
    }
    QString reason;
    if (!SafePath::isSafeRelativePath(path, &reason) || !SafePath::isSafeFileName(name, &reason)) {
        skipped << QStringLiteral("skipped %1: unsafe name (%2)").arg(relative, reason);
        return;
    }
    if (!fitsField(path, kPathFieldWidth) || !fitsField(name, kNameFieldWidth)) {
        skipped << QStringLiteral("skipped %1: path longer than %2 or name longer than %3 UTF-8 bytes")
                       .arg(relative)
                       .arg(kPathFieldWidth - 1)
                       .arg(kNameFieldWidth - 1);
        return;
    }
    if (info.size() > kMaxFileSize) {
        skipped << QStringLiteral("skipped %1: %2 bytes is more than 4 GiB - 1").arg(relative).arg(info.size());
        return;
    }
    // Hashed once here: every client gets the digest with the file list and
    // checks what it received against it.
    QString readError;
    const QString md5 = fileMd5(canonical, &readError);
    if (md5.isEmpty()) {
        skipped << QStringLiteral("skipped %1: cannot be read (%2)").arg(relative, readError);
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
