#include "cs3download.h"

#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "cposttarget.h"

struct CS3Download::Stream
{
    std::mutex mutex;
    std::deque<QByteArray> pieces; // guarded by mutex
    qsizetype offset = 0; // into the first piece; guarded by mutex
    qint64 buffered = 0; // guarded by mutex
    bool paused = false; // guarded by mutex
    bool told = false; // guarded by mutex: the reader has a wake-up on its way
    bool ended = false; // guarded by mutex
    bool gone = false; // guarded by mutex: the reader is
    QString error; // guarded by mutex
    // Pieces read, for the next ones: fresh pages for every piece cost more than the copy.
    std::vector<QByteArray> spare; // guarded by mutex

    // With mutex held.
    void keep(const char *data, qint64 size)
    {
        QByteArray piece;
        if (!spare.empty()) {
            piece = std::move(spare.back());
            spare.pop_back();
        }
        piece.resize(0);
        piece.append(data, qsizetype(size));
        pieces.push_back(std::move(piece));
        buffered += size;
    }
};

CS3Download::CS3Download(const std::shared_ptr<CS3Bucket> &store, const QString &objectKey,
    const CS3Bucket::Head &head, QObject *parent)
    : QIODevice(parent)
    , bucket(store)
    , inbox(CPostTarget::of(this))
    , stream(std::make_shared<Stream>())
    , key(objectKey)
    , object(head)
{
}

CS3Download::~CS3Download()
{
    inbox->close();
    {
        std::lock_guard<std::mutex> lock(stream->mutex);
        stream->gone = true;
    }
    // A GET paused for this reader comes back to be stopped.
    if (request)
        bucket->client().resume(request);
}

bool CS3Download::open(OpenMode mode)
{
    if (!QIODevice::open(mode | QIODevice::Unbuffered))
        return false;
    CS3Client::Request get;
    get.key = key;
    // Every byte from the object that was opened, or none.
    get.headers << "If-Match: " + object.etag;
    const std::shared_ptr<Stream> shared = stream;
    const std::shared_ptr<CPostTarget> target = inbox;
    const auto wake = [shared, target, self = this] {
        // With shared's lock held: one wake-up on its way at a time.
        if (shared->told)
            return;
        shared->told = true;
        target->post([self] { self->arrived(); });
    };
    get.onData = [shared, wake](const char *data, qint64 size) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->gone)
            return int(CS3Client::Stop);
        // The reader far behind: wait for it.
        if (shared->buffered >= BUFFER_BYTES) {
            shared->paused = true;
            return int(CS3Client::Pause);
        }
        shared->keep(data, size);
        wake();
        return int(CS3Client::Take);
    };
    request = bucket->client().send(get, [shared, wake](const CS3Client::Response &r) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->ended = true;
        if (!r.ok())
            shared->error = r.errorText();
        wake();
    });
    return true;
}

qint64 CS3Download::bytesAvailable() const
{
    std::lock_guard<std::mutex> lock(stream->mutex);
    return stream->buffered + QIODevice::bytesAvailable();
}

qint64 CS3Download::readData(char *data, qint64 maxSize)
{
    if (broken)
        return -1;
    qint64 done = 0;
    bool goOn = false;
    {
        std::lock_guard<std::mutex> lock(stream->mutex);
        while (done < maxSize && !stream->pieces.empty()) {
            const QByteArray &front = stream->pieces.front();
            const qint64 n = qMin(maxSize - done, qint64(front.size() - stream->offset));
            std::memcpy(data + done, front.constData() + stream->offset, size_t(n));
            done += n;
            stream->offset += n;
            if (stream->offset == front.size()) {
                if (stream->spare.size() < 64)
                    stream->spare.push_back(std::move(stream->pieces.front()));
                stream->pieces.pop_front();
                stream->offset = 0;
            }
        }
        stream->buffered -= done;
        consumed += done;
        goOn = stream->paused && stream->buffered <= BUFFER_BYTES / 2;
        if (goOn)
            stream->paused = false;
    }
    if (goOn)
        bucket->client().resume(request);
    return done;
}

qint64 CS3Download::writeData(const char *data, qint64 size)
{
    Q_UNUSED(data);
    Q_UNUSED(size);
    return -1;
}

void CS3Download::arrived()
{
    QString error;
    {
        std::lock_guard<std::mutex> lock(stream->mutex);
        stream->told = false;
        error = stream->error;
        // Every byte must be there: a GET that ended early is a failure too.
        if (error.isEmpty() && stream->ended && consumed + stream->buffered < object.size)
            error = QStringLiteral("the store sent %1 of %2 bytes")
                        .arg(consumed + stream->buffered)
                        .arg(object.size);
    }
    if (broken)
        return;
    if (!error.isEmpty()) {
        broken = true;
        emit failed(error);
        close();
    }
    emit readyRead();
}
