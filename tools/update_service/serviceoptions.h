#pragma once

#include "servicelimits.h"

#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

/// Command line of the update service and the release it resolves to.
///
/// update_service --release DIR [--version V] --port N [--host ADDR]
///                [--chunk-size BYTES] [--project-type N] [--log FILE]
///                [--idle-timeout MS] [--request-timeout MS]
///                [--max-sessions-per-address N] [--previous DIR]...
///
/// DIR is either a plain tree of release files (then --version is required)
/// or a directory published for the web server, recognised by its
/// update.ini: its [Version] Version is the release version (unless
/// --version overrides it) and the files under its [Version] Folder are
/// served, without that folder's md5.txt. Each --previous DIR is an older
/// release published the same way; a client at its version is offered only
/// the files that differ from it.
struct PreviousRelease
{
    QString version;
    QString servedRoot;
};

class ServiceOptions
{
public:
    static constexpr int kDefaultChunkSize = 64 * 1024;

    /// Parses @p arguments (program name first). False with @p error set
    /// when the line or the release directory is unusable; a request for
    /// help also returns false, with the usage text in @p error and
    /// @p helpRequested set.
    bool parse(const QStringList &arguments, QString *error, bool *helpRequested = nullptr);

    QString releaseDir;   ///< the directory named on the command line
    QString servedRoot;   ///< the directory whose files are served
    QString version;      ///< the release version offered to clients
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 0;
    int chunkSize = kDefaultChunkSize;
    /// Whether file entries carry the MD5 tag (off: behave like an older
    /// service, for compatibility checks and measurements).
    bool checksums = true;
    qint32 projectType = 1;
    QString logFile;      ///< empty: log to the console only
    ServiceLimits limits; ///< the built-in bounds, some set from the command line
    QStringList skippedNames; ///< top-level files of servedRoot never served
    QStringList notes;    ///< how the release was resolved, for the log
    QVector<PreviousRelease> previous; ///< from --previous, in command-line order

private:
    bool resolveRelease(bool versionGiven, QString *error);
    bool resolvePrevious(const QStringList &dirs, QString *error);
    /// Reads the update.ini of the published tree @p dir: the served folder
    /// (@p root, @p folder) and the version it names.
    static bool readPublished(const QString &dir, QString *root, QString *folder, QString *iniVersion,
                              QString *error);
};
