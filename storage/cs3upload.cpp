#include "cs3upload.h"

#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include <QRandomGenerator>

#include "cs3bucket.h"
#include "ctransferdigest.h"

struct CS3Upload::State
{
    std::mutex mutex;
    std::condition_variable settled;
    QString uploadId; // guarded by mutex
    bool creating = false; // guarded by mutex
    bool abandoned = false; // guarded by mutex: the sink has gone
    std::vector<std::pair<int, QByteArray>> queued; // guarded by mutex: waiting for uploadId
    std::vector<QByteArray> etags; // guarded by mutex
    int inFlight = 0; // guarded by mutex
    qint64 pending = 0; // guarded by mutex: bytes sent and not yet acknowledged
    QString failure; // guarded by mutex
    std::vector<std::pair<qint64, std::function<void()>>> waiters; // guarded by mutex
    // Parts' buffers back from the store, for the next parts: a part's worth of fresh pages
    // costs the connection's thread more than its copy.
    std::vector<QByteArray> spare; // guarded by mutex

    // With mutex held: the waiters whose bound is reached (all of them after a failure).
    std::vector<std::function<void()>> readyWaiters()
    {
        std::vector<std::function<void()>> ready;
        for (auto it = waiters.begin(); it != waiters.end();) {
            if (pending <= it->first || !failure.isEmpty()) {
                ready.push_back(std::move(it->second));
                it = waiters.erase(it);
            } else {
                ++it;
            }
        }
        return ready;
    }

    void settle(int number, qint64 size, const QByteArray &etag, const QString &error)
    {
        std::vector<std::function<void()>> ready;
        {
            std::lock_guard<std::mutex> lock(mutex);
            --inFlight;
            pending -= size;
            if (!error.isEmpty() && failure.isEmpty())
                failure = QStringLiteral("part %1: %2").arg(number).arg(error);
            if (error.isEmpty()) {
                if (etags.size() < size_t(number))
                    etags.resize(size_t(number));
                etags[size_t(number) - 1] = etag;
            }
            ready = readyWaiters();
        }
        settled.notify_all();
        for (const auto &call : ready)
            call();
    }

    static void startPart(const std::shared_ptr<State> &state, CS3Bucket *bucket,
        const QString &key, const QString &uploadId, int number, const QByteArray &bytes)
    {
        bucket->uploadPart(key, uploadId, number, bytes,
            [state, number, part = QByteArray(bytes)](
                const QByteArray &etag, const QString &error) mutable {
                state->settle(number, part.size(), etag, error);
                std::lock_guard<std::mutex> lock(state->mutex);
                if (state->spare.size() < 2)
                    state->spare.push_back(std::exchange(part, QByteArray()));
            });
    }
};

CS3Upload::CS3Upload(const std::shared_ptr<CS3Bucket> &store, const QString &stagingKey)
    : bucket(store)
    , state(std::make_shared<State>())
    , key(stagingKey)
{
    result.token = QByteArray::number(QRandomGenerator::global()->generate64(), 16)
        + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
}

CS3Upload::~CS3Upload()
{
    QString id;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        id = state->uploadId;
        state->abandoned = true;
    }
    if (completed) {
        CS3Client::Request drop;
        drop.method = "DELETE";
        drop.key = key;
        bucket->client().send(drop, nullptr);
    } else {
        // Parts still in flight go with it; an upload being created is aborted once it is
        // (below), and the store's clean-up at start takes what a crash leaves.
        bucket->abortUpload(key, id);
    }
}

QString CS3Upload::errorText() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->failure;
}

void CS3Upload::setDigest(const std::shared_ptr<libsock::CTransferDigest> &sum)
{
    digest = sum;
    if (!digest)
        return;
    // An upload dropped meanwhile takes its parts with it; its last pieces go nowhere.
    digest->setSink([self = weak_from_this()](const char *data, qint64 size) {
        if (const std::shared_ptr<CS3Upload> upload = self.lock())
            upload->write(data, size);
    });
}

bool CS3Upload::failed() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return !state->failure.isEmpty();
}

bool CS3Upload::write(const char *data, qint64 size)
{
    bool create = false;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!state->failure.isEmpty())
            return false;
        // A save that will take parts: its multipart upload is begun while the first fills.
        create = total + size >= CS3Bucket::PART_BYTES * 3 / 4 && !state->creating;
        state->creating = state->creating || create;
    }
    if (create)
        createUpload();
    total += size;
    qint64 at = 0;
    while (at < size) {
        if (filling.capacity() < CS3Bucket::PART_BYTES)
            filling = freshPart();
        const qint64 n = qMin(size - at, CS3Bucket::PART_BYTES - filling.size());
        filling.append(data + at, qsizetype(n));
        at += n;
        if (filling.size() == CS3Bucket::PART_BYTES)
            sendPart(std::exchange(filling, QByteArray()));
    }
    return true;
}

QByteArray CS3Upload::freshPart()
{
    QByteArray part;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        // One the store's client still holds would be copied on the first write.
        while (!state->spare.empty() && part.isEmpty()) {
            part = std::move(state->spare.back());
            state->spare.pop_back();
            if (!part.isDetached())
                part = QByteArray();
        }
    }
    part.resize(0);
    part.reserve(CS3Bucket::PART_BYTES);
    return part;
}

void CS3Upload::sendPart(QByteArray bytes)
{
    const int number = ++parts;
    bool create = false;
    QString id;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->pending += bytes.size();
        ++state->inFlight;
        id = state->uploadId;
        if (id.isEmpty()) {
            state->queued.emplace_back(number, bytes);
            create = !state->creating;
            state->creating = true;
        }
    }
    if (!id.isEmpty())
        State::startPart(state, bucket.get(), key, id, number, bytes);
    else if (create)
        createUpload();
}

void CS3Upload::createUpload()
{
    CS3Bucket *store = bucket.get();
    bucket->createUpload(
        key, [shared = state, store, stagingKey = key](const QString &made, const QString &error) {
            std::vector<std::pair<int, QByteArray>> waiting;
            bool abandoned = false;
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                shared->uploadId = made;
                // Without an upload id every part fails; none waits for one any more.
                if (made.isEmpty() && shared->failure.isEmpty())
                    shared->failure = QStringLiteral("starting the upload: %1").arg(error);
                waiting.swap(shared->queued);
                abandoned = shared->abandoned;
            }
            if (abandoned) {
                store->abortUpload(stagingKey, made);
                return;
            }
            for (auto &part : waiting) {
                if (made.isEmpty())
                    shared->settle(part.first, part.second.size(), QByteArray(), error);
                else
                    State::startPart(shared, store, stagingKey, made, part.first, part.second);
            }
        });
}

qint64 CS3Upload::backlog() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->pending;
}

void CS3Upload::whenBelow(qint64 bytes, const std::function<void()> &ready)
{
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->pending > bytes && state->failure.isEmpty()) {
            state->waiters.emplace_back(bytes, ready);
            return;
        }
    }
    ready();
}

bool CS3Upload::commit()
{
    // The bytes still with the digest reach the parts first.
    if (digest)
        digest->settle();
    result.size = total;
    if (parts == 0) {
        // One part at most: it goes straight to the archive's key when published.
        result.body = std::exchange(filling, QByteArray());
    } else {
        if (!filling.isEmpty())
            sendPart(std::exchange(filling, QByteArray()));
        std::vector<QByteArray> tags;
        QString id;
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->settled.wait(lock, [this] { return state->inFlight == 0; });
            if (!state->failure.isEmpty())
                return false;
            tags = state->etags;
            id = state->uploadId;
        }
        QString error;
        if (!bucket->completeUpload(key, id, QList<QByteArray>(tags.begin(), tags.end()), &error)) {
            std::lock_guard<std::mutex> lock(state->mutex);
            state->failure = QStringLiteral("completing the upload: %1").arg(error);
            return false;
        }
        completed = true;
        result.key = key;
    }
    if (digest) {
        std::promise<QString> sum;
        digest->finish([&sum](const QString &hex) { sum.set_value(hex); });
        result.sum = sum.get_future().get();
    }
    return true;
}
