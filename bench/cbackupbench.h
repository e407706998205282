#ifndef CBACKUPBENCH_H
#define CBACKUPBENCH_H

#include <functional>

#include <QString>

#include "cbenchrunner.h"

// Figure 12: "tolvern-server backup" of 2 GiB of saves (archives and versions, as a server
// keeps them), on the storage's own file system (hard links plus every file's sum) and
// onto another one (copies plus sums), each beside cp of the same tree in the same run:
// cp -al for the first, cp -a for the second.
class CBackupBench
{
public:
    using Row = CBenchRunner::Row;

    // serverPath: the tolvern-server to run; baseDir: where the saves go (empty: the temp
    // folder); otherDir: a folder on another file system (empty: /dev/shm).
    CBackupBench(const QString &serverPath, const QString &baseDir, const QString &otherDir = {});

    // Adds the two rows; false, with the reason on stderr, when they could not be measured.
    bool run(const std::function<void(const Row &row)> &addRow);

    static constexpr qint64 TOTAL_BYTES = qint64(2) << 30;
    static constexpr qint64 FILE_BYTES = qint64(4) << 20;
    static constexpr double SAME_FS_TARGET_SECONDS = 2.0;
    static constexpr double OTHER_FS_TARGET_RATIO = 0.8;

private:
    bool measure(const std::function<void(const Row &row)> &addRow, QString *error);
    bool makeSaves(const QString &storage, QString *error) const;
    // Seconds of one run of program, or a negative number.
    static double timed(const QString &program, const QStringList &arguments, QString *error);
    static void note(const QString &line);

    QString server;
    QString base;
    QString other;
    int repeats = 2;
};

#endif // CBACKUPBENCH_H
