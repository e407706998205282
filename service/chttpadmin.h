#ifndef CHTTPADMIN_H
#define CHTTPADMIN_H

#include <atomic>
#include <memory>
#include <mutex>

#include <sys/socket.h>

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class CHttpApi;
class CHttpLimits;
class CHttpsGate;
class CLogEvents;
class CLogRing;
class QTimer;
struct MHD_Connection;
struct MHD_Daemon;

// The operators' HTTP port, on libmicrohttpd: its one thread (epoll) reads requests, bodies
// in pieces up to the limit, and hands each whole request to CHttpApi. An answer that takes
// work waits with its connection suspended, so the thread serves others meanwhile, and is
// resumed from whichever thread the answer comes on. Live log streams are suspended between
// lines and woken by a timer on this object's thread (the core's), which also ticks the
// heartbeat /healthz looks at. TLS with the [Tls] pair from memory (GnuTLS).
class CHttpAdmin : public QObject
{
    Q_OBJECT

public:
    static constexpr int STREAM_TICK_MS = 100;
    // Bytes of a live log stream asked for at a time: a busy server logs a line per login.
    static constexpr size_t STREAM_BLOCK = 65536;
    static constexpr qint64 KEEPALIVE_MS = 15000;
    // Ours (CHttpLimits): at either, the connection waiting longest without a whole request
    // gives way to the newcomer.
    static constexpr int CONNECTION_LIMIT = 256;
    static constexpr int PER_ADDRESS_LIMIT = 64;
    // The library's own, above ours: connections shut down but not yet let go still count.
    static constexpr int LIBRARY_CONNECTION_LIMIT = CONNECTION_LIMIT + 64;
    static constexpr int IDLE_TIMEOUT_S = 30;
    // How often deadlines are looked at.
    static constexpr int SWEEP_MS = 500;
    // A body past the limit is read and dropped up to this size, then the connection closes.
    static constexpr qint64 MAX_DRAINED_BYTES = 16 * 1024 * 1024;

    CHttpAdmin(CHttpApi *api, CLogRing *ring, QObject *parent = nullptr);
    ~CHttpAdmin() override;

    // Listens on address:port (0: any free port). With certificatePem, HTTPS.
    bool start(const QString &address, quint16 port, const QByteArray &certificatePem,
        const QByteArray &keyPem, QString *errorText);
    // Answers what is still owed with 503, ends the streams and closes the port.
    void stop();
    quint16 port() const { return boundPort; }
    CHttpLimits *limits() const { return connLimits.get(); }

    struct Exchange;
    struct Stream;

private:
    // libmicrohttpd's callbacks, with its exact signatures.
    friend struct CHttpAdminCallbacks;

    // HTTPS: the listening socket of our own that hands the daemon what starts a handshake.
    bool openGate(const sockaddr *address, socklen_t length, QString *errorText);
    void access(MHD_Connection *connection, const char *url, const char *method,
        const char *uploadData, size_t *uploadDataSize, void **context);
    void completed(MHD_Connection *connection, void **context);
    void connectionEvent(MHD_Connection *connection, void **socketContext, bool started);
    void requestBegun(MHD_Connection *connection);
    // The request carries both Content-Length and Transfer-Encoding: answered 400 and closed.
    bool refuseAmbiguousLength(MHD_Connection *connection, void **context);
    long streamRead(Stream *stream, char *buffer, size_t max);
    void streamFree(Stream *stream);
    void answer(Exchange &exchange);
    void wakeStreams();

    CHttpApi *api = nullptr;
    CLogRing *ring = nullptr;
    std::unique_ptr<CLogEvents> events; // the HTTP thread's
    MHD_Daemon *daemon = nullptr;
    quint16 boundPort = 0;
    QByteArray certificate; // MHD keeps pointers into these while it runs
    QByteArray key;
    QTimer *ticker = nullptr;
    std::unique_ptr<CHttpLimits> connLimits;
    QTimer *sweeper = nullptr;
    CHttpsGate *gate = nullptr; // HTTPS only: the listening socket

    std::mutex mutex;
    QList<Stream *> streams; // guarded by mutex
    QList<std::shared_ptr<Exchange>> waiting; // suspended for an answer; guarded by mutex
    bool stopping = false; // guarded by mutex
};

#endif // CHTTPADMIN_H
