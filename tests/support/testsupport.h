#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QByteArray>
#include <QString>
#include <QStringList>

class UpdateClient;

namespace vt3test {

// Path of a build product in the application folder of the build
// (vt3update, tasklist.exe, vt3-versiond, ...).
QString buildFile(const QString &name);

// Hands the window a version reply as the version client would, so tests
// that are not about the version query need no UDP server.
void announceVersion(UpdateClient &client, const QString &reply);

// The message log's paragraphs as plain text, one entry per message.
QStringList logLines(UpdateClient &client);
// The same paragraphs, each prefixed with "red:" when it is drawn in red
// (the window's error lines), so one list asserts text, order and colour.
QStringList logLinesMarked(UpdateClient &client);

// Writes a whole file, creating its directories; true when every byte
// was written.
bool writeFile(const QString &path, const QByteArray &data);
// A whole file's bytes, or `missing` when it cannot be read.
QByteArray readFile(const QString &path, const QByteArray &missing = QByteArray());

} // namespace vt3test

#endif // TESTSUPPORT_H
