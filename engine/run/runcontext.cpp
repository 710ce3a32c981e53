#include "runcontext.h"

#include "releasestate.h"
#include "start/mirrormemory.h"

#include <QDateTime>

namespace {

// A failed file is asked for this often from the manifest's mirror before
// the other mirrors are tried: one more try covers a dropped connection.
constexpr int AttemptsOnReleaseMirror = 2;

} // namespace

namespace vt3 {

QString RunContext::fileMirror(int attempt) const
{
    if (attempt < AttemptsOnReleaseMirror)
        return releaseUrl;
    int index = attempt - AttemptsOnReleaseMirror;
    for (const QString &mirror : mirrorOrder) {
        if (mirror == mirrorUrl)
            continue;
        if (index-- == 0)
            return mirror + releaseId + QLatin1Char('/');
    }
    return QString();
}

quint64 RunContext::releaseNumber() const
{
    return vt3::releaseNumber(releaseId);
}

QString RunContext::mirrorOf(const QString &releaseFolder) const
{
    return releaseFolder.left(releaseFolder.size() - releaseId.size() - 1);
}

void RunContext::mirrorFailed(const QString &mirror, const QString &kind) const
{
    // A file left by an earlier run came from no mirror of this one.
    if (mirrorMemory && !mirror.isEmpty())
        mirrorMemory->failed(mirror, kind, QDateTime::currentSecsSinceEpoch());
}

void RunContext::mirrorServed(const QString &mirror, double bytesPerSecond) const
{
    if (mirrorMemory)
        mirrorMemory->succeeded(mirror, QDateTime::currentSecsSinceEpoch(), bytesPerSecond);
}

} // namespace vt3
