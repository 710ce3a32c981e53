#include "replytime.h"

#include "install/durable.h"

#include <QFile>

namespace vt3 {

namespace {
const QLatin1String FileName("vt3update.version");
const QByteArray Group("[version]");
const QByteArray Key("accepted=");
// A time of a server's clock in seconds fits far fewer digits; a longer
// value is damage, not a time.
constexpr int MaxTimeDigits = 12;
#ifdef Q_OS_WIN
const char LineEnd[] = "\r\n";
#else
const char LineEnd[] = "\n";
#endif
} // namespace

QString replyTimePath(const QString &appDir)
{
    return appDir + QLatin1Char('/') + FileName;
}

AcceptedTime readAcceptedTime(const QString &appDir)
{
    AcceptedTime accepted;
    QFile file(replyTimePath(appDir));
    if (!file.exists())
        return accepted;
    accepted.corrupt = true;
    if (!file.open(QIODevice::ReadOnly))
        return accepted;
    bool inGroup = false;
    for (const QByteArray &raw : file.read(4096).split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('['))
            inGroup = line == Group;
        if (!inGroup || !line.startsWith(Key))
            continue;
        const QByteArray value = line.mid(Key.size());
        bool ok = false;
        const qint64 time = value.toLongLong(&ok, 10);
        if (ok && time > 0 && value.size() <= MaxTimeDigits && QByteArray::number(time) == value) {
            accepted.newest = time;
            accepted.corrupt = false;
        }
        break;
    }
    return accepted;
}

bool recordAcceptedTime(const QString &appDir, qint64 time)
{
    return writeFileDurably(replyTimePath(appDir), Group + LineEnd + Key + QByteArray::number(time) + LineEnd);
}

} // namespace vt3
