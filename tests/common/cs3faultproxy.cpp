#include "cs3faultproxy.h"

#include <sys/socket.h>

#include <list>
#include <memory>

#include <QHostAddress>
#include <QMetaObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

// Closes with a reset rather than a FIN, as a store that dies does.
void resetSocket(QTcpSocket *socket)
{
    if (!socket)
        return;
    const qintptr fd = socket->socketDescriptor();
    if (fd >= 0) {
        const linger hard { 1, 0 };
        ::setsockopt(int(fd), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    socket->abort();
}

} // namespace

class CS3FaultProxyWorker : public QObject
{
public:
    struct Pair
    {
        QPointer<QTcpSocket> client;
        QPointer<QTcpSocket> store;
        QByteArray head; // a request's headers while they come in
        qint64 bodyLeft = 0; // of the request being forwarded
    };

    explicit CS3FaultProxyWorker(quint16 upstreamPort)
        : upstream(upstreamPort)
    {
    }

    quint16 start()
    {
        server = new QTcpServer(this);
        connect(server, &QTcpServer::newConnection, this, [this] { accept(); });
        server->listen(QHostAddress::LocalHost, 0);
        return server->serverPort();
    }

    void accept()
    {
        while (QTcpSocket *client = server->nextPendingConnection()) {
            client->setParent(this);
            if (dead) {
                resetSocket(client);
                client->deleteLater();
                continue;
            }
            auto pair = std::make_shared<Pair>();
            pair->client = client;
            pair->store = new QTcpSocket(this);
            pairs.push_back(pair);
            connect(client, &QTcpSocket::readyRead, this, [this, pair] { pump(*pair); });
            connect(pair->store, &QTcpSocket::readyRead, this, [this, pair] { pump(*pair); });
            connect(pair->store, &QTcpSocket::connected, this, [this, pair] { pump(*pair); });
            connect(client, &QTcpSocket::bytesWritten, this, [this, pair] { pump(*pair); });
            const auto drop = [this, pair] { close(pair, false); };
            connect(client, &QTcpSocket::disconnected, this, drop);
            connect(pair->store, &QTcpSocket::disconnected, this, drop);
            pair->store->connectToHost(QHostAddress::LocalHost, upstream);
        }
    }

    void close(const std::shared_ptr<Pair> &pair, bool reset)
    {
        for (QTcpSocket *socket : { pair->client.data(), pair->store.data() }) {
            if (!socket)
                continue;
            if (reset) {
                resetSocket(socket);
            } else {
                // What the other side sent before it closed still goes out.
                socket->disconnectFromHost();
            }
            socket->deleteLater();
        }
        pairs.remove(pair);
    }

    void pump(Pair &pair)
    {
        if (held || !pair.client || !pair.store
            || pair.store->state() != QAbstractSocket::ConnectedState)
            return;
        // At the client's pace, as a store's own socket would be.
        if (pair.store->bytesAvailable() > 0 && pair.client->bytesToWrite() < 1024 * 1024) {
            const QByteArray answer = pair.store->read(256 * 1024);
            pair.client->write(answer);
            if (cutIn > 0 && (cutIn -= answer.size()) <= 0) {
                cutIn = -1;
                const auto all = pairs;
                for (const auto &each : all)
                    close(each, true);
                return;
            }
        }
        while (pair.client && pair.client->bytesAvailable() > 0 && !dead) {
            if (pair.bodyLeft > 0) {
                const QByteArray body = pair.client->read(pair.bodyLeft);
                pair.bodyLeft -= body.size();
                pair.store->write(body);
                countBody(body.size());
                continue;
            }
            pair.head += pair.client->read(1);
            if (!pair.head.endsWith("\r\n\r\n"))
                continue;
            if (!request(pair))
                return;
        }
    }

    // A request's headers are in: forwarded, or answered here.
    bool request(Pair &pair)
    {
        const QByteArray line = pair.head.left(pair.head.indexOf("\r\n"));
        seenLines << line;
        for (auto it = faults.begin(); it != faults.end(); ++it) {
            if (it->count > 0 && line.contains(it->match)) {
                --it->count;
                const QByteArray body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error><Code>"
                    + it->code + "</Code><Message>injected</Message></Error>";
                pair.client->write("HTTP/1.1 " + QByteArray::number(it->status)
                    + " Injected\r\nContent-Type: application/xml\r\nContent-Length: "
                    + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                pair.client->flush();
                pair.client->disconnectFromHost();
                return false;
            }
        }
        const qsizetype at = pair.head.toLower().indexOf("\r\ncontent-length:");
        pair.bodyLeft = at < 0 ? 0
                               : pair.head.mid(at + 17, pair.head.indexOf("\r\n", at + 2) - at - 17)
                                     .trimmed()
                                     .toLongLong();
        pair.store->write(pair.head);
        pair.head.clear();
        return true;
    }

    void countBody(qint64 n)
    {
        if (dieIn < 0)
            return;
        dieIn -= n;
        if (dieIn <= 0) {
            dieIn = -1;
            kill();
        }
    }

    void kill()
    {
        dead = true;
        const auto all = pairs;
        for (const auto &pair : all)
            close(pair, true);
    }

    void release()
    {
        held = false;
        const auto all = pairs;
        for (const auto &pair : all)
            pump(*pair);
    }

    struct Fault
    {
        int count = 0;
        QByteArray match;
        int status = 503;
        QByteArray code;
    };

    quint16 upstream;
    QTcpServer *server = nullptr;
    std::list<std::shared_ptr<Pair>> pairs;
    std::list<Fault> faults;
    QList<QByteArray> seenLines;
    bool held = false;
    bool dead = false;
    qint64 dieIn = -1;
    qint64 cutIn = -1;
};

CS3FaultProxy::CS3FaultProxy(quint16 upstream)
    : thread(new QThread)
    , worker(new CS3FaultProxyWorker(upstream))
{
    worker->moveToThread(thread);
    thread->start();
    QMetaObject::invokeMethod(
        worker, [this] { listening = worker->start(); }, Qt::BlockingQueuedConnection);
}

CS3FaultProxy::~CS3FaultProxy()
{
    QMetaObject::invokeMethod(
        worker, [this] { delete worker; }, Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
    delete thread;
}

quint16 CS3FaultProxy::port() const
{
    return listening;
}

QString CS3FaultProxy::endpoint() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(listening);
}

void CS3FaultProxy::failNext(int count, const QByteArray &match, int status, const QByteArray &code)
{
    QMetaObject::invokeMethod(
        worker,
        [=] { worker->faults.push_back({ count, match, status, code }); },
        Qt::BlockingQueuedConnection);
}

void CS3FaultProxy::stall()
{
    QMetaObject::invokeMethod(
        worker, [this] { worker->held = true; }, Qt::BlockingQueuedConnection);
}

void CS3FaultProxy::resume()
{
    QMetaObject::invokeMethod(worker, [this] { worker->release(); }, Qt::BlockingQueuedConnection);
}

void CS3FaultProxy::dieAfter(qint64 bytes)
{
    QMetaObject::invokeMethod(
        worker, [=] { worker->dieIn = qMax<qint64>(1, bytes); }, Qt::BlockingQueuedConnection);
}

void CS3FaultProxy::down()
{
    QMetaObject::invokeMethod(worker, [this] { worker->kill(); }, Qt::BlockingQueuedConnection);
}

void CS3FaultProxy::up()
{
    QMetaObject::invokeMethod(
        worker, [this] { worker->dead = false; }, Qt::BlockingQueuedConnection);
}

void CS3FaultProxy::cutAfter(qint64 bytes)
{
    QMetaObject::invokeMethod(
        worker, [=] { worker->cutIn = bytes > 0 ? bytes : -1; }, Qt::BlockingQueuedConnection);
}

int CS3FaultProxy::requests(const QByteArray &match) const
{
    int count = 0;
    QMetaObject::invokeMethod(
        worker,
        [&] {
            for (const QByteArray &line : std::as_const(worker->seenLines))
                count += line.contains(match) ? 1 : 0;
        },
        Qt::BlockingQueuedConnection);
    return count;
}
