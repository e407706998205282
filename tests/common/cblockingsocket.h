#ifndef CBLOCKINGSOCKET_H
#define CBLOCKINGSOCKET_H

#include <QByteArray>
#include <QPair>
#include <QString>

// A blocking loopback connection of the tests' own, usable from any thread: Qt reports a
// reset by the peer as an ordinary close, and some tests must tell the two apart. Every call
// gives up after the time-out given, so a silent server fails a test instead of hanging it.
class CBlockingSocket
{
public:
    explicit CBlockingSocket(quint16 port, int timeoutSeconds = 10);
    ~CBlockingSocket();
    CBlockingSocket(const CBlockingSocket &) = delete;
    CBlockingSocket &operator=(const CBlockingSocket &) = delete;

    bool isConnected() const { return fd >= 0; }
    bool send(const QByteArray &bytes);
    // count bytes, or fewer when the connection ended or the time ran out.
    QByteArray receive(qsizetype count);
    // One file-port frame: type and payload; type -1 when the connection ended first.
    QPair<int, QByteArray> frame();
    // A control reply's body, empty when none came.
    QByteArray reply();
    // How the server ends the connection: "close", "reset" or "timeout". A reset is reported
    // once: to a send that meets it (or the sends after it), or else to the next receive.
    QString ending();

private:
    int fd = -1;
    int sendErrno = 0;
    int recvErrno = 0;
};

#endif // CBLOCKINGSOCKET_H
