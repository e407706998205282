#include "ctolvernserver.h"

#include <QTimer>

namespace {
// Out of descriptors: try again this often even when none of ours is freed, since files and
// the database close descriptors too.
constexpr int RESOURCE_RETRY_MS = 250;
// Any other failure concerns one client only; a short pause keeps a repeating one from
// spinning.
constexpr int OTHER_RETRY_MS = 10;
} // namespace

CTolvernServer::CTolvernServer(QObject *parent)
    : QTcpServer(parent)
    , retryTimer(new QTimer(this))
{
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &CTolvernServer::acceptAgain);
    // QTcpServer has paused accepting when it reports the error; nothing would resume it.
    connect(this, &QTcpServer::acceptError, this, &CTolvernServer::acceptFailed);
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

void CTolvernServer::acceptFailed(QAbstractSocket::SocketError error)
{
    waiting = true;
    retryTimer->start(
        error == QAbstractSocket::SocketResourceError ? RESOURCE_RETRY_MS : OTHER_RETRY_MS);
}

void CTolvernServer::acceptAgain()
{
    retryTimer->stop();
    waiting = false;
    if (isListening())
        resumeAccepting();
}
