#ifndef CLIENTCHECK_H
#define CLIENTCHECK_H

#include <QByteArray>
#include <QString>

namespace vt3 {

// Whether the process-list tool's standard output names a running process
// of `imageName`: the first field of the whole answer, without blanks and
// quotes, must be that name exactly.
bool clientListed(const QByteArray &output, const QString &imageName);

} // namespace vt3

#endif // CLIENTCHECK_H
