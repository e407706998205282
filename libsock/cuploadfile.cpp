#include "cuploadfile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include "ctransferdigest.h"
#include "cuploadname.h"

namespace libsock {

namespace {

// The digest's writes start their write-back about this often, so the commit's sync (and a
// login's database sync beside it) has little left to wait for.
constexpr qint64 WRITE_BACK_BYTES = 1024 * 1024;

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

bool syncFolder(const QString &folder)
{
    const int fd = ::open(native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace

CUploadFile::CUploadFile(const QString &path)
    : target(path)
{
}

CUploadFile::~CUploadFile()
{
    discard();
}

bool CUploadFile::namesFile(const QString &path, int fd)
{
    struct stat byName;
    struct stat open;
    return ::lstat(native(path).constData(), &byName) == 0 && ::fstat(fd, &open) == 0
        && byName.st_dev == open.st_dev && byName.st_ino == open.st_ino;
}

bool CUploadFile::removeIfCutShort(const QString &path)
{
    const int fd = ::open(native(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Held while the name goes: an upload that lost its file to this waits for a new one.
    const bool removed = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && namesFile(path, fd)
        && ::unlink(native(path).constData()) == 0;
    ::close(fd);
    return removed;
}

bool CUploadFile::open()
{
    struct stat st;
    const QByteArray name = native(target);
    const bool exists = ::stat(name.constData(), &st) == 0;
    if (exists && (S_ISDIR(st.st_mode) || ::access(name.constData(), W_OK) != 0))
        return false;
    // An archive replaced keeps its permission bits; a new one gets the usual ones.
    const mode_t mode = exists ? (st.st_mode & 07777) : 0666;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        const QString candidate
            = CUploadName::temporaryFor(target, QRandomGenerator::global()->generate());
        fd = ::open(native(candidate).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST)
            return false;
        // Held until the rename: a file of this name without the lock is an upload cut short
        // (removeIfCutShort), even seen from another server on the same storage. One swept away
        // between its creation and the lock is given up for another name.
        if (fd >= 0 && (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !namesFile(candidate, fd))) {
            ::close(fd);
            fd = -1;
        }
        if (fd >= 0)
            temporary = candidate;
    }
    if (fd >= 0 && exists)
        ::fchmod(fd, mode);
    return fd >= 0;
}

void CUploadFile::setDigest(const std::shared_ptr<CTransferDigest> &sum)
{
    digest = sum;
    if (!digest)
        return;
    // An upload dropped meanwhile takes its file with it; its last pieces go nowhere.
    digest->setSink([self = weak_from_this()](const char *data, qint64 size) {
        if (const std::shared_ptr<CUploadFile> file = self.lock()) {
            file->write(data, size);
            if (file->written - file->writtenBack >= WRITE_BACK_BYTES)
                file->startWriteBack();
        }
    });
}

bool CUploadFile::write(const char *data, qint64 size)
{
    qint64 left = size;
    while (!writeFailed && left > 0) {
        const ssize_t n = ::write(fd, data, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        writeFailed = n <= 0;
        data += qMax<ssize_t>(n, 0);
        left -= qMax<ssize_t>(n, 0);
        written += qMax<ssize_t>(n, 0);
    }
    return !writeFailed && fd >= 0;
}

void CUploadFile::startWriteBack()
{
    const qint64 end = written;
    if (fd < 0 || end <= writtenBack)
        return;
    ::sync_file_range(fd, writtenBack, end - writtenBack, SYNC_FILE_RANGE_WRITE);
    writtenBack = end;
}

bool CUploadFile::commit()
{
    // The bytes still with the digest reach the file first.
    if (digest)
        digest->settle();
    if (fd < 0 || writeFailed) {
        discard();
        return false;
    }
    const bool written = ::fdatasync(fd) == 0;
    // The sum first: a crash between the two renames leaves the old archive beside the new
    // sum, which the save store recognises by the version it has just kept of that archive.
    if (!written || (digest && !digest->saveBeside(target))) {
        discard();
        return false;
    }
    if (::rename(native(temporary).constData(), native(target).constData()) != 0) {
        if (digest)
            digest->dropBeside(target);
        discard();
        return false;
    }
    temporary.clear();
    // Closed (and unlocked) only now that the file has its name; its bytes are on disk since
    // the sync, so the close has nothing left to report.
    ::close(fd);
    fd = -1;
    // The rename is on disk only once its folder is, and a new folder once its parent is.
    bool synced = syncFolder(QFileInfo(target).absolutePath());
    for (const QString &folder : std::as_const(made))
        synced = syncFolder(QFileInfo(folder).path()) && synced;
    return synced;
}

void CUploadFile::discard()
{
    // Unlinked while still locked: the name is never free and unheld at once.
    if (!temporary.isEmpty())
        ::unlink(native(temporary).constData());
    temporary.clear();
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace libsock
