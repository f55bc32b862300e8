#include "tools/make_release/creleasepublisher.h"

#include "config/releasesignature.h"
#include "config/releasetrust.h"
#include "fileops/digest.h"
#include "fileops/safepath.h"
#include "http/downloadplan.h"
#include "http/manifestpathrules.h"
#include "log/logger.h"
#include "tcp/tcpprotocol.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextCodec>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

constexpr qint64 kCopyChunkBytes = 1024 * 1024;
// A version is one short line of an INI file.
constexpr int kMaxVersionLength = 256;
constexpr int kMaxExpiresDays = 3650;

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
    logError(text);
    return false;
}

bool CReleasePublisher::checkOptions()
{
    const QString encoding = options.encoding.toLower();
    if (encoding == QLatin1String("utf-8") || encoding == QLatin1String("utf8"))
        codec = QTextCodec::codecForName("UTF-8");
    else if (encoding == QLatin1String("gbk"))
        codec = QTextCodec::codecForName("GBK");
    else
        return fail(QStringLiteral("unknown manifest encoding (utf-8 or gbk): ") + options.encoding);
    if (!codec)
        return fail(QStringLiteral("this build has no codec for ") + options.encoding);
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
    // Clients would cut a larger value; a publisher should see it refused.
    if (options.connections < 1 || options.connections > DownloadPlan::kMaxConnections)
        return fail(QStringLiteral("--connections must be 1 to %1").arg(DownloadPlan::kMaxConnections));
    const QString sourceCanonical = source.canonicalFilePath();
    // Checked before anything is created, and again below once the output
    // exists and links can be resolved.
    if (isInside(QDir::cleanPath(QFileInfo(options.outputDir).absoluteFilePath()), sourceCanonical))
        return fail(QStringLiteral("source and output directories must not contain each other"));
    if (!options.signingKeyFiles.isEmpty() && (options.expiresDays < 1 || options.expiresDays > kMaxExpiresDays))
        return fail(QStringLiteral("--expires-days must be 1 to %1").arg(kMaxExpiresDays));
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
    Digest hash(Digest::Algorithm::Md5);
    Digest sha256(Digest::Algorithm::Sha256);
    const bool signing = !signingKeys.isEmpty();
    std::vector<char> buffer(static_cast<size_t>(kCopyChunkBytes));
    for (;;) {
        const qint64 got = in.read(buffer.data(), kCopyChunkBytes);
        if (got < 0)
            return fail(QStringLiteral("cannot read ") + from + QStringLiteral(": ") + in.errorString());
        if (got == 0)
            break;
        if (out.write(buffer.data(), got) != got)
            return fail(QStringLiteral("cannot write ") + to + QStringLiteral(": ") + out.errorString());
        hash.addData(buffer.data(), got);
        if (signing)
            sha256.addData(buffer.data(), got);
        bytes += got;
    }
    if (!out.commit())
        return fail(QStringLiteral("cannot write ") + to + QStringLiteral(": ") + out.errorString());
    // Keep the executable bits of programs and scripts.
    QFile::setPermissions(to, in.permissions());
    *md5 = QString::fromLatin1(hash.result().toHex());
    if (signing)
        signedRelease.files.append(SignedFile{relPath.mid(1), QFileInfo(to).size(), sha256.result()});
    return true;
}

bool CReleasePublisher::versionFileContent(qint64 manifestBytes, QByteArray *content)
{
    // QSettings writes the INI escaping that the client's reader expects. It
    // writes into a private scratch directory where no handle of ours is open
    // (Windows refuses to replace a file that is still open), and the bytes
    // are then saved atomically.
    QTemporaryDir scratchDir(options.outputDir + QStringLiteral("/.update.ini.XXXXXX"));
    if (!scratchDir.isValid())
        return fail(QStringLiteral("cannot create scratch directory in ") + options.outputDir + QStringLiteral(": ")
                    + scratchDir.errorString());
    const QString scratch = scratchDir.filePath(kVersionFileName);
    {
        QSettings ini(scratch, QSettings::IniFormat);
        ini.setValue(QStringLiteral("Version/Folder"), options.folder);
        ini.setValue(QStringLiteral("Version/Version"), options.version);
        // What the manifest must hold, so that a client can tell a manifest
        // cut short in transfer from a smaller release.
        ini.setValue(QStringLiteral("Version/ManifestSize"), QString::number(manifestBytes));
        ini.setValue(QStringLiteral("Version/ManifestFiles"), QString::number(published.size()));
        // Several files at once spare a far client a round trip per file.
        ini.setValue(QStringLiteral("Download/Connections"), QString::number(options.connections));
        ini.sync();
        if (ini.status() != QSettings::NoError)
            return fail(QStringLiteral("cannot write ") + scratch);
    }
    {
        const QSettings check(scratch, QSettings::IniFormat);
        if (check.value(QStringLiteral("Version/Folder")).toString() != options.folder
            || check.value(QStringLiteral("Version/Version")).toString() != options.version
            || check.value(QStringLiteral("Version/ManifestSize")).toString() != QString::number(manifestBytes))
            return fail(QStringLiteral("version file does not read back as written: ") + scratch);
    }
    QFile written(scratch);
    if (!written.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read ") + scratch + QStringLiteral(": ") + written.errorString());
    *content = written.readAll();
    written.close();
    if (content->isEmpty())
        return fail(QStringLiteral("version file came out empty: ") + scratch);
    return true;
}

bool CReleasePublisher::checkPaths(const QStringList &files)
{
    for (const QString &relPath : files) {
        QString reason;
        if (!ManifestPathRules::isSafeManifestPath(relPath, &reason))
            return fail(QStringLiteral("clients would refuse the path ") + ManifestPathRules::printable(relPath)
                        + QStringLiteral(": ") + reason);
        // The update service serves this tree too, and its file entries hold
        // the directory and the name in fixed fields; a longer one would be
        // dropped there, leaving TCP clients without the file.
        const int slash = relPath.lastIndexOf(QLatin1Char('/'));
        const QString directory = relPath.mid(1, qMax(0, slash - 1));
        const QString name = relPath.mid(slash + 1);
        if (!TcpProtocol::fitsField(directory, TcpProtocol::kPathFieldWidth)
            || !TcpProtocol::fitsField(name, TcpProtocol::kNameFieldWidth))
            return fail(QStringLiteral("the TCP update service cannot carry the path %1: a file name may have at most "
                                       "%2 and a directory path at most %3 UTF-8 bytes")
                            .arg(ManifestPathRules::printable(relPath))
                            .arg(TcpProtocol::kNameFieldWidth - 1)
                            .arg(TcpProtocol::kPathFieldWidth - 1));
        if (!codec->canEncode(relPath))
            return fail(QStringLiteral("the manifest encoding %1 cannot hold the path %2")
                            .arg(options.encoding, ManifestPathRules::printable(relPath)));
    }
    QString first;
    QString second;
    if (ManifestPathRules::findCaseCollision(files, &first, &second))
        return fail(QStringLiteral("paths differ only in letter case and would be one file on Windows: %1 and %2")
                        .arg(ManifestPathRules::printable(first), ManifestPathRules::printable(second)));
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
    // The installation's own manifest would collide with the release
    // manifest; the client receives the release manifest instead.
    // Nor do the installation's record of the signed release it holds, and
    // a description the source may still carry from an earlier install.
    for (const QString &own : {kManifestName, ReleaseDescription::fileName(), ReleaseTrust::stateFileName()})
        files.removeAll(QLatin1Char('/') + own);
    if (!loadSigningKey())
        return false;
    if (!checkPaths(files))
        return false;
    for (const QString &relPath : files) {
        QString md5;
        if (!copyFile(relPath, &md5))
            return false;
        published.insert(relPath, md5);
    }
    const QString manifestPath = releaseDir + QLatin1Char('/') + kManifestName;
    if (!writeManifest(manifestPath, published, codec))
        return fail(QStringLiteral("cannot write ") + manifestPath);
    QFile manifestFile(manifestPath);
    if (!manifestFile.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("manifest is missing after writing: ") + manifestPath);
    const QByteArray manifestBytes = manifestFile.readAll();
    QByteArray versionFile;
    if (!versionFileContent(manifestBytes.size(), &versionFile))
        return false;
    if (!signingKeys.isEmpty() && !writeDescription(manifestBytes, versionFile))
        return false;
    const QString target = options.outputDir + QLatin1Char('/') + kVersionFileName;
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly) || out.write(versionFile) != versionFile.size() || !out.commit())
        return fail(QStringLiteral("cannot write ") + target + QStringLiteral(": ") + out.errorString());
    return true;
}

bool CReleasePublisher::loadSigningKey()
{
    signingKeys.clear();
    signedRelease = ReleaseDescription();
    for (const QString &path : qAsConst(options.signingKeyFiles)) {
        QFile key(path);
        if (!key.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read the signing key ") + path + QStringLiteral(": ") + key.errorString());
        signingKeys.append(key.read(64 * 1024));
        if (signingKeys.constLast().isEmpty())
            return fail(QStringLiteral("the signing key file is empty: ") + path);
    }
    return true;
}

qint64 CReleasePublisher::previousSequence() const
{
    // Every release folder of the output counts, not only the one that
    // update.ini names: a client may have installed any of them.
    qint64 highest = 0;
    const QString root = QFileInfo(releaseDir).absolutePath();
    const QStringList folders = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &folder : folders) {
        QFile file(root + QLatin1Char('/') + folder + QLatin1Char('/') + ReleaseDescription::fileName());
        if (file.size() <= ReleaseDescription::kMaxFileBytes && file.open(QIODevice::ReadOnly))
            highest = qMax(highest, ReleaseDescription::peekSequence(file.readAll()));
    }
    return highest;
}

bool CReleasePublisher::writeDescription(const QByteArray &manifest, const QByteArray &versionFile)
{
    signedRelease.version = options.version;
    signedRelease.sequence = options.sequence >= 0 ? options.sequence : previousSequence() + 1;
    signedRelease.expires = QDateTime::currentDateTimeUtc().addDays(options.expiresDays);
    signedRelease.manifestSha256 = Digest::of(Digest::Algorithm::Sha256, manifest);
    signedRelease.versionFileSha256 = Digest::of(Digest::Algorithm::Sha256, versionFile);
    QString why;
    const QByteArray envelope = signedRelease.toSignedFile(signingKeys, &why);
    if (envelope.isEmpty())
        return fail(QStringLiteral("cannot sign with ") + options.signingKeyFiles.join(QStringLiteral(", "))
                    + QStringLiteral(": ") + why);
    const QString path = releaseDir + QLatin1Char('/') + ReleaseDescription::fileName();
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(envelope) != envelope.size() || !out.commit())
        return fail(QStringLiteral("cannot write ") + path + QStringLiteral(": ") + out.errorString());
    logInfo(QStringLiteral("signed release %1, sequence %2, expires %3: %4")
                .arg(options.version)
                .arg(signedRelease.sequence)
                .arg(signedRelease.expires.toString(Qt::ISODate), path));
    return true;
}

bool CReleasePublisher::generateKeyPair(const QString &path, QString *publicKey, QString *error)
{
    QByteArray privatePem;
    QByteArray publicRaw;
    if (!ReleaseSignature::generate(&privatePem, &publicRaw, error))
        return false;
    QFile file(path);
    // NewOnly: overwriting a private key would strand every client that trusts it.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        *error = QStringLiteral("cannot create %1 (it must not exist yet): %2").arg(path, file.errorString());
        return false;
    }
    // Restricted before the first byte is written.
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file.write(privatePem) != privatePem.size() || !file.flush()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        file.remove();
        return false;
    }
    *publicKey = QString::fromLatin1(publicRaw.toBase64());
    return true;
}
