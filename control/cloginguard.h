#ifndef CLOGINGUARD_H
#define CLOGINGUARD_H

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

// Watches the logins of the control port per peer address: locks a name, or a whole
// address, after too many failures, so guesses stop reaching the database; and remembers
// who logged in from where, for the transfer rights of the file port.
class CLoginGuard : public QObject
{
    Q_OBJECT

public:
    static constexpr int FAILURE_WINDOW_MS = 60000;

    explicit CLoginGuard(QObject *parent = nullptr);

    // failures within the window that lock for lockMs; 0 failures switches that lock off.
    void setNameLock(int failures, int lockMs);
    void setAddressLock(int failures, int lockMs);
    void setFailureWindow(int msec);

    // True while logins for name from peer are refused without asking the database.
    bool isLocked(const QHostAddress &peer, const QString &name);
    void loginFailed(const QHostAddress &peer, const QString &name);
    void loginSucceeded(const QHostAddress &peer, const QString &name, int objectId);
    // How long a successful login counts for recentLogin(); negative: for good.
    void setLoginMemory(qint64 msec);
    // The object id of name's last login from peer, if it still counts; 0 otherwise.
    int recentLogin(const QHostAddress &peer, const QString &name) const;

signals:
    void log(QString msg);

private:
    struct Failures
    {
        QList<qint64> times; // within the window, oldest first
        qint64 lockedUntil = 0;
    };
    struct Login
    {
        int objectId = 0;
        qint64 time = 0;
    };
    using NameKey = QPair<QHostAddress, QString>;

    // Counts one failure; true when it starts a lock.
    bool countFailure(Failures &record, int limit, int lockMs, qint64 now) const;
    void prune(qint64 now);

    QElapsedTimer clock;
    QHash<NameKey, Failures> nameFailures;
    QHash<QHostAddress, Failures> addressFailures;
    QHash<NameKey, Login> logins;
    int nameLockFailures = 5;
    int nameLockMs = 60000;
    int addressLockFailures = 20;
    int addressLockMs = 600000;
    int windowMs = FAILURE_WINDOW_MS;
    qint64 loginMemoryMs = 30 * 60 * 1000;
    qint64 lastPrune = 0;
};

#endif // CLOGINGUARD_H
