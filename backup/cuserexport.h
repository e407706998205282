#ifndef CUSEREXPORT_H
#define CUSEREXPORT_H

#include <functional>
#include <memory>

#include <QString>

#include "cuserdbconfig.h"

class CAbstractSaveStore;
class QIODevice;

// One player's data for a privacy request, as a POSIX (pax) tar: user-<id>/account.json (id,
// name, last login; never the password), every file of the user's game-data folder under
// user-<id>/saves/ (archives and their history as stored), and last user-<id>/MANIFEST.json
// with each file's size and SHA-256. Opens a database connection of its own, so it may run
// on any thread; errors come back as text.
class CUserExport
{
public:
    CUserExport(const CUserDbConfig &database, const QString &storageDir, int userId);
    // The saves from store (a folder or a bucket).
    CUserExport(
        const CUserDbConfig &database, std::shared_ptr<CAbstractSaveStore> store, int userId);

    // Written through a temporary file beside path and renamed, so path is whole or absent.
    bool write(const QString &path);
    bool write(QIODevice *device);

    QString errorText() const { return error; }
    // Whether write() failed because there is no user of that id.
    bool userMissing() const { return missing; }
    int fileCount() const { return files; }
    qint64 byteCount() const { return bytes; }

private:
    struct Account;
    // Hands an entry's bytes to sink in order; false (with why) when they cannot be read.
    using Feed = std::function<bool(
        const std::function<bool(const char *data, qint64 size)> &sink, QString *why)>;
    // Every save and version of the user, as addEntry takes them; false stops.
    using Adder
        = std::function<bool(const QString &name, qint64 size, qint64 mtime, const Feed &feed)>;
    bool addFolderFiles(const QString &folder, const Adder &add);
    bool addObjects(const Adder &add);
    bool readAccount(Account &account);
    bool fail(const QString &text);

    CUserDbConfig db;
    QString storage;
    std::shared_ptr<CAbstractSaveStore> store;
    int id = 0;
    QString error;
    bool missing = false;
    int files = 0;
    qint64 bytes = 0;
};

#endif // CUSEREXPORT_H
