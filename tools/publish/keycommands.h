#ifndef KEYCOMMANDS_H
#define KEYCOMMANDS_H

#include <QStringList>

class QTextStream;

namespace vt3publish {

// "vt3-publish keygen --out DIR" and "vt3-publish sign --release DIR
// --sign-key FILE...". `arguments` starts with the program name, the
// command word already taken out. Return the tool's exit status.
int runKeygen(const QStringList &arguments, QTextStream &out, QTextStream &err);
int runSign(const QStringList &arguments, QTextStream &out, QTextStream &err);

} // namespace vt3publish

#endif // KEYCOMMANDS_H
