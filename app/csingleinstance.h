#ifndef CSINGLEINSTANCE_H
#define CSINGLEINSTANCE_H

#include <QString>

// One running copy per user session: an advisory lock on a file in the runtime directory.
// The kernel drops the lock when the process ends, so a crashed copy never blocks the next.
class CSingleInstance
{
public:
    explicit CSingleInstance(const QString &name);
    ~CSingleInstance();
    CSingleInstance(const CSingleInstance &) = delete;
    CSingleInstance &operator=(const CSingleInstance &) = delete;

    // False only when another process holds the lock. A lock file that cannot be opened
    // counts as being the only copy.
    bool tryLock();
    QString lockFilePath() const { return path; }

private:
    QString path;
    int fd = -1;
};

#endif // CSINGLEINSTANCE_H
