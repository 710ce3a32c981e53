#ifndef REQUEST_H
#define REQUEST_H

#include <QNetworkRequest>
#include <QString>

class QNetworkReply;

namespace vt3 {

// The one way every request of a run is made: redirects, TLS and the
// updater's name are the same for the manifest and every release file.
QNetworkRequest makeRequest(const QUrl &url);
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
