#include "crestore.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include "cbackup.h"
#include "cinifile.h"
#include "cs3bucket.h"
#include "cs3savecopy.h"
#include "cs3savestore.h"
#include "csavesum.h"
#include "cserversettings.h"
#include "ctreecopy.h"
#include "cwholefile.h"
#include "storagehelpers.h"

namespace {

bool absentOrEmpty(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    return info.isDir() && !info.isSymLink()
        && QDir(path)
               .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
               .isEmpty();
}

QString absolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// Removes what a failed restore made in a folder that was empty or absent before.
void clear(const QString &path, bool existed)
{
    if (!existed) {
        deleteDirectoryTree(path);
        return;
    }
    const QStringList entries = QDir(path).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        const QString inside = path + QLatin1Char('/') + entry;
        if (!deleteDirectoryTree(inside))
            QFile::remove(inside);
    }
}

} // namespace

CRestore::CRestore(const QString &backupDir)
    : backup(absolute(backupDir))
{
}

CRestore::Status CRestore::failed(Status status, const QString &text)
{
    error = text;
    return status;
}

CRestore::Status CRestore::check()
{
    mismatches.clear();
    QString why;
    if (!found.load(backup, &why))
        return failed(Status::Damaged, why);
    CBackupProgress progress(
        progressSink, QStringLiteral("Checking"), found.files.size(), found.totalBytes());
    mismatches
        = found.verify(backup, [&](qint64 files, qint64 bytes) { progress.add(files, bytes); });
    bool hasDatabase = false;
    for (const CBackupManifest::File &file : std::as_const(found.files))
        hasDatabase = hasDatabase || file.path == CBackup::databaseFile();
    if (!hasDatabase)
        mismatches << QStringLiteral("%1: not in the manifest").arg(CBackup::databaseFile());
    if (!mismatches.isEmpty())
        return failed(Status::Damaged,
            QStringLiteral("%1 does not match its manifest (%2 problems)")
                .arg(backup)
                .arg(mismatches.size()));
    return Status::Ok;
}

QString CRestore::storedStorageDir(const QString &workDir) const
{
    CIniFile ini(backup + QLatin1Char('/') + CBackup::iniFile());
    if (ini.load() != CIniFile::Loaded)
        return QString();
    QString dir = ini.value(QStringLiteral("General"), QStringLiteral("SaveDataDir"), QString());
    if (dir.isEmpty())
        return QString();
    dir.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return QDir::cleanPath(QDir(workDir).absoluteFilePath(dir));
}

const QString &CRestore::partialFolder()
{
    static const QString name = QStringLiteral(".restore.partial");
    return name;
}

void CRestore::step(const char *name) const
{
    if (stepHook)
        stepHook(name);
}

bool CRestore::bad(const QString &text)
{
    error = text;
    return false;
}

QString CRestore::pendingIni(const QString &iniPath)
{
    const QFileInfo ini(iniPath);
    return ini.path() + QStringLiteral("/.") + ini.fileName() + QLatin1Char('.')
        + partialFolder().mid(1);
}

bool CRestore::pendingFor(const QString &pendingPath, const QString &storageDir) const
{
    CIniFile pending(pendingPath);
    if (pending.load() != CIniFile::Loaded)
        return false;
    const QString section = QStringLiteral("Storage");
    const auto value = [&pending, &section](const char *key) {
        return pending.value(section, QLatin1String(key), QString()).trimmed();
    };
    const bool inBucket = value("Backend").toLower() == QLatin1String("s3");
    if (!bucket)
        return !inBucket
            && pending.value(QStringLiteral("General"), QStringLiteral("SaveDataDir"), QString())
            == storageDir;
    const CS3Config &config = bucket->config();
    return inBucket && value("S3Endpoint") == config.endpoint && value("S3Bucket") == config.bucket
        && value("S3Prefix") == config.prefix;
}

void CRestore::clearStorage(const QString &storageDir, bool existed)
{
    if (!bucket) {
        clear(storageDir, existed);
        return;
    }
    // The bucket held no saves before: whatever is there now is this restore's.
    CS3SaveCopy(bucket).clearSaves(nullptr);
}

CRestore::Status CRestore::storageFree(const QString &storageDir, bool *free)
{
    if (!bucket) {
        *free = absentOrEmpty(storageDir);
        return Status::Ok;
    }
    QString why;
    if (!CS3SaveCopy(bucket).bucketEmpty(free, &why))
        return failed(Status::Failed, why);
    return Status::Ok;
}

CRestore::Status CRestore::targetsFree(
    const QString &workDir, const QString &storageDir, const QString &iniPath)
{
    const QFileInfo ini(iniPath);
    if (ini.exists() || ini.isSymLink())
        return failed(Status::TargetNotEmpty, QStringLiteral("%1 already exists").arg(iniPath));
    // What a restore cut short left, for the same storage folder (or bucket) and ini, is
    // cleared and done again. Anything else is the operator's.
    const QFileInfo pendingInfo(pendingIni(iniPath));
    if (pendingFor(pendingInfo.filePath(), storageDir)) {
        clearStorage(storageDir, true);
        clear(workDir, true);
        QFile::remove(pendingInfo.filePath());
    }
    // A pending ini cut short while it was written.
    for (const QString &name :
        QDir(pendingInfo.path())
            .entryList({ QLatin1Char('.') + pendingInfo.fileName() + QStringLiteral(".*.partial") },
                QDir::Files | QDir::Hidden | QDir::System))
        QFile::remove(pendingInfo.path() + QLatin1Char('/') + name);
    const bool workFree = absentOrEmpty(workDir);
    bool savesFree = false;
    const Status asked = storageFree(storageDir, &savesFree);
    if (asked != Status::Ok)
        return asked;
    if (workFree && savesFree)
        return Status::Ok;
    if (!workFree)
        return failed(
            Status::TargetNotEmpty, QStringLiteral("the work folder %1 is not empty").arg(workDir));
    return failed(Status::TargetNotEmpty,
        bucket ? QStringLiteral("%1 holds saves already").arg(bucket->config().displayText())
               : QStringLiteral("the storage folder %1 is not empty").arg(storageDir));
}

CRestore::Status CRestore::run(
    const QString &workDirIn, const QString &storageDirIn, const QString &iniPathIn)
{
    const QString workDir = absolute(workDirIn);
    const bool toBucket = CS3Config::isS3Url(storageDirIn);
    const QString storageDir = toBucket ? storageDirIn : absolute(storageDirIn);
    const QString iniPath = absolute(iniPathIn);
    if (toBucket) {
        // The endpoint and keys of the backed-up ini, else of the environment.
        if (!current)
            return failed(Status::Failed, QStringLiteral("no settings to reach the bucket with"));
        CServerSettings stored = *current;
        stored.setIniFilePath(backup + QLatin1Char('/') + CBackup::iniFile());
        stored.load();
        CS3Config config;
        QString why;
        if (!CS3Config::fromUrl(storageDir, CS3Config::urlBase(stored), &config, &why))
            return failed(Status::Failed, why);
        bucket = std::make_shared<CS3Bucket>(config);
    }
    const Status free = targetsFree(workDir, storageDir, iniPath);
    if (free != Status::Ok)
        return free;

    // Nothing is written before the whole backup has been read and found as its manifest says.
    const Status checked = check();
    if (checked != Status::Ok)
        return checked;

    const bool workExisted = QFileInfo::exists(workDir);
    const bool storageExisted = toBucket || QFileInfo::exists(storageDir);
    if (copyAll(workDir, storageDir, iniPath))
        return Status::Ok;
    QFile::remove(pendingIni(iniPath));
    clearStorage(storageDir, storageExisted);
    clear(workDir, workExisted);
    return Status::Failed;
}

bool CRestore::copyAll(const QString &workDir, const QString &storageDir, const QString &iniPath)
{
    if (!QDir().mkpath(workDir) || (!bucket && !QDir().mkpath(storageDir)))
        return bad(QStringLiteral("cannot create %1 or %2").arg(workDir, storageDir));
    QList<CTreeCopy::Item> database;
    QList<CTreeCopy::Item> saves;
    QString iniSum;
    const QString savesPrefix = CBackup::savesFolder() + QLatin1Char('/');
    for (const CBackupManifest::File &file : std::as_const(found.files)) {
        CTreeCopy::Item item;
        item.path = file.path;
        item.size = file.size;
        item.sum = file.sum;
        if (file.path == CBackup::databaseFile()) {
            database << item;
        } else if (file.path.startsWith(savesPrefix)) {
            item.path = file.path.mid(savesPrefix.size());
            saves << item;
        } else if (file.path == CBackup::iniFile()) {
            iniSum = file.sum;
        }
    }
    // First of all the ini, whole but under a name of its own: it says what this restore is
    // for, so that a run cut short can be told and done again.
    if (!writeIni(storageDir, iniPath, iniSum))
        return false;
    step("marked");
    if (!copyDatabase(database, workDir))
        return false;
    step("database");
    if (bucket ? !copyToBucket() : !copySaves(saves, storageDir))
        return false;
    step("saves");

    // Everything on disk before the ini says the restore is whole (the bucket's objects are
    // the store's once it answered).
    QStringList folders { workDir };
    if (!bucket)
        folders.prepend(storageDir);
    for (const QString &dir : std::as_const(folders)) {
        const int fd
            = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool synced = fd >= 0 && ::syncfs(fd) == 0;
        const int saved = errno;
        if (fd >= 0)
            ::close(fd);
        if (!synced)
            return bad(QStringLiteral("cannot sync the restored files in %1: %2")
                           .arg(dir, QString::fromLocal8Bit(std::strerror(saved))));
    }
    step("synced");
    // Whole: the ini in place, in one rename.
    const QString pending = pendingIni(iniPath);
    if (::rename(QFile::encodeName(pending).constData(), QFile::encodeName(iniPath).constData())
        != 0)
        return bad(QStringLiteral("cannot write %1: %2")
                       .arg(iniPath, QString::fromLocal8Bit(std::strerror(errno))));
    const int fd = ::open(QFile::encodeName(QFileInfo(iniPath).absolutePath()).constData(),
        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    step("ini");
    return true;
}

bool CRestore::copyDatabase(const QList<CTreeCopy::Item> &database, const QString &workDir)
{
    const QString staging = workDir + QLatin1Char('/') + partialFolder();
    QString why;
    CTreeCopy copy(backup, staging, CTreeCopy::Mode::Copy);
    QList<CTreeCopy::Item> items = database;
    if (!QDir().mkpath(staging) || !copy.run(items, &why))
        return bad(QStringLiteral("user database: %1").arg(why));
    const QString from = staging + QLatin1Char('/') + CBackup::databaseFile();
    const QString to = workDir + QStringLiteral("/db/users.db");
    // Password hashes: the owner's only, whatever the backed-up file allowed.
    if (!QDir().mkpath(workDir + QStringLiteral("/db"))
        || ::chmod(QFile::encodeName(from).constData(), S_IRUSR | S_IWUSR) != 0
        || ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return bad(QStringLiteral("cannot put the user database in %1: %2")
                       .arg(to, QString::fromLocal8Bit(std::strerror(errno))));
    if (!QDir().rmdir(staging))
        return bad(QStringLiteral("cannot remove %1").arg(staging));
    return true;
}

bool CRestore::copySaves(QList<CTreeCopy::Item> &saves, const QString &storageDir)
{
    const QString staging = storageDir + QLatin1Char('/') + partialFolder();
    qint64 total = 0;
    for (const CTreeCopy::Item &item : std::as_const(saves))
        total += item.size;
    QString why;
    {
        CTreeCopy copy(
            backup + QLatin1Char('/') + CBackup::savesFolder(), staging, CTreeCopy::Mode::Copy);
        CBackupProgress progress(progressSink, QStringLiteral("Saves"), saves.size(), total);
        copy.setProgress(&progress);
        if (!copy.run(saves, &why))
            return bad(why);
    }
    // Each user's folder (and anything else at the top) moves into place whole.
    for (const QString &entry : QDir(staging).entryList(
             QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        const QByteArray from = QFile::encodeName(staging + QLatin1Char('/') + entry);
        const QByteArray to = QFile::encodeName(storageDir + QLatin1Char('/') + entry);
        if (::rename(from.constData(), to.constData()) != 0)
            return bad(QStringLiteral("cannot move %1 into %2: %3")
                           .arg(entry, storageDir, QString::fromLocal8Bit(std::strerror(errno))));
    }
    if (!QDir().rmdir(staging))
        return bad(QStringLiteral("cannot remove %1").arg(staging));
    return true;
}

bool CRestore::writeIni(const QString &storageDir, const QString &iniPath, const QString &sum)
{
    // The ini as it was, but pointing at the storage folder (or bucket) it was restored into.
    QFile stored(backup + QLatin1Char('/') + CBackup::iniFile());
    QByteArray bytes;
    if (stored.open(QIODevice::ReadOnly))
        bytes = stored.readAll();
    if (!sum.isEmpty()
        && CSaveSum::of(bytes.constData(), bytes.size(), CSaveSum::kindOf(sum)) != sum)
        return bad(QStringLiteral("%1 does not match the manifest").arg(stored.fileName()));
    CIniFile ini(iniPath);
    ini.parse(bytes);
    const QString section = QStringLiteral("Storage");
    bool set = true;
    if (bucket) {
        const CS3Config &config = bucket->config();
        set = ini.setValue(section, QStringLiteral("Backend"), QStringLiteral("s3"))
            && ini.setValue(section, QStringLiteral("S3Endpoint"), config.endpoint)
            && ini.setValue(section, QStringLiteral("S3Region"), config.region)
            && ini.setValue(section, QStringLiteral("S3Bucket"), config.bucket)
            && ini.setValue(section, QStringLiteral("S3Prefix"), config.prefix);
    } else {
        set = ini.setValue(QStringLiteral("General"), QStringLiteral("SaveDataDir"), storageDir);
        // A backup of a server on S3 restored into a folder serves from that folder.
        if (set && ini.contains(section, QStringLiteral("Backend")))
            set = ini.setValue(section, QStringLiteral("Backend"), QStringLiteral("files"));
    }
    QString why;
    if (!set || !QDir().mkpath(QFileInfo(iniPath).absolutePath())
        || !CWholeFile::write(pendingIni(iniPath), ini.text(), &why))
        return bad(QStringLiteral("cannot write %1: %2").arg(iniPath, why));
    return true;
}

bool CRestore::copyToBucket()
{
    CS3SaveCopy carrier(bucket);
    std::unique_ptr<CBackupProgress> progress;
    carrier.setProgress(
        CBackupProgress::fromTotals(progressSink, QStringLiteral("Saves"), progress));
    QList<CS3SaveCopy::File> carried;
    QString why;
    // Read from the backup once more on the way, against the sums just checked.
    if (!carrier.fromFolder(backup + QLatin1Char('/') + CBackup::savesFolder(), &carried, &why)) {
        error = why;
        return false;
    }
    QHash<QString, QString> expected;
    for (const CBackupManifest::File &file : std::as_const(found.files))
        expected.insert(file.path, file.sum);
    for (const CS3SaveCopy::File &file : std::as_const(carried)) {
        // A manifest of an older kind was checked before the copy; the sums compare in kind.
        const QString sum = expected.value(CBackup::savesFolder() + QLatin1Char('/') + file.path);
        if (CSaveSum::kindOf(sum) == CSaveSum::CURRENT && sum != file.carried) {
            error = QStringLiteral("%1 changed since it was checked").arg(file.path);
            return false;
        }
    }
    const QStringList problems = carrier.checkBucket(carried);
    if (!problems.isEmpty()) {
        error = problems.first();
        return false;
    }
    return true;
}
