#ifndef INSTALLER_H
#define INSTALLER_H

#include "plan/releaseplan.h"
#include "releaseworker.h"
#include "updateface.h"

#include <QHash>
#include <QMap>
#include <QObject>
#include <QProcess>
#include <QSet>

namespace vt3 {

struct RunContext;

// The end of a run, once every file is fetched: each downloaded file
// checked and unpacked (most were while they arrived; this walk confirms
// it), the release installed, the manifest's deletions done, the work
// directory cleared and the installed release recorded.
class Installer : public QObject
{
    Q_OBJECT

public:
    // `checked`: what the worker found of each downloaded file; `patched`:
    // files made from their patches; `removals`: the manifest's deletions.
    Installer(RunContext &run, const ReleasePlan &plan, const QHash<QString, CheckedFile> &checked,
              const QSet<QString> &patched, const QMap<QString, int> &removals, QObject *parent = nullptr);

    // Walks the release's files in key order, from the first.
    void startNextGzip();

signals:
    // The release is installed and recorded; said before the face hears it.
    void installed();
    void stopped(vt3::RunStop why);

private:
    void extractFrom(QMap<QString, QString>::const_iterator entry);
    bool reportVerification(const QString &key, Verification verification);
    bool reportExtraction(const QString &key, ExtractStatus status);
    void fileVerified(const QString &key, Verification verification);
    void fileExtracted(const QString &key, ExtractStatus status);
    void showUnpackProgress(qint64 bytesOfFile);
    void gzipError(QProcess::ProcessError error);
    void copyFiles();
    void filesInstalled(const InstallReport &report);
    void allFinished();
    void keepRelease(const QString &appDir);
    void runCleared();
    void say(const QString &html);
    void stop(RunStop why);

    RunContext &run;
    const ReleasePlan &plan;
    const QHash<QString, CheckedFile> checkedFiles;
    const QSet<QString> patched;
    const QMap<QString, int> removals;
    // The last file unpacked, the file being unpacked from disk, and the
    // bytes of those done.
    QString lastExtracted;
    QString extractingKey;
    qint64 unpackedBytes = 0;
};

} // namespace vt3

#endif // INSTALLER_H
