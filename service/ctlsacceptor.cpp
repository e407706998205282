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
    , failureTimer(new QTimer(this))
{
    monotonic.start();
    failureTimer->setInterval(int(FAILURE_WINDOW_MS / 6));
    connect(failureTimer, &QTimer::timeout, this, &CTlsAcceptor::flushFailures);
}

qint64 CTlsAcceptor::now() const
{
    return clock ? clock() : monotonic.elapsed();
}

CTlsAcceptor::~CTlsAcceptor()
{
    // A reload reads files for a few milliseconds; its thread must not outlive us.
    for (QThread *loader : std::as_const(loaders)) {
        loader->wait();
        delete loader;
    }
    // Notifiers first: none may watch a descriptor that is closed.
    for (auto &[socketfd, entry] : held) {
        entry.notifier.reset();
        entry.timer.reset();
        ::close(socketfd);
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

void CTlsAcceptor::route(int socketfd, int descriptors, const Serve &serve)
{
    const CFirstByteGate gate(policy());
    if (gate.route() == CFirstByteGate::Route::Plain) {
        serve(socketfd, false);
        return;
    }
    // Counted against the caps while it waits, like an adopted connection, and like one it
    // gives way when idle longest at a full cap.
    QHostAddress peer;
    if (!guard->admit(socketfd, peer, descriptors))
        return;
    Held &entry = held[socketfd];
    entry.peer = peer;
    entry.holdId = guard->hold(peer, descriptors, [this, socketfd] {
        const auto found = held.find(socketfd);
        if (found == held.end())
            return;
        found->second.gate.expire();
        settle(socketfd);
    });
    entry.gate = gate;
    entry.serve = serve;
    entry.notifier = std::make_unique<QSocketNotifier>(socketfd, QSocketNotifier::Read);
    connect(entry.notifier.get(), &QSocketNotifier::activated, this,
        [this, socketfd] { examine(socketfd); });
    if (firstByteMs > 0) {
        entry.timer = std::make_unique<QTimer>();
        entry.timer->setSingleShot(true);
        connect(entry.timer.get(), &QTimer::timeout, this, [this, socketfd] { expire(socketfd); });
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
    found->second.gate.feed(&first, got > 0 ? 1 : 0, ended);
    settle(socketfd);
}

void CTlsAcceptor::expire(int socketfd)
{
    const auto found = held.find(socketfd);
    if (found == held.end())
        return;
    found->second.gate.expire();
    settle(socketfd);
}

void CTlsAcceptor::settle(int socketfd)
{
    const auto found = held.find(socketfd);
    if (found == held.end() || found->second.gate.route() == CFirstByteGate::Route::Wait)
        return;
    Held &entry = found->second;
    switch (entry.gate.route()) {
    case CFirstByteGate::Route::Tls:
        serveTls(socketfd);
        return;
    case CFirstByteGate::Route::Plain: {
        const Serve serve = std::move(entry.serve);
        guard->unhold(entry.holdId);
        held.erase(found);
        serve(socketfd, false);
        return;
    }
    case CFirstByteGate::Route::Close:
    case CFirstByteGate::Route::Wait:
        break;
    }
    const QHostAddress peer = entry.peer;
    guard->unhold(entry.holdId);
    held.erase(found);
    char first = 0;
    // A peer that sent plain bytes to a TLS-only server learns nothing but the close.
    if (::recv(socketfd, &first, 1, MSG_PEEK | MSG_DONTWAIT) == 1)
        emit log(tr("Plain connection from %1 closed: TLS is required").arg(peer.toString()));
    ::close(socketfd);
}

void CTlsAcceptor::serveTls(int socketfd)
{
    Held &entry = held.at(socketfd);
    const auto record = failures.find(entry.peer);
    if (failureLimit == 0 || record == failures.end() || record->count < failureLimit) {
        startTls(socketfd);
        return;
    }
    // One at a time, a second apart, while the address keeps failing; still held and
    // counted, its bytes waiting in the kernel.
    const qint64 at = now();
    const qint64 wait = qMax<qint64>(record->nextStart - at, 0);
    record->nextStart = qMax(record->nextStart, at) + HANDSHAKE_SPACING_MS;
    if (wait == 0) {
        startTls(socketfd);
        return;
    }
    entry.notifier.reset();
    entry.timer = std::make_unique<QTimer>();
    entry.timer->setSingleShot(true);
    connect(entry.timer.get(), &QTimer::timeout, this, [this, socketfd] { startTls(socketfd); });
    entry.timer->start(int(wait));
}

void CTlsAcceptor::startTls(int socketfd)
{
    const auto found = held.find(socketfd);
    if (found == held.end())
        return;
    const Serve serve = std::move(found->second.serve);
    guard->unhold(found->second.holdId);
    held.erase(found);
    serve(socketfd, true);
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
        handshakeFailed(peer, why);
        // Queued: a failure inside startServerEncryption() comes before the owner has
        // connected to disconnected().
        QMetaObject::invokeMethod(conn, &QAbstractSocket::abort, Qt::QueuedConnection);
    };
    const int limit = guard->underPressure(peer) ? qMin(handshakeMs, PRESSED_HANDSHAKE_TIMEOUT_MS)
                                                 : handshakeMs;
    connect(conn, &QSslSocket::encrypted, watch, end);
    connect(watch, &QTimer::timeout, watch,
        [fail, limit] { fail(tr("no handshake within %1 ms").arg(limit)); });
    connect(conn, &QAbstractSocket::errorOccurred, watch,
        [fail, conn](QAbstractSocket::SocketError) { fail(conn->errorString()); });
    watch->start(limit);
    conn->startServerEncryption();
}

void CTlsAcceptor::handshakeFailed(const QHostAddress &peer, const QString &why)
{
    const qint64 at = now();
    Failures &record = failures[peer];
    if (record.count > 0 && at - record.since >= FAILURE_WINDOW_MS)
        logFailureSum(peer, record);
    if (record.count == 0) {
        // A new window: its first failure is told at once, the rest summed up at its end.
        record.since = at;
        emit log(tr("TLS handshake with %1 failed: %2").arg(peer.toString(), why));
        windows.emplace_back(at, peer);
        if (!failureTimer->isActive())
            failureTimer->start();
    } else {
        ++record.unlogged;
        record.lastReason = why;
    }
    ++record.count;
}

void CTlsAcceptor::logFailureSum(const QHostAddress &peer, Failures &record)
{
    if (record.unlogged > 0) {
        emit log(tr("TLS handshake with %1 failed %2 more time(s) in the last minute; the last: "
                    "%3")
                     .arg(peer.toString())
                     .arg(record.unlogged)
                     .arg(record.lastReason));
    }
    record = Failures();
}

void CTlsAcceptor::flushFailures()
{
    const qint64 at = now();
    while (!windows.empty() && at - windows.front().first >= FAILURE_WINDOW_MS) {
        const auto [since, peer] = windows.front();
        windows.pop_front();
        const auto record = failures.find(peer);
        // A window that ended at a later failure has been summed up then.
        if (record == failures.end() || record->since != since || record->count == 0)
            continue;
        logFailureSum(peer, *record);
        failures.erase(record);
    }
    if (windows.empty())
        failureTimer->stop();
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
