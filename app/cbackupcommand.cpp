#include "cbackupcommand.h"

#include <cstdio>

#include <QDir>
#include <QFileInfo>

#include "cadmincommand.h"
#include "cbackup.h"
#include "crestore.h"
#include "cs3bucket.h"
#include "cs3config.h"
#include "cserversettings.h"
#include "cuserdbconfig.h"

namespace {

constexpr qint64 MIB = 1 << 20;

bool wantsHelp(const QStringList &arguments)
{
    return arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h"));
}

} // namespace

QString CBackupCommand::backupUsage()
{
    return QStringLiteral(
        "Usage: tolvern-server backup --to DIR [--config FILE] [--workdir DIR]\n"
        "       tolvern-server backup --into PARENT [--keep N] [--config FILE] [--workdir DIR]\n"
        "       tolvern-server backup verify DIR\n"
        "Backs up the server whose ini is FILE and whose working folder is DIR, also while it\n"
        "runs: the user database as one snapshot (users.db; from PostgreSQL an SQLite file\n"
        "that \"db copy --from\" puts back), then every save with its history as of a moment\n"
        "after it (saves/: hard links on the storage's own file system, copies elsewhere),\n"
        "the ini, and MANIFEST.json with every file's size and XXH3-128 sum, written last.\n"
        "--to: into DIR, which must be absent or empty. --into: into a new folder\n"
        "PARENT/tolvern-backup-<UTC time>, then removes all but the newest N (default 7).\n"
        "verify: reads every file of a backup against its manifest.\n"
        "Exit status: 0 done, 1 failed (nothing left behind), 5 no storage folder, 6 DIR is\n"
        "not empty, 8 the backup does not match its manifest, 64 wrong usage.\n");
}

QString CBackupCommand::restoreUsage()
{
    return QStringLiteral(
        "Usage: tolvern-server restore --from BACKUP [--storage DIR] [--config FILE]\n"
        "                              [--workdir WORKDIR]\n"
        "Checks every file of BACKUP against its manifest, then restores it into the empty\n"
        "working folder WORKDIR (default: the current folder; db/users.db), the empty or\n"
        "absent storage folder DIR (default: the one the backed-up ini names) and a new ini\n"
        "FILE (default: WORKDIR/tolvern.ini) whose SaveDataDir names DIR, written last: a\n"
        "restore cut short leaves no ini, and the same command run again finishes it. DIR\n"
        "may be a bucket, s3://BUCKET[/PREFIX], that holds no saves yet: the saves go there as\n"
        "objects, with the endpoint, region and keys of the backed-up ini's [Storage] (else\n"
        "AWS_ENDPOINT_URL, AWS_REGION, AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY), and the new\n"
        "ini names it. A backup of a PostgreSQL server restores its users into db/users.db;\n"
        "\"db copy\" moves them on.\n"
        "Exit status: 0 restored, 1 failed (nothing left behind), 6 a target is not empty,\n"
        "8 the backup does not match its manifest (nothing written), 64 wrong usage.\n");
}

int CBackupCommand::usageError(const QString &text, const QString &usage)
{
    CAdminCommand::printError(text);
    std::fputs(usage.toLocal8Bit().constData(), stderr);
    return CAdminCommand::EXIT_USAGE;
}

bool CBackupCommand::takeOption(QStringList &arguments, const QString &name, QString *value)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &word = arguments.at(i);
        if (word == name) {
            if (i + 1 >= arguments.size() || arguments.at(i + 1).isEmpty())
                return false;
            *value = arguments.at(i + 1);
            arguments.remove(i, 2);
            return true;
        }
        if (word.startsWith(name + QLatin1Char('='))) {
            *value = word.mid(name.size() + 1);
            arguments.remove(i);
            return !value->isEmpty();
        }
    }
    return true;
}

void CBackupCommand::progress(const QString &line)
{
    CAdminCommand::printError(line);
}

int CBackupCommand::runBackup(CAdminCommand &command, const QStringList &argumentsIn)
{
    if (wantsHelp(argumentsIn)) {
        CAdminCommand::printOut(backupUsage());
        return CAdminCommand::EXIT_OK;
    }
    if (!argumentsIn.isEmpty() && argumentsIn.first() == QLatin1String("verify"))
        return verify(command, argumentsIn.mid(1));
    QStringList arguments = argumentsIn;
    QString to, into, keepText;
    if (!takeOption(arguments, QStringLiteral("--to"), &to)
        || !takeOption(arguments, QStringLiteral("--into"), &into)
        || !takeOption(arguments, QStringLiteral("--keep"), &keepText))
        return usageError(QStringLiteral("backup: an option needs a value"), backupUsage());
    if (!arguments.isEmpty())
        return usageError(
            QStringLiteral("backup: unexpected argument %1").arg(arguments.first()), backupUsage());
    if (to.isEmpty() == into.isEmpty())
        return usageError(
            QStringLiteral("backup: give either --to DIR or --into PARENT"), backupUsage());
    bool keepOk = true;
    const int keep = keepText.isEmpty() ? 7 : keepText.toInt(&keepOk);
    if (!keepOk || keep < 1 || (!keepText.isEmpty() && into.isEmpty()))
        return usageError(
            QStringLiteral("backup: --keep takes a number from 1 up, with --into"), backupUsage());

    CServerSettings *settings = CServerSettings::instance();
    if (!command.loadStorage())
        return CAdminCommand::EXIT_NO_STORAGE;
    CUserDbConfig database;
    QString why;
    if (!CUserDbConfig::fromSettings(settings->snapshot(), &database, &why)) {
        CAdminCommand::printError(QStringLiteral("%1 (in %2)").arg(why, settings->iniFilePath()));
        return CAdminCommand::EXIT_DATABASE;
    }

    const QDir start(command.startDir);
    to = to.isEmpty() ? to : start.absoluteFilePath(to);
    into = into.isEmpty() ? into : start.absoluteFilePath(into);
    CBackup backup(database, settings->saveDataDir, settings->iniFilePath());
    backup.setProgressSink(&progress);
    CS3Config s3;
    if (settings->savesInS3() && CS3Config::fromSettings(*settings, &s3, &why))
        backup.setBucket(CS3Bucket::shared(s3));
    const CBackup::Status status = into.isEmpty() ? backup.run(to) : backup.runInto(into, keep);
    for (const QString &cut : backup.removedCutShort())
        CAdminCommand::printError(
            QStringLiteral("removed %1, left by a backup cut short").arg(cut));
    for (const QString &note : backup.notes())
        CAdminCommand::printError(QStringLiteral("left out %1").arg(note));
    if (status != CBackup::Status::Ok) {
        CAdminCommand::printError(QStringLiteral("backup failed: %1").arg(backup.errorText()));
        return status == CBackup::Status::TargetNotEmpty ? int(exitcode::TARGET_NOT_EMPTY)
                                                         : CAdminCommand::EXIT_DATABASE;
    }
    for (const QString &old : backup.removedBackups())
        CAdminCommand::printOut(QStringLiteral("Removed the older backup %1\n").arg(old));
    const CBackupManifest &manifest = backup.manifest();
    CAdminCommand::printOut(
        QStringLiteral("Backed up %1 users and %2 files (%3 MiB; %4 saves linked, %5 copied, "
                       "%6 sums taken from the last backup) into %7\n")
            .arg(manifest.userCount)
            .arg(manifest.files.size())
            .arg((manifest.totalBytes() + MIB - 1) / MIB)
            .arg(backup.linkedCount())
            .arg(backup.copiedCount())
            .arg(backup.reusedSumCount())
            .arg(backup.targetDir()));
    return CAdminCommand::EXIT_OK;
}

int CBackupCommand::verify(CAdminCommand &command, const QStringList &arguments)
{
    if (arguments.size() != 1)
        return usageError(QStringLiteral("backup verify: DIR expected"), backupUsage());
    const QString dir = QDir(command.startDir).absoluteFilePath(arguments.first());
    CRestore restore(dir);
    restore.setProgressSink(&progress);
    restore.setSettings(CServerSettings::instance()->snapshot());
    if (restore.check() != CRestore::Status::Ok) {
        for (const QString &problem : restore.problems())
            CAdminCommand::printError(problem);
        CAdminCommand::printError(restore.errorText());
        return exitcode::BACKUP_DAMAGED;
    }
    const CBackupManifest &manifest = restore.manifest();
    CAdminCommand::printOut(
        QStringLiteral("%1 matches its manifest: %2 users, %3 files (%4 MiB), "
                       "taken %5 by version %6\n")
            .arg(QDir::cleanPath(dir))
            .arg(manifest.userCount)
            .arg(manifest.files.size())
            .arg((manifest.totalBytes() + MIB - 1) / MIB)
            .arg(manifest.created.toString(Qt::ISODateWithMs), manifest.serverVersion));
    return CAdminCommand::EXIT_OK;
}

int CBackupCommand::runRestore(CAdminCommand &command, const QStringList &argumentsIn)
{
    if (wantsHelp(argumentsIn)) {
        CAdminCommand::printOut(restoreUsage());
        return CAdminCommand::EXIT_OK;
    }
    QStringList arguments = argumentsIn;
    QString from, storage;
    if (!takeOption(arguments, QStringLiteral("--from"), &from)
        || !takeOption(arguments, QStringLiteral("--storage"), &storage))
        return usageError(QStringLiteral("restore: an option needs a value"), restoreUsage());
    if (!arguments.isEmpty())
        return usageError(QStringLiteral("restore: unexpected argument %1").arg(arguments.first()),
            restoreUsage());
    if (from.isEmpty())
        return usageError(QStringLiteral("restore: --from BACKUP is needed"), restoreUsage());

    const QDir start(command.startDir);
    from = start.absoluteFilePath(from);
    const bool toBucket = CS3Config::isS3Url(storage);
    storage = storage.isEmpty() || toBucket ? storage : start.absoluteFilePath(storage);
    const QString workDir = QDir::currentPath();
    const QString ini
        = command.config.isEmpty() ? workDir + QStringLiteral("/tolvern.ini") : command.config;
    CRestore restore(from);
    restore.setProgressSink(&progress);
    restore.setSettings(CServerSettings::instance()->snapshot());
    if (storage.isEmpty())
        storage = restore.storedStorageDir(workDir);
    if (storage.isEmpty())
        return usageError(QStringLiteral("restore: the backup names no storage folder; give "
                                         "--storage DIR"),
            restoreUsage());
    const CRestore::Status status = restore.run(workDir, storage, ini);
    if (status != CRestore::Status::Ok) {
        for (const QString &problem : restore.problems())
            CAdminCommand::printError(problem);
        CAdminCommand::printError(QStringLiteral("restore failed: %1").arg(restore.errorText()));
        switch (status) {
        case CRestore::Status::TargetNotEmpty:
            return exitcode::TARGET_NOT_EMPTY;
        case CRestore::Status::Damaged:
            return exitcode::BACKUP_DAMAGED;
        default:
            return CAdminCommand::EXIT_DATABASE;
        }
    }
    const CBackupManifest &manifest = restore.manifest();
    CAdminCommand::printOut(
        QStringLiteral("Restored %1 users and %2 files from %3: users in %4, "
                       "saves in %5, ini %6\n")
            .arg(manifest.userCount)
            .arg(manifest.files.size())
            .arg(QDir::cleanPath(QFileInfo(from).absoluteFilePath()),
                workDir + QStringLiteral("/db/users.db"),
                toBucket ? storage : QDir::cleanPath(QFileInfo(storage).absoluteFilePath()), ini));
    if (manifest.databaseEngine == QLatin1String("postgresql"))
        CAdminCommand::printOut(QStringLiteral("The users came from PostgreSQL: put them back with "
                                               "tolvern-server db copy --from %1/db/users.db "
                                               "--to URL\n")
                                    .arg(workDir));
    return CAdminCommand::EXIT_OK;
}
