#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

class QTextCodec;

/// A manifest: relative path ("/" separators, leading "/") to the lower-case
/// hexadecimal MD5 of the file's content. QMap orders the keys by plain
/// UTF-16 comparison, so "/B.dll" comes before "/a.dll", as in the file.
using Md5Manifest = QMap<QString, QString>;

/// Longest manifest line that is read; longer lines are skipped with a warning.
/// A path has at most a few hundred characters, so this only stops garbage.
inline constexpr qint64 kMaxManifestLineBytes = 64 * 1024;

/// Appends to @p out the relative path (relDir + "/" + name) of every file
/// below @p baseDir + @p relDir, recursing into sub-directories. Hidden and
/// system entries are left out; a directory reached twice through links is
/// listed once.
void collectFiles(const QString &baseDir, const QString &relDir, QStringList &out);

/// MD5 of the file at @p path as 32 lower-case hexadecimal characters, read
/// in chunks. The empty text when the file cannot be opened or read; then
/// @p error (when given) holds the toolkit's error text.
QString fileMd5(const QString &path, QString *error = nullptr);

/// Hashes every file below @p dir (a directory text ending with "/") and
/// writes the manifest to @p dir + "md5.txt". Unreadable files get an empty
/// MD5. An empty @p dir does nothing. Returns true when the file was written.
bool generateManifest(const QString &dir);

/// Builds the manifest of the files below @p dir without writing anything.
Md5Manifest buildManifest(const QString &dir);

/// Writes @p manifest to @p path atomically, one "md5<TAB>path" line per
/// entry with CR LF line ends, in @p codec (nullptr: the locale's). False
/// (and a warning naming the file) on failure.
bool writeManifest(const QString &path, const Md5Manifest &manifest, QTextCodec *codec = nullptr);

/// What reading a manifest found besides its entries.
struct ManifestReadStats
{
    bool opened = false;
    int entryLines = 0;     ///< lines that gave an entry
    int linesWithoutTab = 0; ///< non-blank lines skipped for lacking a TAB
    int firstBadLine = 0;   ///< 1-based number of the first such line, 0 if none
    bool utf8 = false;      ///< the text was read as UTF-8
};

/// Reads a manifest file. Lines are split at TAB; the first part is the MD5,
/// the second the path, the rest is ignored; lines without a TAB are skipped
/// and a later line for the same path wins. Unopenable files read as empty.
/// The text is UTF-8 when its bytes are valid UTF-8 and hold non-ASCII
/// characters (a manifest made on another platform), otherwise the locale's
/// encoding. @p stats (when given) says what was found.
Md5Manifest readManifest(const QString &path, ManifestReadStats *stats = nullptr);

/// Reads the lines of a manifest file by the rules of readManifest() and
/// hands each entry to @p take in file order. False when it cannot be read.
bool scanManifest(const QString &path, ManifestReadStats *stats,
                  const std::function<void(const QString &md5, const QString &filePath)> &take);

/// The entries of @p remote that @p local lacks or holds with another MD5
/// (case-sensitive text comparison). Local-only paths are ignored.
Md5Manifest diffManifests(const Md5Manifest &local, const Md5Manifest &remote);
