#include "nginxmirror.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

// A port found free can be taken by another test before nginx binds it.
constexpr int PortTries = 5;
constexpr int StartTimeoutMs = 10000;
constexpr int PollMs = 50;

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return 0;
    return probe.serverPort();
}

bool answers(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(PollMs);
}

} // namespace

NginxMirror::NginxMirror(const QString &served, const QString &certificates, const Options &chosen)
    : root(served)
    , tlsDir(certificates)
    , options(chosen)
{
}

NginxMirror::~NginxMirror()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(StartTimeoutMs))
        process.kill();
    process.waitForFinished();
}

QString NginxMirror::start()
{
#ifdef Q_OS_WIN
    return QStringLiteral("nginx runs on the Linux side only");
#else
    if (QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
            .isEmpty() &&
        QStandardPaths::findExecutable(QStringLiteral("nginx")).isEmpty())
        return QStringLiteral("nginx is not installed (Debian package nginx)");
    if (!prefix.isValid() || !QDir().mkpath(prefix.filePath(QStringLiteral("tmp"))))
        return QStringLiteral("no folder for nginx");
    QString why;
    for (int i = 0; i < PortTries; ++i) {
        why = tryFreePort();
        if (why.isEmpty())
            return why;
    }
    return why;
#endif
}

QString NginxMirror::tryFreePort()
{
    const quint16 candidate = freePort();
    if (candidate == 0)
        return QStringLiteral("no free port");
    QFile conf(prefix.filePath(QStringLiteral("nginx.conf")));
    if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate) || conf.write(config(candidate).toUtf8()) < 0)
        return QStringLiteral("cannot write nginx.conf");
    conf.close();
    const QString nginx =
        QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(nginx.isEmpty() ? QStringLiteral("nginx") : nginx,
                  {QStringLiteral("-p"), prefix.path(), QStringLiteral("-c"), conf.fileName(), QStringLiteral("-e"),
                   prefix.filePath(QStringLiteral("error.log"))});
    if (!process.waitForStarted())
        return QStringLiteral("nginx could not be started: ") + process.errorString();
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < StartTimeoutMs) {
        if (process.state() == QProcess::NotRunning) {
            QFile log(prefix.filePath(QStringLiteral("error.log")));
            log.open(QIODevice::ReadOnly);
            return QStringLiteral("nginx ended at start: ") + QString::fromUtf8(log.readAll()).trimmed();
        }
        if (answers(candidate)) {
            port = candidate;
            return QString();
        }
        QThread::msleep(PollMs);
    }
    process.kill();
    process.waitForFinished();
    return QStringLiteral("nginx did not answer");
}

QString NginxMirror::config(quint16 candidate) const
{
    // One process, as whoever runs the tests: no user to switch to, no
    // system folders; every path below the prefix.
    QString temps;
    for (const char *kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        temps += QStringLiteral("    %1_temp_path %2/tmp/%1;\n").arg(QLatin1String(kind), prefix.path());
    const QString keepalive = options.keepaliveRequests > 0
                                  ? QStringLiteral("    keepalive_requests %1;\n").arg(options.keepaliveRequests)
                                  : QString();
    return QStringLiteral("daemon off;\nmaster_process off;\nworker_processes 1;\npid %1/nginx.pid;\n"
                          "error_log %1/error.log warn;\nevents { worker_connections 1024; }\n"
                          "http {\n"
                          "    log_format mirror '$connection $status $body_bytes_sent $server_protocol $uri';\n"
                          "    access_log %1/access.log mirror;\n"
                          "%2%3"
                          "    default_type application/octet-stream;\n"
                          "    server {\n"
                          "        listen 127.0.0.1:%4%5;\n"
                          "%6"
                          "%7"
                          "    }\n"
                          "}\n")
        .arg(prefix.path(), temps, keepalive, QString::number(candidate), listenOptions(), certificates(), content());
}

QString NginxMirror::listenOptions() const
{
    if (!options.tls)
        return QString();
    return options.http2 ? QStringLiteral(" ssl http2") : QStringLiteral(" ssl");
}

QString NginxMirror::certificates() const
{
    if (!options.tls)
        return QString();
    return QStringLiteral("        ssl_certificate %1server-trusted.pem;\n"
                          "        ssl_certificate_key %1server-trusted.key;\n")
        .arg(tlsDir);
}

QString NginxMirror::content() const
{
    if (options.upstream.isEmpty())
        return QStringLiteral("        root %1;\n").arg(root);
    // The upstream's silences and early ends reach the client as they
    // happen; a minute of silence is the client's to notice, not nginx's.
    return QStringLiteral("        location / {\n"
                          "            proxy_pass %1;\n"
                          "            proxy_http_version 1.1;\n"
                          "            proxy_buffering off;\n"
                          "            proxy_read_timeout 300s;\n"
                          "        }\n")
        .arg(options.upstream);
}

QString NginxMirror::baseUrl() const
{
    return QStringLiteral("%1://127.0.0.1:%2/")
        .arg(options.tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(port);
}

QVector<NginxMirror::Entry> NginxMirror::entries() const
{
    QVector<Entry> out;
    QFile log(prefix.filePath(QStringLiteral("access.log")));
    if (!log.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &line : log.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 5)
            continue;
        out.append({fields.at(0).toLongLong(), fields.at(1).toInt(), fields.at(2).toLongLong(),
                    QString::fromLatin1(fields.at(3)), QString::fromUtf8(fields.at(4))});
    }
    return out;
}
