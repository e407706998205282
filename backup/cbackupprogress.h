#ifndef CBACKUPPROGRESS_H
#define CBACKUPPROGRESS_H

#include <functional>
#include <memory>
#include <mutex>

#include <QElapsedTimer>
#include <QString>

// Progress of a long step for the operator: "Saves: 812 of 2048 files, 801 of 2048 MiB", at
// most once a second and only once the step has taken a second, so short runs stay quiet.
// Safe to feed from several threads.
class CBackupProgress
{
public:
    using Sink = std::function<void(const QString &line)>;

    CBackupProgress(const Sink &sink, const QString &step, qint64 totalFiles, qint64 totalBytes);
    // The closing line, when anything was said.
    ~CBackupProgress();

    void add(qint64 files, qint64 bytes);

    // For a copy that reports running totals after each file (so far, of all there are): the
    // step is made in progress at the first report, so its closing line comes when it goes.
    using Totals
        = std::function<void(qint64 files, qint64 bytes, qint64 totalFiles, qint64 totalBytes)>;
    static Totals fromTotals(
        const Sink &sink, const QString &step, std::unique_ptr<CBackupProgress> &progress);

private:
    QString line() const;

    Sink out;
    QString label;
    qint64 fileTotal = 0;
    qint64 byteTotal = 0;
    qint64 fileCount = 0;
    qint64 byteCount = 0;
    qint64 lastReport = 0;
    bool reported = false;
    QElapsedTimer clock;
    std::mutex lock;
};

#endif // CBACKUPPROGRESS_H
