#ifndef CSTORAGELOCK_H
#define CSTORAGELOCK_H

class QString;

// Versions move only under an exclusive lock on the storage directory, so the server and an
// admin command never move the same archive at once. The lock ends with the process.
class CStorageLock
{
public:
    explicit CStorageLock(const QString &dir);
    ~CStorageLock() { release(); }
    void release();
    CStorageLock(const CStorageLock &) = delete;
    CStorageLock &operator=(const CStorageLock &) = delete;

private:
    int fd = -1;
};

#endif // CSTORAGELOCK_H
