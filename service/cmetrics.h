#ifndef CMETRICS_H
#define CMETRICS_H

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include <QByteArray>
#include <QString>

// The server's counters for Prometheus (/metrics), bumped where the events happen, on any
// thread, with relaxed atomics: a scrape may see one counter a step ahead of another, never
// a torn value. Rendering reads the process's memory and descriptors from /proc, so it
// belongs on a worker, not on a network thread.
class CMetrics
{
public:
    enum Port { ControlPort, FilePort, PORT_COUNT };
    enum Command { AddUser, Login, ChangePass, COMMAND_COUNT };
    static constexpr int RESULT_COUNT = 5; // the control port's result codes 0..4
    enum LockScope { NameLock, AddressLock, LOCK_SCOPE_COUNT };
    enum Direction { Download, Upload, DIRECTION_COUNT };
    enum TransferResult { TransferOk, TransferFailed, TransferRefused, TRANSFER_RESULT_COUNT };
    enum RefusalReason {
        MaxSaveBytes,
        MaxUserBytes,
        MinFreeBytes,
        UnsafeName,
        HistoryName,
        NoLogin,
        OtherReason,
        REFUSAL_REASON_COUNT
    };

    // A histogram over fixed upper bounds; observations in the unit of the bounds.
    class Histogram
    {
    public:
        explicit Histogram(std::vector<double> bounds);
        void observe(double value);
        void render(QByteArray &out, const char *name, const char *help) const;

    private:
        std::vector<double> upper;
        std::unique_ptr<std::atomic<qint64>[]> counts; // one per bound, then +Inf
        std::atomic<qint64> total { 0 };
        std::atomic<qint64> sumMicros { 0 };
    };

    CMetrics();

    void connectionOpened(Port port);
    void connectionClosed(Port port);
    void commandAnswered(Command command, int result);
    void lockStarted(LockScope scope);
    // One group commit: its requests, how long it took, whether it was stored.
    void batchCommitted(int size, qint64 nsecs, bool ok);
    void transferEnded(Direction direction, TransferResult result, qint64 bytes);
    void uploadRefused(RefusalReason reason);
    // The CSaveStore message of a refused upload, as a reason.
    static RefusalReason reasonOf(const QString &message);
    void setStorage(qint64 bytes, qint64 freeBytes);
    // Saves stored, restored or deleted: the storage's size is to be measured again. Stored
    // uploads count by themselves (transferEnded).
    void storageChanged() { changes.fetch_add(1, std::memory_order_relaxed); }
    qint64 storageChanges() const { return changes.load(std::memory_order_relaxed); }
    // Where the count of database outages comes from (the user database keeps it).
    void setOutageSource(std::function<qint64()> source);

    qint64 connectionsOpen(Port port) const;
    qint64 storageBytes() const { return storageUsed.load(std::memory_order_relaxed); }
    qint64 storageFreeBytes() const { return storageFree.load(std::memory_order_relaxed); }

    // The Prometheus text format 0.0.4.
    QByteArray render() const;

private:
    static void renderProcess(QByteArray &out);

    std::array<std::atomic<qint64>, PORT_COUNT> open {};
    std::array<std::array<std::atomic<qint64>, RESULT_COUNT + 1>, COMMAND_COUNT> commands {};
    std::array<std::atomic<qint64>, LOCK_SCOPE_COUNT> lockouts {};
    std::array<std::atomic<qint64>, 2> batches {}; // stored, failed
    Histogram batchSize;
    Histogram commitSeconds;
    std::array<std::array<std::atomic<qint64>, TRANSFER_RESULT_COUNT>, DIRECTION_COUNT>
        transfers {};
    std::array<std::array<std::atomic<qint64>, TRANSFER_RESULT_COUNT>, DIRECTION_COUNT> bytes {};
    std::array<std::atomic<qint64>, REFUSAL_REASON_COUNT> refusals {};
    std::atomic<qint64> storageUsed { -1 };
    std::atomic<qint64> storageFree { -1 };
    std::atomic<qint64> changes { 0 };
    std::function<qint64()> outageSource;
};

#endif // CMETRICS_H
