#ifndef CLOGINLOAD_H
#define CLOGINLOAD_H

#include <functional>
#include <vector>

#include <QByteArray>
#include <QString>

namespace libsock {
class CProtoPacket;
}

// Control-port clients on plain non-blocking sockets and one epoll set, so that the load
// takes little of the machine from the server it measures. Each client keeps one request
// in flight: it sends the next only when the reply to the last has come.
class CLoginLoad
{
public:
    // Fills the next request of a client into the packet.
    using NextRequest = std::function<void(libsock::CProtoPacket &)>;

    CLoginLoad();
    ~CLoginLoad();
    CLoginLoad(const CLoginLoad &) = delete;
    CLoginLoad &operator=(const CLoginLoad &) = delete;

    // count clients on 127.0.0.1, spread in turn over the ports given.
    bool connectClients(const std::vector<quint16> &ports, int count);
    // Sends requests for msec, then waits up to drainMsec for the replies still on their
    // way, which count for nobody. False when a client failed or a reply did not come.
    bool run(int msec, int drainMsec, const NextRequest &next);

    // One request on the first client and its reply, waited for up to msec; result is the
    // reply's result byte.
    bool exchange(const NextRequest &next, int msec, quint8 *result);

    // Replies with result 0, and with any other result, over all runs.
    qint64 answered() const { return okCount; }
    qint64 refused() const { return refusedCount; }
    QString errorText() const { return error; }

private:
    struct Client
    {
        int fd = -1;
        QByteArray in;
        bool waiting = false;
        quint8 lastResult = 0;
    };

    bool send(Client &client, const NextRequest &next);
    // Takes what the socket holds; false when the peer closed or the read failed.
    bool receive(Client &client, bool counting, const NextRequest *next);
    bool fail(const QString &why);

    int epollFd = -1;
    std::vector<Client> clients;
    qint64 okCount = 0;
    qint64 refusedCount = 0;
    QString error;
};

#endif // CLOGINLOAD_H
