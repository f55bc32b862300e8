#include "app/ccontroler.h"
#include "app/installlayout.h"
#include "app/instanceguard.h"
#include "config/cconfigmanager.h"
#include "log/logger.h"
#include "ui/resources.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QJsonObject>
#include <QStandardPaths>

#include <memory>

#ifdef Q_OS_WIN
#include <cstdio>
#include <windows.h>
#endif // Q_OS_WIN

namespace {

// The toolkit's list comes from the wide command line on Windows, so text
// outside the ANSI code page reaches the log intact; argv would hold "?".
void logArguments(const QStringList &arguments)
{
    logDebug("Command Line Arguments:");
    for (int i = 0; i < arguments.size(); ++i)
        logDebug(QStringLiteral("argv[%1] =").arg(i) + arguments.at(i));
}

// Held until the process ends, so the marker lives exactly as long as this
// instance runs.
bool acquireInstance()
{
    static InstanceGuard guard(InstanceGuard::instanceKey(QCoreApplication::applicationFilePath()));
    return guard.tryAcquire();
}

// The log beside the program, or, when the program's directory cannot be
// written (an installation below Program Files without elevation), in the
// user's own application data, so that the refusal is still on record.
std::string logFilePath()
{
    const QString appDir = QCoreApplication::applicationDirPath();
    if (InstallLayout::isWritable(appDir))
        return logFilePathFor(appDir.toStdString(), CConfigManager::instance().logPath().toStdString());
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(dir);
    return QDir(dir).filePath(QStringLiteral("update.log")).toStdString();
}

#ifdef Q_OS_WIN
// The updater is a GUI program, so Windows gives it no console. In console
// mode its caller still needs the result line: an inherited pipe or file is
// kept as it is, otherwise the output goes to the console of the parent
// (a command prompt), when there is one.
void attachParentConsole()
{
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE && GetFileType(out) != FILE_TYPE_UNKNOWN)
        return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    FILE *stream = nullptr;
    freopen_s(&stream, "CONOUT$", "w", stdout);
    freopen_s(&stream, "CONOUT$", "w", stderr);
}
#endif // Q_OS_WIN

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Names the folder of the fallback log, the same whatever the file is called.
    QCoreApplication::setApplicationName(QStringLiteral("update"));
    initUpdaterResources();
    // Resource files are addressed as ":/..." by the file APIs; "qrc:" is a URL form.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/res/logo.ico")));

    const QStringList arguments = QCoreApplication::arguments();
#ifdef Q_OS_WIN
    if (arguments.contains(QStringLiteral("console")))
        attachParentConsole();
#endif // Q_OS_WIN
    setupLogging(logFilePath());
    logArguments(arguments);

    if (!acquireInstance())
        return 1;

    auto controller = std::make_unique<CControler>();
    if (!controller->initialize()) {
        if (arguments.contains(QStringLiteral("console"))) {
            QJsonObject json;
            json.insert(QStringLiteral("errormsg"), QStringLiteral("Controller initialization failed"));
            json.insert(QStringLiteral("success"), false);
            json.insert(QStringLiteral("update"), true);
            CControler::printJson(json);
        }
        return 1;
    }

    int exitCode = 0;
    if (!controller->parseArguments(arguments)) {
        controller->runHelperRole();
    } else {
        controller->run();
        if (controller->hasVisibleWindow()) {
            logDebug("a.exec()");
            exitCode = QApplication::exec();
        }
    }
    controller.reset();
    return exitCode;
}
