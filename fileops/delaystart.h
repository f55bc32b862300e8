#pragma once

#include <QString>
#include <QStringList>

/// Starts @p program with @p arguments about one second from now, through a
/// self-deleting script in the system temporary directory (a batch file run
/// by cmd.exe on Windows, a shell script run by /bin/sh elsewhere), so that
/// the updater can quit first. When the script cannot be written or started,
/// the program is started at once instead. The caller learns nothing of the
/// outcome; problems go to the toolkit's warning channel.
void delayStart(const QString &program, const QStringList &arguments);
