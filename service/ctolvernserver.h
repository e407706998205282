#ifndef CTOLVERNSERVER_H
#define CTOLVERNSERVER_H

#include <QString>
#include <QTcpServer>

class QSocketNotifier;
class QTimer;

// Listener of both ports: hands every accepted descriptor to its owner, who decides which
// connection class adopts it. It accepts by itself rather than through QTcpServer, which spins
// when no descriptor is free and stops for good after some failures: here a failed accept
// pauses, and accepting resumes when a descriptor is freed or after a short wait.
class CTolvernServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit CTolvernServer(QObject *parent);
    ~CTolvernServer() override;

    // Takes the place of QTcpServer::listen(), whose accepting it replaces.
    bool listen(const QHostAddress &address, quint16 port);
    // A descriptor of ours was closed: accepting resumes at once if it waited for one.
    void descriptorFreed();
    bool isWaitingToAccept() const { return waiting; }

signals:
    void clientConnected(int socketfd);
    // accept() failed for want of resources; accepting waits. Reported each time.
    void acceptFailed(QString reason);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    void acceptPending();
    void acceptAgain();

    QSocketNotifier *notifier = nullptr;
    QTimer *retryTimer = nullptr;
    bool waiting = false;
};

#endif // CTOLVERNSERVER_H
