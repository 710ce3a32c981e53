#ifndef CLIENTCHECK_H
#define CLIENTCHECK_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class QProcess;

namespace vt3 {

// Whether the process-list tool's standard output names a running process
// of `imageName`: the first field of the whole answer, without blanks and
// quotes, must be that name exactly.
bool clientListed(const QByteArray &output, const QString &imageName);

// One run of the process-list tool, beside the event loop: the run keeps
// answering while it reads the process list, for as long as the limit
// allows. It answers once, whichever of the tool's end, its failure to
// start or the limit comes first, and then goes away by itself.
class ClientCheck : public QObject
{
    Q_OBJECT

public:
    ClientCheck(const QString &platform, QObject *parent);

    void start();

signals:
    // `running`: the tool listed the chat client.
    void finished(bool running);

private:
    void finish(bool running);

    QString imageName;
    QProcess *tasklist = nullptr;
    QTimer limit;
    bool answered = false;
};

} // namespace vt3

#endif // CLIENTCHECK_H
