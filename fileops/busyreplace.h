#pragma once

#include <QString>
#include <QStringList>

/// Replacing a file that another process holds, which Windows refuses: a
/// client still exiting, an antivirus or sync tool reading the file, a
/// program or library that is loaded somewhere.
///
/// A held file is renamed aside and the new one moved in (a loaded program
/// can be renamed on its volume though not overwritten); while that fails
/// too, the whole is retried with backoff for a bounded time. Failures are
/// returned with a text naming the file and, where the system can tell, the
/// processes holding it.
namespace BusyReplace {

/// The longest time, in all, that one replace is retried (10 s by default).
/// Tests make it small.
void setRetryBudget(int milliseconds);
int retryBudget();

/// Replaces @p to with @p from as `DurableFile::replace` does. When @p to is
/// held, it is renamed to @p asidePath (a name in the backup directory; empty
/// for none) or, when that is on another volume, next to itself as
/// "name.~old", which is listed for `removeLeftovers` of @p appDir (empty:
/// no aside next to the file). False, with @p why naming @p to and its
/// holders, when nothing worked within the retry budget.
bool replace(const QString &from, const QString &to, const QString &asidePath, const QString &appDir,
             QString *why);

/// The list of the files renamed aside next to their targets below @p appDir.
QString leftoverListPath(const QString &appDir);
/// Deletes the files that earlier replaces renamed aside below @p appDir;
/// those still held stay listed for the next start.
void removeLeftovers(const QString &appDir);

/// The processes holding @p path, as "name (PID n)"; empty where the
/// system cannot tell (only Windows' Restart Manager can).
QStringList holders(const QString &path);

} // namespace BusyReplace
