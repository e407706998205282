#ifndef CS3UPLOAD_H
#define CS3UPLOAD_H

#include <atomic>
#include <memory>

#include <QByteArray>
#include <QString>

#include "cuploadsink.h"

class CS3Bucket;

// An upload on its way to an S3 store: its bytes gathered a part at a time and sent as the
// parts of a multipart upload to a staging key while more arrive (the connection reads no
// more while a few parts are in flight, so memory stays bounded), and commit() completing it
// there and waiting for the sum. A save of at most one part stays in memory and goes in one
// PUT when published. The save store then publishes the staged save under the archive's key
// (CS3SaveStore); whatever is left staged goes with the sink.
class CS3Upload : public libsock::CUploadSink, public std::enable_shared_from_this<CS3Upload>
{
public:
    struct Staged
    {
        QString key; // the staged object, or empty with the bytes in body
        QByteArray body;
        qint64 size = 0;
        QString sum; // empty: no digest was kept
        QByteArray token; // names this upload in the published object's metadata
    };

    CS3Upload(const std::shared_ptr<CS3Bucket> &bucket, const QString &stagingKey);
    // Aborts an unfinished multipart upload and removes what was staged, without waiting.
    ~CS3Upload() override;
    CS3Upload(const CS3Upload &) = delete;
    CS3Upload &operator=(const CS3Upload &) = delete;

    using CUploadSink::write;
    bool write(const char *data, qint64 size) override;
    bool failed() const override;
    qint64 bytesWritten() const override { return total; }
    qint64 backlog() const override;
    void whenBelow(qint64 bytes, const std::function<void()> &ready) override;
    // The digest hands the bytes to write() on its thread as it hashes them.
    void setDigest(const std::shared_ptr<libsock::CTransferDigest> &sum) override;
    // Waits for the digest's last bytes, sends the last part, waits for every part and
    // completes the staging object, then takes the digest's sum. False with errorText() on
    // any failure.
    bool commit() override;

    const Staged &staged() const { return result; }
    QString errorText() const;

private:
    // What the store's answers change, on the client's thread: shared with the callbacks, so
    // an upload dropped with parts in flight leaves them nothing dangling.
    struct State;

    void sendPart(QByteArray bytes);
    // Begins the multipart upload; its parts wait in the queue until it is.
    void createUpload();
    // An empty buffer of a part's capacity.
    QByteArray freshPart();

    std::shared_ptr<CS3Bucket> bucket;
    std::shared_ptr<State> state;
    QString key;
    std::shared_ptr<libsock::CTransferDigest> digest;
    // The writer's thread (the digest's, or the connection's) until commit().
    QByteArray filling;
    std::atomic<qint64> total { 0 };
    int parts = 0;
    Staged result;
    bool completed = false;
};

#endif // CS3UPLOAD_H
