#include "updateengine.h"

#include "targetfile.h"

// The manifest's transfer: its target, and the one path by which its bytes
// reach the disk.

bool vt3::UpdateEngine::openOutputFile(const QString &path, bool keepContents)
{
    if (outputFile.isOpen())
        outputFile.close();
    currentWritten = 0;
    if (!vt3::openTransferTarget(outputFile, path, tempDir.path(), keepContents)) {
        message(tr("<font color=red>write file %1 error</font>").arg(path.toHtmlEscaped()));
        return false;
    }
    return true;
}

vt3::UpdateEngine::WriteResult vt3::UpdateEngine::writeAvailable(QNetworkReply *reply, qint64 limit)
{
    while (reply->bytesAvailable() > 0) {
        QByteArray data = pieces.read(*reply).bytes;
        if (data.isEmpty())
            break;
        WriteResult result = WriteResult::Written;
        if (limit >= 0 && currentWritten + data.size() > limit) {
            data.truncate(int(qMax<qint64>(0, limit - currentWritten)));
            result = WriteResult::Oversized;
        }
        if (!data.isEmpty() && outputFile.write(data) != data.size())
            return WriteResult::WriteFailed;
        currentWritten += data.size();
        if (result != WriteResult::Written)
            return result;
    }
    return WriteResult::Written;
}
