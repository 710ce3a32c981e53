#ifndef RELEASEWRITER_H
#define RELEASEWRITER_H

#include "patchmaker.h"
#include "signingkey.h"

#include <QString>
#include <QStringList>
#include <QVector>

class QTextStream;

namespace vt3publish {

struct ReleaseOptions
{
    QString sourceDir;
    QString mirrorRoot;
    QString releaseId;
    QString version;
    QStringList platformGlobs;
    QStringList deletePaths;
    QStringList keepPaths;
    QStringList signKeyPaths;
    // Earlier releases, published or installed, to make patches against.
    QStringList previousDirs;
};

// Exit status of the tool: a refusal is the maker's input that the release
// format or the updater cannot take; a failure is the machine's (disk, I/O).
enum class Outcome { Written = 0, Failed = 1, Refused = 2 };

struct ReleaseFile
{
    QString sourcePath;
    QString installName;
    QString group;
    QString key() const { return installName + QStringLiteral(".z"); }
};

class ReleaseWriter
{
public:
    ReleaseWriter(const ReleaseOptions &options, QTextStream &out, QTextStream &err);
    Outcome run();

    // Why the release format or the updater cannot take `path` as a path
    // relative to the installation, or an empty text when it can.
    static QString pathProblem(const QString &path);

private:
    bool checkOptions();
    bool collectFiles();
    bool checkNames();
    bool checkDeleteList();
    bool writeTree(const QString &dir, PatchMaker *patchMaker);
    bool writeManifest(const QString &dir, const QStringList &descriptors, const QStringList &digests);
    bool writeVersion(const QString &dir);
    bool writeSignatures(const QString &dir);
    void printSummary(const QString &releaseDir, int patchesNotSmaller);

    Outcome refuse(const QString &why);

    const ReleaseOptions &options;
    QTextStream &out;
    QTextStream &err;
    QVector<ReleaseFile> files;
    QVector<SigningKey> signingKeys;
    struct GroupTotals
    {
        int files = 0;
        qint64 unpacked = 0;
        qint64 packed = 0;
    };
    GroupTotals common;
    GroupTotals platform;
    QString refusal;
    QVector<WrittenPatch> patches;
};

} // namespace vt3publish

#endif // RELEASEWRITER_H
