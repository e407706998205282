#include "cstorageworker.h"

CStorageWorker::CStorageWorker(const StoreSource &source)
    : storeSource(source)
    , thread([this] { run(); })
{
}

CStorageWorker::~CStorageWorker()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    thread.join();
}

void CStorageWorker::setSpaceSource(const CSaveStore::SpaceSource &source)
{
    std::lock_guard<std::mutex> lock(mutex);
    spaceSource = source;
}

CSaveStore CStorageWorker::store() const
{
    CSaveStore out = storeSource();
    std::lock_guard<std::mutex> lock(mutex);
    if (spaceSource)
        out.setSpaceSource(spaceSource);
    return out;
}

void CStorageWorker::post(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        jobs.push_back(std::move(job));
    }
    wake.notify_one();
}

void CStorageWorker::run()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait(lock, [this] { return stopping || !jobs.empty(); });
            if (jobs.empty())
                return;
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        job();
    }
}

void CStorageWorker::requestRoom(quint64 upload, const QString &archive, qint64 written,
    qint64 needed, qint64 wanted, const RoomAnswer &answer)
{
    post([=] {
        // What the others may still write comes off the free space, whatever the volume
        // shows of them yet.
        qint64 reserved = 0;
        for (auto it = rooms.cbegin(); it != rooms.cend(); ++it) {
            if (it.key() != upload)
                reserved += qMax<qint64>(0, it->granted - it->written);
        }
        const CSaveStore limits = store();
        CSaveStore::Outcome outcome
            = limits.checkUpload(archive, wanted, qMax<qint64>(0, wanted - written), reserved);
        qint64 granted = wanted;
        if (!outcome.ok() && needed < wanted) {
            outcome
                = limits.checkUpload(archive, needed, qMax<qint64>(0, needed - written), reserved);
            granted = needed;
        }
        if (outcome.ok()) {
            rooms.insert(upload, Room { granted, written });
        } else {
            rooms.remove(upload);
            granted = -1;
        }
        answer(granted, outcome);
    });
}

void CStorageWorker::commitUpload(quint64 upload, const QString &archive, qint64 size,
    const std::function<bool()> &commit, const CommitAnswer &answer)
{
    post([this, upload, archive, size, commit = std::function<bool()>(commit), answer]() mutable {
        CSaveStore target = store();
        const CSaveStore::Outcome outcome = target.commitUpload(archive, size, commit, true);
        commit = nullptr;
        rooms.remove(upload);
        answer(outcome);
        // Removing a large old version takes the file system a while: the client has its
        // answer first.
        if (!outcome.toGiveUp.isEmpty())
            target.pruneVersions(outcome.toGiveUp);
    });
}

void CStorageWorker::writeBack(const std::function<void()> &start)
{
    post(start);
}

void CStorageWorker::endUpload(quint64 upload)
{
    post([this, upload] { rooms.remove(upload); });
}
