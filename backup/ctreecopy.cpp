#include "ctreecopy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <numeric>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include "cbackupprogress.h"
#include "cparalleljobs.h"
#include "csavesum.h"
#include "cuploadname.h"

namespace {

constexpr size_t BUFFER_BYTES = 1 << 20;
// A file's sum reads the page cache through a mapping instead of copying it out first, and a
// copy is written straight from the mapping: one copy of each byte where cp makes two, which
// with a sum at the speed of memory (XXH3) is most of a backup's time. (A file cut short under
// the mapping would fault; the store never truncates an archive, and a file being written is
// not read at all.)
constexpr qint64 MAP_FROM_BYTES = 256 * 1024;

// The file's first size bytes, mapped for reading, or null.
class Mapping
{
public:
    Mapping(int fd, qint64 size)
        : length(size_t(size))
    {
        if (size < MAP_FROM_BYTES)
            return;
        void *address = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
        if (address == MAP_FAILED)
            return;
        data = static_cast<const char *>(address);
        ::madvise(address, length, MADV_SEQUENTIAL | MADV_WILLNEED);
    }
    ~Mapping()
    {
        if (data)
            ::munmap(const_cast<char *>(data), length);
    }
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;

    const char *data = nullptr;
    size_t length = 0;
};

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

std::vector<char> &threadBuffer()
{
    thread_local std::vector<char> buffer(BUFFER_BYTES);
    return buffer;
}

bool writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

bool sameContentStamp(const struct stat &a, const struct stat &b)
{
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec
        && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

} // namespace

// Whether the file is an upload in flight: written to until it is closed, then renamed over
// its archive once its sum is kept. While it is open for writing a read lease is refused;
// between its close and its rename only its name tells (as where leases cannot be taken: a
// file of another owner, a network file system). The one name an upload shares with an
// archive, that of a save whose own name ends in ".z" ("a.z.z"), is taken as the archive.
bool CTreeCopy::beingWritten(int fd, const QString &path)
{
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
    } else if (errno == EAGAIN) {
        return true;
    }
    const QString name = QFileInfo(path).fileName();
    return libsock::CUploadName::isTemporary(name);
}

CTreeCopy::CTreeCopy(const QString &sourceRoot, const QString &targetRoot, Mode how)
    : source(sourceRoot)
    , target(targetRoot)
    , mode(how)
{
}

bool CTreeCopy::run(QList<Item> &items, QString *errorText)
{
    QSet<QString> folders { QString() };
    for (const Item &item : std::as_const(items)) {
        const int slash = item.path.lastIndexOf(QLatin1Char('/'));
        if (slash > 0)
            folders.insert(item.path.left(slash));
    }
    for (const QString &folder : std::as_const(folders)) {
        const QString path = folder.isEmpty() ? target : target + QLatin1Char('/') + folder;
        if (!QDir().mkpath(path)) {
            if (errorText)
                *errorText = QStringLiteral("cannot create the folder %1").arg(path);
            return false;
        }
    }

    // Largest first, so that no thread is left with a big file at the end.
    std::vector<int> order(size_t(items.size()));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
        [&](int a, int b) { return items.at(a).size > items.at(b).size; });

    std::mutex lock;
    QString firstError;
    CParallelJobs::run(int(order.size()), [&](int index) {
        if (failed)
            return;
        Item &item = items[order[size_t(index)]];
        QString why;
        if (!carry(item, &why)) {
            std::lock_guard<std::mutex> guard(lock);
            if (!failed.exchange(true))
                firstError = why;
            return;
        }
        if (report)
            report->add(1, item.size);
    });
    if (failed && errorText)
        *errorText = firstError;
    return !failed && (mode == Mode::Copy || keepSums(items, errorText));
}

QString CTreeCopy::recordedSum(const QString &from, const struct stat &before, bool *present)
{
    const QString sumPath = CSaveSum::recordedFile(from);
    struct stat sumStat;
    *present = !sumPath.isEmpty() && ::stat(native(sumPath).constData(), &sumStat) == 0;
    if (!*present)
        return QString();
    const QString text = CSaveSum::read(from);
    // An upload writes the new sum, then renames its archive over the old one: a sum newer
    // than the file's last rename or link belongs to the file that comes next. The clock's
    // ticks are coarse, so a tie is not trusted either.
    const bool older = sumStat.st_mtim.tv_sec < before.st_ctim.tv_sec
        || (sumStat.st_mtim.tv_sec == before.st_ctim.tv_sec
            && sumStat.st_mtim.tv_nsec < before.st_ctim.tv_nsec);
    return older && CSaveSum::isValid(text) ? text : QString();
}

bool CTreeCopy::keepSums(QList<Item> &items, QString *errorText)
{
    QHash<QString, int> sumItems;
    for (int i = 0; i < items.size(); ++i) {
        if (CSaveSum::isSumFile(items.at(i).path))
            sumItems.insert(items.at(i).path, i);
    }
    const int carried = int(items.size());
    for (int i = 0; i < carried; ++i) {
        if (items.at(i).skipped || items.at(i).sumText.isEmpty())
            continue;
        const QString &text = items.at(i).sumText;
        const QString sumPath = CSaveSum::fileName(items.at(i).path, CSaveSum::kindOf(text));
        const QByteArray bytes = text.toLatin1() + '\n';
        const QString to = target + QLatin1Char('/') + sumPath;
        const int out = ::open(
            native(to).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
        const bool written = out >= 0 && writeAll(out, bytes.constData(), size_t(bytes.size()));
        if (out >= 0)
            ::close(out);
        if (!written) {
            *errorText = QStringLiteral("cannot write %1: %2").arg(to, errnoText(errno));
            return false;
        }
        int at = sumItems.value(sumPath, -1);
        if (at < 0) {
            items.append(Item());
            at = int(items.size()) - 1;
            items[at].path = sumPath;
        }
        Item &sum = items[at];
        sum.size = bytes.size();
        sum.sum = CSaveSum::of(bytes.constData(), bytes.size());
        sum.skipped = false;
        sum.linked = false;
        sum.note.clear();
        sumItems.remove(sumPath);
    }
    // Sums whose file was not carried (gone, or an upload in flight), or not the one the store
    // reads for it, stay behind.
    for (const int at : std::as_const(sumItems)) {
        items[at].skipped = true;
        items[at].note = QStringLiteral("not its save's sum as carried");
    }
    return true;
}

bool CTreeCopy::carry(Item &item, QString *errorText)
{
    // Sum files are written beside their archives afterwards, from what was carried.
    if (mode == Mode::LinkWherePossible && CSaveSum::isSumFile(item.path))
        return true;
    const QString from = source + QLatin1Char('/') + item.path;
    const QString to = target + QLatin1Char('/') + item.path;
    const qint64 expectedSize = item.size;
    const QString expectedSum = item.sum;
    const int fd = ::open(native(from).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat before;
    if (fd < 0 || ::fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        if (mode == Mode::Copy) {
            *errorText = QStringLiteral("cannot read %1: %2")
                             .arg(from, fd >= 0 ? QStringLiteral("not a file") : errnoText(error));
            return false;
        }
        // Given up by the save store (an old version) or replaced since the folder was read.
        item.skipped = true;
        item.note = fd >= 0 ? QStringLiteral("not a regular file") : errnoText(error);
        return true;
    }
    if (mode == Mode::LinkWherePossible && beingWritten(fd, from)) {
        ::close(fd);
        item.skipped = true;
        item.note = QStringLiteral("being written (an upload in flight)");
        return true;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    item.size = before.st_size;
    bool sumPresent = false;
    const QString recorded
        = mode == Mode::LinkWherePossible ? recordedSum(from, before, &sumPresent) : QString();

    if (!linkOpenFile(fd, from, to, item, errorText)) {
        ::close(fd);
        return false;
    }
    const bool ok = carryBytes(fd, to, before, item, errorText);

    struct stat after;
    if (ok && (::fstat(fd, &after) != 0 || !sameContentStamp(before, after))) {
        // Written to while read: an upload still in flight or a file of another program, not
        // an archive of the store. Carrying it would give a torn file.
        ::unlink(native(to).constData());
        item.skipped = true;
        item.linked = false;
        item.note = QStringLiteral("written to while it was read");
    }
    ::close(fd);
    if (!ok) {
        ::unlink(native(to).constData());
        return false;
    }
    if (item.skipped && mode == Mode::Copy) {
        *errorText = QStringLiteral("%1 changed while it was read").arg(from);
        return false;
    }
    if (mode == Mode::Copy && (item.size != expectedSize || item.sum != expectedSum)) {
        *errorText = QStringLiteral("%1 does not match the manifest").arg(from);
        return false;
    }
    // The store's own sum where it is this file's: a save damaged on disk stays known as
    // damaged. A file that had one, but not surely its own, gets the sum of what was carried.
    item.sumText = !recorded.isEmpty() ? recorded : sumPresent ? item.sum : QString();
    (item.linked ? linked : copied)++;
    return true;
}

bool CTreeCopy::linkOpenFile(
    int fd, const QString &from, const QString &to, Item &item, QString *errorText)
{
    item.linked = false;
    if (mode != Mode::LinkWherePossible || !linksWork)
        return true;
    // The link names the very file that is open, whatever took its name meanwhile.
    const QByteArray self = QByteArray("/proc/self/fd/") + QByteArray::number(fd);
    if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, native(to).constData(), AT_SYMLINK_FOLLOW)
        == 0) {
        item.linked = true;
    } else if (errno == EXDEV || errno == EPERM || errno == ENOTSUP || errno == ENOENT) {
        // Another file system, or none that links: copy this one and all after it.
        linksWork = false;
    } else if (errno != EMLINK) {
        *errorText = QStringLiteral("cannot link %1 to %2: %3").arg(from, to, errnoText(errno));
        return false;
    }
    return true;
}

bool CTreeCopy::carryBytes(
    int fd, const QString &to, const struct stat &before, Item &item, QString *errorText)
{
    item.mtimeNs = qint64(before.st_mtim.tv_sec) * 1000000000 + before.st_mtim.tv_nsec;
    const auto knownSum = item.linked
        ? known.constFind(FileId(quint64(before.st_dev), quint64(before.st_ino)))
        : known.constEnd();
    if (knownSum != known.constEnd() && knownSum->size == item.size
        && knownSum->mtimeNs == item.mtimeNs) {
        item.sum = knownSum->sum;
        ++reused;
        return true;
    }
    return item.linked ? hashFrom(fd, item, errorText) : copyFrom(fd, to, item, errorText);
}

bool CTreeCopy::hashFrom(int fd, Item &item, QString *errorText)
{
    CSaveSum sum;
    const Mapping mapped(fd, item.size);
    if (mapped.data) {
        sum.add(mapped.data, qint64(mapped.length));
        item.sum = sum.hexResult();
        return true;
    }
    std::vector<char> &buffer = threadBuffer();
    qint64 total = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *errorText
                = QStringLiteral("cannot read %1/%2: %3").arg(source, item.path, errnoText(errno));
            return false;
        }
        if (n == 0)
            break;
        sum.add(buffer.data(), n);
        total += n;
    }
    item.sum = sum.hexResult();
    if (total != item.size) {
        item.skipped = true;
        item.note = QStringLiteral("written to while it was read");
    }
    return true;
}

bool CTreeCopy::copyFrom(int fd, const QString &to, Item &item, QString *errorText)
{
    const int out = ::open(
        native(to).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (out < 0) {
        *errorText = QStringLiteral("cannot create %1: %2").arg(to, errnoText(errno));
        return false;
    }
    std::vector<char> &buffer = threadBuffer();
    // A restore checks against the manifest's kind of sum; a backup takes the current kind.
    CSaveSum sum(item.sum.isEmpty() ? CSaveSum::CURRENT : CSaveSum::kindOf(item.sum));
    qint64 total = 0;
    bool ok = true;
    QString why;
    // Written straight from the page cache: one copy of each byte instead of two.
    const Mapping mapped(fd, item.size);
    if (mapped.data) {
        sum.add(mapped.data, qint64(mapped.length));
        ok = writeAll(out, mapped.data, mapped.length);
        if (!ok)
            why = QStringLiteral("cannot write %1: %2").arg(to, errnoText(errno));
        total = qint64(mapped.length);
    }
    while (ok && !mapped.data) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0) {
                ok = false;
                why = QStringLiteral("cannot read %1/%2: %3")
                          .arg(source, item.path, errnoText(errno));
            }
            break;
        }
        sum.add(buffer.data(), n);
        if (!writeAll(out, buffer.data(), size_t(n))) {
            ok = false;
            why = QStringLiteral("cannot write %1: %2").arg(to, errnoText(errno));
        }
        total += n;
    }
    struct stat st;
    if (ok && ::fstat(fd, &st) == 0) {
        // As cp -a: the permission bits and times of the original (a save's time is when it
        // was uploaded, shown in its history).
        ::fchmod(out, st.st_mode & 07777);
        const struct timespec times[2] = { st.st_atim, st.st_mtim };
        ::futimens(out, times);
    }
    if (::close(out) != 0 && ok) {
        ok = false;
        why = QStringLiteral("cannot write %1: %2").arg(to, errnoText(errno));
    }
    if (!ok) {
        *errorText = why;
        return false;
    }
    item.sum = sum.hexResult();
    if (total != item.size && mode == Mode::LinkWherePossible) {
        item.skipped = true;
        item.note = QStringLiteral("written to while it was read");
    }
    item.size = total;
    return true;
}
