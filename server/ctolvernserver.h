#ifndef CTOLVERNSERVER_H
#define CTOLVERNSERVER_H

#include <QTcpServer>

// Listener of both ports: hands every accepted descriptor to its owner, who decides which
// connection class adopts it.
class CTolvernServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit CTolvernServer(QObject *parent);

signals:
    void clientConnected(int socketfd);

protected:
    void incomingConnection(qintptr socketDescriptor) override;
};

#endif // CTOLVERNSERVER_H
