#include "updateclient.h"

#include "descriptor.h"
#include "filehash.h"
#include "pathsafety.h"
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
        const QStringList fields = vt3::descriptor::split(entry.value());

        // Only a plain file has a length to check; a device would be read
        // for ever.
        QFile in(downloaded);
        if (!QFileInfo(downloaded).isFile() || !in.open(QIODevice::ReadOnly)) {
            message(tr("<font color=red>%1 file read error.</font>").arg(nativeAbsolute(downloaded)));
            return;
        }
        const qint64 expectedSize = vt3::descriptor::size(fields);
        if (in.size() != expectedSize) {
            message(tr("<font color=red>%1 file size not correct</font>").arg(nativeAbsolute(downloaded)));
            return;
        }
        qint64 hashedSize = 0;
        const QString digest = vt3::md5OfFile(downloaded, &hashedSize);
        if (digest.isEmpty()) {
            message(tr("<font color=red>%1 file read error.</font>").arg(nativeAbsolute(downloaded)));
            return;
        }
        if (hashedSize != expectedSize) {
            message(tr("<font color=red>%1 file size not correct</font>").arg(nativeAbsolute(downloaded)));
            return;
        }
        if (fields.value(vt3::descriptor::Md5Field) != digest) {
            message(tr("<font color=red>%1 file MD5 not correct</font>").arg(nativeAbsolute(downloaded)));
            return;
        }

        message(tr("extracting %1...").arg(fields.value(vt3::descriptor::InstallNameField).toHtmlEscaped()));

        // The manifest check refuses these already; the unpacked file must
        // never land outside the work directory all the same.
        const QString installName = vt3::descriptor::installName(fields);
        if (fields.size() < vt3::descriptor::FieldCount || !vt3::isSafeRelativePath(installName)) {
            message(tr("<font color=red>%1 file extract error.</font>").arg(nativeAbsolute(downloaded)));
            return;
        }

        const QString unpacked = tempDir.path() + QLatin1Char('/') + installName;
        const qint64 room = roomFor(tempDir, unpacked);
        QFile out(unpacked);
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

        lastExtracted = entry.value();
    }

    copyFiles();
}

void UpdateClient::gzipError(QProcess::ProcessError error)
{
    if (error == QProcess::FailedToStart)
        message(tr("<font color=red>Failed to run Gzip.exe</font>"));
}
