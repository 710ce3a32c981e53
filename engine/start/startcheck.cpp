#include "startcheck.h"

#include "appdir.h"
#include "clientcheck.h"
#include "mirrorlist.h"
#include "mirrormemory.h"
#include "releaseformat.h"
#include "releasestate.h"
#include "run/runcontext.h"
#include "run/runprogress.h"
#include "run/texts.h"
#include "run/transcript.h"
#include "signature.h"
#include "writeaccess.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkProxyFactory>
#include <QSslSocket>

#include <algorithm>

namespace {

const QLatin1String TrustedKeysFileName("trusted-keys.txt");

QString mirrorListPath()
{
    return vt3::applicationDir() + QLatin1String("/mirrors.ini");
}

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

namespace vt3 {

StartCheck::StartCheck(RunContext &context, QObject *parent)
    : QObject(parent)
    , run(context)
{
}

void StartCheck::start()
{
    writeHeader();
    if (!QFileInfo::exists(mirrorListPath())) {
        run.transcript.line(Texts::tr("<font color=red>mirrors.ini file not found!</font>"));
        stop(RunStop::MirrorListMissing);
        return;
    }
    // A second request while the process list is read must not start a
    // second check.
    run.transcript.face()->runStarting();
    auto *check = new ClientCheck(format::Platform, this);
    // The run goes on with this check's answer only.
    connect(check, &ClientCheck::finished, this, &StartCheck::clientChecked);
    check->start();
}

void StartCheck::writeHeader()
{
    Transcript &t = run.transcript;
    t.beginRun();
    const QMap<QString, int> listed = readMirrorList(mirrorListPath());
    const QString firstMirror = listed.isEmpty() ? QString() : listed.firstKey();
    QString ssl = QSslSocket::sslLibraryVersionString();
    if (ssl.isEmpty())
        ssl = Texts::tr("not loaded");
    QString proxy = proxyFor(firstMirror);
    if (proxy.isEmpty())
        proxy = Texts::tr("none");

    t.detail(Texts::tr("vt3update %1 starts an update").arg(QStringLiteral(VT3_UPDATER_VERSION)));
    t.detail(Texts::tr("Qt %1, OpenSSL %2").arg(QString::fromLatin1(qVersion()), ssl.toHtmlEscaped()));
    if (firstMirror.isEmpty())
        t.detail(Texts::tr("Proxy: %1").arg(proxy.toHtmlEscaped()));
    else
        t.detail(Texts::tr("Proxy for %1: %2").arg(firstMirror.toHtmlEscaped(), proxy.toHtmlEscaped()));
    t.detail(Texts::tr("Application directory: %1").arg(QDir::toNativeSeparators(applicationDir()).toHtmlEscaped()));
    t.detail(Texts::tr("Release: %1").arg(run.releaseId.toHtmlEscaped()));
    t.sayHeldForRun();
}

void StartCheck::clientChecked(bool running)
{
    if (running) {
        stop(RunStop::ClientRunning);
        return;
    }
    run.transcript.face()->runStarted();
    run.progress.start();
    // A standard user's run in an installation under Program Files would
    // fetch the whole release only to fail at the first rename.
    if (refuseUnwritable()) {
        stop(RunStop::NoWriteAccess);
        return;
    }
    // Before any request: an older release than the one installed is what
    // a forged version reply would announce to bring back a known flaw.
    if (refuseDowngrade()) {
        stop(RunStop::Refused);
        return;
    }
    loadTrustedKeys();
    mirrors = readMirrorList(mirrorListPath());
    orderMirrors();
    parallel = readParallelTransfers(mirrorListPath());
    run.http2 = readHttp2Allowed(mirrorListPath());
    emit passed();
}

void StartCheck::orderMirrors()
{
    run.mirrorOrder = mirrors.keys();
    MirrorMemory *memory = run.mirrorMemory;
    if (!memory)
        return;
    if (!memory->load())
        run.transcript.detail(Texts::tr("What earlier runs learnt of the mirrors (%1) could not be read; it is "
                                        "learnt anew.")
                                  .arg(QDir::toNativeSeparators(MirrorMemory::path()).toHtmlEscaped()));
    QStringList why;
    run.mirrorOrder = memory->order(run.mirrorOrder, QDateTime::currentSecsSinceEpoch(), &why);
    for (const QString &line : qAsConst(why))
        run.transcript.detail(line.toHtmlEscaped());
}

bool StartCheck::refuseDowngrade()
{
    const quint64 installed = installedRelease(applicationDir());
    if (installed == 0 || run.releaseNumber() >= installed)
        return false;
    run.transcript.line(
        Texts::tr("<font color=red>Release %1 is older than the installed release %2; it is not installed.</font>")
            .arg(run.releaseId.toHtmlEscaped())
            .arg(installed));
    return true;
}

bool StartCheck::refuseUnwritable()
{
    const QString place = unwritablePlace(applicationDir());
    if (place.isEmpty())
        return false;
    run.transcript.line(Texts::tr("<font color=red>No write access to %1: updating this installation needs an "
                                  "administrator. Nothing was fetched.</font>")
                            .arg(QDir::toNativeSeparators(place).toHtmlEscaped()));
    return true;
}

void StartCheck::loadTrustedKeys()
{
    const QString path = applicationDir() + QLatin1Char('/') + TrustedKeysFileName;
    if (!QFileInfo::exists(path))
        return;
    QFile file(path);
    // A key file that is there but cannot be read still asks for signed
    // releases; it only makes every one of them fail.
    signatureRequired = true;
    if (!file.open(QIODevice::ReadOnly))
        return;
    const signature::TrustedKeys read = signature::parseTrustedKeys(file.readAll());
    // Version key lines are the version query's, but a typo in them is the
    // same typo in the same file: it is named here too, in line order.
    QVector<int> malformed = read.malformedLines + read.malformedVersionLines;
    std::sort(malformed.begin(), malformed.end());
    for (const int line : qAsConst(malformed))
        run.transcript.line(
            Texts::tr("<font color=red>trusted-keys.txt line %1 is not a public key.</font>").arg(line));
    trustedKeys = read.keys;
    signatureRequired = read.required();
}

void StartCheck::stop(RunStop why)
{
    // Always from the event loop: whoever started the check hears of it
    // after start() has returned.
    QMetaObject::invokeMethod(
        this, [this, why] { emit stopped(why); }, Qt::QueuedConnection);
}

} // namespace vt3
