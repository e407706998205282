#include "cs3client.h"

#include <algorithm>
#include <cstring>
#include <future>

#include <curl/curl.h>

#include <QRandomGenerator>
#include <QXmlStreamReader>

namespace {

// Receive and send buffers of a request: few passes of the loop per megabyte.
constexpr long TRANSFER_BUFFER = 512 * 1024;
// Connections kept open to the store for the next requests.
constexpr long KEPT_CONNECTIONS = 64;
// The loop looks at its timers at least this often.
constexpr int POLL_MS = 1000;

void globalInit()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool unreserved(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'
        || c == '.' || c == '_' || c == '~';
}

} // namespace

struct CS3Client::Transfer
{
    Request request;
    Done done;
    Response response;
    CURL *easy = nullptr;
    curl_slist *headers = nullptr;
    qsizetype sent = 0;
    quint64 id = 0;
    // A streamed answer: where it began, and the bytes onData has taken over all tries.
    qint64 firstByte = 0;
    qint64 delivered = 0;
    bool paused = false;
    bool stopped = false;
    char error[CURL_ERROR_SIZE] = {};

    ~Transfer() { release(); }
    void release()
    {
        if (easy)
            curl_easy_cleanup(easy);
        easy = nullptr;
        if (headers)
            curl_slist_free_all(headers);
        headers = nullptr;
    }

    static size_t onWrite(char *data, size_t size, size_t count, void *self)
    {
        auto *t = static_cast<Transfer *>(self);
        const qint64 n = qint64(size * count);
        long status = 0;
        if (t->request.onData)
            curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 200 && status < 300) {
            switch (t->request.onData(data, n)) {
            case Pause:
                t->paused = true;
                return CURL_WRITEFUNC_PAUSE;
            case Stop:
                t->stopped = true;
                return 0; // a write error ends the transfer
            default:
                t->delivered += n;
                return size_t(n);
            }
        }
        t->response.body.append(data, n);
        return size_t(n);
    }

    static size_t onRead(char *buffer, size_t size, size_t count, void *self)
    {
        auto *t = static_cast<Transfer *>(self);
        const qsizetype n = qMin(qsizetype(size * count), t->request.body.size() - t->sent);
        std::memcpy(buffer, t->request.body.constData() + t->sent, size_t(n));
        t->sent += n;
        return size_t(n);
    }

    static size_t onHeader(char *data, size_t size, size_t count, void *self)
    {
        auto *t = static_cast<Transfer *>(self);
        const QByteArray line = QByteArray(data, qsizetype(size * count)).trimmed();
        // A new status line (after 100 Continue) starts the headers again.
        if (line.startsWith("HTTP/"))
            t->response.headers.clear();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            t->response.headers.append(
                { line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed() });
        return size * count;
    }
};

QByteArray CS3Client::Response::header(const QByteArray &lowerName) const
{
    for (const auto &h : headers) {
        if (h.first == lowerName)
            return h.second;
    }
    return QByteArray();
}

QString CS3Client::Response::errorCode() const
{
    QXmlStreamReader xml(body);
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("Code"))
            return xml.readElementText();
    }
    return QString();
}

QString CS3Client::Response::errorText() const
{
    if (status == 0)
        return transportError.isEmpty() ? QStringLiteral("no answer") : transportError;
    const QString code = errorCode();
    return code.isEmpty() ? QStringLiteral("HTTP %1").arg(status)
                          : QStringLiteral("HTTP %1 %2").arg(status).arg(code);
}

CS3Client::CS3Client(const CS3Config &config)
    : settings(config)
    , sigv4(QStringLiteral("aws:amz:%1:s3").arg(config.region).toUtf8())
{
    globalInit();
    multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, KEPT_CONNECTIONS);
    thread = std::thread([this] { run(); });
}

CS3Client::~CS3Client()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    curl_multi_wakeup(multi);
    thread.join();
    curl_multi_cleanup(multi);
}

QByteArray CS3Client::encode(const QString &text, bool keepSlash)
{
    static const char hex[] = "0123456789ABCDEF";
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() * 3);
    for (const char c : utf8) {
        if (unreserved(c) || (keepSlash && c == '/')) {
            out += c;
        } else {
            out += '%';
            out += hex[(uchar(c) >> 4) & 0xF];
            out += hex[uchar(c) & 0xF];
        }
    }
    return out;
}

QByteArray CS3Client::query(QList<QPair<QString, QString>> params)
{
    // curl signs the query as it is written: it must already be in canonical form.
    std::sort(params.begin(), params.end(), [](const auto &a, const auto &b) {
        return encode(a.first, false) < encode(b.first, false);
    });
    QByteArray out;
    for (const auto &p : std::as_const(params)) {
        if (!out.isEmpty())
            out += '&';
        out += encode(p.first, false) + '=' + encode(p.second, false);
    }
    return out;
}

QByteArray CS3Client::urlOf(const Request &request) const
{
    QByteArray url = settings.endpoint.toUtf8() + '/' + encode(settings.bucket, false);
    if (!request.key.isEmpty())
        url += '/' + encode(request.key, true);
    if (!request.query.isEmpty())
        url += '?' + request.query;
    return url;
}

quint64 CS3Client::send(Request request, Done done)
{
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->done = std::move(done);
    transfer->firstByte = qMax<qint64>(0, transfer->request.rangeFirst);
    quint64 id = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        id = transfer->id = ++lastId;
        incoming.push_back(std::move(transfer));
    }
    curl_multi_wakeup(multi);
    return id;
}

void CS3Client::resume(quint64 request)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        resumed.push_back(request);
    }
    curl_multi_wakeup(multi);
}

CS3Client::Response CS3Client::call(Request request)
{
    auto answer = std::make_shared<std::promise<Response>>();
    std::future<Response> result = answer->get_future();
    send(std::move(request), [answer](const Response &response) { answer->set_value(response); });
    return result.get();
}

void CS3Client::begin(Transfer *t)
{
    t->release();
    t->response = Response { 0, {}, {}, {}, t->response.attempts + 1 };
    t->sent = 0;
    t->paused = false;
    t->error[0] = 0;
    CURL *easy = curl_easy_init();
    t->easy = easy;
    const Request &r = t->request;
    const QByteArray url = urlOf(r);
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, t);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t->error);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_AWS_SIGV4, sigv4.constData());
    curl_easy_setopt(easy, CURLOPT_USERNAME, settings.accessKey.toUtf8().constData());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, settings.secretKey.toUtf8().constData());
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(policy.connectTimeoutMs));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, long(policy.stallSeconds));
    if (r.timeoutMs > 0)
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(r.timeoutMs));
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, TRANSFER_BUFFER);
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, TRANSFER_BUFFER);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onWrite);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, t);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, t);

    // The payload is not signed (its hash would mean reading every part twice); the store
    // wants to be told so. curl signs every header it is given, so none may be given only to
    // be taken out (an empty "Expect:"): a part waits for "100 Continue" instead, briefly.
    t->headers = curl_slist_append(t->headers, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
    curl_easy_setopt(easy, CURLOPT_EXPECT_100_TIMEOUT_MS, 300L);
    // A streamed answer asked again goes on where the last try stopped.
    if (r.rangeFirst >= 0 || t->delivered > 0) {
        const QByteArray range = "Range: bytes=" + QByteArray::number(t->firstByte + t->delivered)
            + '-' + (r.rangeLast >= 0 ? QByteArray::number(r.rangeLast) : QByteArray());
        t->headers = curl_slist_append(t->headers, range.constData());
    }
    for (const QByteArray &h : r.headers)
        t->headers = curl_slist_append(t->headers, h.constData());

    if (r.method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (r.method == "PUT") {
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, curl_off_t(r.body.size()));
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Transfer::onRead);
        curl_easy_setopt(easy, CURLOPT_READDATA, t);
    } else if (r.method == "POST") {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(r.body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, r.body.constData());
    } else if (r.method != "GET") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, r.method.constData());
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, t->headers);
    curl_multi_add_handle(multi, easy);
}

bool CS3Client::shouldRetry(const Transfer &t) const
{
    if (!t.request.retry || t.stopped || t.response.attempts > policy.retries)
        return false;
    const int status = t.response.status;
    if (status == 0 || status == 500 || status == 502 || status == 503 || status == 504
        || status == 429)
        return true;
    // The store gave up waiting for the request's body.
    return status == 400 && t.response.errorCode() == QLatin1String("RequestTimeout");
}

void CS3Client::complete(Transfer *t, int code)
{
    long status = 0;
    if (code == CURLE_OK)
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
    else
        t->response.transportError
            = QString::fromUtf8(t->error[0] ? t->error : curl_easy_strerror(CURLcode(code)));
    t->response.status = int(status);
    curl_multi_remove_handle(multi, t->easy);
    t->release();
    std::unique_ptr<Transfer> owned = std::move(running[t]);
    running.erase(t);
    byId.erase(t->id);
    if (shouldRetry(*owned)) {
        ++retried;
        const int step = qMin(owned->response.attempts - 1, 16);
        const qint64 bound = qMin<qint64>(policy.maxDelayMs, qint64(policy.firstDelayMs) << step);
        // Half the pause fixed, half at random: servers retrying together spread out.
        const qint64 delay = bound / 2 + QRandomGenerator::global()->bounded(bound / 2 + 1);
        waiting.emplace(Clock::now() + std::chrono::milliseconds(delay), std::move(owned));
        return;
    }
    finish(std::move(owned));
}

void CS3Client::finish(std::unique_ptr<Transfer> transfer)
{
    if (transfer->done)
        transfer->done(transfer->response);
}

void CS3Client::run()
{
    for (;;) {
        std::deque<std::unique_ptr<Transfer>> taken;
        std::vector<quint64> goOn;
        bool stop = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            taken.swap(incoming);
            goOn.swap(resumed);
            stop = stopping;
        }
        if (stop) {
            // Every request still owed an answer gets one: none.
            for (auto &t : taken)
                waiting.emplace(Clock::now(), std::move(t));
            for (auto &entry : running) {
                curl_multi_remove_handle(multi, entry.first->easy);
                waiting.emplace(Clock::now(), std::move(entry.second));
            }
            running.clear();
            byId.clear();
            for (auto &entry : waiting) {
                entry.second->release();
                entry.second->response.status = 0;
                entry.second->response.transportError = QStringLiteral("the S3 client stopped");
                finish(std::move(entry.second));
            }
            waiting.clear();
            return;
        }
        for (auto &t : taken) {
            Transfer *raw = t.get();
            running.emplace(raw, std::move(t));
            byId.emplace(raw->id, raw);
            begin(raw);
        }
        const auto now = Clock::now();
        while (!waiting.empty() && waiting.begin()->first <= now) {
            std::unique_ptr<Transfer> t = std::move(waiting.begin()->second);
            waiting.erase(waiting.begin());
            Transfer *raw = t.get();
            running.emplace(raw, std::move(t));
            byId.emplace(raw->id, raw);
            begin(raw);
        }
        for (const quint64 id : goOn) {
            const auto found = byId.find(id);
            if (found != byId.end() && found->second->paused && found->second->easy) {
                found->second->paused = false;
                curl_easy_pause(found->second->easy, CURLPAUSE_CONT);
            }
        }

        int active = 0;
        curl_multi_perform(multi, &active);
        int left = 0;
        while (CURLMsg *msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg != CURLMSG_DONE)
                continue;
            Transfer *t = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
            complete(t, int(msg->data.result));
        }
        int timeout = POLL_MS;
        if (!waiting.empty()) {
            const auto until = std::chrono::duration_cast<std::chrono::milliseconds>(
                waiting.begin()->first - Clock::now())
                                   .count();
            timeout = int(qBound<qint64>(0, qint64(until), qint64(POLL_MS)));
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!incoming.empty() || stopping)
                timeout = 0;
        }
        curl_multi_poll(multi, nullptr, 0, timeout, nullptr);
    }
}
