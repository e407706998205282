#include "cmetrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
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

// Virtual and resident size in bytes, from /proc/self/statm; -1 when it cannot be read.
void memoryBytes(qint64 &virtualBytes, qint64 &residentBytes)
{
    virtualBytes = residentBytes = -1;
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    if (fields.size() < 2)
        return;
    const qint64 page = ::sysconf(_SC_PAGESIZE);
    virtualBytes = fields.at(0).toLongLong() * page;
    residentBytes = fields.at(1).toLongLong() * page;
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

qint64 maxDescriptors()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -1;
    return qint64(limit.rlim_cur);
}

double cpuSeconds()
{
    rusage usage {};
    if (::getrusage(RUSAGE_SELF, &usage) != 0)
        return -1;
    const auto seconds
        = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The process's start in seconds since the epoch: its start in clock ticks after boot
// (/proc/self/stat), and the boot's time from the clocks rather than /proc/stat, which a
// confined service (ProcSubset=pid) cannot read.
double startTimeSeconds()
{
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // The name in parentheses may hold blanks: the fields are counted after its end.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    constexpr int STARTTIME = 22 - 3; // field 22 of stat(5), counted from field 3
    if (fields.size() <= STARTTIME)
        return -1;
    timespec now {};
    timespec sinceBoot {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    ::clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
    const double boot
        = double(now.tv_sec - sinceBoot.tv_sec) + double(now.tv_nsec - sinceBoot.tv_nsec) / 1e9;
    return boot + double(fields.at(STARTTIME).toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

} // namespace

// The process figures every Prometheus client library exports, by their standard names.
void CMetrics::renderProcess(QByteArray &out)
{
    qint64 virtualBytes = -1;
    qint64 residentBytes = -1;
    memoryBytes(virtualBytes, residentBytes);
    header(out, "process_cpu_seconds_total", "counter",
        "Total user and system CPU time spent in seconds.");
    out += "process_cpu_seconds_total " + number(cpuSeconds()) + '\n';
    header(out, "process_open_fds", "gauge", "Number of open file descriptors.");
    sample(out, "process_open_fds", QByteArray(), openDescriptors());
    header(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.");
    sample(out, "process_max_fds", QByteArray(), maxDescriptors());
    header(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
    sample(out, "process_virtual_memory_bytes", QByteArray(), virtualBytes);
    header(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    sample(out, "process_resident_memory_bytes", QByteArray(), residentBytes);
    header(out, "process_start_time_seconds", "gauge",
        "Start time of the process since unix epoch in seconds.");
    // Read once: computed from two clocks, it would wobble in the last digit between scrapes.
    static const double started = startTimeSeconds();
    out += "process_start_time_seconds " + QByteArray::number(started, 'f', 2) + '\n';
}

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
    if (direction == Upload && result == TransferOk)
        storageChanged();
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

    renderProcess(out);
    return out;
}
