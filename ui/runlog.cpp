#include "runlog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QStandardPaths>
#include <QTextDocumentFragment>

namespace vt3 {

namespace {
const QString BaseName = QStringLiteral("vt3update.log");
// Room kept below the bound for the line that says the file is full.
constexpr qint64 FullNoteBytes = 256;

// With the offset, so that lines from machines in other zones compare.
QByteArray stamped(const QString &text)
{
    QDateTime now = QDateTime::currentDateTime();
    now.setOffsetFromUtc(now.offsetFromUtc());
    return (now.toString(Qt::ISODateWithMs) + QLatin1Char(' ') + text + QLatin1Char('\n')).toUtf8();
}
} // namespace

QString RunLog::directory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

QString RunLog::fileName(int age)
{
    const QString name = age == 0 ? BaseName : BaseName + QLatin1Char('.') + QString::number(age);
    return directory() + QLatin1Char('/') + name;
}

void RunLog::beginRun()
{
    file.close();
    full = false;
    QDir().mkpath(directory());
    QFile::remove(fileName(KeptRuns - 1));
    for (int age = KeptRuns - 2; age >= 0; --age)
        QFile::rename(fileName(age), fileName(age + 1));
    file.setFileName(fileName(0));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text);
}

void RunLog::write(const QString &html)
{
    if (!file.isOpen() || full)
        return;
    // Markup and entities are for the window; the file is read as text, and
    // a message that spans lines stays one line of the log.
    QString text = QTextDocumentFragment::fromHtml(html).toPlainText();
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray line = stamped(text);
    if (file.size() + line.size() <= MaxFileBytes - FullNoteBytes) {
        append(line);
        return;
    }
    full = true;
    append(stamped(
        QCoreApplication::translate("UpdateClient", "The log file is full; the rest of this run is not written.")));
}

void RunLog::append(const QByteArray &line)
{
    // Flushed line by line: the lines before a crash or a kill are the ones
    // that matter.
    file.write(line);
    file.flush();
}

} // namespace vt3
