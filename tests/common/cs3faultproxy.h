#ifndef CS3FAULTPROXY_H
#define CS3FAULTPROXY_H

#include <QByteArray>
#include <QString>

class QThread;
class CS3FaultProxyWorker;

// A proxy on 127.0.0.1 between a client of an S3 store and the store (the fixture's gateway),
// on a thread of its own, that the test tells what to break: the next requests answered 503
// SlowDown, every byte held (a store that stalls), or every connection reset and new ones
// refused after so many more bytes of request bodies (a store that dies mid-upload).
class CS3FaultProxy
{
public:
    // upstream: the store's port on 127.0.0.1.
    explicit CS3FaultProxy(quint16 upstream);
    ~CS3FaultProxy();
    CS3FaultProxy(const CS3FaultProxy &) = delete;
    CS3FaultProxy &operator=(const CS3FaultProxy &) = delete;

    quint16 port() const;
    QString endpoint() const;

    // The next count requests whose request line holds match answer status with code (and
    // close their connection).
    void failNext(int count, const QByteArray &match = QByteArray(), int status = 503,
        const QByteArray &code = "SlowDown");
    // Holds every byte both ways until resume().
    void stall();
    void resume();
    // Once bytes more of request bodies have passed, every connection is reset and new
    // ones are reset at once, until up().
    void dieAfter(qint64 bytes);
    void down();
    void up();
    // Once bytes more of answers have passed, every connection is reset, once (0: never).
    void cutAfter(qint64 bytes);
    // Requests seen whose request line holds match (all with match empty), answered or not.
    int requests(const QByteArray &match = QByteArray()) const;

private:
    QThread *thread = nullptr;
    CS3FaultProxyWorker *worker = nullptr;
    quint16 listening = 0;
};

#endif // CS3FAULTPROXY_H
