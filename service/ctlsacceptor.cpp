#include "ctlsacceptor.h"

#include <cerrno>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

#include <QFutureWatcher>
#include <QMetaObject>
#include <QPromise>
#include <QSocketNotifier>
#include <QSslSocket>
#include <QThread>
#include <QTimer>

#include "cconnguard.h"
#include "ctlsidentity.h"

using libsock::CFirstByteGate;

CTlsAcceptor::CTlsAcceptor(CConnGuard *connGuard, QObject *parent)
    : QObject(parent)
    , guard(connGuard)
{
}

CTlsAcceptor::~CTlsAcceptor()
{
    // A reload reads files for a few milliseconds; its thread must not outlive us.
    for (QThread *loader : std::as_const(loaders)) {
        loader->wait();
        delete loader;
    }
    // Notifiers first: none may watch a descriptor that is closed.
    for (auto it = held.cbegin(); it != held.cend(); ++it) {
        delete it->notifier;
        delete it->timer;
        ::close(it.key());
    }
}

bool CTlsAcceptor::loadIdentity(
    const CServerSettings::Tls &tls, QSslConfiguration &config, QString &error)
{
    config = QSslConfiguration();
    if (!tls.isEnabled()) {
        if (tls.require) {
            error = QStringLiteral("[Tls] RequireTls=true needs a Certificate and a PrivateKey");
            return false;
        }
        return true;
    }
    config = CTlsIdentity::load(tls.certificate, tls.privateKey, &error);
    return !config.isNull();
}

void CTlsAcceptor::setIdentity(const QSslConfiguration &config, bool requireTls)
{
    identity = config;
    require = requireTls && !config.isNull();
}

void CTlsAcceptor::setHandshakeTimeout(int msec)
{
    handshakeMs = msec > 0 ? msec : HANDSHAKE_TIMEOUT_MS;
}

CFirstByteGate::Policy CTlsAcceptor::policy() const
{
    if (!isEnabled())
        return CFirstByteGate::Policy::PlainOnly;
    return require ? CFirstByteGate::Policy::TlsOnly : CFirstByteGate::Policy::Either;
}

void CTlsAcceptor::route(int socketfd, const Serve &serve)
{
    const CFirstByteGate gate(policy());
    if (gate.route() == CFirstByteGate::Route::Plain) {
        serve(socketfd, false);
        return;
    }
    // Counted against the caps while it waits, like an adopted connection.
    QHostAddress peer;
    if (!guard->admit(socketfd, peer))
        return;
    guard->hold(peer);
    Held &entry = held[socketfd];
    entry.peer = peer;
    entry.gate = gate;
    entry.serve = serve;
    entry.notifier = new QSocketNotifier(socketfd, QSocketNotifier::Read, this);
    connect(
        entry.notifier, &QSocketNotifier::activated, this, [this, socketfd] { examine(socketfd); });
    if (firstByteMs > 0) {
        entry.timer = new QTimer(this);
        entry.timer->setSingleShot(true);
        connect(entry.timer, &QTimer::timeout, this, [this, socketfd] { expire(socketfd); });
        entry.timer->start(firstByteMs);
    }
    // The first bytes often came with the connection.
    examine(socketfd);
}

void CTlsAcceptor::examine(int socketfd)
{
    const auto found = held.find(socketfd);
    if (found == held.end())
        return;
    char first = 0;
    const ssize_t got = ::recv(socketfd, &first, 1, MSG_PEEK | MSG_DONTWAIT);
    const bool ended
        = got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    found->gate.feed(&first, got > 0 ? 1 : 0, ended);
    settle(socketfd);
}

void CTlsAcceptor::expire(int socketfd)
{
    const auto found = held.find(socketfd);
    if (found == held.end())
        return;
    found->gate.expire();
    settle(socketfd);
}

void CTlsAcceptor::settle(int socketfd)
{
    const auto found = held.find(socketfd);
    if (found == held.end() || found->gate.route() == CFirstByteGate::Route::Wait)
        return;
    const Held entry = *found;
    held.erase(found);
    delete entry.notifier;
    delete entry.timer;
    guard->unhold(entry.peer);
    switch (entry.gate.route()) {
    case CFirstByteGate::Route::Plain:
        entry.serve(socketfd, false);
        return;
    case CFirstByteGate::Route::Tls:
        entry.serve(socketfd, true);
        return;
    case CFirstByteGate::Route::Close:
    case CFirstByteGate::Route::Wait:
        break;
    }
    char first = 0;
    // A peer that sent plain bytes to a TLS-only server learns nothing but the close.
    if (::recv(socketfd, &first, 1, MSG_PEEK | MSG_DONTWAIT) == 1)
        emit log(tr("Plain connection from %1 closed: TLS is required").arg(entry.peer.toString()));
    ::close(socketfd);
}

void CTlsAcceptor::startHandshake(QSslSocket *conn, const QHostAddress &peer)
{
    conn->setSslConfiguration(identity);
    auto *watch = new QTimer(conn);
    watch->setSingleShot(true);
    // Set once the handshake ended either way: later errors belong to the connection.
    auto over = std::make_shared<bool>(false);
    const auto end = [watch, over] {
        *over = true;
        watch->stop();
        watch->deleteLater();
    };
    const auto fail = [this, conn, peer, over, end](const QString &why) {
        if (*over)
            return;
        end();
        emit log(tr("TLS handshake with %1 failed: %2").arg(peer.toString(), why));
        guard->handshakeFailed(peer);
        // Queued: a failure inside startServerEncryption() comes before the owner has
        // connected to disconnected().
        QMetaObject::invokeMethod(conn, &QAbstractSocket::abort, Qt::QueuedConnection);
    };
    connect(conn, &QSslSocket::encrypted, watch, end);
    connect(watch, &QTimer::timeout, this,
        [fail, this] { fail(tr("no handshake within %1 ms").arg(handshakeMs)); });
    connect(conn, &QAbstractSocket::errorOccurred, watch,
        [fail, conn](QAbstractSocket::SocketError) { fail(conn->errorString()); });
    watch->start(handshakeMs);
    conn->startServerEncryption();
}

void CTlsAcceptor::reload(const QString &iniPath)
{
    auto promise = std::make_shared<QPromise<Loaded>>();
    auto *watcher = new QFutureWatcher<Loaded>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        if (watcher->future().resultCount() > 0)
            applyReload(watcher->result());
        watcher->deleteLater();
    });
    watcher->setFuture(promise->future());
    promise->start();
    // A thread of its own rather than a pool's: OpenSSL keeps state for every thread that
    // parsed a key, freed when the thread ends. A pool thread still idling at exit would
    // keep it past OpenSSL's own clean-up.
    QThread *loader = QThread::create([promise, iniPath] {
        Loaded loaded;
        const CServerSettings::Tls tls = CServerSettings::readTls(iniPath);
        loaded.require = tls.require;
        loaded.certificate = tls.certificate;
        loaded.ok = loadIdentity(tls, loaded.config, loaded.error);
        promise->addResult(loaded);
        promise->finish();
    });
    loaders.append(loader);
    connect(loader, &QThread::finished, this, [this, loader] {
        loaders.removeOne(loader);
        loader->deleteLater();
    });
    loader->start();
}

void CTlsAcceptor::applyReload(const Loaded &loaded)
{
    if (!loaded.ok) {
        emit log(tr("TLS reload failed, the certificate in use stays: %1").arg(loaded.error));
        emit reloaded(false);
        return;
    }
    setIdentity(loaded.config, loaded.require);
    if (isEnabled())
        emit log(tr("TLS certificate %1 loaded for new connections%2")
                     .arg(loaded.certificate,
                         require ? tr("; plain connections are refused") : QString()));
    else
        emit log(tr("TLS is off: no [Tls] Certificate configured"));
    emit reloaded(true);
}
