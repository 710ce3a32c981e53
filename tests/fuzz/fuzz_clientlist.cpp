// Arbitrary bytes as the standard output of the process-list tool, read as
// the client check reads it.
#include "clientcheck.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray output = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    static const QString imageName = QStringLiteral("vt3client_win32.exe");
    if (!vt3::clientListed(output, imageName))
        return 0;
    // A listed client is named at the very start of the answer, give or
    // take blanks and quotes, and right before the first comma or the end.
    static const QRegularExpression blanksAndQuotes(QStringLiteral("(\\s|\")"));
    QString text = QString::fromLocal8Bit(output);
    text.remove(blanksAndQuotes);
    if (!text.startsWith(imageName))
        __builtin_trap();
    if (text.size() > imageName.size() && text.at(imageName.size()) != QLatin1Char(','))
        __builtin_trap();
    return 0;
}
