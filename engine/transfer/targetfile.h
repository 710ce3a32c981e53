#ifndef TARGETFILE_H
#define TARGETFILE_H

#include <QFile>
#include <QSet>
#include <QString>

namespace vt3 {

// The directories a run has already made, or found to be real directories
// of its own, below its work directory. Nobody else can put anything in a
// directory of ours, so what was checked once in a run holds for the rest
// of it: a thousand files in one folder cost one check, not a thousand.
using KnownDirs = QSet<QString>;

// Opens `path` for a transfer to write, its contents kept. Below `base`
// (the directory the run writes in) no component may be a link: the system
// temp directory is shared, and a work directory's contents come from the
// manifest. False when it cannot be made safely. `known`, when given, is
// the run's record of the directories checked so far.
bool openTransferTarget(QFile &file, const QString &path, const QString &base, KnownDirs *known = nullptr);

// Whether anything at all, a dangling link included, has the name `path`.
bool nameTaken(const QString &path);

} // namespace vt3

#endif // TARGETFILE_H
