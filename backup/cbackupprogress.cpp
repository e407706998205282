#include "cbackupprogress.h"

namespace {

constexpr qint64 INTERVAL_MS = 1000;

} // namespace

CBackupProgress::CBackupProgress(
    const Sink &sink, const QString &step, qint64 totalFiles, qint64 totalBytes)
    : out(sink)
    , label(step)
    , fileTotal(totalFiles)
    , byteTotal(totalBytes)
{
    clock.start();
}

CBackupProgress::~CBackupProgress()
{
    if (reported && out)
        out(line());
}

QString CBackupProgress::line() const
{
    constexpr qint64 MIB = 1 << 20;
    return QStringLiteral("%1: %2 of %3 files, %4 of %5 MiB")
        .arg(label)
        .arg(fileCount)
        .arg(fileTotal)
        .arg(byteCount / MIB)
        .arg((byteTotal + MIB - 1) / MIB);
}

void CBackupProgress::add(qint64 files, qint64 bytes)
{
    std::lock_guard<std::mutex> guard(lock);
    fileCount += files;
    byteCount += bytes;
    const qint64 now = clock.elapsed();
    if (!out || now < INTERVAL_MS || now - lastReport < INTERVAL_MS)
        return;
    lastReport = now;
    reported = true;
    out(line());
}

CBackupProgress::Totals CBackupProgress::fromTotals(
    const Sink &sink, const QString &step, std::unique_ptr<CBackupProgress> &progress)
{
    return [sink, step, &progress, last = qint64(0)](
               qint64, qint64 bytes, qint64 totalFiles, qint64 totalBytes) mutable {
        if (!progress)
            progress = std::make_unique<CBackupProgress>(sink, step, totalFiles, totalBytes);
        progress->add(1, bytes - last);
        last = bytes;
    };
}
