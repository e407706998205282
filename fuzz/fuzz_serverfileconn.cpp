// The file-transfer port's frame reader with the server file connection behind it: requests,
// uploads and downloads against a real storage folder, fed as a client would feed them.

#include <cstdint>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include "cabstractserverfileconnadapter.h"
#include "cfuzzpeer.h"
#include "cserverfileconn.h"

using namespace libsock;

namespace {

// Maps a save name to "<name>.z", as the server's window does.
class FuzzAdapter final : public CAbstractServerFileConnAdapter
{
public:
    QString downloadFileName(const QString &saveName) override
    {
        return saveName + QStringLiteral(".z");
    }
    QString uploadFileName(const QString &saveName) override
    {
        return saveName + QStringLiteral(".z");
    }
};

QTemporaryDir *root = nullptr;
QString storage;
FuzzAdapter adapter;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    root = new QTemporaryDir;
    storage = root->filePath(QStringLiteral("store"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QDir(storage).removeRecursively();
    QDir().mkpath(storage);
    // Something to download, under the names the seeds use.
    QFile save(storage + QStringLiteral("/alice.z"));
    if (!save.open(QIODevice::WriteOnly) || save.write(QByteArray(70000, 'a')) != 70000)
        __builtin_trap();
    save.close();
    {
        CServerFileConn conn(storage, nullptr);
        conn.setAdapter(&adapter);
        CFuzzPeer peer(conn);
        if (!peer.isValid())
            __builtin_trap();
        peer.feed(data, size);
    }
    // Nothing may be written outside the storage folder.
    const QStringList outside
        = QDir(root->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (outside != QStringList { QStringLiteral("store") })
        __builtin_trap();
    return 0;
}
