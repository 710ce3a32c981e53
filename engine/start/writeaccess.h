#ifndef WRITEACCESS_H
#define WRITEACCESS_H

#include <QString>

namespace vt3 {

// The place of the installation a run could not write: the application
// directory itself (no new file can be made there) or a file in it the
// install could not replace; empty when the run may write them all.
//
// Found out by trying, not from attribute or mode bits: what decides on
// Windows is the folder's access list, which those bits do not show, and a
// read-only bit does not stop the install. A file another program merely
// holds open counts as writable, as the install sets such a file aside.
QString unwritablePlace(const QString &appDir);

} // namespace vt3

#endif // WRITEACCESS_H
