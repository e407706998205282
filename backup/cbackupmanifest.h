#ifndef CBACKUPMANIFEST_H
#define CBACKUPMANIFEST_H

#include <functional>

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// MANIFEST.json of a backup: every file in it with its size and sum, the server version and
// the moment the user database was read. A backup is whole exactly when its manifest is there
// and every file matches it; the manifest is written last. Format 2 gives each file's
// XXH3-128 ("xxh128"); backups of earlier servers (format 1) gave its SHA-256 ("sha256"),
// and are still read and checked.
class CBackupManifest
{
public:
    static constexpr int FORMAT = 2;
    static const QString &fileName();

    struct File
    {
        QString path; // relative to the backup folder, "/" separated
        qint64 size = 0;
        // Hex; its length tells the kind (CSaveSum).
        QString sum;
        // Of the file the backup was taken from, when the sum was taken (0: not known).
        qint64 mtimeNs = 0;
    };

    QString serverVersion;
    // Just before the user database was read; every save is as of a moment after it.
    QDateTime created;
    QString databaseEngine; // "sqlite" or "postgresql": what the users.db was taken from
    qint64 userCount = -1;
    QList<File> files;

    QByteArray toJson() const;
    bool fromJson(const QByteArray &json, QString *errorText);
    // Written through a temporary file and a rename, and synced, with its folder.
    bool save(const QString &dir, QString *errorText) const;
    bool load(const QString &dir, QString *errorText);

    // A path a manifest may name: relative, inside the backup, no "." or ".." steps. A
    // manifest naming anything else is damaged; restore would write outside its targets.
    static bool isSafePath(const QString &path);

    // Reads every file in dir against the manifest, in parallel, and lists what does not
    // match: missing, other size or sum, or not listed at all. progress gets bytes read.
    QStringList verify(const QString &dir,
        const std::function<void(qint64 files, qint64 bytes)> &progress = {}) const;
    qint64 totalBytes() const;
};

#endif // CBACKUPMANIFEST_H
