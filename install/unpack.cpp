#include "unpack.h"

#include <QIODevice>

namespace vt3 {

UnpackResult unpackStream(QIODevice &in, QIODevice &out, qint64 maxLength)
{
    Q_UNUSED(in);
    Q_UNUSED(out);
    Q_UNUSED(maxLength);
    return UnpackResult::BadInput;
}

} // namespace vt3
