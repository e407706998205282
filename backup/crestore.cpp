#include "crestore.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

QString iniSumOf(const CBackupManifest &manifest)
{
    for (const CBackupManifest::File &file : std::as_const(manifest.files)) {
        if (file.path == CBackup::iniFile())
            return file.sum;
    }
    return QString();
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

CRestore::Status CRestore::run(
    const QString &workDirIn, const QString &storageDirIn, const QString &iniPathIn)
{
    const QString workDir = absolute(workDirIn);
    const bool toBucket = CS3Config::isS3Url(storageDirIn);
    const QString storageDir = toBucket ? storageDirIn : absolute(storageDirIn);
    const QString iniPath = absolute(iniPathIn);
    if (!absentOrEmpty(workDir))
        return failed(
            Status::TargetNotEmpty, QStringLiteral("the work folder %1 is not empty").arg(workDir));
    if (toBucket) {
        CServerSettings stored = CServerSettings::instance()->snapshot();
        stored.setIniFilePath(backup + QLatin1Char('/') + CBackup::iniFile());
        stored.load();
        CS3Config config;
        QString why;
        bool empty = false;
        if (!CS3Config::fromUrl(storageDir, CS3Config::urlBase(stored), &config, &why))
            return failed(Status::Failed, why);
        bucket = std::make_shared<CS3Bucket>(config);
        if (!CS3SaveCopy(bucket).bucketEmpty(&empty, &why))
            return failed(Status::Failed, why);
        if (!empty)
            return failed(Status::TargetNotEmpty,
                QStringLiteral("%1 holds saves already").arg(config.displayText()));
    } else if (!absentOrEmpty(storageDir)) {
        return failed(Status::TargetNotEmpty,
            QStringLiteral("the storage folder %1 is not empty").arg(storageDir));
    }
    if (QFileInfo::exists(iniPath))
        return failed(Status::TargetNotEmpty, QStringLiteral("%1 already exists").arg(iniPath));

    // Nothing is written before the whole backup has been read and found as its manifest says.
    const Status checked = check();
    if (checked != Status::Ok)
        return checked;

    const bool workExisted = QFileInfo::exists(workDir);
    const bool storageExisted = toBucket || QFileInfo::exists(storageDir);
    if (copyAll(workDir, storageDir, iniPath))
        return Status::Ok;
    if (toBucket) {
        // What was put into the bucket goes again.
        CS3SaveStore saves(bucket, {});
        for (const QString &user : saves.userFolders()) {
            bool existed = false;
            saves.removeUserData(user.toInt(), &existed, nullptr);
        }
    } else {
        clear(storageDir, storageExisted);
    }
    QFile::remove(iniPath);
    clear(workDir, workExisted);
    return Status::Failed;
}

bool CRestore::writeIni(const QString &iniPath, const QString &storageDir)
{
    const auto bad = [&](const QString &text) {
        error = text;
        return false;
    };
    // The ini as it was, but pointing at the storage folder (or bucket) it was restored into.
    QFile stored(backup + QLatin1Char('/') + CBackup::iniFile());
    QByteArray bytes;
    if (stored.open(QIODevice::ReadOnly))
        bytes = stored.readAll();
    const QString iniSum = iniSumOf(found);
    if (!iniSum.isEmpty()
        && CSaveSum::of(bytes.constData(), bytes.size(), CSaveSum::kindOf(iniSum)) != iniSum)
        return bad(QStringLiteral("%1 does not match the manifest").arg(stored.fileName()));
    QDir().mkpath(QFileInfo(iniPath).absolutePath());
    QFile out(iniPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size()
        || !out.flush())
        return bad(QStringLiteral("cannot write %1: %2").arg(iniPath, out.errorString()));
    out.close();
    CIniFile ini(iniPath);
    ini.load();
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
    if (!set || !ini.save())
        return bad(QStringLiteral("cannot write %1: %2").arg(iniPath, ini.errorString()));

    return true;
}

bool CRestore::copyToBucket()
{
    CS3SaveCopy carrier(bucket);
    std::unique_ptr<CBackupProgress> progress;
    carrier.setProgress([this, &progress, last = qint64(0)](
                            qint64, qint64 bytes, qint64 totalFiles, qint64 totalBytes) mutable {
        if (!progress)
            progress = std::make_unique<CBackupProgress>(
                progressSink, QStringLiteral("Saves"), totalFiles, totalBytes);
        progress->add(1, bytes - last);
        last = bytes;
    });
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

bool CRestore::copyAll(const QString &workDir, const QString &storageDir, const QString &iniPath)
{
    const auto bad = [&](const QString &text) {
        error = text;
        return false;
    };
    if (!QDir().mkpath(workDir) || (!bucket && !QDir().mkpath(storageDir)))
        return bad(QStringLiteral("cannot create %1 or %2").arg(workDir, storageDir));

    QList<CTreeCopy::Item> database;
    QList<CTreeCopy::Item> saves;
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
        }
    }

    QString why;
    CTreeCopy dbCopy(backup, workDir + QStringLiteral("/db"), CTreeCopy::Mode::Copy);
    if (!dbCopy.run(database, &why))
        return bad(QStringLiteral("user database: %1").arg(why));
    qint64 total = 0;
    for (const CTreeCopy::Item &item : std::as_const(saves))
        total += item.size;
    if (bucket) {
        if (!copyToBucket())
            return false;
    } else {
        CTreeCopy savesCopy(
            backup + QLatin1Char('/') + CBackup::savesFolder(), storageDir, CTreeCopy::Mode::Copy);
        CBackupProgress progress(progressSink, QStringLiteral("Saves"), saves.size(), total);
        savesCopy.setProgress(&progress);
        if (!savesCopy.run(saves, &why))
            return bad(why);
    }

    if (!writeIni(iniPath, storageDir))
        return false;

    const int fd = ::open(QFile::encodeName(bucket ? workDir : storageDir).constData(),
        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::syncfs(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    const int workFd
        = ::open(QFile::encodeName(workDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool workSynced = workFd >= 0 && ::syncfs(workFd) == 0;
    if (workFd >= 0)
        ::close(workFd);
    if (!synced || !workSynced)
        return bad(QStringLiteral("cannot sync the restored files: %1")
                       .arg(QString::fromLocal8Bit(std::strerror(errno))));
    return true;
}
