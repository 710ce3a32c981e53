#include "testsupport.h"

#include "releasedversion.h"
#include "updateengine.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>
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

void announceVersion(vt3::UpdateEngine &engine, const QString &reply)
{
    auto *version = engine.findChild<releasedVersion *>();
    Q_ASSERT(version);
    QString text = reply;
    emit version->finished(text);
}

QByteArray noise(int size)
{
    QRandomGenerator random(17);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(random.bounded(256));
    return bytes;
}

QByteArray edited(QByteArray bytes, int step)
{
    for (int i = 0; i < bytes.size(); i += step)
        bytes[i] = char(bytes.at(i) ^ 0x5a);
    return bytes;
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
    return awaitTool(tool, timeoutMs);
}

ToolRun awaitTool(QProcess &process, int timeoutMs)
{
    ToolRun run;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            loop.quit();
    });
    if (process.state() != QProcess::NotRunning) {
        limit.start(timeoutMs);
        loop.exec();
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    if (process.exitStatus() == QProcess::NormalExit && process.error() != QProcess::FailedToStart)
        run.exitCode = process.exitCode();
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

} // namespace vt3test
