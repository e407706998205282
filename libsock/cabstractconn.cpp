#include "cabstractconn.h"

#include <QTimerEvent>

namespace libsock {

CAbstractConn::CAbstractConn(QObject *parent)
    : QTcpSocket(parent)
{
}

CAbstractConn::~CAbstractConn()
{
    // ~QAbstractSocket still closes an open socket and would emit disconnected() into slots
    // of the subclasses (and of the owner) that are already destroyed.
    blockSignals(true);
}

void CAbstractConn::setRecvTimeout(int msec)
{
    recvTimeoutMs = msec > 0 ? msec : RECV_TIMEOUT_MS;
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
    timerId = startTimer(msec > 0 ? msec : recvTimeoutMs);
}

void CAbstractConn::stopRecvTimer()
{
    if (timerId != 0) {
        killTimer(timerId);
        timerId = 0;
    }
}

void CAbstractConn::timerEvent(QTimerEvent *event)
{
    if (timerId == 0 || event->timerId() != timerId) {
        QTcpSocket::timerEvent(event);
        return;
    }
    // Kill first: abort() emits disconnected() and the owner may react to it at once.
    stopRecvTimer();
    abort();
}

} // namespace libsock
