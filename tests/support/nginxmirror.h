#ifndef NGINXMIRROR_H
#define NGINXMIRROR_H

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

// A real web server as a mirror: the system's nginx, started with a
// configuration of its own on 127.0.0.1, serving a folder over HTTPS with
// the test CA's certificate. It logs every request it answered, with the
// connection it came on and the protocol spoken.
class NginxMirror
{
public:
    struct Options
    {
        // Plain http:// instead of HTTPS; HTTP/2 is offered over TLS only.
        bool tls = true;
        bool http2 = true;
        // Requests one connection may carry before the server ends it
        // (GOAWAY on HTTP/2); 0 keeps nginx's own default.
        int keepaliveRequests = 0;
        // Passes every request on to this server (http://host:port) as it
        // answers, unbuffered, instead of serving the folder: the faults of
        // a test server, reaching the client over HTTP/2.
        QString upstream;
    };
    struct Entry
    {
        qint64 connection = 0;
        int status = 0;
        qint64 bodyBytes = 0;
        QString protocol;
        QString path;
    };

    NginxMirror(const QString &root, const QString &tlsDir, const Options &options);
    ~NginxMirror();
    NginxMirror(const NginxMirror &) = delete;
    NginxMirror &operator=(const NginxMirror &) = delete;

    // Empty once it serves; else why it could not be started.
    QString start();
    QString baseUrl() const;
    QVector<Entry> entries() const;

private:
    QString tryFreePort();
    QString config(quint16 port) const;
    QString listenOptions() const;
    QString certificates() const;
    QString content() const;

    QString root;
    QString tlsDir;
    Options options;
    QTemporaryDir prefix;
    QProcess process;
    quint16 port = 0;
};

#endif // NGINXMIRROR_H
