#include "testsupport.h"

#include "releasedversion.h"
#include "updateclient.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTextBlock>
#include <QTextDocument>

namespace vt3test {

QString buildFile(const QString &name)
{
    return QStringLiteral(VT3_BUILD_DIR_FOR_SUPPORT) + QLatin1Char('/') + name;
}

void announceVersion(UpdateClient &client, const QString &reply)
{
    auto *version = client.findChild<releasedVersion *>();
    Q_ASSERT(version);
    QString text = reply;
    emit version->finished(text);
}

namespace {
QPlainTextEdit *detailsOf(UpdateClient &client)
{
    return client.findChild<QPlainTextEdit *>(QStringLiteral("details"));
}

bool blockIsRed(const QTextBlock &block)
{
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        if (fragment.isValid() && fragment.charFormat().foreground().color() == QColor(Qt::red))
            return true;
    }
    return false;
}

QStringList collect(UpdateClient &client, bool mark)
{
    QStringList lines;
    QTextDocument *doc = detailsOf(client)->document();
    if (doc->isEmpty())
        return lines;
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        QString text = block.text();
        if (mark && blockIsRed(block))
            text.prepend(QLatin1String("red:"));
        lines << text;
    }
    return lines;
}
} // namespace

QStringList logLines(UpdateClient &client)
{
    return collect(client, false);
}

QStringList logLinesMarked(UpdateClient &client)
{
    return collect(client, true);
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path, const QByteArray &missing)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : missing;
}

ToolRun runTool(const QString &program, const QStringList &args, int timeoutMs)
{
    QProcess tool;
    tool.start(buildFile(program), args);
    ToolRun run;
    if (!tool.waitForFinished(timeoutMs)) {
        tool.kill();
        tool.waitForFinished();
        return run;
    }
    if (tool.exitStatus() == QProcess::NormalExit)
        run.exitCode = tool.exitCode();
    run.out = QString::fromLocal8Bit(tool.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(tool.readAllStandardError());
    return run;
}

} // namespace vt3test
