#include "updateclient.h"

#include "appdir.h"
#include "descriptor.h"
#include "filehash.h"

#include <QFileInfo>
#include <QSet>

namespace {

// Names beside the installed file while it is being replaced. They sit in
// the destination's own directory, so that putting a file in place or back
// is a rename within one volume, which cannot leave half a file.
const QLatin1String IncomingSuffix(".vt3-new");
const QLatin1String OutgoingSuffix(".vt3-old");

QString besideName(const QString &path, const QLatin1String &suffix)
{
    const QFileInfo info(path);
    return info.path() + QLatin1String("/.") + info.fileName() + suffix;
}

bool isPresent(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Removes a leftover of an earlier run that was broken off mid-install.
bool clearName(const QString &path)
{
    return !isPresent(path) || QFile::remove(path);
}

bool isSameFile(const QString &installed, const QString &fresh)
{
    const QFileInfo installedInfo(installed);
    if (!installedInfo.isFile() || installedInfo.size() != QFileInfo(fresh).size())
        return false;
    const QString installedDigest = vt3::md5OfFile(installed);
    return !installedDigest.isEmpty() && installedDigest == vt3::md5OfFile(fresh);
}

// Puts `source` at `destination`. The old file is set aside first and only
// dropped once the new one is in place; when anything fails on the way, the
// old file is where it was. An old file that cannot be deleted afterwards is
// kept as `backup`.
bool installFile(const QString &source, const QString &destination, const QString &backup)
{
    if (!QDir().mkpath(QFileInfo(destination).path()))
        return false;

    // Across volumes a move is a copy; this is the step that can fail half
    // way, so it must happen before the old file is touched.
    const QString incoming = besideName(destination, IncomingSuffix);
    if (!clearName(incoming))
        return false;
    if (!QFile::rename(source, incoming)) {
        QFile::remove(incoming);
        return false;
    }

    if (!isPresent(destination)) {
        if (QFile::rename(incoming, destination))
            return true;
        QFile::remove(incoming);
        return false;
    }

    // The release carries no file modes; the installed client must stay
    // executable where the system asks for that.
    if (QFileInfo(destination).isFile())
        QFile::setPermissions(incoming, QFile::permissions(destination));

    const QString outgoing = besideName(destination, OutgoingSuffix);
    if (!clearName(outgoing) || !QFile::rename(destination, outgoing)) {
        QFile::remove(incoming);
        return false;
    }
    if (!QFile::rename(incoming, destination)) {
        QFile::rename(outgoing, destination);
        QFile::remove(incoming);
        return false;
    }

    if (!QFile::remove(outgoing)) {
        // Still in use, or not a plain file: keep it out of the way where
        // the end of the run clears it up.
        clearName(backup);
        QFile::rename(outgoing, backup);
    }
    return true;
}

} // namespace

void UpdateClient::copyFiles()
{
    const QDir appDir(vt3::applicationDir());
    bool allInstalled = true;
    // Entries may share an install name; the file unpacked for them is
    // moved into place once, by the first.
    QSet<QString> placed;

    for (auto entry = releaseFiles.constBegin(); entry != releaseFiles.constEnd(); ++entry) {
        const QString installName = vt3::descriptor::installName(vt3::descriptor::split(entry.value()));
        if (placed.contains(installName))
            continue;
        placed.insert(installName);
        const QString source = tempDir.path() + QLatin1Char('/') + installName;
        const QString destination = appDir.absoluteFilePath(installName);
        const QString backup = tempDir.path() + QLatin1Char('/') + installName + QLatin1String(".bak");

        if (isSameFile(destination, source))
            continue;
        if (!installFile(source, destination, backup)) {
            message(tr("<font color=red>%1 file install error.</font>")
                        .arg(QDir::toNativeSeparators(QFileInfo(destination).absoluteFilePath()).toHtmlEscaped()));
            allInstalled = false;
        }
    }

    // A half-installed release must not look finished: the work directory
    // stays, and the next start resumes in it and tries again.
    if (allInstalled)
        allFinished();
}
