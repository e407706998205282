#ifndef CTLSACCEPTOR_H
#define CTLSACCEPTOR_H

#include <functional>

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
// TLS connection runs in the event loop under a time limit; failures are logged once per
// connection and charged to the peer's address.
class CTlsAcceptor : public QObject
{
    Q_OBJECT

public:
    static constexpr int HANDSHAKE_TIMEOUT_MS = 10000;
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
    // How long a held descriptor may wait for its first byte; 0: as long as it stays open.
    void setFirstByteTimeout(int msec) { firstByteMs = qMax(0, msec); }
    int heldCount() const { return int(held.size()); }

    // Reads [Tls] of iniPath and its files on a worker thread, then uses them for new
    // connections. A failure keeps what is in use and logs one line.
    void reload(const QString &iniPath);

    void route(int socketfd, const Serve &serve);
    void startHandshake(QSslSocket *conn, const QHostAddress &peer);

signals:
    void log(QString msg);
    void reloaded(bool ok);

private:
    struct Held
    {
        QHostAddress peer;
        QSocketNotifier *notifier = nullptr;
        QTimer *timer = nullptr;
        libsock::CFirstByteGate gate;
        Serve serve;
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
    void applyReload(const Loaded &loaded);
    libsock::CFirstByteGate::Policy policy() const;

    CConnGuard *guard = nullptr;
    QSslConfiguration identity;
    bool require = false;
    int handshakeMs = HANDSHAKE_TIMEOUT_MS;
    int firstByteMs = 0;
    QHash<int, Held> held;
    // Reloads in progress, each on a thread of its own (see reload()).
    QList<QThread *> loaders;
};

#endif // CTLSACCEPTOR_H
