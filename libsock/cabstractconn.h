#ifndef LIBSOCK_CABSTRACTCONN_H
#define LIBSOCK_CABSTRACTCONN_H

#include <QByteArray>
#include <QTcpSocket>

class QTimerEvent;

namespace libsock {

constexpr int DEFAULT_BUFFER_LIMIT = 102400;
constexpr int RECV_TIMEOUT_MS = 30000;

// Base of every served connection: a bounded receive buffer holding one frame, a read that
// takes only what the current frame still lacks, and a receive timer that aborts a
// connection whose frame stays incomplete.
class CAbstractConn : public QTcpSocket
{
public:
    explicit CAbstractConn(QObject *parent);
    ~CAbstractConn() override;

    // Interval used by startRecvTimer() when called without one; tests shorten it.
    void setRecvTimeout(int msec);
    int recvTimeout() const { return recvTimeoutMs; }

protected:
    int readUpTo(int count);
    void startRecvTimer(int msec = 0);
    void stopRecvTimer();
    void timerEvent(QTimerEvent *event) override;

    int maxBufferSize = DEFAULT_BUFFER_LIMIT;
    int timerId = 0;
    QByteArray recvBuffer;

private:
    int recvTimeoutMs = RECV_TIMEOUT_MS;
};

} // namespace libsock

#endif // LIBSOCK_CABSTRACTCONN_H
