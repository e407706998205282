#ifndef CLOGINGUARD_H
#define CLOGINGUARD_H

#include <functional>

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

// Watches the password guesses of the control port per peer address, logins and password
// changes alike: locks a user, or a whole address, after too many failures, so guesses stop
// reaching the database; and remembers who logged in from where, for the transfer rights of
// the file port. A login names its user, a password change gives an object id: a failure
// counts against the one given and, once the database has told, against the other too.
// An attempt counts against the limits from the moment it starts, not when its outcome is
// known: guesses sent at once on many connections are not all tested before the first
// failure is counted.
class CLoginGuard : public QObject
{
    Q_OBJECT

public:
    // Milliseconds since any fixed point, never going back.
    using Clock = std::function<qint64()>;

    static constexpr int FAILURE_WINDOW_MS = 60000;

    enum class Admission {
        Admitted,
        Refused, // locked: answered as a wrong password, never tested
        Wait // the limit is taken by attempts in flight: try again at attemptEnded()
    };
    enum class Outcome {
        Succeeded,
        Failed, // wrong password or unknown name
        Untested // the database could not tell: no failure of the guesser's
    };

    explicit CLoginGuard(QObject *parent = nullptr);

    // Replaces the monotonic clock; before the first attempt (tests advance one by hand).
    void setClock(Clock clock);

    // failures within the window that lock for lockMs; 0 failures switches that lock off.
    void setNameLock(int failures, int lockMs);
    void setAddressLock(int failures, int lockMs);
    void setFailureWindow(int msec);

    // Starts a login of name from peer. Refused while a lock is on. While the failures in the
    // window and the attempts in flight fill a limit, the attempt waits: should those in
    // flight fail, the lock starts and it is refused; should they succeed, it goes. So
    // logins from behind one address are slowed, not refused, and guesses sent at once are
    // never tested past the limit. Every attempt admitted is ended once by endAttempt(),
    // also when its client has gone.
    Admission beginAttempt(const QHostAddress &peer, const QString &name);
    // objectId: the user of that name when there is one, wrong password or not.
    void endAttempt(
        const QHostAddress &peer, const QString &name, Outcome outcome, int objectId = 0);
    // The same for a password change of the user objectId; name: that user's, when known.
    Admission beginChange(const QHostAddress &peer, int objectId);
    void endChange(const QHostAddress &peer, int objectId, Outcome outcome, const QString &name);

    // An attempt that had to wait: wake runs once, when an attempt from peer ended (waiters in
    // turn until one is let in). A waiter that has gone by then makes wake a no-op itself.
    void waitForRoom(const QHostAddress &peer, std::function<void()> wake);

    // How long a successful login counts for recentLogin(); negative: for good.
    void setLoginMemory(qint64 msec);
    // The object id of name's last login from peer, if it still counts; 0 otherwise.
    int recentLogin(const QHostAddress &peer, const QString &name) const;

signals:
    void log(QString msg);
    // A lock starts: on one name from an address, or on the whole address.
    void lockStarted(bool wholeAddress);

private:
    struct Failures
    {
        QList<qint64> times; // within the window, oldest first
        qint64 lockedUntil = 0;
        int inFlight = 0;
    };
    struct Login
    {
        int objectId = 0;
        qint64 time = 0;
    };
    // A user as a login names it ("n" and the name) or a password change does ("i" and the
    // object id), from one address.
    using NameKey = QPair<QHostAddress, QString>;
    static QString byName(const QString &name) { return QLatin1Char('n') + name; }
    static QString byId(int objectId) { return QLatin1Char('i') + QString::number(objectId); }

    qint64 now() const;
    Admission begin(const QHostAddress &peer, const QString &user);
    // user: the key the attempt began with; alias: the same user's other key, or empty.
    // True when a lock of the user (not of the whole address) starts.
    bool end(const QHostAddress &peer, const QString &user, const QString &alias, Outcome outcome);
    void wakeWaiters(const QHostAddress &peer);
    // Whether one more attempt fits beside the failures and the attempts in flight.
    Admission admits(Failures &record, int limit, int lockMs, qint64 now) const;
    void dropExpired(Failures &record, qint64 now) const;
    // Counts one failure; true when it starts a lock.
    bool countFailure(Failures &record, int limit, int lockMs, qint64 now) const;
    void prune(qint64 now);

    Clock clock;
    QElapsedTimer monotonic;
    QHash<NameKey, Failures> nameFailures;
    QHash<QHostAddress, Failures> addressFailures;
    QHash<NameKey, Login> logins;
    QHash<QHostAddress, QList<std::function<void()>>> waiters;
    // Attempts let in so far: tells a wake that took the room from one that did not.
    quint64 admissions = 0;
    int nameLockFailures = 5;
    int nameLockMs = 60000;
    int addressLockFailures = 20;
    int addressLockMs = 600000;
    int windowMs = FAILURE_WINDOW_MS;
    qint64 loginMemoryMs = 30 * 60 * 1000;
    qint64 lastPrune = 0;
};

#endif // CLOGINGUARD_H
