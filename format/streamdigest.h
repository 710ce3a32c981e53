#ifndef STREAMDIGEST_H
#define STREAMDIGEST_H

#include <QByteArray>
#include <QString>

class QIODevice;
class QThreadPool;
#include <QtGlobal>

#include <memory>

namespace vt3 {

// The digests a release file is checked by, fed piece by piece as its bytes
// pass: while they are written during a download, or while a file is read.
// Release files are large, and a fast SHA-256 is the difference between a
// check that costs a fraction of the transfer and one that costs more than
// it, so this goes through the system's cryptographic library.
class StreamDigest
{
public:
    explicit StreamDigest(bool withSha256 = true);
    ~StreamDigest();
    StreamDigest(const StreamDigest &) = delete;
    StreamDigest &operator=(const StreamDigest &) = delete;

    // Large pieces then take their SHA-256 on a thread of `pool` while this
    // thread takes the MD5: the two digests cost about the same, and a
    // download is checked as fast as the slower of them alone.
    void setHelper(QThreadPool *pool) { helper = pool; }
    // Starts over, as if nothing had been added.
    void reset();
    void addData(const char *data, qint64 length);
    // Reads the rest of an open file (at most `limit` bytes when that is not
    // negative) into the digests; false on a read error, which would
    // otherwise pass for a shorter file.
    bool addFile(QIODevice &file, qint64 limit = -1);
    qint64 length() const { return added; }
    // Lower-case hex. The first call ends the digest; later ones give the
    // same text until reset(). Empty when SHA-256 was not asked for.
    QString md5Hex();
    QString sha256Hex();

private:
    void finish();

    struct Contexts;
    std::unique_ptr<Contexts> contexts;
    bool withSha256;
    QThreadPool *helper = nullptr;
    bool finished = false;
    qint64 added = 0;
    QByteArray chunk;
    QString md5Text;
    QString sha256Text;
};

} // namespace vt3

#endif // STREAMDIGEST_H
