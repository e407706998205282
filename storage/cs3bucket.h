#ifndef CS3BUCKET_H
#define CS3BUCKET_H

#include <functional>
#include <memory>

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include "cs3client.h"
#include "cs3config.h"
#include "cs3xml.h"

// The objects of one bucket under one prefix, through one client: the plain operations the S3
// save store is made of, each waiting for its answer (so never on a connection's thread), and
// the asynchronous ones an upload's parts and a download's ranges use. Every archive and
// version carries its sum as metadata (x-amz-meta-xxh128, or -sha256 for a sum of that kind
// carried over from a folder), so no copy, restore or crash can part a save from its sum.
class CS3Bucket
{
public:
    // Parts of a multipart upload and ranges of a download: a few of them per transfer in
    // memory at most.
    static constexpr qint64 PART_BYTES = 16 * 1024 * 1024;
    // DeleteObjects takes at most this many keys.
    static constexpr int DELETE_BATCH = 1000;

    using Object = CS3Xml::Object;

    struct Head
    {
        bool found = false;
        qint64 size = 0;
        QByteArray etag;
        QDateTime modified;
        QString sum; // the sum in its metadata; empty: none
        QByteArray uploadToken;
    };

    explicit CS3Bucket(const CS3Config &config);
    // The bucket of config that another part of the process holds already, or a new one: one
    // client, thread and set of connections per store and process.
    static std::shared_ptr<CS3Bucket> shared(const CS3Config &config);

    const CS3Config &config() const { return client_.config(); }
    // Objects per page of a listing (the store's own maximum is 1000); tests make it small.
    void setPageSize(int keys) { pageSize = keys; }
    CS3Client &client() { return client_; }
    // The full key of path (7/slot1.z), prefix included.
    QString key(const QString &path) const { return config().prefix + path; }

    // Whether the bucket answers to these credentials: false with error set, and
    // unreachable when there was no answer at all (rather than a refusal).
    bool probe(QString *error, bool *unreachable);

    bool head(const QString &key, Head *head, QString *error);
    // What the answer to a HEAD or GET says of its object.
    static Head headOf(const CS3Client::Response &response);
    // Every object under prefix (all the way down), or with folders given, the objects and
    // the folders directly under it. With quickMs, each page is asked once, within that time.
    bool list(const QString &prefix, QList<Object> *objects, QString *error,
        QStringList *folders = nullptr, int quickMs = 0);
    bool put(const QString &key, const QByteArray &body, const QList<QByteArray> &headers,
        QString *error);
    // A copy made by the store; with metadata empty the source's metadata goes along.
    bool copy(
        const QString &from, const QString &to, const QList<QByteArray> &metadata, QString *error);
    bool remove(const QStringList &keys, QString *error);
    // Bytes first to last (inclusive) of the object that has etag.
    bool read(const QString &key, const QByteArray &etag, qint64 first, qint64 last,
        QByteArray *bytes, QString *error);
    // The whole object of head, in ranges of PART_BYTES, to sink; false from sink stops.
    bool readAll(const QString &key, const Head &head,
        const std::function<bool(const QByteArray &)> &sink, QString *error);
    // A whole object from source (called for each part until size bytes), with metadata:
    // one PUT up to PART_BYTES, a multipart upload above.
    bool write(const QString &key, qint64 size, const std::function<QByteArray(qint64)> &source,
        const QList<QByteArray> &metadata, QString *error);

    // Multipart uploads: each step answered on the client's thread.
    void createUpload(const QString &key,
        std::function<void(const QString &uploadId, const QString &error)> done);
    void uploadPart(const QString &key, const QString &uploadId, int number,
        const QByteArray &bytes,
        std::function<void(const QByteArray &etag, const QString &error)> done);
    bool completeUpload(const QString &key, const QString &uploadId, const QList<QByteArray> &etags,
        QString *error);
    void abortUpload(const QString &key, const QString &uploadId);
    // Multipart uploads under prefix begun before cutOff are aborted: the parts of uploads
    // that a crash cut short. Returns how many.
    int abortStale(const QString &prefix, const QDateTime &cutOff);

    // The metadata header that carries a sum, and the sum it carries.
    static QByteArray sumHeader(const QString &sum);
    static QString sumOf(const CS3Client::Response &response);
    static QByteArray tokenHeader(const QByteArray &token);

private:
    CS3Client::Response call(CS3Client::Request request) { return client_.call(request); }

    CS3Client client_;
    int pageSize = 1000;
};

#endif // CS3BUCKET_H
