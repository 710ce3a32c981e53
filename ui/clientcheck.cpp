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

bool UpdateClient::isClientRunning()
{
    const QString imageName = QStringLiteral("vt3client_%1.exe").arg(platform);
    const QString commandLine =
        QLatin1String("tasklist.exe /fi \"IMAGENAME eq ") + imageName + QLatin1String("\" /FO CSV /NH");

    QStringList arguments = QProcess::splitCommand(commandLine);
    if (arguments.isEmpty())
        return false;
    const QString program = vt3::resolveProgram(arguments.takeFirst());

    // Local and without parent: a tool still running after the time-out is
    // ended here, not left behind.
    QProcess tasklist;
    tasklist.start(program, arguments, QIODevice::ReadWrite);
    if (!tasklist.waitForFinished(ClientCheckTimeoutMs)) {
        tasklist.kill();
        tasklist.waitForFinished();
        return false;
    }

    return vt3::clientListed(tasklist.readAllStandardOutput(), imageName);
}
