#pragma once

#include <QString>

/// Where the HTTP update finds things on the server and puts them locally.
///
/// Addresses and paths are joined as plain text, as the server layout is
/// defined: the base address must end with "/", the release folder carries
/// its own trailing "/", and a manifest path brings its leading "/", so a
/// file address has a doubled "/" after the folder. `appDir` ends with "/".
namespace HttpLayout {

/// The working directory of the check: `appDir` + "update/".
QString workingDir(const QString &appDir);
/// The installed version file: `appDir` + "update/update.ini".
QString installedVersionFile(const QString &appDir);
/// The downloaded server version file: `appDir` + "update/updateTmp.ini".
QString serverVersionFile(const QString &appDir);
/// The downloaded server manifest: `appDir` + "update/md5Tmp.txt".
QString serverManifestFile(const QString &appDir);
/// The downloaded signed release description: `appDir` + "update/releaseTmp.sig.json".
QString serverDescriptionFile(const QString &appDir);
/// The installation's manifest: `appDir` + "md5.txt".
QString localManifestFile(const QString &appDir);
/// Name of the one entry of the working directory that clean-up keeps.
QString keptWorkingFile();

/// `base` + "update.ini".
QString versionFileUrl(const QString &base);
/// `base` + `serverFolder` + "md5.txt".
QString manifestUrl(const QString &base, const QString &serverFolder);
/// `base` + `serverFolder` + "release.sig.json".
QString descriptionUrl(const QString &base, const QString &serverFolder);
/// `base` + `serverFolder` + `manifestPath`, where "%", "#" and "?" of the
/// path are percent-encoded so that a file name holding them still names
/// the file and not a query or fragment.
QString fileUrl(const QString &base, const QString &serverFolder, const QString &manifestPath);
/// `appDir` + `tempPath` + `manifestPath`, with `tempPath` as configured.
QString localFilePath(const QString &appDir, const QString &tempPath, const QString &manifestPath);

/// True when the configured temporary area is a non-empty relative path
/// without "." or ".." segments, so that downloads land below the
/// installation and never in it. On false @p reason says why.
bool isUsableTempPath(const QString &tempPath, QString *reason = nullptr);

} // namespace HttpLayout
