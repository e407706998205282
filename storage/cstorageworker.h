#ifndef CSTORAGEWORKER_H
#define CSTORAGEWORKER_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <QHash>

#include "csavestore.h"

namespace libsock {
class CUploadSink;
}

// The file port's storage work on a thread of its own, one job at a time in the order asked:
// the looks at the limits (free space, folder walks) with the room of every upload in flight
// counted in one place, and the commits with their syncs, version links, the storage lock and
// the prunes after them (or, for saves in an object store, the requests that do the same). The
// thread that moves the bytes only hands jobs over; every answer is called on the worker's thread,
// and the caller carries it back to its own.
class CStorageWorker
{
public:
    // A store for each job, so a changed setting counts from the next upload on.
    using StoreSource = std::function<std::unique_ptr<CAbstractSaveStore>()>;
    using RoomAnswer = std::function<void(qint64 granted, const CSaveStore::Outcome &outcome)>;
    using CommitAnswer = std::function<void(const CSaveStore::Outcome &outcome)>;

    explicit CStorageWorker(const StoreSource &source);
    // Finishes the jobs already handed over, so no complete upload is dropped.
    ~CStorageWorker();
    CStorageWorker(const CStorageWorker &) = delete;
    CStorageWorker &operator=(const CStorageWorker &) = delete;

    // Tests put a small volume in place of statvfs(); from the next job on.
    void setSpaceSource(const CSaveStore::SpaceSource &source);

    // Room for an upload that has written bytes on disk and needs needed in all: wanted when
    // the limits allow it, else needed, else refused (granted -1). Room granted and not yet
    // written by the other uploads counts as taken on the volume.
    void requestRoom(quint64 upload, const QString &archive, qint64 written, qint64 needed,
        qint64 wanted, const RoomAnswer &answer);
    // The store's commitUpload() with sink, then the upload's room is free again. sink is
    // dropped before the answer, so whatever it holds is gone by then. Versions given up go
    // after the answer.
    void commitUpload(quint64 upload, const QString &archive, qint64 size,
        const std::shared_ptr<libsock::CUploadSink> &sink, const CommitAnswer &answer);
    // Runs start, which only starts an upload's write-back, in turn with the other jobs.
    void writeBack(const std::function<void()> &start);
    // The upload has ended: its room is free again.
    void endUpload(quint64 upload);

private:
    struct Room
    {
        qint64 granted = 0;
        qint64 written = 0;
    };

    void post(std::function<void()> job);
    void run();
    // Null when the settings name an incomplete bucket.
    std::unique_ptr<CAbstractSaveStore> store() const;

    StoreSource storeSource;
    // Worker thread only.
    QHash<quint64, Room> rooms;

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs; // guarded by mutex
    CSaveStore::SpaceSource spaceSource; // guarded by mutex
    bool stopping = false; // guarded by mutex
    std::thread thread;
};

#endif // CSTORAGEWORKER_H
