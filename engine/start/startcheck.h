#ifndef STARTCHECK_H
#define STARTCHECK_H

#include "updateface.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QVector>

namespace vt3 {

struct RunContext;

// The first step of a run, before anything is asked of a mirror: the log's
// header, the mirror list, the chat client (which would hold its files),
// whether this user may write the installation, an older release than the one installed, and the keys a release must be
// signed by.
class StartCheck : public QObject
{
    Q_OBJECT

public:
    StartCheck(RunContext &run, QObject *parent = nullptr);

    void start();

    // The mirrors of mirrors.ini (URL -> retries), how many transfers may
    // run at once, and the trusted keys; when the key file is there, a
    // manifest is only used with a valid signature.
    QMap<QString, int> mirrors;
    int parallel = 1;
    QVector<QByteArray> trustedKeys;
    bool signatureRequired = false;

signals:
    void passed();
    void stopped(vt3::RunStop why);

private:
    void writeHeader();
    void clientChecked(bool running);
    void orderMirrors();
    bool refuseUnwritable();
    bool refuseDowngrade();
    void loadTrustedKeys();
    void stop(RunStop why);

    RunContext &run;
};

} // namespace vt3

#endif // STARTCHECK_H
