#include "mirrorcheck.h"

#include "releaseformat.h"
#include "signature.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>

#include <functional>
#include <memory>

namespace vt3publish {

namespace {

namespace format = vt3::format;
namespace signature = vt3::signature;

constexpr int UsageError = 2;
constexpr int NotWhole = 1;
// Requests in flight at once over all mirrors: as many as a browser opens
// to one server.
constexpr int InFlight = 6;
constexpr int DefaultTimeoutSeconds = 30;
constexpr int HttpOk = 200;

struct FileEntry
{
    QString url;
    QString key;
    format::Descriptor fields;
    QString sha256;
};

// One mirror's verdict as the check goes.
struct MirrorState
{
    QString url;
    QString unreachable;
    QByteArray manifest;
    QByteArray signatureFile;
    QStringList missing;
    QStringList wrong;
};

// Files listed by a manifest's text, read as the updater reads it.
QVector<FileEntry> listedFiles(const QByteArray &manifest, const QString &releaseUrl)
{
    QVector<FileEntry> files;
    QTemporaryDir scratch;
    const QString path = scratch.filePath(QStringLiteral("manifest.ini"));
    QFile file(path);
    if (!scratch.isValid() || !file.open(QIODevice::WriteOnly) || file.write(manifest) != manifest.size())
        return files;
    file.close();
    QSettings ini(path, QSettings::IniFormat);
    for (const QString &group : format::fileGroups(format::Platform)) {
        ini.beginGroup(group);
        const QStringList keys = ini.allKeys();
        for (const QString &key : keys) {
            FileEntry entry;
            entry.key = key;
            entry.url = releaseUrl + group + QLatin1Char('/') + key;
            format::Descriptor::split(ini.value(key).toString(), entry.fields);
            files << entry;
        }
        ini.endGroup();
    }
    for (FileEntry &entry : files)
        entry.sha256 = ini.value(format::Sha256Group + QLatin1Char('/') + entry.key).toString();
    return files;
}

// Runs requests, InFlight at a time, each answered by its own handler.
class Fetcher
{
public:
    explicit Fetcher(int timeoutMs)
        : timeout(timeoutMs)
    {
    }
    void get(const QString &url, bool headOnly, std::function<void(QNetworkReply *)> done)
    {
        waiting.append({url, headOnly, std::move(done)});
        pump();
    }
    void run()
    {
        if (running > 0 || !waiting.isEmpty())
            QCoreApplication::exec();
    }

private:
    struct Job
    {
        QString url;
        bool headOnly;
        std::function<void(QNetworkReply *)> done;
    };
    void pump()
    {
        while (running < InFlight && !waiting.isEmpty()) {
            const Job job = waiting.takeFirst();
            QNetworkRequest request{QUrl(job.url)};
            request.setTransferTimeout(timeout);
            request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
            QNetworkReply *reply = job.headOnly ? network.head(request) : network.get(request);
            ++running;
            QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply, done = job.done] {
                done(reply);
                reply->deleteLater();
                --running;
                pump();
                if (running == 0 && waiting.isEmpty())
                    QCoreApplication::exit(0);
            });
        }
    }

    QNetworkAccessManager network;
    int timeout;
    int running = 0;
    QList<Job> waiting;
};

bool answered(QNetworkReply *reply)
{
    return reply->error() == QNetworkReply::NoError &&
           reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == HttpOk;
}

bool notThere(QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status == 404 || status == 410;
}

// What the file's bytes or its announced length say against the manifest;
// empty when they agree.
QString fileProblem(QNetworkReply *reply, const FileEntry &entry, bool quick)
{
    const qint64 size = format::sizeBytes(entry.fields.size);
    if (quick) {
        const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        return length == size ? QString() : QStringLiteral("%1 bytes, not %2").arg(length).arg(size);
    }
    const QByteArray bytes = reply->readAll();
    if (bytes.size() != size)
        return QStringLiteral("%1 bytes, not %2").arg(bytes.size()).arg(size);
    if (QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex() != entry.fields.md5.toLower().toLatin1())
        return QStringLiteral("MD5 differs");
    if (!entry.sha256.isEmpty() &&
        QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex() != entry.sha256.toLower().toLatin1())
        return QStringLiteral("SHA-256 differs");
    return QString();
}

QString readLocal(const QString &path, QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    bytes = file.readAll();
    return QString();
}

void report(const MirrorState &mirror, QTextStream &out)
{
    if (!mirror.unreachable.isEmpty()) {
        out << mirror.url << ": unreachable: " << mirror.unreachable << Qt::endl;
        return;
    }
    if (mirror.missing.isEmpty() && mirror.wrong.isEmpty()) {
        out << mirror.url << ": OK" << Qt::endl;
        return;
    }
    for (const QString &key : mirror.missing)
        out << mirror.url << ": missing " << key << Qt::endl;
    for (const QString &line : mirror.wrong)
        out << mirror.url << ": wrong " << line << Qt::endl;
}

} // namespace

int runCheckMirror(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Checks that every mirror holds a release whole: its manifest and signature against the published release "
        "folder or the trusted keys, then every file's size, MD5 and SHA-256 (--quick: only the sizes the mirror "
        "announces). Exits 0 only when every mirror is whole."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("URL"), QStringLiteral("Mirror root URL, ending in /."),
                                 QStringLiteral("URL..."));
    parser.addOption({QStringLiteral("release"), QStringLiteral("Release id."), QStringLiteral("ID")});
    parser.addOption({QStringLiteral("published"),
                      QStringLiteral("The release folder as published (MIRROR_ROOT/<release id>)."),
                      QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("trusted-keys"), QStringLiteral("An installation's trusted-keys.txt."),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("quick"), QStringLiteral("Ask only for each file's size.")});
    parser.addOption({QStringLiteral("timeout"),
                      QStringLiteral("Seconds a request may go without progress (default 30)."),
                      QStringLiteral("SECONDS"), QString::number(DefaultTimeoutSeconds)});
    if (!parser.parse(arguments)) {
        err << "vt3-publish: " << parser.errorText() << Qt::endl;
        return UsageError;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        out << parser.helpText();
        return 0;
    }
    bool idOk = false;
    const quint64 releaseId = parser.value(QStringLiteral("release")).toULongLong(&idOk);
    bool timeoutOk = false;
    const int timeoutSeconds = parser.value(QStringLiteral("timeout")).toInt(&timeoutOk);
    const bool published = parser.isSet(QStringLiteral("published"));
    if (!idOk || parser.positionalArguments().isEmpty() || !timeoutOk || timeoutSeconds <= 0 ||
        published == parser.isSet(QStringLiteral("trusted-keys"))) {
        err << "vt3-publish: check-mirror needs URL..., --release ID and one of --published DIR and "
               "--trusted-keys FILE (see --help)"
            << Qt::endl;
        return UsageError;
    }

    // What the mirrors must hold, or whose keys must have signed it.
    QByteArray publishedManifest;
    QByteArray publishedSignature;
    signature::TrustedKeys trusted;
    const QString dir = parser.value(QStringLiteral("published"));
    QString problem =
        published ? readLocal(dir + QLatin1Char('/') + format::manifestName(format::Platform), publishedManifest)
                  : QString();
    if (published && problem.isEmpty())
        readLocal(dir + QLatin1Char('/') + format::signatureName(format::Platform), publishedSignature);
    if (!published) {
        QByteArray keys;
        problem = readLocal(parser.value(QStringLiteral("trusted-keys")), keys);
        trusted = signature::parseTrustedKeys(keys);
    }
    if (!problem.isEmpty()) {
        err << "vt3-publish: " << problem << Qt::endl;
        return UsageError;
    }

    const bool quick = parser.isSet(QStringLiteral("quick"));
    Fetcher fetcher(timeoutSeconds * 1000);
    QVector<std::shared_ptr<MirrorState>> mirrors;
    for (QString url : parser.positionalArguments()) {
        if (!url.endsWith(QLatin1Char('/')))
            url += QLatin1Char('/');
        auto mirror = std::make_shared<MirrorState>();
        mirror->url = url;
        mirrors << mirror;
        const QString releaseUrl = url + QString::number(releaseId) + QLatin1Char('/');
        // The signature first, then the manifest, which decides what follows.
        auto manifestArrived = [=, &fetcher](QNetworkReply *reply) {
            if (!answered(reply)) {
                mirror->unreachable = reply->error() == QNetworkReply::NoError || notThere(reply)
                                          ? QStringLiteral("no manifest of release %1").arg(releaseId)
                                          : reply->errorString();
                return;
            }
            mirror->manifest = reply->readAll();
            const bool good = published ? mirror->manifest == publishedManifest
                                        : signature::verifyRelease(signature::parseSignatureFile(mirror->signatureFile),
                                                                   releaseId, mirror->manifest, trusted.keys);
            if (!good) {
                mirror->wrong << format::manifestName(format::Platform) +
                                     (published ? QStringLiteral(" (not the published one)")
                                                : QStringLiteral(" (not signed by a trusted key)"));
                return;
            }
            if (published && !publishedSignature.isEmpty() && mirror->signatureFile != publishedSignature)
                mirror->wrong << format::signatureName(format::Platform) + QStringLiteral(" (not the published one)");
            for (const FileEntry &entry : listedFiles(mirror->manifest, releaseUrl)) {
                fetcher.get(entry.url, quick, [mirror, entry, quick](QNetworkReply *fileReply) {
                    if (!answered(fileReply)) {
                        if (notThere(fileReply))
                            mirror->missing << entry.key;
                        else
                            mirror->wrong
                                << entry.key + QStringLiteral(" (") + fileReply->errorString() + QLatin1Char(')');
                        return;
                    }
                    const QString why = fileProblem(fileReply, entry, quick);
                    if (!why.isEmpty())
                        mirror->wrong << entry.key + QStringLiteral(" (") + why + QLatin1Char(')');
                });
            }
        };
        fetcher.get(releaseUrl + format::signatureName(format::Platform), false, [=, &fetcher](QNetworkReply *reply) {
            if (answered(reply))
                mirror->signatureFile = reply->readAll();
            fetcher.get(releaseUrl + format::manifestName(format::Platform), false, manifestArrived);
        });
    }
    fetcher.run();

    int whole = 0;
    for (const auto &mirror : qAsConst(mirrors)) {
        mirror->missing.sort();
        mirror->wrong.sort();
        report(*mirror, out);
        whole += mirror->unreachable.isEmpty() && mirror->missing.isEmpty() && mirror->wrong.isEmpty() ? 1 : 0;
    }
    out << whole << " of " << mirrors.size() << " mirrors hold release " << releaseId << " whole" << Qt::endl;
    return whole == mirrors.size() ? 0 : NotWhole;
}

} // namespace vt3publish
