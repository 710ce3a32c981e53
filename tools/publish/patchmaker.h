#ifndef PATCHMAKER_H
#define PATCHMAKER_H

#include "patchformat.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

namespace vt3publish {

struct PackedFile;

// A patch written beside a new release's full file.
struct WrittenPatch
{
    QString key;
    vt3::patch::Entry entry;
    // What the full file it stands in for costs.
    qint64 fullBytes = 0;
};

// Makes the patches of a new release against earlier ones. An earlier
// release is a published release folder (its manifest and packed files) or
// an installed tree (plain files under their install names).
class PatchMaker
{
public:
    // Unpacked bases are written under `scratchDir` one at a time.
    PatchMaker(const QStringList &previousDirs, const QString &scratchDir);

    // Reads the earlier releases' manifests; false with `error` when one is
    // not a folder or lists an entry the updater would refuse.
    bool load(QString &error);

    // Writes a patch from each distinct earlier content of `installName`
    // that differs from the new one and gives a patch smaller than the full
    // file, into `groupDir` under its patch key. False with `error` when an
    // earlier file cannot be read or unpacked (`refused`), or a patch
    // cannot be made or written.
    bool patchFile(const QString &installName, const QString &sourcePath, const QString &fileKey,
                   const PackedFile &packed, const QString &groupDir, QVector<WrittenPatch> &written, bool &refused,
                   QString &error);

    // Patches made that were no smaller than their full files.
    int notSmaller() const { return discarded; }

private:
    struct Earlier
    {
        QString dir;
        bool published = false;
        // folded install name -> packed path and the unpacked MD5 the
        // manifest vouches for (empty when it does not)
        QHash<QString, QPair<QString, QString>> files;
    };
    struct Base
    {
        QString path;
        QString md5;
        QString sha256;
        qint64 size = 0;
    };
    bool baseFrom(const Earlier &earlier, const QString &installName, const QSet<QString> &skipMd5, Base &base,
                  bool &found, QString &error);

    QStringList previousDirs;
    QString scratchDir;
    QVector<Earlier> earlier;
    int discarded = 0;
    int scratchSerial = 0;
};

} // namespace vt3publish

#endif // PATCHMAKER_H
