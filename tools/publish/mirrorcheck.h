#ifndef MIRRORCHECK_H
#define MIRRORCHECK_H

#include <QStringList>

class QTextStream;

namespace vt3publish {

// "vt3-publish check-mirror URL... --release ID [--published DIR |
// --trusted-keys FILE] [--quick] [--timeout SECONDS]": whether every
// mirror holds the release whole, before the version server announces
// it. `arguments` starts with the program name, the command word taken
// out. 0 only when every mirror is whole.
int runCheckMirror(const QStringList &arguments, QTextStream &out, QTextStream &err);

} // namespace vt3publish

#endif // MIRRORCHECK_H
