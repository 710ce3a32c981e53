#include "updateengine.h"

#include "appdir.h"
#include "mirrorlist.h"

#include <QDir>
#include <QNetworkProxyFactory>
#include <QSslSocket>

namespace {
// What the system's proxy settings make of the first mirror's URL.
QString proxyFor(const QString &url)
{
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(QUrl(url)));
    const QNetworkProxy proxy = proxies.value(0);
    QString scheme;
    switch (proxy.type()) {
    case QNetworkProxy::HttpProxy:
    case QNetworkProxy::HttpCachingProxy:
        scheme = QStringLiteral("http");
        break;
    case QNetworkProxy::Socks5Proxy:
        scheme = QStringLiteral("socks5");
        break;
    default:
        return QString();
    }
    return scheme + QLatin1String("://") + proxy.hostName() + QLatin1Char(':') + QString::number(proxy.port());
}
} // namespace

void vt3::UpdateEngine::startRunLog(const QString &mirrorList)
{
    transcript.beginRun();
    const QMap<QString, int> listed = vt3::readMirrorList(mirrorList);
    const QString firstMirror = listed.isEmpty() ? QString() : listed.firstKey();
    QString ssl = QSslSocket::sslLibraryVersionString();
    if (ssl.isEmpty())
        ssl = tr("not loaded");
    QString proxy = proxyFor(firstMirror);
    if (proxy.isEmpty())
        proxy = tr("none");

    logDetail(tr("vt3update %1 starts an update").arg(QStringLiteral(VT3_UPDATER_VERSION)));
    logDetail(tr("Qt %1, OpenSSL %2").arg(QString::fromLatin1(qVersion()), ssl.toHtmlEscaped()));
    if (firstMirror.isEmpty())
        logDetail(tr("Proxy: %1").arg(proxy.toHtmlEscaped()));
    else
        logDetail(tr("Proxy for %1: %2").arg(firstMirror.toHtmlEscaped(), proxy.toHtmlEscaped()));
    logDetail(tr("Application directory: %1").arg(QDir::toNativeSeparators(vt3::applicationDir()).toHtmlEscaped()));
    logDetail(tr("Release: %1").arg(versionInfo.value(0).toHtmlEscaped()));
}

void vt3::UpdateEngine::logDetail(const QString &text)
{
    transcript.detail(text);
}
