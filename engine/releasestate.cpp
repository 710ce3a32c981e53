#include "releasestate.h"

#include "install/durable.h"

#include <QFile>

namespace vt3 {

quint64 releaseNumber(const QString &text)
{
    // Only the plain decimal form names a release; anything else is 0,
    // which is older than every release and signed by none.
    bool ok = false;
    const quint64 id = text.toULongLong(&ok, 10);
    return ok && QString::number(id) == text ? id : 0;
}

namespace {
const QLatin1String StateFileName("vt3update.state");
// The record is a settings file of one group and one key, as QSettings
// reads and, when it kept the file, wrote it.
const QByteArray Group("installed");
const QByteArray Key("release");
#ifdef Q_OS_WIN
const char LineEnd[] = "\r\n";
#else
const char LineEnd[] = "\n";
#endif
} // namespace

QString releaseStatePath(const QString &appDir)
{
    return appDir + QLatin1Char('/') + StateFileName;
}

quint64 installedRelease(const QString &appDir)
{
    // Read here, not through QSettings: it keeps what it parsed of a file
    // for the whole process and trusts it while the file's size and time
    // stamp stay the same, which a record written within the same tick as
    // the one before does not change.
    QFile state(releaseStatePath(appDir));
    if (!state.open(QIODevice::ReadOnly))
        return 0;
    QByteArray group;
    for (const QByteArray &raw : state.readAll().split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[') && line.endsWith(']')) {
            group = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const int equals = line.indexOf('=');
        if (group != Group || equals < 0 || line.left(equals).trimmed() != Key)
            continue;
        bool ok = false;
        const quint64 id = line.mid(equals + 1).trimmed().toULongLong(&ok, 10);
        return ok ? id : 0;
    }
    return 0;
}

bool recordInstalledRelease(const QString &appDir, quint64 releaseId)
{
    // Written here rather than by QSettings, which neither syncs the
    // directory nor writes its rename through: the record must be on the
    // device before the window says the update is finished.
    const QByteArray text = '[' + Group + ']' + LineEnd + Key + '=' + QByteArray::number(releaseId) + LineEnd;
    return writeFileDurably(releaseStatePath(appDir), text);
}

} // namespace vt3
