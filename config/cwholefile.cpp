#include "cwholefile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <QRandomGenerator>

namespace {

const QLatin1String PARTIAL_SUFFIX(".partial");

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

CWholeFile::CWholeFile(const QString &path)
    : target(path)
{
}

CWholeFile::~CWholeFile()
{
    discard();
}

bool CWholeFile::isTemporaryName(const QString &fileName)
{
    return fileName.startsWith(QLatin1Char('.')) && fileName.endsWith(PARTIAL_SUFFIX);
}

bool CWholeFile::fail(const QString &what)
{
    error = QStringLiteral("%1: %2").arg(what, errnoText());
    discard();
    return false;
}

bool CWholeFile::open(mode_t newMode)
{
    discard();
    error.clear();
    mode = newMode & 0777;
    owner = uid_t(-1);
    group = gid_t(-1);
    struct stat st;
    // A link is replaced like anything else: its target is not ours to write.
    if (::lstat(native(target).constData(), &st) == 0 && S_ISREG(st.st_mode)) {
        mode = st.st_mode & 0660;
        owner = st.st_uid;
        group = st.st_gid;
    }
    const QFileInfo info(target);
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        const QString candidate = info.path() + QStringLiteral("/.") + info.fileName()
            + QLatin1Char('.')
            + QString::number(QRandomGenerator::global()->generate() & 0xFFFFFF, 36)
            + PARTIAL_SUFFIX;
        fd = ::open(native(candidate).constData(),
            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (fd >= 0)
            temporary = candidate;
        else if (errno != EEXIST)
            return fail(QStringLiteral("cannot create a file beside %1").arg(target));
    }
    if (fd < 0)
        return fail(QStringLiteral("cannot create a file beside %1").arg(target));
    if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::DontCloseHandle)) {
        error = file.errorString();
        discard();
        return false;
    }
    return true;
}

bool CWholeFile::commit()
{
    if (fd < 0) {
        if (error.isEmpty())
            error = QStringLiteral("not open");
        return false;
    }
    if (!file.flush() || file.error() != QFileDevice::NoError) {
        error = QStringLiteral("cannot write %1: %2").arg(target, file.errorString());
        discard();
        return false;
    }
    file.close();
    // As root, the file keeps whose it was; otherwise at least its group where we may.
    if (owner != uid_t(-1) && ::fchown(fd, owner, group) != 0) {
        [[maybe_unused]] const int groupKept = ::fchown(fd, uid_t(-1), group);
    }
    if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)
        return fail(QStringLiteral("cannot write %1").arg(target));
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0)
        return fail(QStringLiteral("cannot write %1").arg(target));
    if (::rename(native(temporary).constData(), native(target).constData()) != 0)
        return fail(QStringLiteral("cannot replace %1").arg(target));
    temporary.clear();
    const int dir
        = ::open(native(QFileInfo(target).path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = dir >= 0 && ::fsync(dir) == 0;
    if (dir >= 0)
        ::close(dir);
    if (!synced)
        return fail(QStringLiteral("cannot sync the folder of %1").arg(target));
    return true;
}

void CWholeFile::discard()
{
    if (file.isOpen())
        file.close();
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    if (!temporary.isEmpty())
        ::unlink(native(temporary).constData());
    temporary.clear();
}

bool CWholeFile::write(const QString &path, const QByteArray &bytes, QString *errorText)
{
    CWholeFile whole(path);
    const bool done
        = whole.open() && whole.device()->write(bytes) == bytes.size() && whole.commit();
    if (!done && errorText)
        *errorText
            = whole.errorString().isEmpty() ? whole.device()->errorString() : whole.errorString();
    return done;
}
