#ifndef CS3DOWNLOAD_H
#define CS3DOWNLOAD_H

#include <memory>

#include <QByteArray>
#include <QIODevice>

#include "cs3bucket.h"

class CPostTarget;

// A save read from an S3 store for a download: a sequential device whose bytes come from one
// streamed GET of the object that was opened (If-Match its ETag), on the store client's
// thread. At most BUFFER_BYTES wait in memory; beyond them the GET pauses until the reader
// has taken half. Asked again after a failure, the GET goes on where it stopped. Once the
// bytes cannot be had the device closes itself and says why (failed()), and the reader of
// the transfer ends it.
class CS3Download : public QIODevice
{
    Q_OBJECT

public:
    static constexpr qint64 BUFFER_BYTES = 16 * 1024 * 1024;

    CS3Download(const std::shared_ptr<CS3Bucket> &bucket, const QString &key,
        const CS3Bucket::Head &head, QObject *parent = nullptr);
    ~CS3Download() override;

    bool open(OpenMode mode) override;
    bool isSequential() const override { return true; }
    qint64 size() const override { return object.size; }
    qint64 bytesAvailable() const override;
    const QString &objectKey() const { return key; }
    // The sum the object's metadata gave when it was opened.
    const QString &expectedSum() const { return object.sum; }

signals:
    void failed(const QString &why);

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    // What the client's thread hands over: shared, so neither side need outlive the other.
    struct Stream;

    void arrived();

    std::shared_ptr<CS3Bucket> bucket;
    std::shared_ptr<CPostTarget> inbox;
    std::shared_ptr<Stream> stream;
    QString key;
    CS3Bucket::Head object;
    quint64 request = 0;
    qint64 consumed = 0;
    bool broken = false;
};

#endif // CS3DOWNLOAD_H
