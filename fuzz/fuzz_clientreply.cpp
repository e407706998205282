// The clients' reading of what a server sends: the first byte picks the exchange in flight
// (login, change password, download, upload), the rest is the server's side of it.

#include <cstdint>

#include <QBuffer>
#include <QCoreApplication>

#include "cfileclient.h"
#include "cfuzzpeer.h"
#include "cprotoclient.h"

using namespace libsock;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int mode = data[0] % 4;
    ++data;
    --size;
    if (mode < 2) {
        CProtoClient client;
        CFuzzPeer peer(client);
        if (!peer.isValid())
            __builtin_trap();
        const bool sent = mode == 0
            ? client.sendLogin(QStringLiteral("a"), QStringLiteral("b"))
            : client.sendChangePassword(1, QStringLiteral("a"), QStringLiteral("b"));
        if (!sent)
            __builtin_trap();
        peer.feed(data, size);
        return 0;
    }
    QBuffer local;
    local.setData(QByteArray(mode == 3 ? 120000 : 0, 'u'));
    local.open(mode == 3 ? QIODevice::ReadOnly : QIODevice::WriteOnly);
    CFileClient client;
    bool succeeded = false;
    QObject::connect(&client, &CFileClient::finished, [&succeeded](bool ok) { succeeded = ok; });
    CFuzzPeer peer(client);
    if (!peer.isValid())
        __builtin_trap();
    const bool started = mode == 2
        ? client.startDownload(
            QStringLiteral("u"), QStringLiteral("d"), QStringLiteral("s"), &local)
        : client.startUpload(QStringLiteral("u"), QStringLiteral("d"), QStringLiteral("s"), &local);
    if (!started)
        __builtin_trap();
    peer.feed(data, size);
    // A download reported complete holds exactly the bytes announced.
    if (mode == 2 && succeeded && local.data().size() != client.fileSize())
        __builtin_trap();
    return 0;
}
