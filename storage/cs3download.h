#ifndef CS3DOWNLOAD_H
#define CS3DOWNLOAD_H

#include <map>
#include <memory>

#include <QByteArray>
#include <QIODevice>

#include "cs3bucket.h"

class CPostTarget;

// A save read from an S3 store for a download: a sequential device whose bytes come in ranges
// fetched ahead on the store client's thread, every range from the same object (If-Match its
// ETag), at most RANGES_AHEAD ranges in memory. Once a range cannot be had the device closes
// itself and says why (failed()), and the reader of the transfer ends it.
class CS3Download : public QIODevice
{
    Q_OBJECT

public:
    static constexpr int RANGES_AHEAD = 2;

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
    void fetchMore();
    void arrived(qint64 first, const QByteArray &bytes, const QString &error);

    std::shared_ptr<CS3Bucket> bucket;
    std::shared_ptr<CPostTarget> inbox;
    QString key;
    CS3Bucket::Head object;
    // Ranges in by where they start, the one being read first.
    std::map<qint64, QByteArray> ranges;
    qint64 readAt = 0; // bytes of the object read so far
    qint64 offset = 0; // into the first range
    qint64 nextRange = 0; // where the next range to ask for starts
    int inFlight = 0;
    bool broken = false;
};

#endif // CS3DOWNLOAD_H
