#ifndef CCONNGUARD_H
#define CCONNGUARD_H

#include <functional>
#include <list>

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QAbstractSocket;
class QTimer;

// Keeps the live connections of both ports within bounds: a cap on the descriptors they hold,
// derived from the open-files limit; a cap per peer address; and an idle time after which a
// connection that neither receives nor sends anything is closed. When the descriptors are all
// taken, the place idle longest that is owed nothing gives way to the newcomer. Every event
// costs the same however many connections are open: places are kept in one list, longest
// idle first, found through hashes.
class CConnGuard : public QObject
{
    Q_OBJECT

public:
    // Milliseconds since any fixed point, never going back.
    using Clock = std::function<qint64()>;
    // Closes a held descriptor that has to give way; the holder then calls unhold().
    using Evict = std::function<void()>;

    // Descriptors a connection may hold: its socket, and for a file connection an archive.
    static constexpr int CONTROL_DESCRIPTORS = 1;
    static constexpr int FILE_DESCRIPTORS = 2;
    // A place gives way only when idle this long; before that its client is at work.
    static constexpr qint64 MIN_IDLE_TO_GIVE_WAY_MS = 1000;
    // Places looked at, longest idle first, for one that is owed nothing.
    static constexpr int GIVE_WAY_LOOKS = 64;

    explicit CConnGuard(QObject *parent = nullptr);

    // Replaces the monotonic clock of the idle time and the log pacing; before the first
    // connection (tests advance one by hand).
    void setClock(Clock clock);

    // 0 switches a limit off.
    void setDescriptorLimit(int descriptors);
    void setMaxPerAddress(int max);
    void setIdleTimeout(int msec);
    int descriptorLimit() const { return maxTotal; }

    // Descriptors connections may use within the open-files limit, with room kept for the
    // database, the listeners, the event loop and the log.
    static int descriptorBudget();

    // Takes an accepted descriptor for a connection holding up to descriptors: true with its
    // peer when it may be served; otherwise it is closed here and the refusal logged, at most
    // once a minute per address.
    bool admit(int socketfd, QHostAddress &peer, int descriptors);
    // Counts an admitted connection until release(), and watches it for idleness.
    void track(QAbstractSocket *conn, const QHostAddress &peer, int descriptors);
    void release(QAbstractSocket *conn);
    int connectionCount() const { return int(places.size()); }
    int descriptorsInUse() const { return used; }

    // An admitted descriptor that waits before a connection adopts it counts against both caps
    // from hold() until unhold(); evict closes it when it has to give way.
    quint64 hold(const QHostAddress &peer, int descriptors, Evict evict);
    void unhold(quint64 id);

    // Whether most of the places are taken, in all or from peer: handshakes get less time.
    bool underPressure(const QHostAddress &peer) const;

    // Logs a failed accept of a listener, at most once a minute per port.
    void reportAcceptError(const QString &port, const QString &error);

signals:
    void log(QString msg);

private:
    struct Place
    {
        QHostAddress peer;
        qint64 lastActive = 0;
        int descriptors = 0;
        QAbstractSocket *conn = nullptr; // null while held
        quint64 holdId = 0;
        Evict evict;
    };
    using Places = std::list<Place>;

    void refuse(int socketfd, const QHostAddress &peer, const QString &why);
    qint64 now() const;
    bool mayLog(const QString &key);
    Places::iterator place(const QHostAddress &peer, int descriptors);
    void forget(Places::iterator it);
    // Frees descriptors by closing places idle longest that are owed nothing; false when
    // none may go.
    bool makeRoom(int descriptors);
    // Whether conn is still owed something: an outcome, a reply queued, a file being sent.
    static bool isOwed(const QAbstractSocket *conn);
    void closeIdle();

    Clock clock;
    QElapsedTimer monotonic;
    // Longest idle first: activity moves a place to the back.
    Places places;
    QHash<QAbstractSocket *, Places::iterator> byConn;
    QHash<quint64, Places::iterator> byHold;
    QHash<QHostAddress, int> perAddress;
    QHash<QString, qint64> lastLogged;
    qint64 lastLogPrune = 0;
    QTimer *idleTimer = nullptr;
    int maxTotal = 0;
    int maxPerPeer = 0;
    int idleMs = 0;
    int used = 0;
    quint64 lastHoldId = 0;
    // Places given way since the last line about it.
    int givenWayUnlogged = 0;
};

#endif // CCONNGUARD_H
