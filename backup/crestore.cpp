#include "crestore.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "cbackup.h"
#include "cinifile.h"
#include "csavesum.h"
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

CRestore::Status CRestore::targetsFree(
    const QString &workDir, const QString &storageDir, const QString &iniPath)
{
    const QFileInfo ini(iniPath);
    if (ini.exists() || ini.isSymLink())
        return failed(Status::TargetNotEmpty, QStringLiteral("%1 already exists").arg(iniPath));
    // What a restore cut short left, for the same storage folder and ini, is cleared and
    // done again. Anything else is the operator's.
    const QFileInfo pendingInfo(pendingIni(iniPath));
    CIniFile pending(pendingInfo.filePath());
    if (pending.load() == CIniFile::Loaded
        && pending.value(QStringLiteral("General"), QStringLiteral("SaveDataDir"), QString())
            == storageDir) {
        clear(storageDir, true);
        clear(workDir, true);
        QFile::remove(pending.path());
    }
    // A pending ini cut short while it was written.
    for (const QString &name :
        QDir(pendingInfo.path())
            .entryList({ QLatin1Char('.') + pendingInfo.fileName() + QStringLiteral(".*.partial") },
                QDir::Files | QDir::Hidden | QDir::System))
        QFile::remove(pendingInfo.path() + QLatin1Char('/') + name);
    const bool workFree = absentOrEmpty(workDir);
    const bool storageFree = absentOrEmpty(storageDir);
    if (workFree && storageFree)
        return Status::Ok;
    return failed(Status::TargetNotEmpty,
        QStringLiteral("the %1 folder %2 is not empty")
            .arg(workFree ? QStringLiteral("storage") : QStringLiteral("work"),
                workFree ? storageDir : workDir));
}

CRestore::Status CRestore::run(
    const QString &workDirIn, const QString &storageDirIn, const QString &iniPathIn)
{
    const QString workDir = absolute(workDirIn);
    const QString storageDir = absolute(storageDirIn);
    const QString iniPath = absolute(iniPathIn);
    const Status free = targetsFree(workDir, storageDir, iniPath);
    if (free != Status::Ok)
        return free;

    // Nothing is written before the whole backup has been read and found as its manifest says.
    const Status checked = check();
    if (checked != Status::Ok)
        return checked;

    const bool workExisted = QFileInfo::exists(workDir);
    const bool storageExisted = QFileInfo::exists(storageDir);
    if (copyAll(workDir, storageDir, iniPath))
        return Status::Ok;
    QFile::remove(pendingIni(iniPath));
    clear(storageDir, storageExisted);
    clear(workDir, workExisted);
    return Status::Failed;
}

bool CRestore::copyAll(const QString &workDir, const QString &storageDir, const QString &iniPath)
{
    if (!QDir().mkpath(workDir) || !QDir().mkpath(storageDir))
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
    if (!copySaves(saves, storageDir))
        return false;
    step("saves");

    // Everything on disk before the ini says the restore is whole.
    for (const QString &dir : { storageDir, workDir }) {
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
    // The ini as it was, but pointing at the storage folder it was restored into.
    QFile stored(backup + QLatin1Char('/') + CBackup::iniFile());
    QByteArray bytes;
    if (stored.open(QIODevice::ReadOnly))
        bytes = stored.readAll();
    if (!sum.isEmpty()
        && CSaveSum::of(bytes.constData(), bytes.size(), CSaveSum::kindOf(sum)) != sum)
        return bad(QStringLiteral("%1 does not match the manifest").arg(stored.fileName()));
    CIniFile ini(iniPath);
    ini.parse(bytes);
    QString why;
    if (!ini.setValue(QStringLiteral("General"), QStringLiteral("SaveDataDir"), storageDir)
        || !QDir().mkpath(QFileInfo(iniPath).absolutePath())
        || !CWholeFile::write(pendingIni(iniPath), ini.text(), &why))
        return bad(QStringLiteral("cannot write %1: %2").arg(iniPath, why));
    return true;
}
