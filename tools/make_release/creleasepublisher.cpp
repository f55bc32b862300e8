#include "tools/make_release/creleasepublisher.h"

#include "fileops/safepath.h"
#include "http/manifestpathrules.h"
#include "log/logger.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryFile>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

constexpr qint64 kCopyChunkBytes = 1024 * 1024;
// A version is one short line of an INI file.
constexpr int kMaxVersionLength = 256;

const QString kManifestName = QStringLiteral("md5.txt");
const QString kVersionFileName = QStringLiteral("update.ini");

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

// True when @p inner is @p outer or lies below it (both canonical or absolute).
bool isInside(const QString &inner, const QString &outer)
{
    return inner == outer || inner.startsWith(outer + QLatin1Char('/'));
}

} // namespace

CReleasePublisher::CReleasePublisher(ReleaseOptions releaseOptions)
    : options(std::move(releaseOptions))
{
}

bool CReleasePublisher::fail(const QString &text)
{
    error = text;
    logError(text.toStdString());
    return false;
}

bool CReleasePublisher::checkOptions()
{
    const QFileInfo source(options.sourceDir);
    if (!source.isDir())
        return fail(QStringLiteral("source directory does not exist: ") + options.sourceDir);
    if (options.version.isEmpty() || options.version.size() > kMaxVersionLength
        || hasControlCharacter(options.version))
        return fail(QStringLiteral("version must be 1 to %1 printable characters").arg(kMaxVersionLength));
    QString reason;
    if (!SafePath::isSafeFileName(options.folder, &reason))
        return fail(QStringLiteral("folder is not a plain directory name: ") + reason);
    // The folder sits beside update.ini in the output root.
    if (options.folder.compare(kVersionFileName, Qt::CaseInsensitive) == 0)
        return fail(QStringLiteral("folder must not be named ") + kVersionFileName);
    if (options.outputDir.isEmpty())
        return fail(QStringLiteral("no output directory given"));
    const QString sourceCanonical = source.canonicalFilePath();
    // Checked before anything is created, and again below once the output
    // exists and links can be resolved.
    if (isInside(QDir::cleanPath(QFileInfo(options.outputDir).absoluteFilePath()), sourceCanonical))
        return fail(QStringLiteral("source and output directories must not contain each other"));
    if (!QDir().mkpath(options.outputDir))
        return fail(QStringLiteral("cannot create output directory: ") + options.outputDir);

    const QString outputCanonical = QFileInfo(options.outputDir).canonicalFilePath();
    // Publishing into the tree being read would copy earlier releases along.
    if (isInside(outputCanonical, sourceCanonical) || isInside(sourceCanonical, outputCanonical))
        return fail(QStringLiteral("source and output directories must not contain each other"));

    releaseDir = outputCanonical + QLatin1Char('/') + options.folder;
    // A published folder may already be cached by a CDN; it is never rewritten.
    const QFileInfo existing(releaseDir);
    if (existing.exists()
        && (!existing.isDir() || !QDir(releaseDir).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)))
        return fail(QStringLiteral("release folder already exists and is not empty: ") + releaseDir);
    if (!QDir().mkpath(releaseDir))
        return fail(QStringLiteral("cannot create release folder: ") + releaseDir);
    return true;
}

bool CReleasePublisher::copyFile(const QString &relPath, QString *md5)
{
    const QString from = options.sourceDir + relPath;
    const QString to = releaseDir + relPath;
    if (!QDir().mkpath(QFileInfo(to).absolutePath()))
        return fail(QStringLiteral("cannot create directory for: ") + to);
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read ") + from + QStringLiteral(": ") + in.errorString());
    QSaveFile out(to);
    if (!out.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write ") + to + QStringLiteral(": ") + out.errorString());

    // Hashing while copying reads every byte once, and the value describes
    // exactly the bytes that were written.
    QCryptographicHash hash(QCryptographicHash::Md5);
    std::vector<char> buffer(static_cast<size_t>(kCopyChunkBytes));
    for (;;) {
        const qint64 got = in.read(buffer.data(), kCopyChunkBytes);
        if (got < 0)
            return fail(QStringLiteral("cannot read ") + from + QStringLiteral(": ") + in.errorString());
        if (got == 0)
            break;
        if (out.write(buffer.data(), got) != got)
            return fail(QStringLiteral("cannot write ") + to + QStringLiteral(": ") + out.errorString());
        hash.addData(buffer.data(), static_cast<int>(got));
        bytes += got;
    }
    if (!out.commit())
        return fail(QStringLiteral("cannot write ") + to + QStringLiteral(": ") + out.errorString());
    // Keep the executable bits of programs and scripts.
    QFile::setPermissions(to, in.permissions());
    *md5 = QString::fromLatin1(hash.result().toHex());
    return true;
}

bool CReleasePublisher::writeVersionFile()
{
    const QString target = options.outputDir + QLatin1Char('/') + kVersionFileName;
    // QSettings writes the INI escaping that the client's reader expects, but
    // not atomically: it writes a scratch file whose bytes are then saved.
    QTemporaryFile scratch(options.outputDir + QStringLiteral("/.update.ini.XXXXXX"));
    if (!scratch.open())
        return fail(QStringLiteral("cannot create scratch file in ") + options.outputDir + QStringLiteral(": ")
                    + scratch.errorString());
    scratch.close();
    {
        QSettings ini(scratch.fileName(), QSettings::IniFormat);
        ini.setValue(QStringLiteral("Version/Folder"), options.folder);
        ini.setValue(QStringLiteral("Version/Version"), options.version);
        ini.sync();
        if (ini.status() != QSettings::NoError)
            return fail(QStringLiteral("cannot write ") + scratch.fileName());
    }
    {
        const QSettings check(scratch.fileName(), QSettings::IniFormat);
        if (check.value(QStringLiteral("Version/Folder")).toString() != options.folder
            || check.value(QStringLiteral("Version/Version")).toString() != options.version)
            return fail(QStringLiteral("version file does not read back as written: ") + scratch.fileName());
    }
    // Read by name: QSettings replaced the scratch file rather than writing
    // through the handle QTemporaryFile holds.
    QFile written(scratch.fileName());
    if (!written.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read ") + written.fileName() + QStringLiteral(": ") + written.errorString());
    const QByteArray content = written.readAll();
    if (content.isEmpty())
        return fail(QStringLiteral("version file came out empty: ") + written.fileName());
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size() || !out.commit())
        return fail(QStringLiteral("cannot write ") + target + QStringLiteral(": ") + out.errorString());
    return true;
}

bool CReleasePublisher::publish()
{
    error.clear();
    published.clear();
    bytes = 0;
    if (!checkOptions())
        return false;

    QStringList files;
    collectFiles(options.sourceDir, QString(), files);
    std::sort(files.begin(), files.end());
    for (const QString &relPath : files) {
        // The installation's own manifest would collide with the release
        // manifest; the client receives the release manifest instead.
        if (relPath == QLatin1Char('/') + kManifestName)
            continue;
        QString reason;
        if (!ManifestPathRules::isSafeManifestPath(relPath, &reason))
            return fail(QStringLiteral("clients would refuse the path ") + ManifestPathRules::printable(relPath)
                        + QStringLiteral(": ") + reason);
        QString md5;
        if (!copyFile(relPath, &md5))
            return false;
        published.insert(relPath, md5);
    }
    const QString manifestPath = releaseDir + QLatin1Char('/') + kManifestName;
    if (!writeManifest(manifestPath, published))
        return fail(QStringLiteral("cannot write ") + manifestPath);
    return writeVersionFile();
}
