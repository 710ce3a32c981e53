#ifndef TARGETFILE_H
#define TARGETFILE_H

#include <QFile>
#include <QString>

namespace vt3 {

// Opens `path` for a transfer to write, empty unless `keepContents`. Below
// `base` (the directory the run writes in) no component may be a link: the
// system temp directory is shared, and a work directory's contents come
// from the manifest. False when it cannot be made safely.
bool openTransferTarget(QFile &file, const QString &path, const QString &base, bool keepContents);

} // namespace vt3

#endif // TARGETFILE_H
