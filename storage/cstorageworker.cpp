#include "cstorageworker.h"

#include <QCoreApplication>

#include "cuploadsink.h"

namespace {

CSaveStore::Outcome unconfigured()
{
    CSaveStore::Outcome out;
    out.status = CSaveStore::Status::Failed;
    out.message = QCoreApplication::translate("CSaveStore", "the save store is not set up");
    return out;
}

} // namespace

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

std::unique_ptr<CAbstractSaveStore> CStorageWorker::store() const
{
    std::unique_ptr<CAbstractSaveStore> out = storeSource();
    std::lock_guard<std::mutex> lock(mutex);
    if (auto *files = dynamic_cast<CSaveStore *>(out.get()); files && spaceSource)
        files->setSpaceSource(spaceSource);
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
        const std::unique_ptr<CAbstractSaveStore> limits = store();
        if (!limits) {
            rooms.remove(upload);
            answer(-1, unconfigured());
            return;
        }
        CSaveStore::Outcome outcome
            = limits->checkUpload(archive, wanted, qMax<qint64>(0, wanted - written), reserved);
        qint64 granted = wanted;
        if (!outcome.ok() && needed < wanted) {
            outcome
                = limits->checkUpload(archive, needed, qMax<qint64>(0, needed - written), reserved);
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
    const std::shared_ptr<libsock::CUploadSink> &sink, const CommitAnswer &answer)
{
    post([this, upload, archive, size, sink = std::shared_ptr<libsock::CUploadSink>(sink),
             answer]() mutable {
        const std::unique_ptr<CAbstractSaveStore> target = store();
        const CSaveStore::Outcome outcome
            = target ? target->commitUpload(archive, size, sink, true) : unconfigured();
        sink.reset();
        rooms.remove(upload);
        answer(outcome);
        // Removing a large old version takes the file system a while: the client has its
        // answer first.
        if (target && !outcome.toGiveUp.isEmpty())
            target->pruneVersions(outcome.toGiveUp);
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
