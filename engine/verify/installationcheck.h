#ifndef INSTALLATIONCHECK_H
#define INSTALLATIONCHECK_H

#include <QString>
#include <QStringList>

namespace vt3 {

// How an installation compares with the release it was updated to, by
// the manifest the last completed run kept. Nothing is fetched and nothing
// is changed.
struct InstallationReport
{
    enum class Verdict { Intact, Damaged, CannotVerify };
    Verdict verdict = Verdict::CannotVerify;
    // CannotVerify: why, as a sentence for the user.
    QString problem;
    // Install names, sorted. Extra files are only reported: they may be
    // the user's, and they make nothing damaged.
    QStringList missing;
    QStringList modified;
    QStringList extra;
};

enum class VerifyDepth {
    // Trusts a file whose size and modification time are those recorded
    // at install time; reads only the others.
    Fast,
    // Reads every file of the release.
    Full,
};

// Reads files only: run it off the event loop's thread, as a whole
// installation's bytes may take a while.
InstallationReport checkInstallation(const QString &appDir, VerifyDepth depth);

} // namespace vt3

#endif // INSTALLATIONCHECK_H
