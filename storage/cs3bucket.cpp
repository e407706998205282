#include "cs3bucket.h"

#include <list>
#include <map>
#include <mutex>

#include <QCryptographicHash>

#include "csavesum.h"

namespace {

using Request = CS3Client::Request;
using Response = CS3Client::Response;

// A sum's kind as the sum files name it (".xxh128", ".sha256"), as a metadata name.
QByteArray sumMetaName(CSaveSum::Kind kind)
{
    return "x-amz-meta-" + CSaveSum::fileName(QString(), kind).mid(1).toLatin1().toLower();
}

constexpr char TOKEN_META[] = "x-amz-meta-tolvern-upload";

bool failed(const Response &response, QString *error)
{
    if (response.ok())
        return false;
    if (error)
        *error = response.errorText();
    return true;
}

// Some answers of 200 carry an error in their body (a copy or a completion that went wrong
// after it began).
bool bodyFailed(const Response &response, QString *error)
{
    if (!response.body.contains("<Error>"))
        return false;
    if (error)
        *error = QStringLiteral("HTTP %1 %2")
                     .arg(response.status)
                     .arg(CS3Xml::element(response.body, QStringLiteral("Code")));
    return true;
}

// Keys XML 1.0 cannot carry go one by one.
bool xmlSafe(const QString &key)
{
    for (const QChar c : key) {
        if (c.unicode() < 0x20)
            return false;
    }
    return true;
}

} // namespace

CS3Bucket::CS3Bucket(const CS3Config &config)
    : client_(config)
{
}

std::shared_ptr<CS3Bucket> CS3Bucket::shared(const CS3Config &config)
{
    static std::mutex mutex;
    static std::list<std::weak_ptr<CS3Bucket>> held;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = held.begin(); it != held.end();) {
        std::shared_ptr<CS3Bucket> bucket = it->lock();
        if (!bucket) {
            it = held.erase(it);
            continue;
        }
        if (bucket->config() == config)
            return bucket;
        ++it;
    }
    auto bucket = std::make_shared<CS3Bucket>(config);
    held.push_back(bucket);
    return bucket;
}

QByteArray CS3Bucket::sumHeader(const QString &sum)
{
    return sumMetaName(CSaveSum::kindOf(sum)) + ": " + sum.toLatin1();
}

QString CS3Bucket::sumOf(const Response &response)
{
    // The current kind first; a save carried over from an older folder may have the other.
    for (const CSaveSum::Kind kind : { CSaveSum::CURRENT, CSaveSum::Kind::Sha256 }) {
        const QByteArray value = response.header(sumMetaName(kind)).trimmed();
        if (!value.isEmpty())
            return QString::fromLatin1(value);
    }
    return QString();
}

QByteArray CS3Bucket::tokenHeader(const QByteArray &token)
{
    return QByteArray(TOKEN_META) + ": " + token;
}

bool CS3Bucket::probe(QString *error, bool *unreachable)
{
    Request request;
    request.query = CS3Client::query({ { QStringLiteral("list-type"), QStringLiteral("2") },
        { QStringLiteral("max-keys"), QStringLiteral("1") } });
    const Response response = call(request);
    *unreachable = response.status == 0;
    if (response.ok() && !bodyFailed(response, error))
        return true;
    const QString code = response.errorCode();
    if (response.status == 0)
        *error = QStringLiteral("the S3 store at %1 cannot be reached: %2")
                     .arg(config().endpoint, response.errorText());
    else if (code == QLatin1String("NoSuchBucket") || response.status == 404)
        *error = QStringLiteral("no bucket %1 at %2 (%3)")
                     .arg(config().bucket, config().endpoint, response.errorText());
    else if (response.status == 403 || response.status == 401)
        *error = QStringLiteral("the S3 store at %1 refused the credentials for bucket %2 (%3)")
                     .arg(config().endpoint, config().bucket, response.errorText());
    else
        *error = QStringLiteral("the S3 store at %1 answered %2 for bucket %3")
                     .arg(config().endpoint, response.errorText(), config().bucket);
    return false;
}

bool CS3Bucket::head(const QString &key, Head *head, QString *error)
{
    Request request;
    request.method = "HEAD";
    request.key = key;
    const Response response = call(request);
    *head = Head();
    if (response.status == 404)
        return true;
    if (failed(response, error))
        return false;
    *head = headOf(response);
    return true;
}

CS3Bucket::Head CS3Bucket::headOf(const Response &response)
{
    Head head;
    head.found = response.ok();
    head.size = response.header("content-length").toLongLong();
    head.etag = CS3Xml::unquoted(response.header("etag"));
    head.modified = CS3Xml::httpTime(response.header("last-modified"));
    head.sum = sumOf(response);
    head.uploadToken = response.header(TOKEN_META);
    return head;
}

bool CS3Bucket::list(const QString &prefix, QList<Object> *objects, QString *error,
    QStringList *folders, int quickMs)
{
    objects->clear();
    if (folders)
        folders->clear();
    QString token;
    do {
        QList<QPair<QString, QString>> params { { QStringLiteral("list-type"),
                                                    QStringLiteral("2") },
            { QStringLiteral("prefix"), prefix },
            { QStringLiteral("max-keys"), QString::number(pageSize) } };
        if (folders)
            params.append({ QStringLiteral("delimiter"), QStringLiteral("/") });
        if (!token.isEmpty())
            params.append({ QStringLiteral("continuation-token"), token });
        Request request;
        request.query = CS3Client::query(params);
        request.timeoutMs = quickMs;
        request.retry = quickMs <= 0;
        const Response response = call(request);
        if (failed(response, error))
            return false;
        const CS3Xml::Listing page = CS3Xml::listing(response.body);
        if (!page.valid) {
            if (error)
                *error = QStringLiteral("the S3 store's listing cannot be read");
            return false;
        }
        *objects += page.objects;
        if (folders)
            *folders += page.folders;
        token = page.truncated ? page.next : QString();
    } while (!token.isEmpty());
    return true;
}

bool CS3Bucket::put(
    const QString &key, const QByteArray &body, const QList<QByteArray> &headers, QString *error)
{
    Request request;
    request.method = "PUT";
    request.key = key;
    request.body = body;
    request.headers = headers;
    return !failed(call(request), error);
}

bool CS3Bucket::copy(
    const QString &from, const QString &to, const QList<QByteArray> &metadata, QString *error)
{
    Request request;
    request.method = "PUT";
    request.key = to;
    request.headers << "x-amz-copy-source: /" + CS3Client::encode(config().bucket, false) + '/'
            + CS3Client::encode(from, true);
    if (!metadata.isEmpty()) {
        request.headers << "x-amz-metadata-directive: REPLACE";
        request.headers += metadata;
    }
    // A copy may fail after its 200 has gone out: the error is then in the body.
    for (int attempt = 0;; ++attempt) {
        const Response response = call(request);
        if (failed(response, error))
            return false;
        if (!bodyFailed(response, error))
            return true;
        if (attempt >= client_.currentPolicy().retries)
            return false;
    }
}

bool CS3Bucket::remove(const QStringList &keys, QString *error)
{
    QStringList batch;
    const auto flush = [&]() {
        if (batch.isEmpty())
            return true;
        QString xml = QStringLiteral("<Delete><Quiet>true</Quiet>");
        for (const QString &key : std::as_const(batch))
            xml += QStringLiteral("<Object><Key>%1</Key></Object>").arg(CS3Xml::escaped(key));
        xml += QStringLiteral("</Delete>");
        Request request;
        request.method = "POST";
        request.query = "delete=";
        request.body = xml.toUtf8();
        request.headers << "Content-MD5: "
                + QCryptographicHash::hash(request.body, QCryptographicHash::Md5).toBase64();
        request.headers << "Content-Type: application/xml";
        const Response response = call(request);
        batch.clear();
        if (failed(response, error))
            return false;
        if (response.body.contains("<Error>")) {
            if (error)
                *error = QStringLiteral("%1 not deleted: %2")
                             .arg(CS3Xml::element(response.body, QStringLiteral("Key")),
                                 CS3Xml::element(response.body, QStringLiteral("Code")));
            return false;
        }
        return true;
    };
    for (const QString &key : keys) {
        if (!xmlSafe(key)) {
            Request request;
            request.method = "DELETE";
            request.key = key;
            const Response response = call(request);
            if (response.status != 404 && failed(response, error))
                return false;
            continue;
        }
        batch << key;
        if (batch.size() == DELETE_BATCH && !flush())
            return false;
    }
    return flush();
}

bool CS3Bucket::read(const QString &key, const QByteArray &etag, qint64 first, qint64 last,
    QByteArray *bytes, QString *error)
{
    Request request;
    request.key = key;
    request.rangeFirst = first;
    request.rangeLast = last;
    // Every range of one reading from the same object, or none.
    if (!etag.isEmpty())
        request.headers << "If-Match: " + etag;
    const Response response = call(request);
    if (failed(response, error))
        return false;
    if (response.body.size() != last - first + 1) {
        if (error)
            *error = QStringLiteral("%1 bytes instead of %2 from %3")
                         .arg(response.body.size())
                         .arg(last - first + 1)
                         .arg(key);
        return false;
    }
    *bytes = response.body;
    return true;
}

bool CS3Bucket::readAll(const QString &key, const Head &head,
    const std::function<bool(const QByteArray &)> &sink, QString *error)
{
    for (qint64 at = 0; at < head.size; at += PART_BYTES) {
        QByteArray bytes;
        const qint64 last = qMin(head.size, at + PART_BYTES) - 1;
        if (!read(key, head.etag, at, last, &bytes, error))
            return false;
        if (!sink(bytes)) {
            if (error && error->isEmpty())
                *error = QStringLiteral("stopped");
            return false;
        }
    }
    return true;
}

bool CS3Bucket::write(const QString &key, qint64 size,
    const std::function<QByteArray(qint64)> &source, const QList<QByteArray> &metadata,
    QString *error)
{
    if (size <= PART_BYTES) {
        const QByteArray body = size > 0 ? source(0) : QByteArray();
        if (body.size() != size) {
            if (error)
                *error = QStringLiteral("the source gave %1 bytes instead of %2")
                             .arg(body.size())
                             .arg(size);
            return false;
        }
        return put(key, body, metadata, error);
    }
    Request create;
    create.method = "POST";
    create.key = key;
    create.query = "uploads=";
    create.headers = metadata;
    const Response created = call(create);
    if (failed(created, error))
        return false;
    const QString uploadId = CS3Xml::uploadId(created.body);
    QList<QByteArray> etags;
    for (qint64 at = 0; at < size; at += PART_BYTES) {
        const QByteArray part = source(at);
        if (part.size() != qMin(PART_BYTES, size - at)) {
            if (error)
                *error = QStringLiteral("the source gave %1 bytes at %2").arg(part.size()).arg(at);
            abortUpload(key, uploadId);
            return false;
        }
        Request request;
        request.method = "PUT";
        request.key = key;
        request.query = CS3Client::query(
            { { QStringLiteral("partNumber"), QString::number(etags.size() + 1) },
                { QStringLiteral("uploadId"), uploadId } });
        request.body = part;
        const Response response = call(request);
        if (failed(response, error)) {
            abortUpload(key, uploadId);
            return false;
        }
        etags << CS3Xml::unquoted(response.header("etag"));
    }
    if (!completeUpload(key, uploadId, etags, error)) {
        abortUpload(key, uploadId);
        return false;
    }
    return true;
}

void CS3Bucket::createUpload(
    const QString &key, std::function<void(const QString &, const QString &)> done)
{
    Request request;
    request.method = "POST";
    request.key = key;
    request.query = "uploads=";
    client_.send(request, [done](const Response &response) {
        const QString id = response.ok() ? CS3Xml::uploadId(response.body) : QString();
        done(id, id.isEmpty() ? response.errorText() : QString());
    });
}

void CS3Bucket::uploadPart(const QString &key, const QString &uploadId, int number,
    const QByteArray &bytes, std::function<void(const QByteArray &, const QString &)> done)
{
    Request request;
    request.method = "PUT";
    request.key = key;
    request.query = CS3Client::query({ { QStringLiteral("partNumber"), QString::number(number) },
        { QStringLiteral("uploadId"), uploadId } });
    request.body = bytes;
    client_.send(request, [done](const Response &response) {
        const QByteArray etag = CS3Xml::unquoted(response.header("etag"));
        if (response.ok() && !etag.isEmpty())
            done(etag, QString());
        else
            done(QByteArray(), response.ok() ? QStringLiteral("no ETag") : response.errorText());
    });
}

bool CS3Bucket::completeUpload(
    const QString &key, const QString &uploadId, const QList<QByteArray> &etags, QString *error)
{
    QByteArray xml = "<CompleteMultipartUpload>";
    for (int i = 0; i < etags.size(); ++i)
        xml += "<Part><PartNumber>" + QByteArray::number(i + 1) + "</PartNumber><ETag>\""
            + etags.at(i) + "\"</ETag></Part>";
    xml += "</CompleteMultipartUpload>";
    Request request;
    request.method = "POST";
    request.key = key;
    request.query = CS3Client::query({ { QStringLiteral("uploadId"), uploadId } });
    request.body = xml;
    request.headers << "Content-Type: application/xml";
    const Response response = call(request);
    if (response.status == 404 && response.attempts > 1) {
        // Asked again after an answer that got lost: the first one may have completed it.
        Head done;
        if (head(key, &done, nullptr) && done.found)
            return true;
    }
    return !failed(response, error) && !bodyFailed(response, error);
}

void CS3Bucket::abortUpload(const QString &key, const QString &uploadId)
{
    if (uploadId.isEmpty())
        return;
    Request request;
    request.method = "DELETE";
    request.key = key;
    request.query = CS3Client::query({ { QStringLiteral("uploadId"), uploadId } });
    client_.send(request, nullptr);
}

int CS3Bucket::abortStale(const QString &prefix, const QDateTime &cutOff)
{
    int aborted = 0;
    QString keyMarker;
    QString idMarker;
    for (int page = 0; page < 100; ++page) {
        QList<QPair<QString, QString>> params { { QStringLiteral("prefix"), prefix },
            { QStringLiteral("uploads"), QString() } };
        if (!keyMarker.isEmpty())
            params << qMakePair(QStringLiteral("key-marker"), keyMarker)
                   << qMakePair(QStringLiteral("upload-id-marker"), idMarker);
        Request request;
        request.query = CS3Client::query(params);
        const Response response = call(request);
        const CS3Xml::Uploads found = CS3Xml::uploads(response.body);
        if (!response.ok() || !found.valid)
            break;
        for (const CS3Xml::Upload &upload : found.uploads) {
            if (upload.initiated.isValid() && upload.initiated < cutOff) {
                abortUpload(upload.key, upload.uploadId);
                ++aborted;
            }
        }
        if (!found.truncated)
            break;
        keyMarker = found.nextKey;
        idMarker = found.nextUploadId;
    }
    return aborted;
}
