#include "csingleinstance.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

CSingleInstance::CSingleInstance(const QString &name)
{
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty() && QDir(QFile::decodeName(runtimeDir)).exists()) {
        path = QFile::decodeName(runtimeDir) + QLatin1Char('/') + name + QStringLiteral(".lock");
    } else {
        // The temp dir is shared by all users: the user id keeps sessions apart.
        path = QDir::tempPath() + QLatin1Char('/') + name + QLatin1Char('-')
            + QString::number(getuid()) + QStringLiteral(".lock");
    }
}

CSingleInstance::~CSingleInstance()
{
    if (fd >= 0)
        ::close(fd);
}

bool CSingleInstance::tryLock()
{
    if (fd >= 0)
        return true;
    const QByteArray native = QFile::encodeName(path);
    const int handle = ::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (handle < 0)
        return true;
    int rc;
    do {
        rc = ::flock(handle, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(handle);
        return !held;
    }
    fd = handle;
    return true;
}
