// update_service: publishes one release directory to updaters over TCP.
// The first line on standard output is "listening ADDRESS:PORT", so that
// scripts can start it with --port 0 and learn the port it got.
#include "config/releasedescription.h"
#include "log/logger.h"
#include "releasecatalog.h"
#include "serviceoptions.h"
#include "stopsignal.h"
#include "updateservice.h"

#include <QCoreApplication>

#include <cstdio>
#include <iostream>
#include <memory>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("update_service"));

    ServiceOptions options;
    QString error;
    bool helpRequested = false;
    if (!options.parse(QCoreApplication::arguments(), &error, &helpRequested)) {
        if (helpRequested) {
            std::cout << error.toStdString();
            return 0;
        }
        std::cerr << "update_service: " << error.toStdString() << std::endl;
        return 2;
    }
    if (!options.logFile.isEmpty())
        initLogger(options.logFile.toStdString());

    ReleaseCatalog catalog;
    if (!catalog.load(options.servedRoot, options.skippedNames, &error)) {
        for (const QString &problem : catalog.problems())
            logError(QStringLiteral("cannot serve %1").arg(problem));
        logError(QStringLiteral("update_service: ") + error);
        return 1;
    }
    ReleaseOffer offer{&catalog, options.version, options.projectType, options.chunkSize, options.limits,
                       options.checksums};
    // The version file and the signed description name the new release, so
    // they always go out.
    const QStringList alwaysSent{QStringLiteral("update.ini"), ReleaseDescription::fileName()};
    std::vector<std::unique_ptr<ReleaseCatalog>> olderCatalogs;
    for (const PreviousRelease &older : options.previous) {
        olderCatalogs.push_back(std::make_unique<ReleaseCatalog>());
        if (!olderCatalogs.back()->load(older.servedRoot, {QStringLiteral("md5.txt")}, &error)) {
            logError(QStringLiteral("update_service: previous release %1: %2").arg(older.version, error));
            return 1;
        }
        offer.unchangedSince.insert(older.version, catalog.unchangedSince(*olderCatalogs.back(), alwaysSent));
        // Logged with the other notes, after the first line that scripts read.
        options.notes << QStringLiteral("previous release %1 (%2): %3 of %4 files unchanged, left out for its clients")
                             .arg(older.version, older.servedRoot)
                             .arg(offer.unchangedSince.value(older.version).size())
                             .arg(catalog.files().size());
    }
    UpdateService service(offer);
    if (!service.listen(options.host, options.port, &error)) {
        logError(QStringLiteral("update_service: ") + error);
        return 1;
    }
    // Installed before the address is announced: whoever learns the port may
    // stop the service at once.
    StopSignal stop;
    if (!stop.install())
        logWarn("update_service: cannot install the stop signal handlers; stop it with a kill");
    QObject::connect(&stop, &StopSignal::stopRequested, &app, [&]() {
        logInfo("update_service: stop requested, closing connections");
        service.stop();
        QCoreApplication::quit();
    });
    std::printf("listening %s\n", service.boundAddress().toStdString().c_str());
    std::fflush(stdout);

    for (const QString &note : options.notes)
        logInfo(note);
    logInfo(QStringLiteral("release %1 (project type %2): %3 files from %4, chunk size %5 bytes")
                .arg(options.version)
                .arg(options.projectType)
                .arg(catalog.files().size())
                .arg(catalog.root())
                .arg(options.chunkSize));
    logInfo(QStringLiteral("sessions: at most %1, %2 per address; closed after %3 ms without a complete request "
                           "or %4 ms over one")
                .arg(options.limits.maxSessions)
                .arg(options.limits.maxSessionsPerAddress)
                .arg(options.limits.idleMs)
                .arg(options.limits.requestMs));

    const int code = QCoreApplication::exec();
    logInfo("update_service: stopped");
    return code;
}
