#ifndef MIRRORLIST_H
#define MIRRORLIST_H

#include <QMap>
#include <QString>

namespace vt3 {

// The mirrors of a mirrors.ini, URL -> retries. The list names entries
// 1 .. size-1 in [mirrors] ("<i>\mirror=<group>"), each group holding url
// and retries. A missing entry, or one that names no group, reads the
// top-level url and retries instead. A URL named twice keeps the retries
// of its later entry.
QMap<QString, int> readMirrorList(const QString &iniPath);

// How many release files a run fetches at once: [transfers] parallel, from
// 1 (one after the other) to 6; the default where it is missing or
// unreadable. Over HTTP/2 anything above 1 lets the streams of one
// connection carry many more at once.
int readParallelTransfers(const QString &iniPath);
// Whether HTTPS mirrors may speak HTTP/2: [transfers] http2, on unless it
// says off (or false, no, 0), for a proxy or mirror that gets it wrong.
bool readHttp2Allowed(const QString &iniPath);

} // namespace vt3

#endif // MIRRORLIST_H
