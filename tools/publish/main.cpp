// vt3-publish: writes one release of the client for the HTTP mirrors.
#include "keycommands.h"
#include "mirrorcheck.h"
#include "releasewriter.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QTextStream>

#include <cstdio>

namespace {

const QString DefaultPlatformGlob = QStringLiteral("*.exe,*.dll");

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vt3-publish"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    // The key commands come first on the line and have options of their own.
    QStringList arguments = QCoreApplication::arguments();
    const QString command = arguments.value(1);
    if (command == QLatin1String("check-mirror")) {
        arguments.removeAt(1);
        return vt3publish::runCheckMirror(arguments, out, err);
    }
    if (command == QLatin1String("keygen") || command == QLatin1String("sign")) {
        arguments.removeAt(1);
        return command == QLatin1String("keygen") ? vt3publish::runKeygen(arguments, out, err)
                                                  : vt3publish::runSign(arguments, out, err);
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes MIRROR_ROOT/<release id>/ from the files of a client folder: every file compressed, the manifest "
        "client_win32.ini and version.txt, the reply text for vt3-versiond.\n"
        "With --previous, each file that differs from the same file of an earlier release also gets a zstd patch "
        "against that earlier content, <group>/<key>.<earlier md5>.zpatch, listed in the manifest's [patches] group; "
        "a patch is kept only when it is smaller than the full file. Making one maps both files and needs about "
        "80 MB besides (measured for a 500 MB file: 20 s, 78 MiB anonymous memory).\n"
        "  vt3-publish keygen --out DIR [--role version]    make a signing key pair\n"
        "  vt3-publish sign --release DIR --sign-key FILE   add a signature to a published release\n"
        "  vt3-publish check-mirror URL... --release ID (--published DIR | --trusted-keys FILE) [--quick]\n"
        "                                                   check that mirrors hold a release whole"));
    parser.addHelpOption();
    const QCommandLineOption source(QStringLiteral("source"), QStringLiteral("Folder with the client's files."),
                                    QStringLiteral("DIR"));
    const QCommandLineOption mirror(QStringLiteral("out"), QStringLiteral("Mirror root to write the release into."),
                                    QStringLiteral("MIRROR_ROOT"));
    const QCommandLineOption releaseId(QStringLiteral("release-id"),
                                       QStringLiteral("Release id, seconds since 1970 UTC (default: now)."),
                                       QStringLiteral("SECONDS"));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Version text shown to users."),
                                     QStringLiteral("TEXT"));
    const QCommandLineOption platformGlob(
        QStringLiteral("platform-glob"),
        QStringLiteral("Comma-separated file name patterns of platform files (default: %1).").arg(DefaultPlatformGlob),
        QStringLiteral("GLOBS"), DefaultPlatformGlob);
    const QCommandLineOption deletePath(QStringLiteral("delete"),
                                        QStringLiteral("Installed file the update deletes (repeatable)."),
                                        QStringLiteral("PATH"));
    const QCommandLineOption keepPath(
        QStringLiteral("keep"), QStringLiteral("Installed file listed as kept (repeatable)."), QStringLiteral("PATH"));
    const QCommandLineOption signKey(QStringLiteral("sign-key"),
                                     QStringLiteral("Secret key file to sign the release with (repeatable)."),
                                     QStringLiteral("FILE"));
    const QCommandLineOption previous(
        QStringLiteral("previous"),
        QStringLiteral("Earlier release to make patches against: a published release folder or an installed "
                       "client (repeatable)."),
        QStringLiteral("DIR"));
    parser.addOptions({source, mirror, releaseId, version, platformGlob, deletePath, keepPath, signKey, previous});
    if (!parser.parse(arguments)) {
        err << "vt3-publish: " << parser.errorText() << Qt::endl;
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        out << parser.helpText();
        return 0;
    }
    if (!parser.isSet(source) || !parser.isSet(mirror) || !parser.isSet(version)) {
        err << "vt3-publish: --source, --out and --version are required (see --help)" << Qt::endl;
        return 2;
    }
    if (!parser.positionalArguments().isEmpty()) {
        err << "vt3-publish: unexpected argument " << parser.positionalArguments().constFirst() << Qt::endl;
        return 2;
    }

    vt3publish::ReleaseOptions options;
    options.sourceDir = parser.value(source);
    options.mirrorRoot = parser.value(mirror);
    options.releaseId =
        parser.isSet(releaseId) ? parser.value(releaseId) : QString::number(QDateTime::currentSecsSinceEpoch());
    options.version = parser.value(version);
    options.platformGlobs = parser.value(platformGlob).split(QLatin1Char(','), Qt::SkipEmptyParts);
    options.deletePaths = parser.values(deletePath);
    options.keepPaths = parser.values(keepPath);
    options.signKeyPaths = parser.values(signKey);
    options.previousDirs = parser.values(previous);

    vt3publish::ReleaseWriter writer(options, out, err);
    return int(writer.run());
}
