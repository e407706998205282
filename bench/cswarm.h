#ifndef CSWARM_H
#define CSWARM_H

#include <atomic>
#include <functional>
#include <vector>

#include <QByteArray>
#include <QString>

namespace libsock {
class CProtoPacket;
}

// Many bare client connections on one epoll set, from many loopback addresses (127.1.0.1 on,
// a few connections each, as from many hosts), for the figures of mass connects and hang-ups,
// idle connections and floods. Little of the bench's own time goes to them.
class CSwarm
{
public:
    // The next request for a connection (its index), written into packet.
    using NextRequest = std::function<void(libsock::CProtoPacket &packet, int index)>;

    CSwarm();
    ~CSwarm();
    CSwarm(const CSwarm &) = delete;
    CSwarm &operator=(const CSwarm &) = delete;

    // Raises this process's open-files limit to the hard one; the limit in force after.
    // A server started afterwards inherits it.
    static int raiseDescriptorLimit();

    // Opens count connections to ports in turn, perAddress from each source address, and
    // waits until the kernel has them all. Never more than a listen backlog's worth is
    // pending at once.
    bool open(const std::vector<quint16> &ports, int count, int perAddress, int msec);
    // Sends one request on every connection to port and waits until each is answered;
    // *ok counts replies with result 0.
    bool exchangeAll(quint16 port, const NextRequest &next, int msec, int *ok);
    // Keeps every connection to port busy for msec: requests are written as fast as the
    // server reads them and replies read and counted; stop() ends it early from another
    // thread.
    bool flood(quint16 port, const NextRequest &next, int msec);
    void stop() { stopping = true; }
    qint64 requestsSent() const { return sent; }
    qint64 repliesRead() const { return replies; }
    // Closes every connection at once.
    void closeAll();
    int size() const { return int(conns.size()); }
    QString errorText() const { return error; }

private:
    struct Conn
    {
        int fd = -1;
        quint16 port = 0;
        QByteArray in;
        QByteArray out;
        int waiting = 0; // replies owed
    };

    bool fail(const QString &why);
    // Reads what conn has and counts its whole replies; false when the server closed it.
    bool drain(Conn &conn, int *ok);

    std::vector<Conn> conns;
    int epollFd = -1;
    std::atomic<bool> stopping { false };
    std::atomic<qint64> sent { 0 };
    std::atomic<qint64> replies { 0 };
    QString error;
};

#endif // CSWARM_H
