#ifndef LEFTOVERS_H
#define LEFTOVERS_H

#include <QString>
#include <QStringList>

namespace vt3 {

// What a run could neither delete nor hand to the system for removal at
// its next restart (only an administrator may): a file some program still
// held in a finished run's work directory, and that directory. Recorded in
// the user's application-data folder, beside the disk log, so that the
// next start of the updater removes them before it does anything else.
QString leftoversRecordPath();
void recordLeftovers(const QStringList &paths);

// Removes what is recorded and says so in the newest disk log; what is
// still in use stays recorded for the start after. Only paths inside a
// work directory of the system temp directory are touched: the record is
// a file any program of the user may write, and the updater may run as an
// administrator.
void removeLeftovers();

} // namespace vt3

#endif // LEFTOVERS_H
