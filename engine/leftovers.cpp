#include "leftovers.h"

#include "install/releaseworker.h"
#include "run/texts.h"
#include "runlog.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace {

const QLatin1String RecordName("vt3update.leftovers");
// The work directories' prefix: nothing outside them is ever removed.
const QLatin1String WorkDirPrefix("voxtera_temp_");

QStringList readRecord()
{
    QFile record(vt3::leftoversRecordPath());
    if (!record.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringList();
    return QString::fromUtf8(record.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void writeRecord(const QStringList &paths)
{
    if (paths.isEmpty()) {
        QFile::remove(vt3::leftoversRecordPath());
        return;
    }
    QDir().mkpath(QFileInfo(vt3::leftoversRecordPath()).path());
    QSaveFile record(vt3::leftoversRecordPath());
    if (!record.open(QIODevice::WriteOnly | QIODevice::Text))
        return;
    record.write((paths.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    record.commit();
}

bool isInsideWorkDir(const QString &path)
{
    const QString temp = QDir::cleanPath(QDir::temp().absolutePath()) + QLatin1Char('/');
    const QString clean = QDir::cleanPath(path);
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    return clean.startsWith(temp, cs) && clean.midRef(temp.size()).startsWith(WorkDirPrefix, cs) &&
           !clean.contains(QLatin1String("/../"));
}

// True once nothing of that name is left.
bool removeLeftover(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    if (info.isDir() && !info.isSymLink()) {
        vt3::removeDirContents(path);
        return QDir().rmdir(path);
    }
    // Windows refuses to delete a read-only file.
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::WriteOwner | QFileDevice::WriteUser);
    return QFile::remove(path);
}

} // namespace

namespace vt3 {

QString leftoversRecordPath()
{
    return RunLog::directory() + QLatin1Char('/') + RecordName;
}

void recordLeftovers(const QStringList &paths)
{
    QStringList record = readRecord();
    for (const QString &path : paths) {
        if (!record.contains(path))
            record << path;
    }
    writeRecord(record);
}

void removeLeftovers()
{
    const QStringList recorded = readRecord();
    if (recorded.isEmpty())
        return;
    QStringList kept;
    for (const QString &path : recorded) {
        const QString shown = QDir::toNativeSeparators(path).toHtmlEscaped();
        if (!isInsideWorkDir(path)) {
            RunLog::appendToNewest(
                Texts::tr("%1 is not in a work directory of the updater; it is left alone.").arg(shown));
            continue;
        }
        if (removeLeftover(path)) {
            RunLog::appendToNewest(Texts::tr("Removed %1, left behind by an earlier update.").arg(shown));
            continue;
        }
        RunLog::appendToNewest(Texts::tr("%1 is still in use; it will be removed at the next start.").arg(shown));
        kept << path;
    }
    writeRecord(kept);
}

} // namespace vt3
