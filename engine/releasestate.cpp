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
const QLatin1String ReplyTimeFileName("vt3update.version");
// Each record is a settings file of one group and one key, as QSettings
// reads and, when it kept the state file, wrote it.
const QByteArray StateGroup("installed");
const QByteArray StateKey("release");
const QByteArray ReplyTimeGroup("version");
const QByteArray ReplyTimeKey("accepted");
// A time of a server's clock in seconds fits far fewer digits; a longer
// value is damage, not a time.
constexpr int MaxTimeDigits = 12;
// The records are a line or two; more is not one of them.
constexpr qint64 MaxRecordBytes = 4096;
#ifdef Q_OS_WIN
const char LineEnd[] = "\r\n";
#else
const char LineEnd[] = "\n";
#endif

struct RecordValue
{
    bool fileThere = false;
    bool found = false;
    QByteArray value;
};

// Read here, not through QSettings: it keeps what it parsed of a file for
// the whole process and trusts it while the file's size and time stamp
// stay the same, which a record written within the same tick as the one
// before does not change.
RecordValue readRecord(const QString &path, const QByteArray &group, const QByteArray &key)
{
    RecordValue record;
    QFile file(path);
    record.fileThere = file.exists();
    if (!file.open(QIODevice::ReadOnly))
        return record;
    QByteArray current;
    for (const QByteArray &raw : file.read(MaxRecordBytes).split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[') && line.endsWith(']')) {
            current = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const int equals = line.indexOf('=');
        if (current != group || equals < 0 || line.left(equals).trimmed() != key)
            continue;
        record.found = true;
        record.value = line.mid(equals + 1).trimmed();
        break;
    }
    return record;
}

// Written here rather than by QSettings, which neither syncs the directory
// nor writes its rename through: a record must be on the device before
// anything that relies on it is said.
bool writeRecord(const QString &path, const QByteArray &group, const QByteArray &key, const QByteArray &value)
{
    return writeFileDurably(path, '[' + group + ']' + LineEnd + key + '=' + value + LineEnd);
}
} // namespace

QString releaseStatePath(const QString &appDir)
{
    return appDir + QLatin1Char('/') + StateFileName;
}

quint64 installedRelease(const QString &appDir)
{
    const RecordValue record = readRecord(releaseStatePath(appDir), StateGroup, StateKey);
    bool ok = false;
    const quint64 id = record.value.toULongLong(&ok, 10);
    return ok ? id : 0;
}

bool recordInstalledRelease(const QString &appDir, quint64 releaseId)
{
    return writeRecord(releaseStatePath(appDir), StateGroup, StateKey, QByteArray::number(releaseId));
}

QString replyTimePath(const QString &appDir)
{
    return appDir + QLatin1Char('/') + ReplyTimeFileName;
}

AcceptedTime readAcceptedTime(const QString &appDir)
{
    AcceptedTime accepted;
    const RecordValue record = readRecord(replyTimePath(appDir), ReplyTimeGroup, ReplyTimeKey);
    bool ok = false;
    const qint64 time = record.value.toLongLong(&ok, 10);
    if (ok && time > 0 && record.value.size() <= MaxTimeDigits && QByteArray::number(time) == record.value)
        accepted.newest = time;
    else
        accepted.corrupt = record.fileThere;
    return accepted;
}

bool recordAcceptedTime(const QString &appDir, qint64 time)
{
    return writeRecord(replyTimePath(appDir), ReplyTimeGroup, ReplyTimeKey, QByteArray::number(time));
}

} // namespace vt3
