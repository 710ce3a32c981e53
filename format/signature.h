#ifndef SIGNATURE_H
#define SIGNATURE_H

#include <QByteArray>
#include <QVector>

// Signatures of a release's manifest. A release carries them beside the
// manifest in "client_<platform>.ini.sig"; an installation trusts the public
// keys listed in its "trusted-keys.txt". Everything here is a pure function
// of bytes, so the updater, the release tool and the tests share it.
namespace vt3::signature {

// Ed25519 sizes, in bytes.
constexpr int PublicKeyBytes = 32;
constexpr int SecretSeedBytes = 32;
constexpr int SignatureBytes = 64;
// A release signed during a key rotation carries two; more than this is a
// file no maker wrote, and each one costs a verification.
constexpr int MaxSignatures = 16;

// The first 8 bytes of SHA-256 of the raw public key, as lower-case hex.
QByteArray keyId(const QByteArray &publicKey);

// What is signed: "vt3-release-v1\n", the release id in decimal, "\n", then
// the manifest's bytes exactly as served. Binding the id means a manifest
// cannot be replayed as the manifest of another (say, older) release.
QByteArray signedMessage(quint64 releaseId, const QByteArray &manifest);

struct Entry
{
    QByteArray keyId;     // as written in the file
    QByteArray signature; // decoded; empty when the entry is not base64
};

struct SignatureFile
{
    // False when the text has no "[signatures]" group with a "size" of at
    // least 1 (and at most MaxSignatures): such a file signs nothing.
    bool usable = false;
    // Entries 1..size that have both a key and a signature. An entry whose
    // signature is not valid base64 of the right length is kept with an
    // empty signature: it never verifies, and the others still may.
    QVector<Entry> entries;
};

// Reads the INI text of a signature file: "[signatures]", "size=N",
// "1\key=<key id>", "1\sig=<base64>", ... Blank lines, ";" and "#" comments,
// CR LF line ends and "/" in place of "\" are accepted, as QSettings would.
SignatureFile parseSignatureFile(const QByteArray &text);

// The text parseSignatureFile reads back, entries numbered from 1.
QByteArray formatSignatureFile(const QVector<Entry> &entries);

// One detached Ed25519 signature check; false for keys or signatures of
// the wrong length.
bool verifyDetached(const QByteArray &message, const QByteArray &signature, const QByteArray &publicKey);

// True when some entry by one of `trustedKeys` verifies over the signed
// message of this release. Entries by keys not trusted here are passed
// over (another installation may trust them).
bool verifyRelease(const SignatureFile &file, quint64 releaseId, const QByteArray &manifest,
                   const QVector<QByteArray> &trustedKeys);

// The word that marks a line's key as a version key: it signs the version
// server's answers, never a release, and a release key never signs those.
const QByteArray VersionRole("version");

struct TrustedKeys
{
    QVector<QByteArray> keys;        // release keys, raw 32-byte public keys
    QVector<QByteArray> versionKeys; // keys of lines marked "version"
    // 1-based numbers of lines that are neither blank, a comment nor a key.
    QVector<int> malformedLines;
    // The same, of lines marked "version".
    QVector<int> malformedVersionLines;
    // A file with any line that is not blank or a comment demands signed
    // releases, even when no line holds a usable key: a typo in the file
    // must not switch verification off, it makes every release fail it.
    // A line marked "version" does the same for version answers only.
    bool required() const { return !keys.isEmpty() || !malformedLines.isEmpty(); }
    bool versionRequired() const { return !versionKeys.isEmpty() || !malformedVersionLines.isEmpty(); }
};

// Reads trusted-keys.txt: one base64 public key a line, "version " before
// it for a version key; "#" starts a comment (base64 has no "#"),
// surrounding white space is ignored.
TrustedKeys parseTrustedKeys(const QByteArray &text);

// Decodes strict base64 of exactly `length` bytes; empty on any error.
QByteArray decodeExact(const QByteArray &base64, int length);

} // namespace vt3::signature

#endif // SIGNATURE_H
