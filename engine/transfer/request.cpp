#include "request.h"

#include "releaseformat.h"
#include "run/texts.h"

#include <QHash>
#include <QNetworkReply>
#include <QSslConfiguration>

namespace {

// Below TLS 1.2 nothing is safe enough to fetch programs over.
constexpr QSsl::SslProtocol MinimumTls = QSsl::TlsV1_2OrLater;

} // namespace

namespace vt3 {

QNetworkRequest makeRequest(const QUrl &url, bool http2, int redirects)
{
    QNetworkRequest request(url);
    // Mirrors move and sit behind CDNs; follow them, but never from
    // HTTPS down to HTTP.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(qMax(redirects, 0));
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("vt3update/%1 (%2)").arg(QStringLiteral(VT3_UPDATER_VERSION), format::Platform));
    // Read at request time, so the system's certificate store applies; a
    // certificate error is never ignored, the request simply fails.
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(MinimumTls);
    request.setSslConfiguration(tls);
    // Over TLS the server picks the protocol (ALPN), so a mirror that only
    // speaks HTTP/1.1 is met as before. Plain http:// has no such
    // negotiation, and assuming HTTP/2 there would break plain servers.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute,
                         http2 && url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0);
    return request;
}

bool neverStarted(QNetworkReply *reply)
{
    // No status: not a byte of an answer came. These are the framework's
    // words for a connection that ended under a request it had queued or
    // sent (GOAWAY, a refused stream, a closed connection).
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return false;
    switch (reply->error()) {
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::ContentReSendError:
    case QNetworkReply::ProtocolUnknownError:
        return true;
    default:
        return false;
    }
}

QString requestFailure(QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString statusText = status > 0 ? QString::number(status) : Texts::tr("none");
    const QString asked = reply->request().url().toString();
    const QString answered = reply->url().toString();
    if (answered == asked)
        return Texts::tr("Request failed: %1, HTTP status %2").arg(answered.toHtmlEscaped(), statusText);
    return Texts::tr("Request failed: %1 (asked for %2), HTTP status %3")
        .arg(answered.toHtmlEscaped(), asked.toHtmlEscaped(), statusText);
}

QString failureKind(QNetworkReply *reply)
{
    switch (reply->error()) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("refused");
    case QNetworkReply::TimeoutError:
        return QStringLiteral("time-out");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("host not found");
    case QNetworkReply::NoError:
        break;
    default:
        if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 0)
            return QStringLiteral("network error %1").arg(int(reply->error()));
    }
    return QStringLiteral("HTTP %1").arg(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt());
}

namespace {
// Kept on the reply itself: where its request went last, how many
// redirects it may still follow, and where a relative one leads.
const char *const RequestedProperty = "vt3Requested";
const char *const LeftProperty = "vt3RedirectsLeft";
const char *const RelativeProperty = "vt3RelativeRedirect";
} // namespace

void watchRedirects(QNetworkReply *reply)
{
    reply->setProperty(RequestedProperty, reply->request().url());
    reply->setProperty(LeftProperty, reply->request().maximumRedirectsAllowed());
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl &to) {
        const QUrl from = reply->property(RequestedProperty).toUrl();
        reply->setProperty(LeftProperty, reply->property(LeftProperty).toInt() - 1);
        // A relative reference keeps the scheme, so following it is never
        // less safe than the request it came from.
        const QUrl resolved = to.isRelative() ? from.resolved(to) : to;
        reply->setProperty(RequestedProperty, resolved);
        if (to.isRelative())
            reply->setProperty(RelativeProperty, resolved);
    });
}

QUrl relativeRedirect(const QNetworkReply *reply)
{
    return reply->property(RelativeProperty).toUrl();
}

int redirectsLeft(const QNetworkReply *reply)
{
    return reply->property(LeftProperty).toInt();
}

namespace {
// HTTP/2 answers carry no reason phrase, and the framework's line for them
// ends in "server replied: " and nothing; the phrase HTTP/1.1 would have
// sent makes the line read the same over both.
QString withReasonPhrase(QNetworkReply *reply)
{
    static const QHash<int, QString> phrases{{400, QStringLiteral("Bad Request")},
                                             {401, QStringLiteral("Unauthorized")},
                                             {403, QStringLiteral("Forbidden")},
                                             {404, QStringLiteral("Not Found")},
                                             {405, QStringLiteral("Method Not Allowed")},
                                             {408, QStringLiteral("Request Timeout")},
                                             {410, QStringLiteral("Gone")},
                                             {416, QStringLiteral("Range Not Satisfiable")},
                                             {429, QStringLiteral("Too Many Requests")},
                                             {500, QStringLiteral("Internal Server Error")},
                                             {502, QStringLiteral("Bad Gateway")},
                                             {503, QStringLiteral("Service Unavailable")},
                                             {504, QStringLiteral("Gateway Timeout")}};
    const QString said = reply->errorString();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0 || !said.endsWith(QLatin1String(": ")) ||
        !reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().isEmpty())
        return said;
    return said + phrases.value(status, QString::number(status));
}
} // namespace

QString transferError(QNetworkReply *reply)
{
    // Without credentials the framework can only give up; say why, since
    // the user has to change the proxy settings, not the mirrors.
    if (reply->error() == QNetworkReply::ProxyAuthenticationRequiredError)
        return Texts::tr("The proxy server asks for a user name and password.");
    if (reply->error() != QNetworkReply::NoError)
        return withReasonPhrase(reply);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return Texts::tr("HTTP status %1").arg(status);
}

} // namespace vt3
