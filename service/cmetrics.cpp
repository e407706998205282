#include "cmetrics.h"

#include <dirent.h>
#include <unistd.h>

#include <QFile>

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

const char *const PORT_NAMES[] = { "control", "file" };
const char *const COMMAND_NAMES[] = { "add_user", "login", "change_pass" };
const char *const SCOPE_NAMES[] = { "name", "address" };
const char *const DIRECTION_NAMES[] = { "download", "upload" };
const char *const RESULT_NAMES[] = { "ok", "failed", "refused" };
const char *const REASON_NAMES[] = { "max_save_bytes", "max_user_bytes", "min_free_bytes",
    "unsafe_name", "history_name", "no_login", "other" };

void header(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(QByteArray &out, const char *name, const QByteArray &labels, qint64 value)
{
    out += name;
    if (!labels.isEmpty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += QByteArray::number(value);
    out += '\n';
}

QByteArray label(const char *key, const char *value)
{
    return QByteArray(key) + "=\"" + value + '"';
}

QByteArray number(double value)
{
    return QByteArray::number(value, 'g', 12);
}

// Resident set in bytes, from /proc/self/statm; -1 when it cannot be read.
qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    if (fields.size() < 2)
        return -1;
    return fields.at(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}

qint64 openDescriptors()
{
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return -1;
    qint64 count = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(dir);
    return count - 1; // the one opendir() holds
}

} // namespace

CMetrics::Histogram::Histogram(std::vector<double> bounds)
    : upper(std::move(bounds))
    , counts(new std::atomic<qint64>[upper.size() + 1])
{
    for (size_t i = 0; i <= upper.size(); ++i)
        counts[i].store(0, relaxed);
}

void CMetrics::Histogram::observe(double value)
{
    size_t i = 0;
    while (i < upper.size() && value > upper[i])
        ++i;
    counts[i].fetch_add(1, relaxed);
    total.fetch_add(1, relaxed);
    sumMicros.fetch_add(qint64(value * 1e6), relaxed);
}

void CMetrics::Histogram::render(QByteArray &out, const char *name, const char *help) const
{
    header(out, name, "histogram", help);
    const QByteArray bucket = QByteArray(name) + "_bucket";
    qint64 cumulative = 0;
    for (size_t i = 0; i < upper.size(); ++i) {
        cumulative += counts[i].load(relaxed);
        sample(out, bucket.constData(), "le=\"" + number(upper[i]) + '"', cumulative);
    }
    cumulative += counts[upper.size()].load(relaxed);
    sample(out, bucket.constData(), "le=\"+Inf\"", cumulative);
    out += name;
    out += "_sum " + number(double(sumMicros.load(relaxed)) / 1e6) + '\n';
    sample(out, (QByteArray(name) + "_count").constData(), QByteArray(), total.load(relaxed));
}

CMetrics::CMetrics()
    : batchSize({ 1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 4096 })
    , commitSeconds({ 0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.25, 0.5, 1, 5 })
{
}

void CMetrics::connectionOpened(Port port)
{
    open[port].fetch_add(1, relaxed);
}

void CMetrics::connectionClosed(Port port)
{
    open[port].fetch_sub(1, relaxed);
}

void CMetrics::commandAnswered(Command command, int result)
{
    // Codes past the known ones share the last slot rather than run off the table.
    commands[command][qBound(0, result, RESULT_COUNT)].fetch_add(1, relaxed);
}

void CMetrics::lockStarted(LockScope scope)
{
    lockouts[scope].fetch_add(1, relaxed);
}

void CMetrics::batchCommitted(int size, qint64 nsecs, bool ok)
{
    batches[ok ? 0 : 1].fetch_add(1, relaxed);
    batchSize.observe(size);
    commitSeconds.observe(double(nsecs) / 1e9);
}

void CMetrics::transferEnded(Direction direction, TransferResult result, qint64 count)
{
    transfers[direction][result].fetch_add(1, relaxed);
    bytes[direction][result].fetch_add(qMax(qint64(0), count), relaxed);
}

void CMetrics::uploadRefused(RefusalReason reason)
{
    refusals[reason].fetch_add(1, relaxed);
}

CMetrics::RefusalReason CMetrics::reasonOf(const QString &message)
{
    if (message.contains(QLatin1String("MaxSaveBytes")))
        return MaxSaveBytes;
    if (message.contains(QLatin1String("MaxUserBytes")))
        return MaxUserBytes;
    if (message.contains(QLatin1String("MinFreeBytes")))
        return MinFreeBytes;
    return OtherReason;
}

void CMetrics::setStorage(qint64 used, qint64 freeBytes)
{
    storageUsed.store(used, relaxed);
    storageFree.store(freeBytes, relaxed);
}

void CMetrics::setOutageSource(std::function<qint64()> source)
{
    outageSource = std::move(source);
}

qint64 CMetrics::connectionsOpen(Port port) const
{
    return open[port].load(relaxed);
}

QByteArray CMetrics::render() const
{
    QByteArray out;
    out.reserve(8192);
    header(out, "tolvern_connections_open", "gauge", "Client connections open, by port.");
    for (int p = 0; p < PORT_COUNT; ++p)
        sample(
            out, "tolvern_connections_open", label("port", PORT_NAMES[p]), open[p].load(relaxed));

    header(out, "tolvern_commands_total", "counter",
        "Control port commands answered, by command and result code.");
    for (int c = 0; c < COMMAND_COUNT; ++c) {
        for (int r = 0; r <= RESULT_COUNT; ++r) {
            const qint64 n = commands[c][r].load(relaxed);
            // Every known pair is shown, so rates start at zero rather than appear later.
            if (r == RESULT_COUNT && n == 0)
                continue;
            const QByteArray result = r == RESULT_COUNT ? "other" : QByteArray::number(r);
            sample(out, "tolvern_commands_total",
                label("command", COMMAND_NAMES[c]) + ',' + label("result", result.constData()), n);
        }
    }

    header(out, "tolvern_lockouts_total", "counter", "Login locks started, by scope.");
    for (int s = 0; s < LOCK_SCOPE_COUNT; ++s)
        sample(out, "tolvern_lockouts_total", label("scope", SCOPE_NAMES[s]),
            lockouts[s].load(relaxed));

    header(out, "tolvern_commit_batches_total", "counter",
        "Group commits of the user database, by result.");
    sample(out, "tolvern_commit_batches_total", label("result", "ok"), batches[0].load(relaxed));
    sample(
        out, "tolvern_commit_batches_total", label("result", "failed"), batches[1].load(relaxed));
    batchSize.render(out, "tolvern_commit_batch_size", "Requests per group commit.");
    commitSeconds.render(
        out, "tolvern_commit_seconds", "Time a group commit takes, sync included.");

    header(out, "tolvern_transfers_total", "counter",
        "File transfers ended, by direction and result.");
    for (int d = 0; d < DIRECTION_COUNT; ++d) {
        for (int r = 0; r < TRANSFER_RESULT_COUNT; ++r) {
            sample(out, "tolvern_transfers_total",
                label("direction", DIRECTION_NAMES[d]) + ',' + label("result", RESULT_NAMES[r]),
                transfers[d][r].load(relaxed));
        }
    }
    header(out, "tolvern_transfer_bytes_total", "counter",
        "Archive bytes of ended file transfers, by direction and result.");
    for (int d = 0; d < DIRECTION_COUNT; ++d) {
        for (int r = 0; r < TRANSFER_RESULT_COUNT; ++r) {
            sample(out, "tolvern_transfer_bytes_total",
                label("direction", DIRECTION_NAMES[d]) + ',' + label("result", RESULT_NAMES[r]),
                bytes[d][r].load(relaxed));
        }
    }
    header(out, "tolvern_uploads_refused_total", "counter",
        "Uploads and transfers refused, by reason.");
    for (int r = 0; r < REFUSAL_REASON_COUNT; ++r)
        sample(out, "tolvern_uploads_refused_total", label("reason", REASON_NAMES[r]),
            refusals[r].load(relaxed));

    header(out, "tolvern_storage_bytes", "gauge", "Bytes in the storage folder, history included.");
    sample(out, "tolvern_storage_bytes", QByteArray(), storageUsed.load(relaxed));
    header(out, "tolvern_storage_free_bytes", "gauge", "Free bytes on the storage volume.");
    sample(out, "tolvern_storage_free_bytes", QByteArray(), storageFree.load(relaxed));

    header(out, "tolvern_database_outages_total", "counter",
        "Times the user database became unreachable.");
    sample(out, "tolvern_database_outages_total", QByteArray(), outageSource ? outageSource() : 0);

    header(out, "tolvern_process_resident_memory_bytes", "gauge", "Resident memory of the server.");
    sample(out, "tolvern_process_resident_memory_bytes", QByteArray(), residentBytes());
    header(out, "tolvern_process_open_fds", "gauge", "Open file descriptors of the server.");
    sample(out, "tolvern_process_open_fds", QByteArray(), openDescriptors());
    return out;
}
