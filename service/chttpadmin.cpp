#include "chttpadmin.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QTimer>

#include "chttpapi.h"
#include "chttplimits.h"
#include "chttpsgate.h"
#include "clogevents.h"
#include "clogring.h"

namespace {

// Milliseconds of the monotonic clock.
qint64 monotonicMs()
{
    return QDeadlineTimer::current().deadline();
}

QHostAddress peerOf(MHD_Connection *connection)
{
    const MHD_ConnectionInfo *info
        = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info && info->client_addr ? QHostAddress(info->client_addr) : QHostAddress();
}

QByteArray header(MHD_Connection *connection, const char *name)
{
    const char *value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    return value ? QByteArray(value) : QByteArray();
}

// The query as sent: the arguments kept escaped, joined again.
QByteArray queryOf(MHD_Connection *connection)
{
    QByteArray query;
    MHD_get_connection_values(
        connection, MHD_GET_ARGUMENT_KIND,
        [](void *cls, MHD_ValueKind, const char *key, const char *value) {
            QByteArray &out = *static_cast<QByteArray *>(cls);
            if (!out.isEmpty())
                out += '&';
            out += key;
            if (value) {
                out += '=';
                out += value;
            }
            return MHD_YES;
        },
        &query);
    return query;
}

// The common "intermediate" profile: TLS 1.3 and 1.2 only, and of 1.2 only forward-secret
// key exchange with AEAD ciphers; the server's order, TLS 1.3's first.
const char TLS_PRIORITIES[] = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:"
                              "+AES-128-GCM:+AES-256-GCM:+CHACHA20-POLY1305:-MAC-ALL:+AEAD:"
                              "-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:%SERVER_PRECEDENCE";

} // namespace

// One request and its answer; shared with the reply, which may come on any thread.
struct CHttpAdmin::Exchange
{
    enum class State { Receiving, Handling, Suspended, Answered, Queued, Closed };

    MHD_Connection *connection = nullptr;
    CHttpApi::Request request;
    std::mutex mutex;
    State state = State::Receiving; // guarded by mutex
    CHttpApi::Response response; // guarded by mutex
    qint64 bodyBytes = 0; // received, kept or not
};

// A live log reader: the lines after `after`, formatted ahead in pending.
struct CHttpAdmin::Stream
{
    CHttpAdmin *owner = nullptr;
    MHD_Connection *connection = nullptr;
    qint64 after = 0;
    QByteArray pending;
    qsizetype sent = 0; // of pending
    qint64 lastWrite = 0;
    bool suspended = false; // guarded by owner->mutex
};

struct CHttpAdminCallbacks
{
    static MHD_Result access(void *cls, MHD_Connection *connection, const char *url,
        const char *method, const char *, const char *uploadData, size_t *uploadDataSize,
        void **context)
    {
        static_cast<CHttpAdmin *>(cls)->access(
            connection, url, method, uploadData, uploadDataSize, context);
        return MHD_YES;
    }
    static void completed(
        void *cls, MHD_Connection *connection, void **context, MHD_RequestTerminationCode)
    {
        static_cast<CHttpAdmin *>(cls)->completed(connection, context);
    }
    static void connection(void *cls, MHD_Connection *connection, void **socketContext,
        MHD_ConnectionNotificationCode code)
    {
        static_cast<CHttpAdmin *>(cls)->connectionEvent(
            connection, socketContext, code == MHD_CONNECTION_NOTIFY_STARTED);
    }
    static void *requestLine(void *cls, const char *, MHD_Connection *connection)
    {
        static_cast<CHttpAdmin *>(cls)->requestBegun(connection);
        return nullptr;
    }
    static size_t keepEscapes(void *, MHD_Connection *, char *text)
    {
        // CHttpApi decodes each path step by itself, so "%2F" in a save name stays in its step.
        return std::strlen(text);
    }
    static ssize_t streamRead(void *cls, uint64_t, char *buffer, size_t max)
    {
        auto *stream = static_cast<CHttpAdmin::Stream *>(cls);
        return stream->owner->streamRead(stream, buffer, max);
    }
    static void streamFree(void *cls)
    {
        auto *stream = static_cast<CHttpAdmin::Stream *>(cls);
        stream->owner->streamFree(stream);
    }
};

CHttpAdmin::CHttpAdmin(CHttpApi *httpApi, CLogRing *logRing, QObject *parent)
    : QObject(parent)
    , api(httpApi)
    , ring(logRing)
    , events(std::make_unique<CLogEvents>(logRing))
    , ticker(new QTimer(this))
{
    ticker->setInterval(STREAM_TICK_MS);
    connect(ticker, &QTimer::timeout, this, &CHttpAdmin::wakeStreams);
    sweeper = new QTimer(this);
    sweeper->setInterval(SWEEP_MS);
    connect(sweeper, &QTimer::timeout, this, [this] {
        if (connLimits)
            connLimits->sweep();
    });
}

CHttpAdmin::~CHttpAdmin()
{
    stop();
}

bool CHttpAdmin::start(const QString &address, quint16 port, const QByteArray &certificatePem,
    const QByteArray &keyPem, QString *errorText)
{
    const QHostAddress host(address);
    if (host.isNull()) {
        *errorText = tr("HttpAddress %1 is not an IP address").arg(address);
        return false;
    }
    sockaddr_in v4 {};
    sockaddr_in6 v6 {};
    const sockaddr *bind = nullptr;
    unsigned int flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
    if (host.protocol() == QAbstractSocket::IPv6Protocol) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        const Q_IPV6ADDR bytes = host.toIPv6Address();
        std::memcpy(&v6.sin6_addr, &bytes, sizeof(bytes));
        bind = reinterpret_cast<const sockaddr *>(&v6);
        flags |= MHD_USE_IPv6;
    } else {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = htonl(host.toIPv4Address());
        bind = reinterpret_cast<const sockaddr *>(&v4);
    }
    certificate = certificatePem;
    key = keyPem;
    const bool tls = !certificate.isEmpty();
    if (tls) {
        if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
            *errorText = tr("this libmicrohttpd has no TLS");
            return false;
        }
        // The gate listens and hands over what starts a handshake.
        flags |= MHD_USE_TLS | MHD_USE_NO_LISTEN_SOCKET;
    }
    MHD_OptionItem options[] = {
        { MHD_OPTION_CONNECTION_LIMIT, LIBRARY_CONNECTION_LIMIT, nullptr },
        { MHD_OPTION_CONNECTION_TIMEOUT, IDLE_TIMEOUT_S, nullptr },
        { tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0, tls ? certificate.data() : nullptr },
        { MHD_OPTION_HTTPS_MEM_KEY, 0, key.data() },
        { MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char *>(TLS_PRIORITIES) },
        { MHD_OPTION_END, 0, nullptr },
    };
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = false;
    }
    connLimits = std::make_unique<CHttpLimits>(CONNECTION_LIMIT, PER_ADDRESS_LIMIT);
    // With TLS the gate listens; what it hands over comes through the same callbacks.
    daemon = MHD_start_daemon(flags, tls ? 0 : port, nullptr, nullptr, &CHttpAdminCallbacks::access,
        this, MHD_OPTION_SOCK_ADDR, tls ? nullptr : bind, MHD_OPTION_NOTIFY_COMPLETED,
        &CHttpAdminCallbacks::completed, this, MHD_OPTION_NOTIFY_CONNECTION,
        &CHttpAdminCallbacks::connection, this, MHD_OPTION_URI_LOG_CALLBACK,
        &CHttpAdminCallbacks::requestLine, this, MHD_OPTION_UNESCAPE_CALLBACK,
        &CHttpAdminCallbacks::keepEscapes, this, MHD_OPTION_ARRAY, options, MHD_OPTION_END);
    if (!daemon) {
        *errorText = tls
            ? tr("cannot listen on %1:%2 (a certificate GnuTLS refuses)").arg(address).arg(port)
            : tr("cannot listen on %1:%2").arg(address).arg(port);
        return false;
    }
    if (tls) {
        const socklen_t length = host.protocol() == QAbstractSocket::IPv6Protocol
            ? socklen_t(sizeof(v6))
            : socklen_t(sizeof(v4));
        if (!openGate(bind, length, errorText)) {
            *errorText = tr("cannot listen on %1:%2: %3").arg(address).arg(port).arg(*errorText);
            MHD_stop_daemon(daemon);
            daemon = nullptr;
            return false;
        }
        boundPort = gate->port();
        sweeper->start();
        return true;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_BIND_PORT);
    boundPort = info ? info->port : port;
    sweeper->start();
    return true;
}

bool CHttpAdmin::openGate(const sockaddr *address, socklen_t length, QString *errorText)
{
    MHD_Daemon *target = daemon;
    gate = new CHttpsGate(
        [target](int socketfd, const sockaddr *peer, socklen_t peerLength) {
            // Closed by libmicrohttpd when it cannot take it.
            MHD_add_connection(target, socketfd, peer, peerLength);
        },
        this);
    if (gate->listen(address, length, errorText))
        return true;
    delete gate;
    gate = nullptr;
    return false;
}

void CHttpAdmin::stop()
{
    if (!daemon)
        return;
    // No connection handed over once the daemon is stopping.
    delete gate;
    gate = nullptr;
    {
        // Nothing may stay suspended when the daemon stops.
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        for (const std::shared_ptr<Exchange> &exchange : std::as_const(waiting)) {
            std::lock_guard<std::mutex> held(exchange->mutex);
            if (exchange->state == Exchange::State::Suspended) {
                exchange->response = CHttpApi::error(503, tr("the server is stopping"));
                exchange->state = Exchange::State::Answered;
                MHD_resume_connection(exchange->connection);
            }
        }
        waiting.clear();
        for (Stream *stream : std::as_const(streams)) {
            if (stream->suspended) {
                stream->suspended = false;
                MHD_resume_connection(stream->connection);
            }
        }
    }
    MHD_stop_daemon(daemon);
    daemon = nullptr;
    boundPort = 0;
    ticker->stop();
    sweeper->stop();
    // Every connection was told closed by now.
    connLimits.reset();
}

void CHttpAdmin::access(MHD_Connection *connection, const char *url, const char *method,
    const char *uploadData, size_t *uploadDataSize, void **context)
{
    CHttpAdmin *self = this;
    auto *slot = static_cast<std::shared_ptr<Exchange> *>(*context);
    if (!slot) {
        auto exchange = std::make_shared<Exchange>();
        exchange->connection = connection;
        CHttpApi::Request &request = exchange->request;
        request.method = method;
        request.path = url;
        request.query = queryOf(connection);
        request.authorization = header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
        request.lastEventId = header(connection, "Last-Event-ID");
        request.peer = peerOf(connection);
        *context = new std::shared_ptr<Exchange>(std::move(exchange));
        slot = static_cast<std::shared_ptr<Exchange> *>(*context);
        if (refuseAmbiguousLength(connection, context))
            return;
        // Past the limit the body is read but not kept, so the client reads the 413 rather
        // than a reset; one too large to be worth reading is refused at once, and the
        // connection closed after the answer.
        const QByteArray length = header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (length.isEmpty() || length.toLongLong() <= CHttpApi::MAX_BODY_BYTES)
            return;
        (*slot)->request.bodyTooLarge = true;
        if (length.toLongLong() <= MAX_DRAINED_BYTES)
            return;
    }
    Exchange &exchange = **slot;
    if (*uploadDataSize > 0) {
        CHttpApi::Request &request = exchange.request;
        exchange.bodyBytes += qint64(*uploadDataSize);
        if (!request.bodyTooLarge) {
            if (request.body.size() + qint64(*uploadDataSize) > CHttpApi::MAX_BODY_BYTES) {
                request.bodyTooLarge = true;
                request.body.clear();
                request.body.squeeze();
            } else {
                request.body.append(uploadData, qsizetype(*uploadDataSize));
            }
        }
        *uploadDataSize = 0;
        if (!request.bodyTooLarge || exchange.bodyBytes <= MAX_DRAINED_BYTES)
            return;
    }

    std::unique_lock<std::mutex> lock(exchange.mutex);
    switch (exchange.state) {
    case Exchange::State::Receiving: {
        exchange.state = Exchange::State::Handling;
        lock.unlock();
        // Whole: from now on the connection is at work and never gives way.
        if (const MHD_ConnectionInfo *info
            = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
            info && info->socket_context)
            connLimits->requestWhole(static_cast<CHttpLimits::Conn *>(info->socket_context));
        const std::shared_ptr<Exchange> shared = *slot;
        self->api->handle(exchange.request, [shared](CHttpApi::Response response) {
            std::lock_guard<std::mutex> held(shared->mutex);
            if (shared->state == Exchange::State::Closed
                || shared->state == Exchange::State::Answered
                || shared->state == Exchange::State::Queued)
                return;
            const bool resume = shared->state == Exchange::State::Suspended;
            shared->response = std::move(response);
            shared->state = Exchange::State::Answered;
            if (resume)
                MHD_resume_connection(shared->connection);
        });
        lock.lock();
        if (exchange.state == Exchange::State::Handling) {
            std::lock_guard<std::mutex> held(self->mutex);
            if (self->stopping) {
                exchange.response = CHttpApi::error(503, tr("the server is stopping"));
                exchange.state = Exchange::State::Answered;
            } else {
                exchange.state = Exchange::State::Suspended;
                self->waiting.append(shared);
                MHD_suspend_connection(connection);
                return;
            }
        }
        break;
    }
    case Exchange::State::Answered:
        break;
    default:
        return;
    }
    exchange.state = Exchange::State::Queued;
    lock.unlock();
    {
        std::lock_guard<std::mutex> held(self->mutex);
        self->waiting.removeOne(*slot);
    }
    self->answer(exchange);
}

void CHttpAdmin::answer(Exchange &exchange)
{
    const CHttpApi::Response &out = exchange.response;
    MHD_Response *response = nullptr;
    if (out.stream) {
        auto *stream = new Stream;
        stream->owner = this;
        stream->connection = exchange.connection;
        stream->after = out.streamAfter;
        stream->lastWrite = monotonicMs();
        bool first = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            first = streams.isEmpty();
            streams.append(stream);
        }
        if (first)
            QMetaObject::invokeMethod(ticker, qOverload<>(&QTimer::start), Qt::QueuedConnection);
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, STREAM_BLOCK,
            &CHttpAdminCallbacks::streamRead, stream, &CHttpAdminCallbacks::streamFree);
    } else if (!out.file.isEmpty()) {
        // Opened, then unlinked: the descriptor keeps the bytes until the answer is sent.
        const int fd = ::open(QFile::encodeName(out.file).constData(), O_RDONLY | O_CLOEXEC);
        QFile::remove(out.file);
        struct stat info
        {
        };
        if (fd < 0 || ::fstat(fd, &info) != 0) {
            if (fd >= 0)
                ::close(fd);
            const QByteArray failed = "{\"error\":\"the file to send is gone\"}";
            response = MHD_create_response_from_buffer(size_t(failed.size()),
                const_cast<char *>(failed.constData()), MHD_RESPMEM_MUST_COPY);
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
            MHD_queue_response(exchange.connection, 500, response);
            MHD_destroy_response(response);
            return;
        }
        // libmicrohttpd closes fd with the response.
        response = MHD_create_response_from_fd(uint64_t(info.st_size), fd);
    } else {
        response = MHD_create_response_from_buffer(size_t(out.body.size()),
            const_cast<char *>(out.body.constData()), MHD_RESPMEM_MUST_COPY);
    }
    if (!response)
        return;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, out.contentType.constData());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    if (out.contentType.startsWith("text/html")) {
        // The console runs only its own files, and in no other site's frame.
        MHD_add_response_header(response, "Content-Security-Policy",
            "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
        MHD_add_response_header(response, "X-Frame-Options", "DENY");
    }
    for (const auto &extra : out.headers)
        MHD_add_response_header(response, extra.first.constData(), extra.second.constData());
    MHD_queue_response(exchange.connection, unsigned(out.status), response);
    MHD_destroy_response(response);
}

void CHttpAdmin::connectionEvent(MHD_Connection *connection, void **socketContext, bool started)
{
    if (!started) {
        if (*socketContext)
            connLimits->closed(static_cast<CHttpLimits::Conn *>(*socketContext));
        *socketContext = nullptr;
        return;
    }
    const MHD_ConnectionInfo *fd
        = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (fd)
        *socketContext = connLimits->opened(fd->connect_fd, peerOf(connection));
}

void CHttpAdmin::requestBegun(MHD_Connection *connection)
{
    const MHD_ConnectionInfo *info
        = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info && info->socket_context)
        connLimits->requestBegun(static_cast<CHttpLimits::Conn *>(info->socket_context));
}

bool CHttpAdmin::refuseAmbiguousLength(MHD_Connection *connection, void **context)
{
    // Two lengths a proxy in front may read differently: the way requests are smuggled.
    if (!MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING)
        || !MHD_lookup_connection_value(
            connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH))
        return false;
    Exchange &exchange = **static_cast<std::shared_ptr<Exchange> *>(*context);
    exchange.response = CHttpApi::error(
        400, tr("a request may not carry both Content-Length and Transfer-Encoding"));
    exchange.response.headers.append({ QByteArrayLiteral("Connection"), "close" });
    {
        std::lock_guard<std::mutex> lock(exchange.mutex);
        exchange.state = Exchange::State::Queued;
    }
    answer(exchange);
    return true;
}

void CHttpAdmin::completed(MHD_Connection *connection, void **context)
{
    CHttpAdmin *self = this;
    if (const MHD_ConnectionInfo *info
        = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        info && info->socket_context)
        connLimits->answered(static_cast<CHttpLimits::Conn *>(info->socket_context));
    auto *slot = static_cast<std::shared_ptr<Exchange> *>(*context);
    if (!slot)
        return;
    {
        std::lock_guard<std::mutex> lock((*slot)->mutex);
        (*slot)->state = Exchange::State::Closed;
    }
    {
        std::lock_guard<std::mutex> lock(self->mutex);
        self->waiting.removeOne(*slot);
    }
    delete slot;
    *context = nullptr;
}

long CHttpAdmin::streamRead(Stream *stream, char *buffer, size_t max)
{
    CHttpAdmin *self = this;
    if (stream->pending.isEmpty()) {
        // Whole events straight from those kept for every stream, without a copy of its own.
        const qsizetype copied
            = self->events->copy(stream->after, buffer, qsizetype(max), &stream->after);
        if (copied > 0) {
            stream->lastWrite = monotonicMs();
            return long(copied);
        }
        if (copied < 0)
            stream->pending = self->events->after(stream->after, &stream->after);
        if (stream->pending.isEmpty() && monotonicMs() - stream->lastWrite >= KEEPALIVE_MS)
            stream->pending = ": keepalive\n\n";
    }
    if (stream->pending.isEmpty()) {
        std::lock_guard<std::mutex> lock(self->mutex);
        if (self->stopping)
            return MHD_CONTENT_READER_END_OF_STREAM;
        // Woken by wakeStreams() once there is a line or a keepalive to send.
        stream->suspended = true;
        MHD_suspend_connection(stream->connection);
        return 0;
    }
    const qsizetype n = qMin(stream->pending.size() - stream->sent, qsizetype(max));
    std::memcpy(buffer, stream->pending.constData() + stream->sent, size_t(n));
    // Taken from the front by a moving mark: removing each piece would move the rest.
    stream->sent += n;
    if (stream->sent == stream->pending.size()) {
        stream->pending.clear();
        stream->sent = 0;
    }
    stream->lastWrite = monotonicMs();
    return long(n);
}

void CHttpAdmin::streamFree(Stream *stream)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        streams.removeOne(stream);
    }
    delete stream;
}

void CHttpAdmin::wakeStreams()
{
    const qint64 last = ring->lastSeq();
    const qint64 now = monotonicMs();
    std::lock_guard<std::mutex> lock(mutex);
    if (streams.isEmpty()) {
        ticker->stop();
        return;
    }
    for (Stream *stream : std::as_const(streams)) {
        if (stream->suspended
            && (stream->after < last || now - stream->lastWrite >= KEEPALIVE_MS)) {
            stream->suspended = false;
            MHD_resume_connection(stream->connection);
        }
    }
}
