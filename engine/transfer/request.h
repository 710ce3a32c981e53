#ifndef REQUEST_H
#define REQUEST_H

#include <QNetworkRequest>
#include <QString>

class QNetworkReply;

namespace vt3 {

// A chain of redirects this long is a loop or a misconfigured mirror.
constexpr int MaxRedirects = 5;

// The one way every request of a run is made: redirects, TLS and the
// updater's name are the same for the manifest and every release file.
// `http2`: an HTTPS request may speak HTTP/2 where the server offers it;
// `redirects`: how many more redirects it may follow.
QNetworkRequest makeRequest(const QUrl &url, bool http2, int redirects = MaxRedirects);
// Qt 5.15 follows the Location of an HTTP/2 answer as it stands: a relative
// one, which servers may send, becomes a request to no host at all and
// fails. (HTTP/1.1 answers are resolved against the request.) Every reply
// is watched; once one whose redirect was relative has ended,
// relativeRedirect() is where it really leads, and the request is made
// again there, with redirectsLeft(); it is empty for any other reply.
void watchRedirects(QNetworkReply *reply);
QUrl relativeRedirect(const QNetworkReply *reply);
int redirectsLeft(const QNetworkReply *reply);
// Whether a failed reply's request never reached the server's attention:
// the connection went away (GOAWAY, a refused stream, closed) before any
// answer began. Sent again, it may well succeed.
bool neverStarted(QNetworkReply *reply);
// What a failed reply's error line says.
QString transferError(QNetworkReply *reply);
// The disk log's line for a failed request: where it went, after any
// redirects, and the HTTP status it got.
QString requestFailure(QNetworkReply *reply);
// What went wrong, in a word or two, as the mirror memory keeps it:
// "refused", "time-out", "HTTP 404", ...
QString failureKind(QNetworkReply *reply);

} // namespace vt3

#endif // REQUEST_H
