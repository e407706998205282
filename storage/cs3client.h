#ifndef CS3CLIENT_H
#define CS3CLIENT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include "cs3config.h"

// Requests to an S3-compatible store through libcurl, which signs them (AWS Signature
// Version 4) and keeps their connections: all of them on one thread of the client's own, a
// curl multi loop, so no caller's thread waits on the network unless it asks to (call()).
// Answers the store may give again in a moment (no answer at all, 500, 503 SlowDown) are
// asked again after a pause that doubles each time, up to a bound.
class CS3Client
{
public:
    struct Request
    {
        QByteArray method = "GET";
        // The object's key, prefix included; empty for the bucket itself.
        QString key;
        // The query as signed: names in order, values encoded (see query()).
        QByteArray query;
        // Further headers, "Name: value".
        QList<QByteArray> headers;
        QByteArray body;
        // Bytes first to last of the object (inclusive); first below 0: all of it.
        qint64 rangeFirst = -1;
        qint64 rangeLast = -1;
        bool retry = true;
        // The whole request's bound (0: none but the policy's stall bound).
        int timeoutMs = 0;
        // A streamed answer: the pieces of a 2xx body go to onData (on the client's thread)
        // instead of into body, which answers Take, Pause (the piece stays where it is and
        // comes again after resume()) or Stop (the request fails, not to be tried again).
        // Asked again after a failure, the request goes on from the first byte not taken.
        std::function<int(const char *data, qint64 size)> onData;
    };

    struct Response
    {
        int status = 0; // 0: no answer
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers; // names in lower case
        QString transportError; // why there was no answer
        int attempts = 0;

        bool ok() const { return status >= 200 && status < 300; }
        QByteArray header(const QByteArray &lowerName) const;
        // The store's error code (<Code> of the body), e.g. NoSuchBucket.
        QString errorCode() const;
        // For messages: "HTTP 403 AccessDenied" or the transport's reason.
        QString errorText() const;
    };
    using Done = std::function<void(const Response &response)>;
    enum Streamed { Take = 1, Pause = 0, Stop = -1 };

    struct Policy
    {
        int retries = 5; // tries after the first
        int firstDelayMs = 100; // doubling, with jitter
        int maxDelayMs = 3000;
        int connectTimeoutMs = 5000;
        // A request that moves no byte for this long has failed (and may be tried again).
        int stallSeconds = 30;
    };

    explicit CS3Client(const CS3Config &config);
    // Requests still running end without an answer (status 0); their callbacks run here.
    ~CS3Client();
    CS3Client(const CS3Client &) = delete;
    CS3Client &operator=(const CS3Client &) = delete;

    const CS3Config &config() const { return settings; }
    // Before the first request.
    void setPolicy(const Policy &newPolicy) { policy = newPolicy; }
    const Policy &currentPolicy() const { return policy; }

    // done runs on the client's thread, once, after the retries. The request's number, for
    // resume().
    quint64 send(Request request, Done done);
    // Any thread: a streamed request that onData paused goes on.
    void resume(quint64 request);
    // Waits for the answer; never from done.
    Response call(Request request);

    // Requests asked again since the client started (a count for tests and the log).
    quint64 retryCount() const { return retried; }

    // Percent-encoding as the signature wants it: everything but A-Z a-z 0-9 - . _ ~ (and
    // "/" with keepSlash).
    static QByteArray encode(const QString &text, bool keepSlash);
    // A query in signing order: names sorted, every value encoded, "=" always there.
    static QByteArray query(QList<QPair<QString, QString>> params);

private:
    struct Transfer;
    using Clock = std::chrono::steady_clock;

    void run();
    void begin(Transfer *transfer);
    void complete(Transfer *transfer, int code);
    bool shouldRetry(const Transfer &transfer) const;
    QByteArray urlOf(const Request &request) const;
    void finish(std::unique_ptr<Transfer> transfer);

    CS3Config settings;
    Policy policy;
    QByteArray sigv4;
    void *multi = nullptr; // CURLM, the client's thread only
    std::atomic<quint64> retried { 0 };

    std::mutex mutex;
    std::deque<std::unique_ptr<Transfer>> incoming; // guarded by mutex
    std::vector<quint64> resumed; // guarded by mutex
    quint64 lastId = 0; // guarded by mutex
    bool stopping = false; // guarded by mutex

    // The client's thread only.
    std::map<Transfer *, std::unique_ptr<Transfer>> running;
    std::map<quint64, Transfer *> byId;
    std::multimap<Clock::time_point, std::unique_ptr<Transfer>> waiting;
    std::thread thread;
};

#endif // CS3CLIENT_H
