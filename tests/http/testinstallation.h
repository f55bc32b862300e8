#pragma once

#include "config/cconfigmanager.h"
#include "config/md5manifest.h"
#include "testhttpserver.h"

#include <QCryptographicHash>
#include <QDir>
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

/// A sample installation in a fresh temporary directory: system.cfg with
/// the server's base address and the temporary area, and optionally an
/// installed version file and a local manifest.
class TestInstallation
{
public:
    /// @p baseUrl becomes `Update`/`URL`, @p tempPath `Paths`/`Temp`.
    explicit TestInstallation(const QString &baseUrl, const QString &tempPath = QStringLiteral("UpdateTmp"))
    {
        const QByteArray cfg = "[Update]\r\nURL=" + baseUrl.toUtf8() + "\r\nHostExe=client.sh\r\n[Paths]\r\nTemp="
                               + tempPath.toUtf8() + "\r\nBackup=UpdateBackup\r\n";
        if (dir.isValid() && writeTestFile(path(QStringLiteral("system.cfg")), cfg))
            store = std::make_unique<CConfigManager>(path(QStringLiteral("system.cfg")),
                                                     path(QStringLiteral("system.cfg")));
    }

    bool isValid() const { return dir.isValid() && store != nullptr; }
    /// The application directory with a trailing "/".
    QString appDir() const { return dir.path() + QLatin1Char('/'); }
    QString path(const QString &relative) const { return appDir() + relative; }
    const CConfigManager &config() const { return *store; }

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

/// Puts a release on @p server: "/update.ini" naming @p folder and
/// @p version, "/<folder>/md5.txt" for @p files (manifest path → content),
/// and each file at "/<folder>/" + manifest path.
inline void publishTestRelease(TestHttpServer &server, const QString &folder, const QString &version,
                               const QMap<QString, QByteArray> &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        server.setFile(QLatin1Char('/') + folder + QLatin1Char('/') + it.key(), it.value());
    server.setFile(QStringLiteral("/update.ini"),
                   "[Version]\r\nFolder=" + folder.toUtf8() + "\r\nVersion=" + version.toUtf8() + "\r\n");
    server.setFile(QLatin1Char('/') + folder + QStringLiteral("/md5.txt"), manifestText(files));
}
