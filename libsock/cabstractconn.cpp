#include "cabstractconn.h"

#include <sys/socket.h>

#include <QMetaObject>
#include <QTimerEvent>

namespace libsock {

CAbstractConn::CAbstractConn(QObject *parent)
    : QSslSocket(parent)
{
    setReadBufferSize(SOCKET_READ_LIMIT);
    // Under TLS bytesWritten() reports plaintext handed to the encryption, not bytes the peer
    // took; those are reported as encryptedBytesWritten(). Every waiter on bytesWritten()
    // (flow control, stall timer, idle watch) must wake for the latter too.
    connect(this, &QSslSocket::encryptedBytesWritten, this,
        [this](qint64 written) { emit bytesWritten(written); });
    connect(this, &QIODevice::bytesWritten, this, &CAbstractConn::restartStallTimer);
    connect(this, &QAbstractSocket::disconnected, this, &CAbstractConn::stopStallTimer);
}

CAbstractConn::~CAbstractConn()
{
    // ~QAbstractSocket still closes an open socket and would emit disconnected() into slots
    // of the subclasses (and of the owner) that are already destroyed.
    blockSignals(true);
}

qint64 CAbstractConn::bytesToWrite() const
{
    return QSslSocket::bytesToWrite() + encryptedBytesToWrite();
}

void CAbstractConn::setRecvTimeout(int msec)
{
    recvTimeoutMs = msec > 0 ? msec : RECV_TIMEOUT_MS;
}

void CAbstractConn::setStallTimeout(int msec)
{
    stallTimeoutMs = msec > 0 ? msec : STALL_TIMEOUT_MS;
}

int CAbstractConn::readUpTo(int count)
{
    const int want = count == 0 ? maxBufferSize : count;
    if (want > maxBufferSize)
        return 0;
    if (recvBuffer.size() >= maxBufferSize) {
        abort();
        return 0;
    }
    // Read straight into the buffer: only the bytes this frame still lacks, so the next
    // frame stays in the socket, and the buffer keeps its capacity from frame to frame.
    while (recvBuffer.size() < want && bytesAvailable() > 0) {
        const int have = int(recvBuffer.size());
        recvBuffer.resize(want);
        const qint64 got = read(recvBuffer.data() + have, want - have);
        recvBuffer.resize(have + int(qMax<qint64>(got, 0)));
        if (got <= 0)
            break;
    }
    return int(recvBuffer.size());
}

void CAbstractConn::startRecvTimer(int msec)
{
    stopRecvTimer();
    timerId = startTimer(msec > 0 ? msec : recvTimeoutMs);
}

void CAbstractConn::stopRecvTimer()
{
    if (timerId != 0) {
        killTimer(timerId);
        timerId = 0;
    }
}

void CAbstractConn::armStallTimer()
{
    if (stallTimerId == 0 && bytesToWrite() > 0 && state() != QAbstractSocket::UnconnectedState)
        stallTimerId = startTimer(stallTimeoutMs);
}

void CAbstractConn::stopStallTimer()
{
    if (stallTimerId != 0) {
        killTimer(stallTimerId);
        stallTimerId = 0;
    }
}

void CAbstractConn::restartStallTimer()
{
    // The peer took bytes: the clock starts over while more still wait.
    stopStallTimer();
    armStallTimer();
}

void CAbstractConn::resetConnection()
{
    const qintptr fd = socketDescriptor();
    if (fd >= 0) {
        // A zero linger time makes the close send RST instead of FIN.
        const linger now { 1, 0 };
        ::setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }
    abort();
}

void CAbstractConn::timerEvent(QTimerEvent *event)
{
    const int id = event->timerId();
    if (id == 0 || (id != timerId && id != stallTimerId)) {
        QSslSocket::timerEvent(event);
        return;
    }
    // Kill first: abort() emits disconnected() and the owner may react to it at once.
    stopRecvTimer();
    stopStallTimer();
    abort();
}

void CAbstractConn::continueLater()
{
    if (passQueued)
        return;
    passQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            passQueued = false;
            if (bytesAvailable() > 0 || recvBuffer.size() > 0)
                processReadyRead();
        },
        Qt::QueuedConnection);
}

} // namespace libsock
