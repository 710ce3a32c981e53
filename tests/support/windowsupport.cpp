#include "testsupport.h"

#include "updateclient.h"

#include <QColor>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>

// The helpers that look at the window, apart from the rest so that the
// engine's tests link nothing of it.

namespace vt3test {

void announceVersion(UpdateClient &client, const QString &reply)
{
    announceVersion(client.engine(), reply);
}

namespace {
QPlainTextEdit *detailsOf(UpdateClient &client)
{
    return client.findChild<QPlainTextEdit *>(QStringLiteral("details"));
}

bool blockIsRed(const QTextBlock &block)
{
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        if (fragment.isValid() && fragment.charFormat().foreground().color() == QColor(Qt::red))
            return true;
    }
    return false;
}

QStringList collect(UpdateClient &client, bool mark)
{
    QStringList lines;
    QTextDocument *doc = detailsOf(client)->document();
    if (doc->isEmpty())
        return lines;
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        QString text = block.text();
        if (mark && blockIsRed(block))
            text.prepend(QLatin1String("red:"));
        lines << text;
    }
    return lines;
}
} // namespace

QStringList logLines(UpdateClient &client)
{
    return collect(client, false);
}

QStringList logLinesMarked(UpdateClient &client)
{
    return collect(client, true);
}

} // namespace vt3test
