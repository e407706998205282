#ifndef CTLSACCEPTOR_H
#define CTLSACCEPTOR_H

#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QString>

#include "cfirstbytegate.h"
#include "cserversettings.h"

class QThread;
class QSocketNotifier;
class QSslSocket;
class QTimer;
class CConnGuard;

// TLS on the ports beside the plain protocol. An accepted descriptor is held, unread, until
// its first byte shows a TLS handshake or a packet of ours; only then does a connection adopt
// it, so the byte is still there for whichever reader follows. Without a certificate every
// descriptor goes on at once, as if this class were not there. The handshake of an adopted
// TLS connection runs in the event loop under a time limit, shorter while the places are
// nearly all taken. Failures stay in their lane: an address with many within a minute has
// its further handshakes started one a second, its plain traffic untouched; they are logged
// once, then summed up in one line per address and minute.
class CTlsAcceptor : public QObject
{
    Q_OBJECT

public:
    static constexpr int HANDSHAKE_TIMEOUT_MS = 10000;
    // The time limit while most places are taken.
    static constexpr int PRESSED_HANDSHAKE_TIMEOUT_MS = 2000;
    // Failed handshakes are counted and summed up in the log over this long.
    static constexpr qint64 FAILURE_WINDOW_MS = 60000;
    // Past the limit, an address's handshakes start this far apart.
    static constexpr qint64 HANDSHAKE_SPACING_MS = 1000;
    // Adopts socketfd, by a connection that starts the server's side of TLS when tls is set.
    using Serve = std::function<void(int socketfd, bool tls)>;

    explicit CTlsAcceptor(CConnGuard *guard, QObject *parent = nullptr);
    ~CTlsAcceptor() override;

    // What tls names, read and checked: config is null when TLS is off. False with a one-line
    // error when a file is missing or unreadable or the key does not match the certificate.
    // Reads files: not for the network thread once it serves.
    static bool loadIdentity(
        const CServerSettings::Tls &tls, QSslConfiguration &config, QString &error);

    // For connections accepted from now on; a null config switches TLS off.
    void setIdentity(const QSslConfiguration &config, bool requireTls);
    bool isEnabled() const { return !identity.isNull(); }
    bool requiresTls() const { return require; }
    void setHandshakeTimeout(int msec);
    // Failed handshakes within a minute after which an address's handshakes are spaced out;
    // 0 switches this off.
    void setHandshakeFailureLimit(int failures) { failureLimit = qMax(0, failures); }
    // Replaces the monotonic clock of the failures; tests advance one by hand.
    void setClock(const std::function<qint64()> &replacement) { clock = replacement; }
    // How long a held descriptor may wait for its first byte; 0: as long as it stays open.
    void setFirstByteTimeout(int msec) { firstByteMs = qMax(0, msec); }
    int heldCount() const { return int(held.size()); }

    // Reads [Tls] of iniPath and its files on a worker thread, then uses them for new
    // connections. A failure keeps what is in use and logs one line.
    void reload(const QString &iniPath);

    // descriptors: what the connection that adopts socketfd may hold (CConnGuard).
    void route(int socketfd, int descriptors, const Serve &serve);
    void startHandshake(QSslSocket *conn, const QHostAddress &peer);

signals:
    void log(QString msg);
    void reloaded(bool ok);

private:
    // Owned here without a parent: a child leaves its parent's list by a search.
    struct Held
    {
        QHostAddress peer;
        quint64 holdId = 0;
        std::unique_ptr<QSocketNotifier> notifier;
        std::unique_ptr<QTimer> timer;
        libsock::CFirstByteGate gate;
        Serve serve;
    };
    // An address's failed handshakes in the current window, and its log line's sum.
    struct Failures
    {
        int count = 0;
        qint64 since = 0;
        qint64 nextStart = 0; // spaced handshakes: the next may start then
        int unlogged = 0;
        QString lastReason;
    };
    struct Loaded
    {
        bool ok = false;
        QSslConfiguration config;
        bool require = false;
        QString certificate;
        QString error;
    };

    void examine(int socketfd);
    void expire(int socketfd);
    void settle(int socketfd);
    // Serves a held TLS descriptor now, or later when its address's handshakes are spaced.
    void serveTls(int socketfd);
    void startTls(int socketfd);
    void handshakeFailed(const QHostAddress &peer, const QString &why);
    void logFailureSum(const QHostAddress &peer, Failures &record);
    // Logs the sums of the windows that are over and forgets them.
    void flushFailures();
    qint64 now() const;
    void applyReload(const Loaded &loaded);
    libsock::CFirstByteGate::Policy policy() const;

    CConnGuard *guard = nullptr;
    QSslConfiguration identity;
    bool require = false;
    int handshakeMs = HANDSHAKE_TIMEOUT_MS;
    int firstByteMs = 0;
    std::unordered_map<int, Held> held;
    int failureLimit = 0;
    std::function<qint64()> clock;
    QHash<QHostAddress, Failures> failures;
    // Each address's window by its start, oldest first.
    std::deque<std::pair<qint64, QHostAddress>> windows;
    QElapsedTimer monotonic;
    QTimer *failureTimer = nullptr;
    // Reloads in progress, each on a thread of its own (see reload()).
    QList<QThread *> loaders;
};

#endif // CTLSACCEPTOR_H
