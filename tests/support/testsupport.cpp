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
#include <QUdpSocket>

namespace vt3test {

QString buildFile(const QString &name)
{
    return QStringLiteral(VT3_BUILD_DIR_FOR_SUPPORT) + QLatin1Char('/') + name;
}

QString toolFile(const QString &name)
{
#ifdef Q_OS_WIN
    if (!name.endsWith(QLatin1String(".exe")))
        return buildFile(name + QLatin1String(".exe"));
    return buildFile(name);
#else
    return buildFile(name);
#endif
}

bool placeFakeProgram(const QString &dir, const QString &name)
{
    const QString target = dir + QLatin1Char('/') + name;
    QFile::remove(target);
    return QFile::copy(QStringLiteral(VT3_FAKEPROGRAM_FOR_SUPPORT), target) &&
           QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

namespace {
const char *const TempVariables[] = {"TMPDIR", "TMP", "TEMP"};
}

void setTempDir(const QString &path)
{
    const QByteArray native = QDir::toNativeSeparators(path).toLocal8Bit();
    for (const char *name : TempVariables)
        qputenv(name, native);
}

TempDirScope::TempDirScope(const QString &path)
    : previous(QDir::tempPath())
{
    setTempDir(path);
}

TempDirScope::~TempDirScope()
{
    setTempDir(previous);
}

void putTempDir(QProcessEnvironment &env, const QString &path)
{
    for (const char *name : TempVariables)
        env.insert(QLatin1String(name), QDir::toNativeSeparators(path));
}

bool loopbackAliasesWork()
{
    static const bool works = [] {
        const QHostAddress alias(QStringLiteral("127.0.0.9"));
        QUdpSocket receiver;
        QUdpSocket sender;
        if (!receiver.bind(QHostAddress::LocalHost, 0) || !sender.bind(alias, 0))
            return false;
        sender.writeDatagram("?", QHostAddress::LocalHost, receiver.localPort());
        if (!receiver.waitForReadyRead(2000))
            return false;
        char byte = 0;
        QHostAddress from;
        receiver.readDatagram(&byte, 1, &from);
        return from.isEqual(alias, QHostAddress::ConvertV4MappedToIPv4);
    }();
    return works;
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
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size())
        return true;
    // The caller's check only says that it failed; this says why.
    qWarning("cannot write %s: %s", qPrintable(path), qPrintable(file.errorString()));
    return false;
}

QByteArray readFile(const QString &path, const QByteArray &missing)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : missing;
}

ToolRun runTool(const QString &program, const QStringList &args, int timeoutMs)
{
    QProcess tool;
    tool.start(toolFile(program), args);
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
