#ifndef CHTTPLIMITS_H
#define CHTTPLIMITS_H

#include <functional>
#include <list>
#include <mutex>

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>

// The operators' HTTP connections within bounds, so that no host can keep the operator out:
// a limit per address and one in all; at a limit the connection waiting longest without a
// whole request (not yet sent, or idle between requests) gives way to the newcomer, and only
// when every one is at work is the newcomer refused. A request has a deadline for all of it,
// headers and body, and a connection idle between requests one of its own. Closing is a
// shutdown() of the socket, which the HTTP library then takes for the peer's close. Events
// come from the HTTP thread, sweep() from any; the descriptor stays the connection's until
// closed() is told, so a late sweep cannot reach a socket opened meanwhile.
class CHttpLimits
{
public:
    static constexpr qint64 REQUEST_DEADLINE_MS = 10000;
    static constexpr qint64 KEEPALIVE_IDLE_MS = 30000;
    using Clock = std::function<qint64()>;

    struct Conn;

    CHttpLimits(int total, int perAddress);
    ~CHttpLimits();

    // Milliseconds, never going back; tests advance one by hand.
    void setClock(Clock clock);

    // A connection accepted; it may be shut down at once (refused) when no other gives way.
    Conn *opened(int fd, const QHostAddress &peer);
    // Its request line came; the whole request is in; its answer was sent.
    void requestBegun(Conn *conn);
    void requestWhole(Conn *conn);
    void answered(Conn *conn);
    void closed(Conn *conn);
    // Shuts down the connections past their deadline; how many.
    int sweep();

    int count() const;

private:
    enum class State { Fresh, Idle, Receiving, Busy };

    qint64 now() const;
    void enqueue(Conn *conn);
    void dequeue(Conn *conn);
    void shut(Conn *conn);
    // The connection waiting longest of all, or of one address; null when all are at work.
    Conn *oldestWaiting(const QHostAddress *peer) const;

    const int maxTotal;
    const int maxPerAddress;
    Clock clock;
    QElapsedTimer monotonic;
    mutable std::mutex mutex;
    int live = 0; // not shut down
    QHash<QHostAddress, int> perAddress; // guarded by mutex
    std::list<Conn *> waiting; // longest waiting first; guarded by mutex
    QHash<QHostAddress, std::list<Conn *>> waitingFrom; // the same per address
};

#endif // CHTTPLIMITS_H
