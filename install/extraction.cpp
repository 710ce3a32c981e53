#include "updateclient.h"

#include "fileverify.h"
#include "pathsafety.h"
#include "releaseformat.h"
#include "unpack.h"

#include <QFileInfo>
#include <QStorageInfo>

namespace {

QString nativeAbsolute(const QString &path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).toHtmlEscaped();
}

// How much an unpacked file may take: what the volume has free, plus what
// the file it replaces gives back when it is truncated.
qint64 roomFor(const QDir &workDir, const QString &unpackedPath)
{
    const qint64 available = QStorageInfo(workDir.absolutePath()).bytesAvailable();
    if (available < 0)
        return vt3::MaxUnpackedLength;
    const QFileInfo existing(unpackedPath);
    return available + (existing.isFile() ? existing.size() : 0);
}

// Puts a finished file at `target`, over whatever plain file is there (a
// leftover of an earlier run, or the download it was unpacked from).
bool replaceWith(const QString &finished, const QString &target)
{
    const QFileInfo existing(target);
    if ((existing.exists() || existing.isSymLink()) && !QFile::remove(target))
        return false;
    return QFile::rename(finished, target);
}

} // namespace

void UpdateClient::startNextGzip()
{
    if (outputFile.isOpen())
        outputFile.close();

    auto entry = releaseFiles.constBegin();
    if (!lastExtracted.isEmpty()) {
        while (entry != releaseFiles.constEnd() && entry.value() != lastExtracted)
            ++entry;
        if (entry != releaseFiles.constEnd())
            ++entry;
    }

    // The walk holds its own cursor so that entries with equal descriptors
    // are each visited once; lastExtracted follows it for the record.
    for (; entry != releaseFiles.constEnd(); ++entry) {
        const QString downloaded = tempDir.path() + QLatin1Char('/') + entry.key();
        vt3::format::Descriptor fields;
        const bool complete = vt3::format::Descriptor::split(entry.value(), fields);

        switch (vt3::verifyFile(downloaded, expectedFile(entry.key()))) {
        case vt3::Verification::Ok:
            break;
        case vt3::Verification::Unreadable:
            message(tr("<font color=red>%1 file read error.</font>").arg(nativeAbsolute(downloaded)));
            return;
        case vt3::Verification::WrongSize:
            message(tr("<font color=red>%1 file size not correct</font>").arg(nativeAbsolute(downloaded)));
            return;
        case vt3::Verification::WrongDigest:
            message(tr("<font color=red>%1 file MD5 not correct</font>").arg(nativeAbsolute(downloaded)));
            return;
        }

        message(tr("extracting %1...").arg(fields.installName.toHtmlEscaped()));

        // The manifest check refuses these already; the unpacked file must
        // never land outside the work directory all the same.
        const QString installName = vt3::format::normalPath(fields.installName);
        if (!complete || !vt3::isSafeRelativePath(installName)) {
            message(tr("<font color=red>%1 file extract error.</font>").arg(nativeAbsolute(downloaded)));
            return;
        }

        // Written beside its place and renamed there once whole, so that a
        // key may name its own install name: the file being read is never
        // the one being written.
        const QString unpacked = tempDir.path() + QLatin1Char('/') + installName;
        const QString unpacking = vt3::unpackingName(unpacked);
        const qint64 room = roomFor(tempDir, unpacking);
        QFile in(downloaded);
        QFile out(unpacking);
        if (!in.open(QIODevice::ReadOnly)) {
            message(tr("<font color=red>%1 file read error.</font>").arg(nativeAbsolute(downloaded)));
            return;
        }
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            message(tr("<font color=red>%1 file write error.</font>").arg(nativeAbsolute(unpacked)));
            return;
        }

        const qint64 announced = vt3::announcedLength(in);
        vt3::UnpackResult result = vt3::unpackStream(in, out, room);
        if (result == vt3::UnpackResult::Ok && !out.flush())
            result = vt3::UnpackResult::WriteFailed;
        out.close();
        in.close();

        if (result != vt3::UnpackResult::Ok) {
            // A partial result must not be mistaken for the file later, and
            // on a full disk it holds space the user needs back.
            out.remove();
            // A length within our own limit that the volume cannot hold is
            // a full disk, not a bad file.
            const bool diskFull = result == vt3::UnpackResult::WriteFailed ||
                                  (result == vt3::UnpackResult::TooLarge && announced <= vt3::MaxUnpackedLength);
            if (diskFull)
                message(tr("<font color=red>%1 file write error.</font>").arg(nativeAbsolute(unpacked)));
            else
                message(tr("<font color=red>%1 file extract error.</font>").arg(nativeAbsolute(downloaded)));
            return;
        }
        // The download may be the file replaced here, when key and install
        // name are one; it has been checked and read whole by now.
        if (!replaceWith(unpacking, unpacked)) {
            QFile::remove(unpacking);
            message(tr("<font color=red>%1 file write error.</font>").arg(nativeAbsolute(unpacked)));
            return;
        }

        lastExtracted = entry.value();
    }

    copyFiles();
}

void UpdateClient::gzipError(QProcess::ProcessError error)
{
    if (error == QProcess::FailedToStart)
        message(tr("<font color=red>Failed to run Gzip.exe</font>"));
}
