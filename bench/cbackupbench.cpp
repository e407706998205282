#include "cbackupbench.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace {

bool sameFileSystem(const QString &a, const QString &b)
{
    struct stat sa, sb;
    return ::stat(QFile::encodeName(a).constData(), &sa) == 0
        && ::stat(QFile::encodeName(b).constData(), &sb) == 0 && sa.st_dev == sb.st_dev;
}

} // namespace

CBackupBench::CBackupBench(
    const QString &serverPath, const QString &baseDir, const QString &otherDir)
    : server(serverPath)
    , base(baseDir.isEmpty() ? QDir::tempPath() : baseDir)
    , other(otherDir.isEmpty() ? QStringLiteral("/dev/shm") : otherDir)
{
}

void CBackupBench::note(const QString &line)
{
    std::fprintf(stderr, "[bench] %s\n", qPrintable(line));
    std::fflush(stderr);
}

double CBackupBench::timed(const QString &program, const QStringList &arguments, QString *error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        *error = QStringLiteral("%1 %2 failed: %3")
                     .arg(program, arguments.join(u' '),
                         QString::fromLocal8Bit(process.readAllStandardOutput()));
        return -1;
    }
    return double(clock.nsecsElapsed()) / 1e9;
}

bool CBackupBench::makeSaves(const QString &storage, QString *error) const
{
    // 128 users, two saves each, each save current and with one version: 512 files of 4 MiB,
    // the versions hard links of nothing (written apart, as after a later upload).
    QByteArray block(int(FILE_BYTES), '\0');
    int n = 0;
    for (qint64 written = 0; written < TOTAL_BYTES; written += FILE_BYTES, ++n) {
        const int user = 1 + (n / 4);
        const int save = (n / 2) % 2;
        const bool version = n % 2 == 1;
        const QString folder = version
            ? QStringLiteral("%1/%2/.versions/slot%3.z").arg(storage).arg(user).arg(save)
            : QStringLiteral("%1/%2").arg(storage).arg(user);
        const QString name = version ? QStringLiteral("2026-12-07T10-40-02.517Z")
                                     : QStringLiteral("slot%1.z").arg(save);
        for (int i = 0; i < block.size(); i += 4096)
            block[i] = char(n + i / 4096);
        QDir().mkpath(folder);
        QFile file(folder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::WriteOnly) || file.write(block) != block.size()) {
            *error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
            return false;
        }
    }
    // Saves on a server were synced when they were uploaded; the backup's own sync must not
    // pay for writing them here.
    ::sync();
    return true;
}

bool CBackupBench::run(const std::function<void(const Row &row)> &addRow)
{
    QString error;
    if (measure(addRow, &error))
        return true;
    note(QStringLiteral("figure 12: %1").arg(error));
    return false;
}

bool CBackupBench::measure(const std::function<void(const Row &row)> &addRow, QString *error)
{
    QTemporaryDir dir(base + QStringLiteral("/tolvern-backup-bench-XXXXXX"));
    QTemporaryDir otherDir(other + QStringLiteral("/tolvern-backup-bench-XXXXXX"));
    if (!dir.isValid() || !otherDir.isValid()) {
        *error = QStringLiteral("cannot make folders in %1 and %2").arg(base, other);
        return false;
    }
    if (sameFileSystem(dir.path(), otherDir.path())) {
        *error = QStringLiteral("%1 and %2 are on one file system").arg(base, other);
        return false;
    }
    const QString storage = dir.filePath(QStringLiteral("storage"));
    const QString work = dir.filePath(QStringLiteral("work"));
    const QString ini = dir.filePath(QStringLiteral("tolvern.ini"));
    QFile iniFile(ini);
    if (!iniFile.open(QIODevice::WriteOnly)
        || iniFile.write(QStringLiteral("[General]\nSaveDataDir=%1\n").arg(storage).toUtf8())
            <= 0) {
        *error = QStringLiteral("cannot write %1").arg(ini);
        return false;
    }
    iniFile.close();
    QDir().mkpath(work);
    note(QStringLiteral("figure 12: writing %1 MiB of saves in %2")
             .arg(TOTAL_BYTES >> 20)
             .arg(storage));
    const QStringList common
        = { QStringLiteral("--config"), ini, QStringLiteral("--workdir"), work };
    if (!makeSaves(storage, error)
        || timed(server,
               QStringList { QStringLiteral("users"), QStringLiteral("add"),
                   QStringLiteral("bench"), QStringLiteral("pw") }
                   + common,
               error)
            < 0)
        return false;

    // Best of each, in alternation, so both meet the same page cache and the same neighbours.
    double best[4] = { 1e9, 1e9, 1e9, 1e9 };
    for (int round = 0; round < repeats; ++round) {
        const QString tags[4] = { QStringLiteral("cp-al"), QStringLiteral("linked"),
            QStringLiteral("cp-a"), QStringLiteral("copied") };
        const QString targets[4] = { dir.filePath(tags[0]), dir.filePath(tags[1]),
            otherDir.filePath(tags[2]), otherDir.filePath(tags[3]) };
        const double seconds[4] = {
            timed(QStringLiteral("cp"), { QStringLiteral("-al"), storage, targets[0] }, error),
            timed(server,
                QStringList { QStringLiteral("backup"), QStringLiteral("--to"), targets[1] }
                    + common,
                error),
            timed(QStringLiteral("cp"), { QStringLiteral("-a"), storage, targets[2] }, error),
            timed(server,
                QStringList { QStringLiteral("backup"), QStringLiteral("--to"), targets[3] }
                    + common,
                error),
        };
        for (int i = 0; i < 4; ++i) {
            if (seconds[i] < 0)
                return false;
            best[i] = std::min(best[i], seconds[i]);
            QDir(targets[i]).removeRecursively();
        }
        note(QStringLiteral("figure 12 round %1: cp -al %2 s, backup (links) %3 s, cp -a %4 s, "
                            "backup (copies) %5 s")
                 .arg(round + 1)
                 .arg(seconds[0], 0, 'f', 2)
                 .arg(seconds[1], 0, 'f', 2)
                 .arg(seconds[2], 0, 'f', 2)
                 .arg(seconds[3], 0, 'f', 2));
    }

    Row linked;
    linked.figure = QStringLiteral("12 backup of 2 GiB of saves, same file system (links + sums)");
    linked.measured = QStringLiteral("%1 s").arg(best[1], 0, 'f', 2);
    linked.yardstick = QStringLiteral("cp -al %1 s").arg(best[0], 0, 'f', 2);
    linked.ratio
        = QStringLiteral("%1 of the target").arg(best[1] / SAME_FS_TARGET_SECONDS, 0, 'f', 2);
    linked.target = QStringLiteral("< %1 s").arg(SAME_FS_TARGET_SECONDS, 0, 'f', 0);
    linked.met = best[1] < SAME_FS_TARGET_SECONDS;
    addRow(linked);

    Row copied;
    copied.figure
        = QStringLiteral("12 backup of 2 GiB of saves onto another file system (copies + sums)");
    copied.measured = QStringLiteral("%1 s").arg(best[3], 0, 'f', 2);
    copied.yardstick = QStringLiteral("cp -a %1 s").arg(best[2], 0, 'f', 2);
    const double ratio = best[2] / best[3];
    copied.ratio = QStringLiteral("%1").arg(ratio, 0, 'f', 2);
    copied.target = QStringLiteral(">= %1 of cp -a").arg(OTHER_FS_TARGET_RATIO, 0, 'f', 1);
    copied.met = ratio >= OTHER_FS_TARGET_RATIO;
    addRow(copied);
    return true;
}
