#ifndef RELEASEBUILDER_H
#define RELEASEBUILDER_H

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

class HttpFixture;

namespace vt3test {

extern const QString CommonGroup;
extern const QString BinGroup;
extern const QString ManifestName;

// A manifest entry's value. Every test that writes an entry goes through
// here, so the field order lives in one place.
QString descriptor(const QString &packedMd5, const QString &packedSize, const QString &size, const QString &md5,
                   const QString &installName);

QString md5Hex(const QByteArray &data);

// One release as a mirror serves it: the files compressed, the manifest
// written the way QSettings writes INI files, everything below `root`
// (a URL path such as "/1733650000/").
class ReleaseBuilder
{
public:
    struct File
    {
        QString group;
        QString key;
        QString descriptor;
        QByteArray served;
    };

    explicit ReleaseBuilder(const QString &root);

    File &add(const QString &group, const QString &key, const QByteArray &content, const QString &installName);
    // Serves `packed` as is, described as if it unpacked to `content`.
    File &addRaw(const QString &group, const QString &key, const QByteArray &packed, const QByteArray &content,
                 const QString &installName);
    void addDelete(const QString &path, int flag) { deletes.insert(path, flag); }

    // The manifest's bytes; scratchDir takes the INI file QSettings writes.
    QByteArray manifest(const QString &scratchDir) const;
    void publish(HttpFixture &http, const QByteArray &manifest) const;
    QString filePath(const File &file) const;

    QString root;
    QVector<File> files;
    QMap<QString, int> deletes;
    // Writes [format] unpacked=md5: installed files that match stay.
    bool vouchesForUnpacked = false;
};

} // namespace vt3test

#endif // RELEASEBUILDER_H
