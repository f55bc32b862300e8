// The self-update helper. The updater starts it with "update.exe" "update.exe"
// and quits; the helper swaps in the downloaded updater and calls the
// installed one back with "updatehelper" and "HelperSuccess" or "HelperFaile".

#include "app/cselfupdatehelper.h"
#include "config/cconfigmanager.h"
#include "fileops/applyjournal.h"
#include "log/logger.h"

#include <QCoreApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString appDir = QCoreApplication::applicationDirPath();
    const CConfigManager &config = CConfigManager::instance();

    // Its own file beside update.log, so that the two programs never rotate
    // each other's log.
    initLogger((appDir + QStringLiteral("/") + config.logPath() + QStringLiteral("update_helper.log"))
                   .toStdString());
    logInfo("Update helper started");
    QStringList arguments = QCoreApplication::arguments();
    for (int i = 0; i < arguments.size(); ++i) {
        logDebug(QStringLiteral("argv[%1] =").arg(i) + arguments.at(i));
    }
    arguments.removeFirst();

    CSelfUpdateHelper helper(config, appDir);
    // The apply that started us recorded where the new updater is; the
    // system.cfg it installed may name other directories.
    const QString installation = appDir + QStringLiteral("/");
    const QString journalPath = ApplyJournal::namedBy(installation);
    ApplyJournal journal;
    QString why;
    if (!journalPath.isEmpty() && ApplyJournal::load(journalPath, &journal, &why, installation))
        helper.setTempDirectory(journal.tempDir);
    const bool swapped = helper.run(arguments);
    const bool started = helper.launch();
    return swapped && started ? 0 : 1;
}
