// Arbitrary bytes as a version reply datagram, decoded as the version
// client decodes it and shown by the window, which is kept across inputs.
#include "updateclient.h"

#include "ui_updateclient.h"
#include "updateengine.h"
#include "versionreply.h"

#include <QApplication>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

class UpdateClientProbe
{
public:
    // Every input is the first reply of a fresh process: a version query of
    // its own, answering to the window.
    static std::unique_ptr<vt3::VersionQuery> forget(UpdateClient &c)
    {
        c.ui->btnStart->setEnabled(false);
        return std::make_unique<vt3::VersionQuery>(c.engine().runTranscript());
    }
    static bool startEnabled(UpdateClient &c) { return c.ui->btnStart->isEnabled(); }
    static bool plainLabel(UpdateClient &c) { return c.ui->lastedVersion->textFormat() == Qt::PlainText; }
};

namespace {
constexpr int MinVersionFields = 2;

UpdateClient *window()
{
    static int argc = 1;
    static char name[] = "fuzz_versionreply";
    static char *argv[] = {name, nullptr};
    static UpdateClient *client = nullptr;
    if (!client) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // Both live until the process ends, as in the program.
        new QApplication(argc, argv);
        client = new UpdateClient;
    }
    return client;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    UpdateClient &client = *window();
    const std::unique_ptr<vt3::VersionQuery> query = UpdateClientProbe::forget(client);
    QString reply = vt3::decodeReply(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    if (reply.contains(QChar(0)))
        __builtin_trap();
    query->take(reply);
    // The button opens only for a reply with the release id and a version,
    // and what the network sent is never shown as markup.
    if (UpdateClientProbe::startEnabled(client) &&
        (query->info().size() < MinVersionFields || !UpdateClientProbe::plainLabel(client)))
        __builtin_trap();
    // A second reply changes nothing once one was shown.
    if (UpdateClientProbe::startEnabled(client)) {
        const int before = query->info().size();
        QString other = QStringLiteral("1#2#3");
        query->take(other);
        if (query->info().size() != before)
            __builtin_trap();
    }
    return 0;
}
