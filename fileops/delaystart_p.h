#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

/// The platform halves of delayStart (delaystart_win.cpp, delaystart_unix.cpp).
namespace DelayStartPlatform {

/// The restart script's bytes for this platform; empty when a path or an
/// argument cannot be written into it.
QByteArray scriptText(const QString &target, const QStringList &arguments, const QString &scriptPath);

/// Starts the script detached; false when the system refused.
bool startScript(const QString &scriptPath);

/// Starts @p program at once, detached; false when the system refused.
bool startDirectly(const QString &program, const QStringList &arguments);

} // namespace DelayStartPlatform
