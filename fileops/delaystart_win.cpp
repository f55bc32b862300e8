#include "fileops/delaystart_p.h"

#include "fileops/restartscript.h"

#include <QDir>
#include <QProcess>

#include <windows.h>

namespace {

// The started program shares nothing with the updater: no standard handles
// (a caller reading "update.exe console" through a pipe sees end of file when
// the updater exits, and timeout gets a console instead of the pipe), no
// inherited handles (the log file stays renamable), and no console window.
void detachCompletely(QProcess::CreateProcessArguments *args)
{
    args->flags |= CREATE_NO_WINDOW;
    args->inheritHandles = false;
    args->startupInfo->dwFlags &= ~STARTF_USESTDHANDLES;
    args->startupInfo->hStdInput = nullptr;
    args->startupInfo->hStdOutput = nullptr;
    args->startupInfo->hStdError = nullptr;
}

bool startDetached(QProcess &process)
{
    process.setCreateProcessArgumentsModifier(detachCompletely);
    return process.startDetached();
}

} // namespace

namespace DelayStartPlatform {

QByteArray scriptText(const QString &target, const QStringList &arguments, const QString &scriptPath)
{
    // cmd.exe reads a batch file in the console's OEM code page.
    return RestartScript::windowsScript(target, arguments, scriptPath, RestartScript::codecForCodePage(GetOEMCP()));
}

bool startScript(const QString &scriptPath)
{
    QString interpreter = qEnvironmentVariable("ComSpec");
    if (interpreter.isEmpty())
        interpreter = QStringLiteral("cmd.exe");
    QProcess process;
    process.setProgram(interpreter);
    // With /s cmd.exe strips only the outer pair of quotes, so the path stays
    // quoted even when it holds & ( ) @ ^ | or blanks; /d skips AutoRun.
    process.setNativeArguments(QStringLiteral("/d /s /c \"\"") + QDir::toNativeSeparators(scriptPath)
                               + QStringLiteral("\"\""));
    return startDetached(process);
}

bool startDirectly(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    return startDetached(process);
}

} // namespace DelayStartPlatform
