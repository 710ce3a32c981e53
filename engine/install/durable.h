#ifndef DURABLE_H
#define DURABLE_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#ifdef Q_OS_WIN
#include <string>
#endif

namespace vt3 {

// The steps that make an installation survive a crash or a power cut: a
// file's bytes reach the device before any rename gives it its final name,
// and the renames themselves are on the device before the run says it is
// done. Without that the file system may keep a rename it had in its
// journal and lose the data it named, leaving an installed file of the
// right name and zero length.
//
// On Windows another program (a virus scanner most often) may hold a file
// open for a moment right after it was written; the steps that open or
// rename a file wait for it (see durable.cpp). `busy`, when given, is set
// when a step failed because the file stayed held for all that time.

// Writes the file's data and size through to the device.
bool flushFile(const QString &path, bool *busy = nullptr);

// Makes the entries of `path` (files created, renamed or removed in it)
// durable. POSIX only; NTFS journals its own metadata, and every rename
// here is written through, so on Windows it has nothing to do.
bool syncDirectory(const QString &path);

// flushFile and syncDirectory over many paths, several at a time (see
// durable.cpp for why). Return the index of the first path that failed, or
// -1 when none did; `busy` tells about that one.
int flushFiles(const QStringList &paths, bool *busy = nullptr);
int syncDirectories(const QStringList &paths);

// Renames within one volume, never copying. Without `replace` it never
// overwrites; with it, it replaces `to` in one step.
bool renameFile(const QString &from, const QString &to, bool replace, bool *busy = nullptr);

// Replaces `path` with `contents` so that a crash leaves either the old
// file or the new one, and the new one is on the device when this returns
// true.
bool writeFileDurably(const QString &path, const QByteArray &contents);

#ifdef Q_OS_WIN
// Deep installations pass the 260 characters of a classic path; the
// "\\?\" form lifts that limit, but only for absolute native paths.
std::wstring longPath(const QString &path);
#endif

} // namespace vt3

#endif // DURABLE_H
