#ifndef CCONNGUARD_H
#define CCONNGUARD_H

#include <functional>

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QAbstractSocket;
class QTimer;

// Keeps the live connections of both ports within bounds: a cap on all of them, derived from
// the open-files limit; a cap per peer address; and an idle time after which a connection
// that neither receives nor sends anything is closed.
class CConnGuard : public QObject
{
    Q_OBJECT

public:
    // Milliseconds since any fixed point, never going back.
    using Clock = std::function<qint64()>;

    explicit CConnGuard(QObject *parent = nullptr);

    // Replaces the monotonic clock of the idle time and the log pacing; before the first
    // connection (tests advance one by hand).
    void setClock(Clock clock);

    // 0 switches a limit off.
    void setMaxConnections(int max);
    void setMaxPerAddress(int max);
    void setIdleTimeout(int msec);
    int maxConnections() const { return maxTotal; }

    // Connections that fit in the open-files limit, with room kept for the database, the
    // listeners and the archive each file connection may hold open.
    static int descriptorBudget();

    // Takes an accepted descriptor: true with its peer when it may be served; otherwise it
    // is closed here and the refusal logged, at most once a minute per address.
    bool admit(int socketfd, QHostAddress &peer);
    // Counts an admitted connection until release(), and watches it for idleness.
    void track(QAbstractSocket *conn, const QHostAddress &peer);
    void release(QAbstractSocket *conn);
    int connectionCount() const { return int(conns.size()); }

    // An admitted descriptor that waits for its first byte before a connection adopts it
    // counts against both caps from hold() until unhold().
    void hold(const QHostAddress &peer);
    void unhold(const QHostAddress &peer);
    // Failed TLS handshakes: an address with failures within a minute is refused for lockMs.
    // 0 failures switches this off.
    void setHandshakeFailureLimit(int failures, int lockMs);
    void handshakeFailed(const QHostAddress &peer);

    // Logs a failed accept of a listener, at most once a minute per port.
    void reportAcceptError(const QString &port, const QString &error);

signals:
    void log(QString msg);

private:
    struct Entry
    {
        QHostAddress peer;
        qint64 lastActive = 0;
    };

    struct Failures
    {
        int count = 0;
        qint64 since = 0;
        qint64 lockedUntil = 0;
    };

    void refuse(int socketfd, const QHostAddress &peer, const QString &why);
    qint64 now() const;
    bool handshakeLocked(const QHostAddress &peer);
    bool mayLog(const QString &key);
    // Whether conn is still owed something: an outcome, a reply queued, a file being sent.
    static bool isOwed(const QAbstractSocket *conn);
    void closeIdle();

    Clock clock;
    QElapsedTimer monotonic;
    QHash<QAbstractSocket *, Entry> conns;
    QHash<QHostAddress, int> perAddress;
    QHash<QString, qint64> lastLogged;
    qint64 lastLogPrune = 0;
    QTimer *idleTimer = nullptr;
    int maxTotal = 0;
    int maxPerPeer = 0;
    int idleMs = 0;
    int held = 0;
    QHash<QHostAddress, Failures> handshakeFailures;
    int handshakeFailureLimit = 0;
    int handshakeLockMs = 0;
};

#endif // CCONNGUARD_H
