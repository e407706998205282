#ifndef TESTCONNSERVER_H
#define TESTCONNSERVER_H

#include <functional>

#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// Listens on 127.0.0.1, port 0, and adopts each accepted descriptor into a connection made
// by the factory, disposing of it on disconnect as the real owner does.
class TestConnServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit TestConnServer(
        std::function<QTcpSocket *(QObject *parent)> makeConn, QObject *parent = nullptr)
        : QTcpServer(parent)
        , factory(std::move(makeConn))
    {
        listen(QHostAddress::LocalHost, 0);
    }

    QList<QPointer<QTcpSocket>> conns;

signals:
    void accepted(QTcpSocket *conn);

protected:
    void incomingConnection(qintptr fd) override
    {
        QTcpSocket *conn = factory(this);
        conn->setSocketDescriptor(fd);
        connect(conn, &QTcpSocket::disconnected, conn, &QObject::deleteLater);
        conns.append(conn);
        emit accepted(conn);
    }

private:
    std::function<QTcpSocket *(QObject *parent)> factory;
};

#endif // TESTCONNSERVER_H
