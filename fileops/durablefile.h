#pragma once

#include <QString>
#include <QStringList>

/// File operations that keep every file whole across a crash or power loss:
/// data flushed to disk before it is renamed into place, renames that replace
/// their target in one step, and old versions kept by hard link.
namespace DurableFile {

/// Flushes the contents of the file at @p path to disk.
bool flushFile(const QString &path, QString *why = nullptr);
/// Starts writing the data of the open @p file to disk without waiting, so
/// that a later flush finds little left to do (Linux only; elsewhere nothing).
void startWriteback(int handle);
/// Flushes the contents of @p files, all below @p root on one file system,
/// to disk: on Linux with one flush of that file system, elsewhere file by file.
bool flushFiles(const QString &root, const QStringList &files, QString *why = nullptr);
/// Flushes the directory entries of @p dir (a no-op where the system
/// writes them through, as on Windows).
void flushDirectory(const QString &dir);
/// Renames @p from over @p to in one step, replacing an existing @p to; the
/// name @p to never stops naming a complete file. Both lie on one file system.
/// @p inUse is set when another process holding one of the files is why it
/// failed (Windows only: elsewhere an open file never blocks a rename).
bool replace(const QString &from, const QString &to, QString *why = nullptr, bool *inUse = nullptr);
/// A second name @p newName for the existing file @p existing.
bool hardLink(const QString &existing, const QString &newName, QString *why = nullptr);
/// Copies @p from to @p to (which must not exist) and flushes the copy.
bool copyFlushed(const QString &from, const QString &to, QString *why = nullptr);
/// Clears a read-only attribute of @p path; true when there was one to clear.
bool clearReadOnly(const QString &path);
/// Sets the read-only attribute of @p path again.
void setReadOnly(const QString &path);
/// True when the file names @p a and @p b are the same name for the system
/// (letter case is ignored on Windows).
bool sameName(const QString &a, const QString &b);
/// @p name in the form in which equal names (by `sameName`) are equal texts.
QString nameKey(const QString &name);

/// @p path in the form every direct Win32 file call takes: absolute, with
/// backslashes and the extended-length prefix (\\?\C:\... or
/// \\?\UNC\server\share\...), so that a path of 260 characters or more
/// works. A relative @p path is taken from the current directory.
QString extendedPath(const QString &path);

/// A point where a file operation is about to happen. Test builds can stop
/// the process at the Nth such point to prove that every state is recoverable.
void operationPoint();

} // namespace DurableFile
