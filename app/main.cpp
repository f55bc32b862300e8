#include "app/ccontroler.h"
#include "app/instanceguard.h"
#include "log/logger.h"
#include "ui/resources.h"

#include <QApplication>
#include <QIcon>
#include <QJsonObject>

#include <memory>

namespace {

void logArguments(int argc, char *argv[])
{
    logDebug("Command Line Arguments:");
    for (int i = 0; i < argc; ++i)
        logDebug("argv[" + std::to_string(i) + "] =" + QString::fromLocal8Bit(argv[i]).toStdString());
}

// Held until the process ends, so the marker lives exactly as long as this
// instance runs.
bool acquireInstance()
{
    static InstanceGuard guard(InstanceGuard::instanceKey(QCoreApplication::applicationFilePath()));
    return guard.tryAcquire();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    initUpdaterResources();
    // Resource files are addressed as ":/..." by the file APIs; "qrc:" is a URL form.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/res/logo.ico")));

    setupLogging();
    logArguments(argc, argv);

    if (!acquireInstance())
        return 1;

    auto controller = std::make_unique<CControler>();
    const QStringList arguments = QCoreApplication::arguments();
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
