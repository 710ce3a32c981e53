#include "pathsafety.h"

namespace vt3 {

bool isSafeRelativePath(const QString &path)
{
    Q_UNUSED(path);
    return false;
}

} // namespace vt3
