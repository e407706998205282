#include "ctolvernserver.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

namespace {
// Out of descriptors: try again this often even when none of ours is freed, since files and
// the database close descriptors too.
constexpr int RESOURCE_RETRY_MS = 250;
// An unexpected failure: a short pause keeps a repeating one from spinning.
constexpr int OTHER_RETRY_MS = 10;
// Accepted per wake-up, so a flood of clients does not starve the connections already served.
constexpr int ACCEPT_BATCH = 64;
} // namespace

CTolvernServer::CTolvernServer(QObject *parent)
    : QTcpServer(parent)
    , retryTimer(new QTimer(this))
{
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &CTolvernServer::acceptAgain);
}

CTolvernServer::~CTolvernServer()
{
    // Before QTcpServer closes the descriptor it watches.
    delete notifier;
}

bool CTolvernServer::listen(const QHostAddress &address, quint16 port)
{
    if (!QTcpServer::listen(address, port))
        return false;
    QTcpServer::pauseAccepting();
    delete notifier;
    notifier = new QSocketNotifier(socketDescriptor(), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &CTolvernServer::acceptPending);
    return true;
}

void CTolvernServer::descriptorFreed()
{
    if (waiting)
        acceptAgain();
}

void CTolvernServer::incomingConnection(qintptr socketDescriptor)
{
    // No socket object here: the owner decides which connection class adopts it.
    emit clientConnected(int(socketDescriptor));
}

void CTolvernServer::acceptPending()
{
    const QPointer<CTolvernServer> alive(this);
    for (int i = 0; i < ACCEPT_BATCH; ++i) {
        const int fd = ::accept4(int(socketDescriptor()), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            incomingConnection(fd);
            if (!alive || !isListening())
                return;
            continue;
        }
        const int error = errno;
        switch (error) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return;
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
            continue; // that client is gone; the next may wait
        default:
            break;
        }
        notifier->setEnabled(false);
        waiting = true;
        const bool resources
            = error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
        retryTimer->start(resources ? RESOURCE_RETRY_MS : OTHER_RETRY_MS);
        emit acceptFailed(QString::fromLocal8Bit(std::strerror(error)));
        return;
    }
}

void CTolvernServer::acceptAgain()
{
    retryTimer->stop();
    waiting = false;
    if (notifier && isListening())
        notifier->setEnabled(true);
}
