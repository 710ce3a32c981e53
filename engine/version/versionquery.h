#ifndef VERSIONQUERY_H
#define VERSIONQUERY_H

#include <QObject>
#include <QStringList>

namespace vt3 {

class Transcript;

// Asks the version server which release is current and tells the face:
// the first usable answer names the release, or, when none came in time,
// that the version is not known.
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

private:
    Transcript &transcript;
    QStringList fields;
    bool answered = false;
    // A later reply must not change the release a run is fetching.
    bool shown = false;
};

} // namespace vt3

#endif // VERSIONQUERY_H
