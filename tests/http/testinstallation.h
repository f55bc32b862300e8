#pragma once

#include "config/cconfigmanager.h"
#include "config/md5manifest.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class TestHttpServer;

/// Writes @p data to @p path, creating the parent directories.
bool writeTestFile(const QString &path, const QByteArray &data);
/// The whole content of @p path, or an empty array.
QByteArray readTestFile(const QString &path);
/// MD5 of @p data as lower-case hexadecimal.
QString md5Hex(const QByteArray &data);

/// A sample installation in a fresh temporary directory: system.cfg with
/// the server's base address and the temporary area, and optionally an
/// installed version file and a local manifest.
class TestInstallation
{
public:
    /// @p baseUrl becomes `Update`/`URL`, @p tempPath `Paths`/`Temp`.
    TestInstallation(const QString &baseUrl, const QString &tempPath = QStringLiteral("UpdateTmp"));

    bool isValid() const { return dir.isValid() && store != nullptr; }
    /// The application directory with a trailing "/".
    QString appDir() const { return dir.path() + QLatin1Char('/'); }
    QString path(const QString &relative) const { return appDir() + relative; }
    const CConfigManager &config() const { return *store; }

    /// Writes "update/update.ini" with `Version`/`Version` = @p version.
    bool setInstalledVersion(const QString &version);
    /// Writes the files (relative path without leading "/" → content) and a
    /// matching local md5.txt.
    bool installFiles(const QMap<QString, QByteArray> &files);

private:
    QTemporaryDir dir;
    std::unique_ptr<CConfigManager> store;
};

/// Puts a release on @p server: "/update.ini" naming @p folder and
/// @p version, "/<folder>/md5.txt" for @p files (manifest path → content),
/// and each file at "/<folder>/" + manifest path. Returns the manifest.
Md5Manifest publishTestRelease(TestHttpServer &server, const QString &folder, const QString &version,
                               const QMap<QString, QByteArray> &files);

/// The manifest file text for @p manifest, CR LF line ends.
QByteArray manifestText(const Md5Manifest &manifest);
