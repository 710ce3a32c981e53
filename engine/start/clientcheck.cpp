#include "clientcheck.h"

#include "appdir.h"

#include <QProcess>
#include <QRegularExpression>

namespace {
// The process list tool may hang; the run gives it this long before it
// assumes the client is not running.
constexpr int ClientCheckTimeoutMs = 30000;
} // namespace

namespace vt3 {

bool clientListed(const QByteArray &output, const QString &imageName)
{
    const QString answer = QString::fromLocal8Bit(output);
    if (answer.isEmpty())
        return false;

    // Only the first field of the whole answer counts: the image name of
    // the first matching process, in quotes.
    QString firstField = answer.left(answer.indexOf(QLatin1Char(',')));
    static const QRegularExpression blanksAndQuotes(QStringLiteral("(\\s|\")"));
    firstField.remove(blanksAndQuotes);
    return firstField == imageName;
}

ClientCheck::ClientCheck(const QString &platform, QObject *parent)
    : QObject(parent)
    , imageName(QStringLiteral("vt3client_%1.exe").arg(platform))
{
    limit.setSingleShot(true);
    // A coarse timer may fire a twentieth early; the tool gets its full time.
    limit.setTimerType(Qt::PreciseTimer);
    connect(&limit, &QTimer::timeout, this, [this] { finish(false); });
}

void ClientCheck::start()
{
    const QString commandLine =
        QLatin1String("tasklist.exe /fi \"IMAGENAME eq ") + imageName + QLatin1String("\" /FO CSV /NH");
    QStringList arguments = QProcess::splitCommand(commandLine);
    const QString program = resolveProgram(arguments.takeFirst());

    tasklist = new QProcess(this);
    connect(tasklist, &QProcess::finished, this,
            [this] { finish(clientListed(tasklist->readAllStandardOutput(), imageName)); });
    connect(tasklist, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finish(false);
    });
    limit.start(ClientCheckTimeoutMs);
    tasklist->start(program, arguments, QIODevice::ReadWrite);
}

void ClientCheck::finish(bool running)
{
    if (answered)
        return;
    answered = true;
    limit.stop();
    tasklist->disconnect(this);
    // A tool still running past the limit is ended, not left behind.
    if (tasklist->state() != QProcess::NotRunning)
        tasklist->kill();
    // Always from the event loop, never from inside start() (a program
    // that cannot be started fails there on some systems): whoever started
    // the check has connected to its answer by then.
    QMetaObject::invokeMethod(
        this,
        [this, running] {
            emit finished(running);
            deleteLater();
        },
        Qt::QueuedConnection);
}

} // namespace vt3
