#ifndef CTOLVERNSERVER_H
#define CTOLVERNSERVER_H

#include <QTcpServer>

class QTimer;

// Listener of both ports: hands every accepted descriptor to its owner, who decides which
// connection class adopts it. When accept fails (no descriptor free, a client gone before it
// was taken) it pauses and resumes by itself: it never spins and never stops for good.
class CTolvernServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit CTolvernServer(QObject *parent);

    // A descriptor of ours was closed: accepting resumes at once if it waited for one.
    void descriptorFreed();
    bool isWaitingToAccept() const { return waiting; }

signals:
    void clientConnected(int socketfd);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void acceptFailed(QAbstractSocket::SocketError error);
    void acceptAgain();

    QTimer *retryTimer = nullptr;
    bool waiting = false;
};

#endif // CTOLVERNSERVER_H
