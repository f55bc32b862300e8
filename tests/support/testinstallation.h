#pragma once

#include "config/cconfigmanager.h"
#include "config/md5manifest.h"
#include "fileops/cfilewriter.h"
#include "testhttpserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <memory>

/// Writes @p data to @p path, creating the parent directories.
inline bool writeTestFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

/// The whole content of @p path, or an empty array.
inline QByteArray readTestFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

/// MD5 of @p data as lower-case hexadecimal.
inline QString md5Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
}

/// The manifest file text for files (manifest path → content), CR LF line ends.
inline QByteArray manifestText(const QMap<QString, QByteArray> &files)
{
    QByteArray text;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        text += md5Hex(it.value()).toLatin1() + '\t' + it.key().toUtf8() + "\r\n";
    return text;
}

/// A sample installation in a fresh temporary directory: the one fixture of
/// the suites. Files are written and read by path relative to the
/// application directory; system.cfg is written by one of the set-ups below,
/// which also opens a configuration store of its own over it.
class TestInstallation
{
public:
    /// An empty application directory (no system.cfg yet).
    TestInstallation() = default;

    /// The HTTP set-up: @p baseUrl becomes `Update`/`URL`, @p tempPath
    /// `Paths`/`Temp`.
    explicit TestInstallation(const QString &baseUrl, const QString &tempPath = QStringLiteral("UpdateTmp"))
    {
        writeSystemConfig("[Update]\r\nURL=" + baseUrl.toUtf8() + "\r\nHostExe=client.sh\r\n[Paths]\r\nTemp="
                          + tempPath.toUtf8() + "\r\nBackup=UpdateBackup\r\n");
    }

    bool isValid() const { return dir.isValid() && store != nullptr; }
    /// The application directory without a trailing "/".
    QString root() const { return dir.path(); }
    /// The application directory with a trailing "/".
    QString appDir() const { return dir.path() + QLatin1Char('/'); }
    /// @p relative inside the application directory (the directory itself
    /// for the empty text).
    QString path(const QString &relative = QString()) const { return appDir() + relative; }
    /// The store over this installation's system.cfg.
    const CConfigManager &config() const { return *store; }

    /// Writes @p content to @p relative, creating parent directories; a
    /// fixture that cannot write ends the test program.
    void write(const QString &relative, const QByteArray &content) const
    {
        if (!writeTestFile(path(relative), content))
            qFatal("cannot write %s", qPrintable(path(relative)));
    }
    /// The content of @p relative, or "<missing>".
    QByteArray read(const QString &relative) const
    {
        QFile in(path(relative));
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("<missing>");
    }
    bool exists(const QString &relative) const { return QFileInfo::exists(path(relative)); }

    /// Every file below the application directory, relative to it, sorted.
    QStringList allFiles() const
    {
        QStringList files;
        const QDir top(dir.path());
        QDirIterator it(dir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << top.relativeFilePath(it.next());
        files.sort();
        return files;
    }

    /// The apply set-up: system.cfg with the usual directories plus @p extra lines.
    void writeConfig(const QByteArray &extra = QByteArray())
    {
        writeSystemConfig("[Paths]\nTemp=UpdateTmpFiles\nBackup=Backup\nLog=Log/\n" + extra);
    }

    /// Writes system.cfg as @p content and opens the store over it.
    void writeSystemConfig(const QByteArray &content)
    {
        const QString cfg = path(QStringLiteral("system.cfg"));
        if (dir.isValid() && writeTestFile(cfg, content))
            store = std::make_unique<CConfigManager>(cfg, cfg);
    }

    /// Writes "update/update.ini" with `Version`/`Version` = @p version.
    bool setInstalledVersion(const QString &version)
    {
        return writeTestFile(path(QStringLiteral("update/update.ini")),
                             "[Version]\r\nFolder=old\r\nVersion=" + version.toUtf8() + "\r\n");
    }

    /// Writes the files (relative path without leading "/" → content) and,
    /// when @p withManifest, a matching local md5.txt.
    bool installFiles(const QMap<QString, QByteArray> &files, bool withManifest = true)
    {
        QMap<QString, QByteArray> listed;
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            if (!writeTestFile(path(it.key()), it.value()))
                return false;
            listed.insert(QLatin1Char('/') + it.key(), it.value());
        }
        return !withManifest || writeTestFile(path(QStringLiteral("md5.txt")), manifestText(listed));
    }

private:
    QTemporaryDir dir;
    std::unique_ptr<CConfigManager> store;
};

/// The installation of the apply tests, which set system.cfg up themselves.
using Installation = TestInstallation;

/// The TCP set-up: an installation whose temporary area is "UpdateTmp/",
/// with a file writer over it.
class TestArea : public TestInstallation
{
public:
    explicit TestArea(const QByteArray &extraConfig = QByteArray())
    {
        writeSystemConfig("[Paths]\nTemp=UpdateTmp/\n" + extraConfig);
        if (isValid())
            writer = std::make_unique<CFileWriter>(config(), root());
    }

    /// Absolute path of @p relative inside the temporary area.
    QString tempFile(const QString &relative) const { return path(QStringLiteral("UpdateTmp/") + relative); }
    /// Content of @p relative in the temporary area, or "<missing>".
    QByteArray readTemp(const QString &relative) const { return read(QStringLiteral("UpdateTmp/") + relative); }

    std::unique_ptr<CFileWriter> writer;
};

/// Puts a release on @p server: "/update.ini" naming @p folder and
/// @p version, "/<folder>/md5.txt" for @p files (manifest path → content),
/// and each file at "/<folder>/" + manifest path. @p extraVersionLines
/// (CR LF ended) go into the [Version] group of update.ini.
inline void publishTestRelease(TestHttpServer &server, const QString &folder, const QString &version,
                               const QMap<QString, QByteArray> &files,
                               const QByteArray &extraVersionLines = QByteArray())
{
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        server.setFile(QLatin1Char('/') + folder + QLatin1Char('/') + it.key(), it.value());
    server.setFile(QStringLiteral("/update.ini"), "[Version]\r\nFolder=" + folder.toUtf8() + "\r\nVersion="
                                                      + version.toUtf8() + "\r\n" + extraVersionLines);
    server.setFile(QLatin1Char('/') + folder + QStringLiteral("/md5.txt"), manifestText(files));
}
