#ifndef CTREECOPY_H
#define CTREECOPY_H

#include <atomic>
#include <mutex>

#include <QHash>
#include <QList>
#include <QPair>
#include <QString>

class CBackupProgress;

// Carries files from one folder into another on a few threads, taking each file's sum
// (CSaveSum) on the way. Each file is opened once and everything (link, copy, sum) goes through
// that open file, so a file renamed over meanwhile is carried whole, as it was when opened: the
// save store never writes an archive in place, it renames a complete one over it.
//
// Link: a hard link of the opened file where source and target share a file system (a backup
// then costs no space for archives, which never change), a copy elsewhere. Copy: always a
// copy, checked against the sums the items bring.
class CTreeCopy
{
public:
    enum class Mode { LinkWherePossible, Copy };

    struct Item
    {
        QString path; // relative to both folders
        qint64 size = 0; // with Copy: expected; afterwards: carried
        QString sum; // with Copy: expected (of its kind); afterwards: of what was carried
        bool linked = false;
        qint64 mtimeNs = 0; // afterwards: the modification time of what was carried
        // Not carried: gone before it could be opened, not a regular file, or written to
        // while it was read (so not a committed archive).
        bool skipped = false;
        QString note;
        // Link mode, afterwards: the text of the sum file to keep beside what was carried
        // (empty: none), see keepSums().
        QString sumText;
    };

    CTreeCopy(const QString &sourceRoot, const QString &targetRoot, Mode mode);

    // A sum taken earlier of a file (by device and inode): valid while its size and
    // modification time are those it was taken at.
    struct KnownSum
    {
        qint64 size = 0;
        qint64 mtimeNs = 0;
        QString sum;
    };
    using FileId = QPair<quint64, quint64>;

    void setProgress(CBackupProgress *progress) { report = progress; }
    // Sums of files an earlier backup linked: a file linked again is the same inode, and an
    // archive is never written in place, so an unchanged size and time mean unchanged bytes
    // and the sum need not be read again.
    void setKnownSums(const QHash<FileId, KnownSum> &sums) { known = sums; }
    // Makes the folders, then carries every item. False with errorText at the first failure
    // (a target that cannot be written, a sum that does not match in Copy mode); what was
    // carried until then stays for the caller to remove.
    bool run(QList<Item> &items, QString *errorText);

    // Whether the open file fd (named path) is an upload not yet committed.
    static bool beingWritten(int fd, const QString &path);

    int linkedCount() const { return linked; }
    int copiedCount() const { return copied; }
    int reusedSumCount() const { return reused; }

private:
    bool carry(Item &item, QString *errorText);
    // The sum the store keeps beside the file just opened (before: its stat), when it is
    // that file's: written before the file was renamed or linked into place.
    static QString recordedSum(const QString &from, const struct stat &before, bool *present);
    // Writes each carried file's sum file beside it and makes the items for them: the pair
    // must match as the store left it, which two files carried at different moments of an
    // upload may not.
    bool keepSums(QList<Item> &items, QString *errorText);
    // Links the open file fd at to, where links work (item.linked says whether it did); false
    // on a failure that ends the carrying.
    bool linkOpenFile(
        int fd, const QString &from, const QString &to, Item &item, QString *errorText);
    // The file's bytes: hashed where linked, else copied; a linked file's sum from the backup
    // before when its size and time are the same.
    bool carryBytes(
        int fd, const QString &to, const struct stat &before, Item &item, QString *errorText);
    bool copyFrom(int fd, const QString &target, Item &item, QString *errorText);
    bool hashFrom(int fd, Item &item, QString *errorText);

    QString source;
    QString target;
    Mode mode;
    CBackupProgress *report = nullptr;
    QHash<FileId, KnownSum> known;
    std::atomic<bool> linksWork { true };
    std::atomic<bool> failed { false };
    std::atomic<int> linked { 0 };
    std::atomic<int> copied { 0 };
    std::atomic<int> reused { 0 };
};

#endif // CTREECOPY_H
