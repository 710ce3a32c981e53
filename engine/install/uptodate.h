#ifndef UPTODATE_H
#define UPTODATE_H

#include <QMap>
#include <QSet>
#include <QString>

#include <functional>

namespace vt3 {

// Bytes of the installation judged so far, of all there are to judge.
using CheckProgress = std::function<void(qint64 done, qint64 total)>;

// The keys of `files` (key -> descriptor) whose installed copy,
// <appDir>/<install name>, is a plain file, not a link, with exactly the
// unpacked size and MD5 of its descriptor; those need not be fetched.
// Entries sharing an install name count only when all of them match, so
// that the file installed is the same as when every entry is fetched.
// Reads installed files, which can be large: call it off the GUI thread.
// Touches nothing but its arguments and the files, so any thread may.
// `progress`, when given, is called on the same thread: first with 0, then
// every so often, last with done == total.
QSet<QString> upToDateKeys(const QString &appDir, const QMap<QString, QString> &files,
                           const CheckProgress &progress = {});

} // namespace vt3

#endif // UPTODATE_H
