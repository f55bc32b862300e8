#include "fileops/delaystart_p.h"

#include "fileops/restartscript.h"

#include <QProcess>

namespace DelayStartPlatform {

QByteArray scriptText(const QString &target, const QStringList &arguments, const QString &scriptPath)
{
    return RestartScript::posixScript(target, arguments, scriptPath);
}

bool startScript(const QString &scriptPath)
{
    return QProcess::startDetached(QStringLiteral("/bin/sh"), {scriptPath});
}

bool startDirectly(const QString &program, const QStringList &arguments)
{
    return QProcess::startDetached(program, arguments);
}

} // namespace DelayStartPlatform
