#include "streamdigest.h"

#include <limits>

#include <QByteArray>
#include <QIODevice>
#include <QSemaphore>
#include <QThreadPool>

#include <openssl/evp.h>

namespace vt3 {

struct StreamDigest::Contexts
{
    EVP_MD_CTX *md5 = EVP_MD_CTX_new();
    EVP_MD_CTX *sha256 = EVP_MD_CTX_new();
    ~Contexts()
    {
        EVP_MD_CTX_free(md5);
        EVP_MD_CTX_free(sha256);
    }
};

namespace {

// Large enough that system calls do not dominate, small enough to cost
// nothing beside a release file.
constexpr int ReadChunkBytes = 256 * 1024;
// Below this, handing a piece to another thread costs more than it saves.
constexpr qint64 ParallelBytes = 64 * 1024;

QString finalHex(EVP_MD_CTX *context)
{
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context, value, &size) != 1)
        return QString();
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(value), int(size)).toHex());
}

} // namespace

StreamDigest::StreamDigest(bool sha256)
    : contexts(std::make_unique<Contexts>())
    , withSha256(sha256)
{
    reset();
}

StreamDigest::~StreamDigest() = default;

void StreamDigest::reset()
{
    EVP_DigestInit_ex(contexts->md5, EVP_md5(), nullptr);
    if (withSha256)
        EVP_DigestInit_ex(contexts->sha256, EVP_sha256(), nullptr);
    finished = false;
    added = 0;
    md5Text.clear();
    sha256Text.clear();
}

void StreamDigest::addData(const char *data, qint64 length)
{
    if (finished || length <= 0)
        return;
    added += length;
    if (withSha256 && helper && length >= ParallelBytes) {
        QSemaphore hashed;
        EVP_MD_CTX *sha256 = contexts->sha256;
        helper->start([sha256, data, length, &hashed] {
            EVP_DigestUpdate(sha256, data, size_t(length));
            hashed.release();
        });
        EVP_DigestUpdate(contexts->md5, data, size_t(length));
        hashed.acquire();
        return;
    }
    EVP_DigestUpdate(contexts->md5, data, size_t(length));
    if (withSha256)
        EVP_DigestUpdate(contexts->sha256, data, size_t(length));
}

bool StreamDigest::addFile(QIODevice &file, qint64 limit)
{
    // One buffer for every read: a release file may be large and is read in
    // many stretches, and a fresh piece per read would leave the allocator
    // holding all of them.
    if (chunk.isNull())
        chunk = QByteArray(ReadChunkBytes, Qt::Uninitialized);
    qint64 left = limit < 0 ? std::numeric_limits<qint64>::max() : limit;
    while (left > 0) {
        const qint64 got = file.read(chunk.data(), qMin<qint64>(left, chunk.size()));
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        addData(chunk.constData(), got);
        left -= got;
    }
    return true;
}

void StreamDigest::finish()
{
    if (finished)
        return;
    finished = true;
    md5Text = finalHex(contexts->md5);
    if (withSha256)
        sha256Text = finalHex(contexts->sha256);
}

QString StreamDigest::md5Hex()
{
    finish();
    return md5Text;
}

QString StreamDigest::sha256Hex()
{
    finish();
    return sha256Text;
}

} // namespace vt3
