// Arbitrary bytes as a version reply datagram, decoded as the version
// client decodes it and shown by the window, which is kept across inputs.
#include "updateclient.h"

#include "ui_updateclient.h"
#include "versionreply.h"

#include <QApplication>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

class EngineProbe
{
public:
    static void forget(vt3::UpdateEngine &e)
    {
        e.versionShown = false;
        e.versionReceived = false;
        e.versionInfo.clear();
    }
    static void show(vt3::UpdateEngine &e, QString &reply) { e.showLastedVersion(reply); }
    static int fields(vt3::UpdateEngine &e) { return e.versionInfo.size(); }
};

class UpdateClientProbe
{
public:
    // Every input is the first reply of a fresh process.
    static void forget(UpdateClient &c)
    {
        EngineProbe::forget(c.engine());
        c.ui->btnStart->setEnabled(false);
    }
    static void show(UpdateClient &c, QString &reply) { EngineProbe::show(c.engine(), reply); }
    static bool startEnabled(UpdateClient &c) { return c.ui->btnStart->isEnabled(); }
    static int fields(UpdateClient &c) { return EngineProbe::fields(c.engine()); }
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
    UpdateClientProbe::forget(client);
    QString reply = vt3::decodeReply(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    if (reply.contains(QChar(0)))
        __builtin_trap();
    UpdateClientProbe::show(client, reply);
    // The button opens only for a reply with the release id and a version,
    // and what the network sent is never shown as markup.
    if (UpdateClientProbe::startEnabled(client) &&
        (UpdateClientProbe::fields(client) < MinVersionFields || !UpdateClientProbe::plainLabel(client)))
        __builtin_trap();
    // A second reply changes nothing once one was shown.
    if (UpdateClientProbe::startEnabled(client)) {
        const int before = UpdateClientProbe::fields(client);
        QString other = QStringLiteral("1#2#3");
        UpdateClientProbe::show(client, other);
        if (UpdateClientProbe::fields(client) != before)
            __builtin_trap();
    }
    return 0;
}
