#ifndef PATHSAFETY_H
#define PATHSAFETY_H

#include <QString>

namespace vt3 {

// True when a path taken from the manifest stays inside the directory it is
// meant relative to and names a file on every platform (no device names).
bool isSafeRelativePath(const QString &path);

} // namespace vt3

#endif // PATHSAFETY_H
