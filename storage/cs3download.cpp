#include "cs3download.h"

#include <cstring>

#include "cposttarget.h"

CS3Download::CS3Download(const std::shared_ptr<CS3Bucket> &store, const QString &objectKey,
    const CS3Bucket::Head &head, QObject *parent)
    : QIODevice(parent)
    , bucket(store)
    , inbox(CPostTarget::of(this))
    , key(objectKey)
    , object(head)
{
}

CS3Download::~CS3Download()
{
    inbox->close();
}

bool CS3Download::open(OpenMode mode)
{
    if (!QIODevice::open(mode | QIODevice::Unbuffered))
        return false;
    fetchMore();
    return true;
}

qint64 CS3Download::bytesAvailable() const
{
    // The bytes that follow on from where reading stands, without a gap.
    qint64 ready = 0;
    qint64 at = readAt - offset;
    for (const auto &range : ranges) {
        if (range.first != at)
            break;
        ready += range.second.size();
        at += range.second.size();
    }
    return ready - offset + QIODevice::bytesAvailable();
}

qint64 CS3Download::readData(char *data, qint64 maxSize)
{
    if (broken)
        return -1;
    qint64 done = 0;
    while (done < maxSize && !ranges.empty() && ranges.begin()->first == readAt - offset) {
        const QByteArray &front = ranges.begin()->second;
        const qint64 n = qMin(maxSize - done, front.size() - offset);
        std::memcpy(data + done, front.constData() + offset, size_t(n));
        done += n;
        offset += n;
        readAt += n;
        if (offset == front.size()) {
            ranges.erase(ranges.begin());
            offset = 0;
        }
    }
    fetchMore();
    return done;
}

qint64 CS3Download::writeData(const char *data, qint64 size)
{
    Q_UNUSED(data);
    Q_UNUSED(size);
    return -1;
}

void CS3Download::fetchMore()
{
    while (!broken && nextRange < object.size && inFlight + qint64(ranges.size()) < RANGES_AHEAD) {
        const qint64 first = nextRange;
        const qint64 last = qMin(object.size, first + CS3Bucket::PART_BYTES) - 1;
        nextRange = last + 1;
        ++inFlight;
        CS3Client::Request request;
        request.key = key;
        request.rangeFirst = first;
        request.rangeLast = last;
        request.headers << "If-Match: " + object.etag;
        bucket->client().send(
            request, [target = inbox, self = this, first, last](const CS3Client::Response &r) {
                QString error;
                if (!r.ok())
                    error = r.errorText();
                else if (r.body.size() != last - first + 1)
                    error = QStringLiteral("%1 bytes instead of %2")
                                .arg(r.body.size())
                                .arg(last - first + 1);
                const QByteArray bytes = error.isEmpty() ? r.body : QByteArray();
                // Runs on the device's thread, and only while the device lives.
                target->post([self, first, bytes, error] { self->arrived(first, bytes, error); });
            });
    }
}

void CS3Download::arrived(qint64 first, const QByteArray &bytes, const QString &error)
{
    --inFlight;
    if (broken)
        return;
    if (!error.isEmpty()) {
        broken = true;
        ranges.clear();
        emit failed(error);
        close();
        emit readyRead();
        return;
    }
    ranges.emplace(first, bytes);
    fetchMore();
    emit readyRead();
}
