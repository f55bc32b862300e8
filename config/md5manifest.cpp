#include "config/md5manifest.h"

#include "log/logger.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QTextCodec>

#include <algorithm>
#include <vector>

namespace {

// Large enough that hashing a big file costs few system calls, small enough
// to sit on the heap once per call.
constexpr qint64 kHashChunkBytes = 256 * 1024;

void collectInto(const QString &baseDir, const QString &relDir, QStringList &out, QSet<QString> &visited)
{
    const QString absDir = baseDir + relDir;
    // A link back to a parent directory would otherwise recurse until the
    // stack runs out; each real directory is listed once.
    const QString canonical = QFileInfo(absDir).canonicalFilePath();
    if (canonical.isEmpty() || visited.contains(canonical))
        return;
    visited.insert(canonical);

    const QFileInfoList entries =
        QDir(absDir).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo &entry : entries) {
        const QString rel = relDir + QLatin1Char('/') + entry.fileName();
        if (entry.isDir())
            collectInto(baseDir, rel, out, visited);
        else
            out.append(rel);
    }
}

// Splits off the line end (LF or CR LF) of one raw line.
QByteArray chopLineEnd(QByteArray line)
{
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

void noteBadLine(ManifestReadStats *stats, int lineNumber)
{
    if (stats->linesWithoutTab++ == 0)
        stats->firstBadLine = lineNumber;
}

// True when the whole content of @p file is valid UTF-8 and holds at least
// one non-ASCII character. Streamed, so a large manifest is not held twice.
bool isNonAsciiUtf8(QFile &file)
{
    QTextCodec *utf8 = QTextCodec::codecForName("UTF-8");
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    bool nonAscii = false;
    std::vector<char> buffer(static_cast<size_t>(kHashChunkBytes));
    for (;;) {
        const qint64 got = file.read(buffer.data(), kHashChunkBytes);
        if (got <= 0)
            break;
        if (!nonAscii)
            nonAscii = std::any_of(buffer.data(), buffer.data() + got, [](char c) { return (c & 0x80) != 0; });
        utf8->toUnicode(buffer.data(), static_cast<int>(got), &state);
        if (state.invalidChars > 0)
            return false;
    }
    // A sequence cut by the end of the file is left pending, not counted.
    return nonAscii && state.remainingChars == 0;
}

} // namespace

void collectFiles(const QString &baseDir, const QString &relDir, QStringList &out)
{
    QSet<QString> visited;
    collectInto(baseDir, relDir, out, visited);
}

QString fileMd5(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (error)
            *error = file.errorString();
        return QString();
    }
    QCryptographicHash hash(QCryptographicHash::Md5);
    std::vector<char> buffer(static_cast<size_t>(kHashChunkBytes));
    for (;;) {
        const qint64 got = file.read(buffer.data(), kHashChunkBytes);
        if (got < 0) {
            if (error)
                *error = file.errorString();
            return QString();
        }
        if (got == 0)
            break;
        hash.addData(buffer.data(), static_cast<int>(got));
    }
    return QString::fromLatin1(hash.result().toHex());
}

Md5Manifest buildManifest(const QString &dir)
{
    Md5Manifest manifest;
    if (dir.isEmpty())
        return manifest;
    QStringList paths;
    collectFiles(dir, QString(), paths);
    for (const QString &path : paths) {
        QString error;
        const QString md5 = fileMd5(dir + QLatin1Char('/') + path, &error);
        // An unreadable file keeps an empty value: it differs from every
        // server value, so the file is fetched again.
        if (md5.isEmpty() && !error.isEmpty())
            logWarn(QStringLiteral("无法读取文件计算MD5:") + dir + path + QStringLiteral(" ") + error);
        manifest.insert(path, md5);
    }
    return manifest;
}

bool generateManifest(const QString &dir)
{
    if (dir.isEmpty())
        return false;
    return writeManifest(dir + QStringLiteral("md5.txt"), buildManifest(dir));
}

bool writeManifest(const QString &path, const Md5Manifest &manifest, QTextCodec *codec)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        logWarn(QStringLiteral("无法写入MD5清单:") + path + QStringLiteral(" ") + file.errorString());
        return false;
    }
    // The toolkit's default codec is the locale's; CR LF is written on every
    // platform so that manifests made anywhere look the same. A locale that
    // cannot hold a name (Windows' ANSI code page turns it into "?" without
    // a word) gets UTF-8 instead, which every reader recognises.
    if (!codec) {
        codec = QTextCodec::codecForLocale();
        for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
            if (codec->toUnicode(codec->fromUnicode(it.key())) != it.key()) {
                codec = QTextCodec::codecForName("UTF-8");
                break;
            }
        }
    }
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        const QByteArray line = codec->fromUnicode(it.value() + QLatin1Char('\t') + it.key()) + "\r\n";
        if (file.write(line) != line.size())
            break;
    }
    if (!file.commit()) {
        logWarn(QStringLiteral("无法写入MD5清单:") + path + QStringLiteral(" ") + file.errorString());
        return false;
    }
    return true;
}

bool scanManifest(const QString &path, ManifestReadStats *stats,
                  const std::function<void(const QString &md5, const QString &filePath)> &take)
{
    ManifestReadStats local;
    ManifestReadStats &found = stats ? *stats : local;
    found = ManifestReadStats();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    found.opened = true;
    found.utf8 = isNonAsciiUtf8(file);
    if (!file.seek(0))
        return false;
    QTextCodec *codec = found.utf8 ? QTextCodec::codecForName("UTF-8") : QTextCodec::codecForLocale();
    int lineNumber = 0;
    while (!file.atEnd()) {
        QByteArray raw = file.readLine(kMaxManifestLineBytes + 1);
        if (raw.isEmpty())
            break;
        ++lineNumber;
        // Without a line end before the end of the file the line was cut at
        // the limit.
        if (!raw.endsWith('\n') && !file.atEnd()) {
            logWarn(QStringLiteral("MD5清单行过长，已跳过:") + path);
            // Drop the rest of the over-long line.
            while (!file.atEnd() && !raw.endsWith('\n'))
                raw = file.readLine(kMaxManifestLineBytes + 1);
            noteBadLine(&found, lineNumber);
            continue;
        }
        const QByteArray line = chopLineEnd(raw);
        const int tab = line.indexOf('\t');
        if (tab < 0) {
            if (!line.trimmed().isEmpty())
                noteBadLine(&found, lineNumber);
            continue;
        }
        // Only the first two parts matter; the path ends at the next TAB. A
        // TAB byte never occurs inside a UTF-8 or GBK sequence.
        const int pathEnd = line.indexOf('\t', tab + 1);
        take(codec->toUnicode(line.constData(), tab),
             codec->toUnicode(line.constData() + tab + 1, (pathEnd < 0 ? line.size() : pathEnd) - tab - 1));
        ++found.entryLines;
    }
    return true;
}

Md5Manifest readManifest(const QString &path, ManifestReadStats *stats)
{
    Md5Manifest manifest;
    scanManifest(path, stats, [&manifest](const QString &md5, const QString &filePath) { manifest.insert(filePath, md5); });
    return manifest;
}

Md5Manifest diffManifests(const Md5Manifest &local, const Md5Manifest &remote)
{
    Md5Manifest result;
    for (auto it = remote.cbegin(); it != remote.cend(); ++it) {
        const auto found = local.constFind(it.key());
        if (found == local.cend() || found.value() != it.value())
            result.insert(it.key(), it.value());
    }
    return result;
}
