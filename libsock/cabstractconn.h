#ifndef LIBSOCK_CABSTRACTCONN_H
#define LIBSOCK_CABSTRACTCONN_H

#include <QByteArray>
#include <QSslSocket>

class QTimerEvent;

namespace libsock {

constexpr int DEFAULT_BUFFER_LIMIT = 102400;
constexpr int RECV_TIMEOUT_MS = 30000;
constexpr int STALL_TIMEOUT_MS = 30000;
// What the socket itself may hold of bytes not yet taken by the frame reader; past it the
// peer is held back by TCP instead of by the server's memory.
constexpr qint64 SOCKET_READ_LIMIT = 64 * 1024;
// Replies the peer has not taken yet; past this a connection reads no more requests.
constexpr qint64 REPLY_QUEUE_LIMIT = 64 * 1024;

// Base of every served connection: a bounded receive buffer holding one frame, a read that
// takes only what the current frame still lacks, a receive timer that aborts a connection
// whose frame stays incomplete, and a stall timer that aborts a peer that takes none of the
// bytes queued for it. A QSslSocket, so that the same framing runs inside TLS when the
// connection starts encryption; left unencrypted it passes the bytes through unchanged.
class CAbstractConn : public QSslSocket
{
public:
    explicit CAbstractConn(QObject *parent);
    ~CAbstractConn() override;

    // Everything still queued for the peer: under TLS the plaintext not yet encrypted and the
    // records not yet sent, so flow control and the stall timer see the whole queue.
    qint64 bytesToWrite() const override;

    // Interval used by startRecvTimer() when called without one; tests shorten it.
    void setRecvTimeout(int msec);
    int recvTimeout() const { return recvTimeoutMs; }
    // How long queued bytes may wait without the peer taking any; tests shorten it.
    void setStallTimeout(int msec);
    int stallTimeout() const { return stallTimeoutMs; }

protected:
    int readUpTo(int count);
    // Restarts the receive timer when one is running already.
    void startRecvTimer(int msec = 0);
    void stopRecvTimer();
    // Starts the stall clock when bytes wait to go out and it is not running; every
    // bytesWritten() starts it over, an empty queue stops it.
    void armStallTimer();
    void stopStallTimer();
    // Ends the connection with a reset rather than an orderly close, so the peer cannot take
    // it for success.
    void resetConnection();
    void timerEvent(QTimerEvent *event) override;
    // One pass over the received bytes; a pass handles a bounded number of frames so that
    // one peer cannot hold the event loop.
    virtual void processReadyRead() { }
    // Runs another pass from the event loop, once however often it is asked.
    void continueLater();

    int maxBufferSize = DEFAULT_BUFFER_LIMIT;
    int timerId = 0;
    QByteArray recvBuffer;

private:
    void restartStallTimer();

    int recvTimeoutMs = RECV_TIMEOUT_MS;
    bool passQueued = false;
    int stallTimerId = 0;
    int stallTimeoutMs = STALL_TIMEOUT_MS;
};

} // namespace libsock

#endif // LIBSOCK_CABSTRACTCONN_H
