#include "keycommands.h"

#include "releasesigner.h"
#include "releasewriter.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

namespace vt3publish {

namespace {

constexpr int UsageError = 2;

// Parses the command's own options; false (with the exit status in
// `status`) when the tool has to stop here.
bool parseCommand(QCommandLineParser &parser, const QStringList &arguments, const QStringList &required,
                  QTextStream &out, QTextStream &err, int &status)
{
    parser.addHelpOption();
    if (!parser.parse(arguments)) {
        err << "vt3-publish: " << parser.errorText() << Qt::endl;
        status = UsageError;
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        out << parser.helpText();
        status = 0;
        return false;
    }
    for (const QString &name : required) {
        if (!parser.isSet(name)) {
            err << "vt3-publish: --" << name << " is required (see --help)" << Qt::endl;
            status = UsageError;
            return false;
        }
    }
    if (!parser.positionalArguments().isEmpty()) {
        err << "vt3-publish: unexpected argument " << parser.positionalArguments().constFirst() << Qt::endl;
        status = UsageError;
        return false;
    }
    return true;
}

int report(KeyStatus status, const QString &error, QTextStream &err)
{
    if (status == KeyStatus::Refused)
        err << "vt3-publish: refused: " << error << Qt::endl;
    else
        err << "vt3-publish: " << error << Qt::endl;
    return int(status == KeyStatus::Refused ? Outcome::Refused : Outcome::Failed);
}

} // namespace

int runKeygen(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Makes an Ed25519 key pair: DIR/vt3-signing.key (secret, mode 0600) and DIR/vt3-signing.pub "
                       "(the line for an installation's trusted-keys.txt) for signing releases; with --role version "
                       "DIR/vt3-version.key and DIR/vt3-version.pub for the version server's answers."));
    parser.addOption({QStringLiteral("out"), QStringLiteral("Folder for the two key files."), QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("role"), QStringLiteral("release (the default) or version."),
                      QStringLiteral("ROLE"), QStringLiteral("release")});
    int status = 0;
    if (!parseCommand(parser, arguments, {QStringLiteral("out")}, out, err, status))
        return status;
    const QString roleName = parser.value(QStringLiteral("role"));
    if (roleName != QLatin1String("release") && roleName != QLatin1String("version")) {
        err << "vt3-publish: --role is release or version, not " << roleName << Qt::endl;
        return UsageError;
    }
    const KeyRole role = roleName == QLatin1String("version") ? KeyRole::Version : KeyRole::Release;

    const QString dir = parser.value(QStringLiteral("out"));
    SigningKey key;
    QString error;
    const KeyStatus made = generateKey(dir, role, key, error);
    if (made != KeyStatus::Ok)
        return report(made, error, err);
    out << "Key id " << key.keyId() << Qt::endl;
    out << "  secret key  " << QDir(dir).absoluteFilePath(secretKeyFileName(role))
        << (role == KeyRole::Version ? " (for vt3-versiond --sign-key, on the version server only)"
                                     : " (keep it off the mirrors)")
        << Qt::endl;
    out << "  public key  " << QDir(dir).absoluteFilePath(publicKeyFileName(role))
        << " (add its line to trusted-keys.txt)" << Qt::endl;
    return 0;
}

int runSign(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Adds signatures to a published release, keeping those it has: for rotating to a new key before "
                       "installations trust it alone."));
    parser.addOption({QStringLiteral("release"), QStringLiteral("Release folder, MIRROR_ROOT/<release id>."),
                      QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("sign-key"), QStringLiteral("Secret key file to sign with (repeatable)."),
                      QStringLiteral("FILE")});
    int status = 0;
    if (!parseCommand(parser, arguments, {QStringLiteral("release"), QStringLiteral("sign-key")}, out, err, status))
        return status;

    const QString releaseDir = QFileInfo(parser.value(QStringLiteral("release"))).absoluteFilePath();
    static const QRegularExpression releaseIdPattern(QStringLiteral("^[1-9][0-9]{0,17}$"));
    const QString releaseId = QFileInfo(releaseDir).fileName();
    if (!QFileInfo(releaseDir).isDir() || !releaseIdPattern.match(releaseId).hasMatch())
        return report(KeyStatus::Refused,
                      QStringLiteral("%1 is not a release folder named by its release id").arg(releaseDir), err);

    QVector<SigningKey> keys;
    QString error;
    KeyStatus result = readSigningKeys(parser.values(QStringLiteral("sign-key")), keys, error);
    int count = 0;
    if (result == KeyStatus::Ok)
        result = signRelease(releaseDir, releaseId.toULongLong(), keys, count, error);
    if (result != KeyStatus::Ok)
        return report(result, error, err);
    for (const SigningKey &key : qAsConst(keys))
        out << "Release " << releaseId << " signed by key " << key.keyId() << Qt::endl;
    out << "  " << releaseDir << "/" << SignatureFileName << " holds " << count << " signatures" << Qt::endl;
    return 0;
}

} // namespace vt3publish
