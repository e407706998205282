#include "cstoragelock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <QString>

CStorageLock::CStorageLock(const QString &dir)
    : fd(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
    if (fd >= 0)
        ::flock(fd, LOCK_EX);
}

void CStorageLock::release()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
