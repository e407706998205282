#ifndef CUSEREXPORT_H
#define CUSEREXPORT_H

#include <QString>

#include "cuserdbconfig.h"

class QIODevice;
class QJsonArray;
struct archive;

// One player's data for a privacy request, as a POSIX (pax) tar: user-<id>/account.json (id,
// name, last login; never the password), every file of the user's game-data folder under
// user-<id>/saves/ (archives and their history as stored), and last user-<id>/MANIFEST.json
// with each file's size and SHA-256. Opens a database connection of its own, so it may run
// on any thread; errors come back as text.
class CUserExport
{
public:
    CUserExport(const CUserDbConfig &database, const QString &storageDir, int userId);

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
    bool readAccount(Account &account);
    // One entry from memory (fd < 0) or from an open file, listed for the manifest.
    bool addEntry(struct archive *a, const QString &name, qint64 size, qint64 mtime, int fd,
        const QByteArray &inMemory, QJsonArray &listed);
    bool addSaves(struct archive *a, const QString &folder, QJsonArray &listed);
    bool addManifest(struct archive *a, qint64 now, QJsonArray &listed);
    bool fail(const QString &text);

    CUserDbConfig db;
    QString storage;
    int id = 0;
    QString error;
    bool missing = false;
    int files = 0;
    qint64 bytes = 0;
};

#endif // CUSEREXPORT_H
