#include "serviceoptions.h"

#include "fileops/safepath.h"
#include "tcp/tcpprotocol.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {

bool parseNumber(const QString &text, qint64 low, qint64 high, qint64 *value)
{
    bool ok = false;
    const qint64 number = text.toLongLong(&ok, 10);
    if (!ok || number < low || number > high)
        return false;
    *value = number;
    return true;
}

} // namespace

bool ServiceOptions::parse(const QStringList &arguments, QString *error, bool *helpRequested)
{
    if (helpRequested)
        *helpRequested = false;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Serves one release directory to updaters over TCP."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption releaseOption(QStringLiteral("release"),
                                           QStringLiteral("Release directory (a plain tree, or one with update.ini)."),
                                           QStringLiteral("DIR"));
    const QCommandLineOption versionOption(QStringLiteral("version"),
                                           QStringLiteral("Version of the release (default: from update.ini)."),
                                           QStringLiteral("V"));
    const QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                        QStringLiteral("ADDR"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port; 0 picks a free one."),
                                        QStringLiteral("N"));
    const QCommandLineOption chunkOption(QStringLiteral("chunk-size"), QStringLiteral("Bytes per file data message."),
                                         QStringLiteral("BYTES"), QString::number(kDefaultChunkSize));
    const QCommandLineOption typeOption(QStringLiteral("project-type"), QStringLiteral("Project type 1-6 (default 1)."),
                                        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption logOption(QStringLiteral("log"), QStringLiteral("Also write the log to FILE."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption noChecksumsOption(
        QStringLiteral("no-checksums"), QStringLiteral("Send file entries without the MD5 tag, as an older service does."));
    const ServiceLimits defaults;
    const QCommandLineOption idleOption(QStringLiteral("idle-timeout"),
                                        QStringLiteral("Close a session that completes no request this long."),
                                        QStringLiteral("MS"), QString::number(defaults.idleMs));
    const QCommandLineOption requestOption(QStringLiteral("request-timeout"),
                                           QStringLiteral("Close a session whose started request is not complete this long."),
                                           QStringLiteral("MS"), QString::number(defaults.requestMs));
    const QCommandLineOption perAddressOption(QStringLiteral("max-sessions-per-address"),
                                              QStringLiteral("Sessions one peer address may hold at a time."),
                                              QStringLiteral("N"), QString::number(defaults.maxSessionsPerAddress));
    const QCommandLineOption previousOption(
        QStringLiteral("previous"),
        QStringLiteral("An older published release (with update.ini); its clients get only the files that changed "
                       "since. Repeatable."),
        QStringLiteral("DIR"));
    parser.addOptions({releaseOption, versionOption, hostOption, portOption, chunkOption, typeOption, logOption,
                       noChecksumsOption, idleOption, requestOption, perAddressOption, previousOption});

    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (parser.isSet(helpOption)) {
        if (helpRequested)
            *helpRequested = true;
        *error = parser.helpText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().constFirst());
        return false;
    }
    if (!parser.isSet(releaseOption) || !parser.isSet(portOption)) {
        *error = QStringLiteral("--release and --port are required (see --help)");
        return false;
    }

    qint64 number = 0;
    if (!parseNumber(parser.value(portOption), 0, 65535, &number)) {
        *error = QStringLiteral("invalid port: %1").arg(parser.value(portOption));
        return false;
    }
    port = static_cast<quint16>(number);
    // A chunk and its header must fit the receiver's message limit.
    const qint64 maxChunk = qint64(TcpProtocol::kMaxFileDataBodyLength) - TcpProtocol::kFileDataHeaderSize;
    if (!parseNumber(parser.value(chunkOption), 1, maxChunk, &number)) {
        *error = QStringLiteral("invalid chunk size: %1 (1 to %2)").arg(parser.value(chunkOption)).arg(maxChunk);
        return false;
    }
    chunkSize = static_cast<int>(number);
    if (!parseNumber(parser.value(typeOption), 1, 6, &number)) {
        *error = QStringLiteral("invalid project type: %1 (1 to 6)").arg(parser.value(typeOption));
        return false;
    }
    projectType = static_cast<qint32>(number);
    // Below 100 ms a loaded machine would close sessions of healthy clients;
    // a day is far beyond any client's heartbeat.
    constexpr qint64 kShortestTimeoutMs = 100;
    constexpr qint64 kLongestTimeoutMs = 24 * 3600 * 1000;
    if (!parseNumber(parser.value(idleOption), kShortestTimeoutMs, kLongestTimeoutMs, &number)) {
        *error = QStringLiteral("invalid idle timeout: %1 (%2 to %3 ms)")
                     .arg(parser.value(idleOption))
                     .arg(kShortestTimeoutMs)
                     .arg(kLongestTimeoutMs);
        return false;
    }
    limits.idleMs = static_cast<int>(number);
    if (!parseNumber(parser.value(requestOption), kShortestTimeoutMs, kLongestTimeoutMs, &number)) {
        *error = QStringLiteral("invalid request timeout: %1 (%2 to %3 ms)")
                     .arg(parser.value(requestOption))
                     .arg(kShortestTimeoutMs)
                     .arg(kLongestTimeoutMs);
        return false;
    }
    limits.requestMs = static_cast<int>(number);
    // More per address than in all would only hide the smaller bound.
    if (!parseNumber(parser.value(perAddressOption), 1, limits.maxSessions, &number)) {
        *error = QStringLiteral("invalid sessions per address: %1 (1 to %2)")
                     .arg(parser.value(perAddressOption))
                     .arg(limits.maxSessions);
        return false;
    }
    limits.maxSessionsPerAddress = static_cast<int>(number);
    host = parser.value(hostOption);
    logFile = parser.value(logOption);
    checksums = !parser.isSet(noChecksumsOption);
    releaseDir = parser.value(releaseOption);
    version = parser.value(versionOption);
    return resolveRelease(parser.isSet(versionOption), error) && resolvePrevious(parser.values(previousOption), error);
}

bool ServiceOptions::readPublished(const QString &dir, QString *root, QString *folder, QString *iniVersion,
                                   QString *error)
{
    const QString iniPath = dir + QStringLiteral("/update.ini");
    QSettings ini(iniPath, QSettings::IniFormat);
    if (!QFileInfo(iniPath).isFile() || ini.status() != QSettings::NoError) {
        *error = QStringLiteral("cannot read %1").arg(iniPath);
        return false;
    }
    *folder = ini.value(QStringLiteral("Version/Folder")).toString();
    *iniVersion = ini.value(QStringLiteral("Version/Version")).toString();
    QString reason;
    if (folder->isEmpty() || !SafePath::isSafeRelativePath(*folder, &reason)) {
        *error = QStringLiteral("update.ini names an unusable Folder \"%1\" %2").arg(*folder, reason);
        return false;
    }
    *root = dir + QLatin1Char('/') + *folder;
    if (!QFileInfo(*root).isDir()) {
        *error = QStringLiteral("release folder not found: %1").arg(*root);
        return false;
    }
    return true;
}

bool ServiceOptions::resolvePrevious(const QStringList &dirs, QString *error)
{
    for (const QString &dir : dirs) {
        PreviousRelease older;
        QString folder;
        if (!readPublished(QFileInfo(dir).absoluteFilePath(), &older.servedRoot, &folder, &older.version, error))
            return false;
        if (older.version.isEmpty() || older.version == version) {
            *error = QStringLiteral("--previous %1 must hold another version than the release").arg(dir);
            return false;
        }
        previous.append(older);
    }
    return true;
}

bool ServiceOptions::resolveRelease(bool versionGiven, QString *error)
{
    const QFileInfo dirInfo(releaseDir);
    if (!dirInfo.isDir()) {
        *error = QStringLiteral("release directory not found: %1").arg(releaseDir);
        return false;
    }
    const QString iniPath = dirInfo.absoluteFilePath() + QStringLiteral("/update.ini");
    if (!QFileInfo(iniPath).isFile()) {
        servedRoot = dirInfo.absoluteFilePath();
        if (!versionGiven || version.isEmpty()) {
            *error = QStringLiteral("--version is required for a release without update.ini: %1").arg(releaseDir);
            return false;
        }
        notes << QStringLiteral("serving plain release tree %1").arg(servedRoot);
    } else {
        QString folder;
        QString iniVersion;
        if (!readPublished(dirInfo.absoluteFilePath(), &servedRoot, &folder, &iniVersion, error))
            return false;
        // The manifest describes the release for the web transport; it is
        // not one of the files an installation receives.
        skippedNames << QStringLiteral("md5.txt");
        if (!versionGiven)
            version = iniVersion;
        else if (version != iniVersion)
            notes << QStringLiteral("--version %1 overrides update.ini's %2").arg(version, iniVersion);
        notes << QStringLiteral("serving published release %1 (folder %2)").arg(releaseDir, folder);
        if (version.isEmpty()) {
            *error = QStringLiteral("update.ini has no [Version] Version: %1").arg(iniPath);
            return false;
        }
    }
    if (!TcpProtocol::fitsField(version, TcpProtocol::kVersionFieldWidth)) {
        *error = QStringLiteral("version text longer than %1 bytes: %2").arg(TcpProtocol::kVersionFieldWidth - 1).arg(version);
        return false;
    }
    return true;
}
