#include "runlog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

namespace vt3 {

namespace {
const QString BaseName = QStringLiteral("vt3update.log");
// Room kept below the bound for the line that says the file is full.
constexpr qint64 FullNoteBytes = 256;

// The local zone's offset is asked for at most this often. Each question
// costs the system a look at its zone file, and a run of a thousand small
// files writes a few thousand lines; a zone changes its offset far more
// rarely than this.
constexpr qint64 OffsetRefreshMs = 1000;

// With the offset, so that lines from machines in other zones compare.
// The time itself is always now; only a change of the zone's offset may
// show a moment late.
QByteArray stamped(const QString &text)
{
    thread_local QElapsedTimer sinceOffset;
    thread_local int offsetSeconds = 0;
    if (!sinceOffset.isValid() || sinceOffset.elapsed() >= OffsetRefreshMs) {
        offsetSeconds = QDateTime::currentDateTime().offsetFromUtc();
        sinceOffset.start();
    }
    // An offset of 0 gives a UTC time, written with a Z as before.
    const QDateTime now = QDateTime::currentDateTimeUtc().toOffsetFromUtc(offsetSeconds);
    return (now.toString(Qt::ISODateWithMs) + QLatin1Char(' ') + text + QLatin1Char('\n')).toUtf8();
}
} // namespace

QString RunLog::plainText(const QString &html)
{
    // The log's lines carry a few tags (font, b, p) and the entities that
    // escaping makes; text is what remains between the tags, and runs of
    // blanks read as one, as the window shows them.
    static const QRegularExpression block(QStringLiteral("<\\s*/?\\s*(p|br|div)\\b[^>]*>"),
                                          QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    static const QRegularExpression numeric(QStringLiteral("&#(x?)([0-9a-fA-F]+);"));
    QString text = html;
    text.replace(block, QStringLiteral(" ")).remove(tag).replace(blanks, QStringLiteral(" "));
    QString decoded;
    decoded.reserve(text.size());
    int from = 0;
    for (auto match = numeric.globalMatch(text); match.hasNext();) {
        const QRegularExpressionMatch m = match.next();
        bool ok = false;
        const uint code = m.captured(2).toUInt(&ok, m.captured(1).isEmpty() ? 10 : 16);
        decoded += text.midRef(from, m.capturedStart() - from);
        decoded += ok && code > 0 && code <= 0x10FFFF ? QString::fromUcs4(&code, 1) : m.captured();
        from = m.capturedEnd();
    }
    decoded += text.midRef(from);
    decoded.replace(QLatin1String("&lt;"), QLatin1String("<"))
        .replace(QLatin1String("&gt;"), QLatin1String(">"))
        .replace(QLatin1String("&quot;"), QLatin1String("\""))
        .replace(QLatin1String("&nbsp;"), QLatin1String(" "))
        .replace(QLatin1String("&amp;"), QLatin1String("&"));
    return decoded.trimmed();
}

QByteArray RunLog::line(const QString &html)
{
    return stamped(plainText(html));
}

QString RunLog::directory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

QString RunLog::fileName(int age)
{
    const QString name = age == 0 ? BaseName : BaseName + QLatin1Char('.') + QString::number(age);
    return directory() + QLatin1Char('/') + name;
}

QStringList RunLog::linesWrittenSince(const QDateTime &since)
{
    QFile newest(fileName(0));
    if (QFileInfo(newest).lastModified() < since || !newest.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringList();
    return QString::fromUtf8(newest.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void RunLog::appendToNewest(const QString &html)
{
    QDir().mkpath(directory());
    QFile newest(fileName(0));
    if (newest.size() >= MaxFileBytes - FullNoteBytes || !newest.open(QIODevice::Append | QIODevice::Text))
        return;
    newest.write(line(html));
}

void RunLog::beginRun()
{
    file.close();
    full = false;
    bytes = 0;
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
    const QByteArray text = line(html);
    if (bytes + text.size() <= MaxFileBytes - FullNoteBytes) {
        append(text);
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
    bytes += qMax<qint64>(0, file.write(line));
#ifdef Q_OS_WIN
    // Text mode writes each line end as two bytes there.
    bytes += line.count('\n');
#endif
    file.flush();
}

} // namespace vt3
