#ifndef VERSIONREPLY_H
#define VERSIONREPLY_H

#include <QByteArray>
#include <QString>

namespace vt3 {

// The text of a version reply datagram: its bytes up to the first zero
// byte (a server written in C may send its terminator along), as UTF-8.
inline QString decodeReply(const QByteArray &datagram)
{
    const int end = datagram.indexOf('\0');
    return QString::fromUtf8(end < 0 ? datagram : datagram.left(end));
}

} // namespace vt3

#endif // VERSIONREPLY_H
