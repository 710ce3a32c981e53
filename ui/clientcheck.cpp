#include "updateclient.h"

#include "appdir.h"
#include "clientcheck.h"

#include <QProcess>
#include <QRegularExpression>

namespace {
// The process list tool may hang; the window gives it this long before it
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

} // namespace vt3

void UpdateClient::checkClientRunning()
{
    const QString imageName = QStringLiteral("vt3client_%1.exe").arg(platform);
    const QString commandLine =
        QLatin1String("tasklist.exe /fi \"IMAGENAME eq ") + imageName + QLatin1String("\" /FO CSV /NH");

    QStringList arguments = QProcess::splitCommand(commandLine);
    const QString program = vt3::resolveProgram(arguments.takeFirst());

    // The tool runs beside the event loop: the window keeps answering while
    // it reads the process list, for as long as the limit allows.
    clientCheck = new QProcess(this);
    connect(clientCheck, &QProcess::finished, this, [this, imageName] {
        finishClientCheck(vt3::clientListed(clientCheck->readAllStandardOutput(), imageName));
    });
    connect(clientCheck, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finishClientCheck(false);
    });
    clientCheckLimit.setSingleShot(true);
    // A coarse timer may fire a twentieth early; the tool gets its full time.
    clientCheckLimit.setTimerType(Qt::PreciseTimer);
    clientCheckLimit.start(ClientCheckTimeoutMs);
    clientCheck->start(program, arguments, QIODevice::ReadWrite);
}

void UpdateClient::finishClientCheck(bool running)
{
    // One answer per check, whichever of the tool's end, its failure to
    // start or the limit comes first.
    if (!clientCheck)
        return;
    clientCheckLimit.stop();
    QProcess *tasklist = clientCheck;
    clientCheck = nullptr;
    tasklist->disconnect(this);
    // A tool still running past the limit is ended, not left behind.
    if (tasklist->state() != QProcess::NotRunning)
        tasklist->kill();
    tasklist->deleteLater();
    emit clientChecked(running);
}
