#include "cbackup.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "cdatabasesnapshot.h"
#include "cs3savecopy.h"
#include "csavesum.h"
#include "ctreecopy.h"
#include "cwholefile.h"
#include "storagehelpers.h"

namespace {

const QString &datedPrefix()
{
    static const QString prefix = QStringLiteral("tolvern-backup-");
    return prefix;
}

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Whether inner is outer or lies below it.
bool within(const QString &inner, const QString &outer)
{
    const QString a = QFileInfo(inner).canonicalFilePath();
    const QString b = QFileInfo(outer).canonicalFilePath();
    return !a.isEmpty() && !b.isEmpty() && (a == b || a.startsWith(b + QLatin1Char('/')));
}

// The sums of the saves an earlier backup holds, by the file each of its entries is now.
QHash<CTreeCopy::FileId, CTreeCopy::KnownSum> knownSums(const QString &backup)
{
    QHash<CTreeCopy::FileId, CTreeCopy::KnownSum> sums;
    CBackupManifest earlier;
    if (backup.isEmpty() || !earlier.load(backup, nullptr))
        return sums;
    for (const CBackupManifest::File &file : std::as_const(earlier.files)) {
        struct stat st;
        // Sums of another kind are read again: a new manifest holds the current kind only.
        if (file.mtimeNs <= 0 || CSaveSum::kindOf(file.sum) != CSaveSum::CURRENT
            || !file.path.startsWith(CBackup::savesFolder() + QLatin1Char('/'))
            || ::lstat(QFile::encodeName(backup + QLatin1Char('/') + file.path).constData(), &st)
                != 0
            || !S_ISREG(st.st_mode) || st.st_size != file.size)
            continue;
        sums.insert(CTreeCopy::FileId(quint64(st.st_dev), quint64(st.st_ino)),
            CTreeCopy::KnownSum { file.size, file.mtimeNs, file.sum });
    }
    return sums;
}

} // namespace

const QString &CBackup::databaseFile()
{
    static const QString name = QStringLiteral("users.db");
    return name;
}

const QString &CBackup::iniFile()
{
    static const QString name = QStringLiteral("tolvern.ini");
    return name;
}

const QString &CBackup::savesFolder()
{
    static const QString name = QStringLiteral("saves");
    return name;
}

CBackup::CBackup(const CUserDbConfig &database, const QString &storageDir, const QString &iniPath)
    : db(database)
    , storage(QDir::cleanPath(QFileInfo(storageDir).absoluteFilePath()))
    , ini(iniPath)
{
}

CBackup::Status CBackup::failed(const QString &text)
{
    error = text;
    return Status::Failed;
}

bool CBackup::isDatedName(const QString &name)
{
    static const QRegularExpression pattern(
        QStringLiteral("^tolvern-backup-\\d{4}-\\d\\d-\\d\\dT\\d\\d-\\d\\d-\\d\\dZ(-\\d+)?$"));
    return pattern.match(name).hasMatch();
}

QStringList CBackup::datedBackups(const QString &parent)
{
    QStringList whole;
    for (const QString &name : QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString path = parent + QLatin1Char('/') + name;
        if (isDatedName(name)
            && QFileInfo(path + QLatin1Char('/') + CBackupManifest::fileName()).isFile())
            whole << path;
    }
    // The names carry the time; "...Z" sorts before "...Z-2" of the same second.
    whole.sort();
    return whole;
}

CBackup::Status CBackup::run(const QString &targetDir)
{
    target = QDir::cleanPath(QFileInfo(targetDir).absoluteFilePath());
    error.clear();
    skipped.clear();
    links = copies = reusedSums = 0;
    const QFileInfo info(target);
    if (info.exists() && (!info.isDir() || !entriesOf(target).isEmpty())) {
        error = QStringLiteral("%1 is not an empty folder").arg(target);
        return Status::TargetNotEmpty;
    }
    const bool madeFolder = !info.exists();
    if (madeFolder && !QDir().mkpath(target)) {
        error = QStringLiteral("cannot create the folder %1").arg(target);
        return Status::Failed;
    }
    // Password hashes, and maybe the database's password in the ini: for the owner only.
    if (madeFolder)
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!bucket && (within(target, storage) || within(storage, target))) {
        error = QStringLiteral("the backup folder %1 and the storage folder %2 must not contain "
                               "one another")
                    .arg(target, storage);
        if (madeFolder)
            QDir().rmdir(target);
        return Status::Failed;
    }
    const Status status = write();
    if (status != Status::Ok) {
        // Nothing half-made stays behind to be taken for a backup.
        if (madeFolder) {
            deleteDirectoryTree(target);
        } else {
            for (const QString &entry : entriesOf(target))
                deleteDirectoryTree(target + QLatin1Char('/') + entry)
                    || QFile::remove(target + QLatin1Char('/') + entry);
        }
    }
    return status;
}

CBackup::Status CBackup::write()
{
    made = CBackupManifest();
    made.serverVersion = QStringLiteral(TOLVERN_VERSION);
    made.databaseEngine
        = db.isPostgresql() ? QStringLiteral("postgresql") : QStringLiteral("sqlite");
    // Taken before the snapshot: every save in the backup is as of a later moment.
    made.created = QDateTime::currentDateTimeUtc();

    const QString dbCopy = target + QLatin1Char('/') + databaseFile();
    QString why;
    if (!CDatabaseSnapshot::take(db, dbCopy, &made.userCount, &why))
        return failed(QStringLiteral("user database: %1").arg(why));
    QList<CBackupManifest::File> files;
    const QString dbSum = CSaveSum::compute(dbCopy, CSaveSum::CURRENT, &why);
    if (dbSum.isEmpty())
        return failed(QStringLiteral("cannot read %1: %2").arg(dbCopy, why));
    files << CBackupManifest::File { databaseFile(), QFileInfo(dbCopy).size(), dbSum };

    QFile source(ini);
    if (!source.open(QIODevice::ReadOnly))
        return failed(QStringLiteral("cannot read the ini %1: %2").arg(ini, source.errorString()));
    const QByteArray iniBytes = source.readAll();
    // The token's hash and perhaps a database password: the owner's only, whatever the umask
    // and the folder.
    if (!CWholeFile::write(target + QLatin1Char('/') + iniFile(), iniBytes, &why))
        return failed(why);
    files << CBackupManifest::File { iniFile(), iniBytes.size(),
        CSaveSum::of(iniBytes.constData(), iniBytes.size()) };

    if (!(bucket ? carryObjects(files, &why) : carrySaves(files, &why)))
        return failed(why);
    made.files = files;

    // Everything on disk before the manifest says the backup is whole: one sync of the file
    // system instead of one per file.
    const int fd
        = ::open(QFile::encodeName(target).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::syncfs(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    if (!synced)
        return failed(QStringLiteral("cannot sync %1: %2")
                          .arg(target, QString::fromLocal8Bit(std::strerror(errno))));
    if (!made.save(target, &why))
        return failed(why);
    return Status::Ok;
}

bool CBackup::carrySaves(QList<CBackupManifest::File> &files, QString *why)
{
    // Symbolic links are not followed: nothing outside the storage folder is carried.
    QList<CTreeCopy::Item> items;
    qint64 total = 0;
    const QDir root(storage);
    QDirIterator it(
        storage, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo file = it.fileInfo();
        const QString relative = root.relativeFilePath(file.filePath());
        if (file.isSymLink() || !file.isFile()) {
            skipped << QStringLiteral("%1: not a regular file").arg(relative);
            continue;
        }
        CTreeCopy::Item item;
        item.path = relative;
        item.size = file.size();
        total += item.size;
        items << item;
    }
    {
        CTreeCopy carry(
            storage, target + QLatin1Char('/') + savesFolder(), CTreeCopy::Mode::LinkWherePossible);
        CBackupProgress progress(progressSink, QStringLiteral("Saves"), items.size(), total);
        carry.setProgress(&progress);
        carry.setKnownSums(knownSums(previous));
        if (!carry.run(items, why))
            return false;
        links = carry.linkedCount();
        copies = carry.copiedCount();
        reusedSums = carry.reusedSumCount();
    }
    for (const CTreeCopy::Item &item : std::as_const(items)) {
        if (item.skipped) {
            skipped << QStringLiteral("%1: %2").arg(item.path, item.note);
            continue;
        }
        files << CBackupManifest::File { savesFolder() + QLatin1Char('/') + item.path, item.size,
            item.sum, item.mtimeNs };
    }
    return true;
}

bool CBackup::carryObjects(QList<CBackupManifest::File> &files, QString *why)
{
    const QString saves = target + QLatin1Char('/') + savesFolder();
    CS3SaveCopy carrier(bucket);
    std::unique_ptr<CBackupProgress> progress;
    carrier.setProgress(
        CBackupProgress::fromTotals(progressSink, QStringLiteral("Saves"), progress));
    QList<CS3SaveCopy::File> carried;
    if (!QDir().mkpath(saves) || !carrier.toFolder(saves, &carried, why))
        return false;
    for (const CS3SaveCopy::File &file : std::as_const(carried)) {
        files << CBackupManifest::File { savesFolder() + QLatin1Char('/') + file.path, file.size,
            file.carried };
        if (file.sum.isEmpty())
            continue;
        // The sum file beside it, as the folder keeps one.
        const QString sumPath = CSaveSum::fileName(file.path, CSaveSum::kindOf(file.sum));
        const QString sumFile = saves + QLatin1Char('/') + sumPath;
        const QString sum = CSaveSum::compute(sumFile, CSaveSum::CURRENT, why);
        if (sum.isEmpty())
            return false;
        files << CBackupManifest::File { savesFolder() + QLatin1Char('/') + sumPath,
            QFileInfo(sumFile).size(), sum };
    }
    copies = int(carried.size());
    return true;
}

void CBackup::removeCutShort(const QString &parent)
{
    for (const QString &name : QDir(parent).entryList(
             QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
        if (!name.startsWith(QLatin1Char('.')) || !name.endsWith(QLatin1String(".partial"))
            || !isDatedName(name.mid(1, name.size() - 9)))
            continue;
        // A run still writing holds its folder locked.
        const QString path = parent + QLatin1Char('/') + name;
        const int fd = ::open(
            QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && deleteDirectoryTree(path))
            removedPartial << path;
        ::close(fd);
    }
}

CBackup::Status CBackup::runInto(const QString &parent, int keep)
{
    const QString folder = QDir::cleanPath(QFileInfo(parent).absoluteFilePath());
    if (!QDir().mkpath(folder)) {
        error = QStringLiteral("cannot create the folder %1").arg(folder);
        return Status::Failed;
    }
    const QString name = datedPrefix()
        + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd'T'hh-mm-ss'Z'"));
    const QString partial = folder + QStringLiteral("/.") + name + QStringLiteral(".partial");
    // Locked while it is written: an unlocked one is what a run cut short left.
    const QByteArray nativePartial = QFile::encodeName(partial);
    if (::mkdir(nativePartial.constData(), S_IRWXU) != 0) {
        error = QStringLiteral("cannot create the folder %1: %2")
                    .arg(partial, QString::fromLocal8Bit(std::strerror(errno)));
        return Status::Failed;
    }
    const int lock = ::open(nativePartial.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat byName;
    struct stat held;
    if (lock < 0 || ::flock(lock, LOCK_EX | LOCK_NB) != 0 || ::fstat(lock, &held) != 0
        || ::stat(nativePartial.constData(), &byName) != 0 || held.st_ino != byName.st_ino) {
        if (lock >= 0)
            ::close(lock);
        error = QStringLiteral("another backup took the folder %1").arg(partial);
        return Status::Failed;
    }
    removedPartial.clear();
    removeCutShort(folder);
    const Status status = runLocked(folder, name, partial, keep);
    ::close(lock);
    return status;
}

CBackup::Status CBackup::runLocked(
    const QString &folder, const QString &name, const QString &partial, int keep)
{
    // Saves linked by the last backup and unchanged since need no second reading.
    const QStringList earlier = datedBackups(folder);
    previous = earlier.isEmpty() ? QString() : earlier.last();
    const Status status = run(partial);
    previous.clear();
    if (status != Status::Ok) {
        QDir().rmdir(partial);
        return status == Status::TargetNotEmpty ? Status::Failed : status;
    }
    QString final = folder + QLatin1Char('/') + name;
    for (int n = 2; QFileInfo::exists(final); ++n)
        final = folder + QLatin1Char('/') + name + QLatin1Char('-') + QString::number(n);
    if (::rename(QFile::encodeName(partial).constData(), QFile::encodeName(final).constData())
        != 0) {
        error = QStringLiteral("cannot rename %1 to %2: %3")
                    .arg(partial, final, QString::fromLocal8Bit(std::strerror(errno)));
        deleteDirectoryTree(partial);
        return Status::Failed;
    }
    target = final;
    const int fd
        = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    // Only whole backups count, and the new one is among them: a failed run removes nothing.
    removed.clear();
    QStringList whole = datedBackups(folder);
    while (keep > 0 && whole.size() > keep) {
        const QString oldest = whole.takeFirst();
        if (deleteDirectoryTree(oldest))
            removed << oldest;
    }
    return Status::Ok;
}
