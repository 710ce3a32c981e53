// Arbitrary bytes as client_win32.ini.sig, as trusted-keys.txt and as a
// signed version answer, read and checked as the updater reads and checks
// them.
#include "replysignature.h"
#include "signature.h"

#include <cstddef>
#include <cstdint>

namespace {
// A key whose secret half nobody has: no input may verify under it.
const QByteArray UnsignedKey = QByteArray::fromHex("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c");
const QByteArray Manifest("[common_client]\na.z=00::1::1::00::a\n");
constexpr quint64 ReleaseId = 1733650000;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), int(size));

    const vt3::signature::SignatureFile file = vt3::signature::parseSignatureFile(text);
    if (!file.usable && !file.entries.isEmpty())
        __builtin_trap();
    if (file.entries.size() > vt3::signature::MaxSignatures)
        __builtin_trap();
    for (const vt3::signature::Entry &entry : file.entries) {
        if (entry.keyId.isEmpty() || (!entry.signature.isEmpty() && entry.signature.size() != 64))
            __builtin_trap();
    }
    if (vt3::signature::verifyRelease(file, ReleaseId, Manifest, {UnsignedKey}))
        __builtin_trap();
    // What the tool writes from the entries reads back to the same entries.
    if (file.usable && !file.entries.isEmpty()) {
        bool plain = true;
        for (const vt3::signature::Entry &entry : file.entries)
            plain = plain && entry.keyId == entry.keyId.trimmed() && !entry.keyId.contains('"') &&
                    !entry.keyId.contains('\r') && !entry.keyId.contains('#') && !entry.signature.isEmpty();
        const vt3::signature::SignatureFile again =
            vt3::signature::parseSignatureFile(vt3::signature::formatSignatureFile(file.entries));
        if (plain && (!again.usable || again.entries.size() != file.entries.size()))
            __builtin_trap();
    }

    const vt3::signature::TrustedKeys trusted = vt3::signature::parseTrustedKeys(text);
    for (const QByteArray &key : trusted.keys)
        if (key.size() != vt3::signature::PublicKeyBytes)
            __builtin_trap();
    for (int i = 1; i < trusted.malformedLines.size(); ++i)
        if (trusted.malformedLines.at(i) <= trusted.malformedLines.at(i - 1))
            __builtin_trap();
    for (const QByteArray &key : trusted.versionKeys)
        if (key.size() != vt3::signature::PublicKeyBytes)
            __builtin_trap();

    // A version answer: the record is what every reader takes, and nothing
    // verifies under a key whose secret half nobody has.
    const QString reply = QString::fromUtf8(text);
    const vt3::replysignature::SignedReply answer = vt3::replysignature::parse(reply);
    if (answer.record != reply.section(QLatin1Char(','), 0, 0))
        __builtin_trap();
    if (!answer.signature.isEmpty() &&
        (answer.signature.size() != vt3::signature::SignatureBytes ||
         vt3::signature::verifyDetached(vt3::replysignature::signedMessage(answer.record, answer.time),
                                        answer.signature, UnsignedKey)))
        __builtin_trap();
    return 0;
}
