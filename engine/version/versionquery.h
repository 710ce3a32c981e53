#ifndef VERSIONQUERY_H
#define VERSIONQUERY_H

#include "replycheck.h"

#include <QObject>
#include <QStringList>

namespace vt3 {

class Transcript;

// Asks the version server which release is current and tells the face:
// the first usable answer names the release, or, when none came in time,
// that the version is not known. An installation that trusts version keys
// shows only an answer one of them signed, fresh and newer than the last;
// it listens on until the time is up, so that a forged early datagram
// cannot hide the genuine one behind it.
class VersionQuery : public QObject
{
public:
    VersionQuery(Transcript &transcript, QObject *parent = nullptr);

    void start();
    // A reply datagram's text, as the version client passes it on.
    void take(QString &reply);
    // The time for an answer is up.
    void timedOut();

    bool received() const { return answered; }
    // The announced record's fields: release id, version text.
    const QStringList &info() const { return fields; }
    QString releaseText() const { return fields.value(0); }
    // The release id as a number; 0 unless a plain decimal one.
    quint64 releaseId() const;
    // What the query dropped or noticed, for the disk log (HTML).
    const QStringList &notes() const { return heard; }

private:
    void loadRules();
    bool accept(const QString &reply);
    void note(const QString &html);
    void refuse();

    Transcript &transcript;
    ReplyRules rules;
    QStringList fields;
    QStringList heard;
    bool answered = false;
    // A later reply must not change the release a run is fetching.
    bool shown = false;
    // Answers that were dropped, and whether one of them was dropped only
    // for this computer's clock.
    bool refused = false;
    bool clockRefused = false;
};

} // namespace vt3

#endif // VERSIONQUERY_H
