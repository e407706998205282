#ifndef LIBSOCK_CABSTRACTPROTOCONN_H
#define LIBSOCK_CABSTRACTPROTOCONN_H

#include "cabstractconn.h"
#include "cprotopacket.h"

namespace libsock {

// Packets handled in one pass before the rest waits for a queued call, so one busy peer
// cannot hold the event loop.
constexpr int PACKETS_PER_PASS = 32;
// Kernel send buffer of an adopted control connection: replies are a few dozen bytes, and a
// peer that does not read them should not have thousands more answered into the kernel.
constexpr int CONTROL_SEND_BUFFER = 64 * 1024;

// Cuts the control port's byte stream into packets and hands each complete one to
// processPacket(); a false result aborts the connection. A peer that does not read its
// replies is held back: no request is read while the queue of replies is over its bound.
class CAbstractProtoConn : public CAbstractConn
{
    Q_OBJECT

public:
    explicit CAbstractProtoConn(QObject *parent);
    ~CAbstractProtoConn() override;

    bool setSocketDescriptor(qintptr socketDescriptor, SocketState state = ConnectedState,
        OpenMode openMode = ReadWrite) override;

    // True while requests wait because replies do not go out.
    bool isHeldBack() const { return heldBack; }

protected:
    virtual bool processPacket() = 0;
    // Bytes of replies owed to requests already taken but not yet written; they count with
    // the written ones against the bound.
    virtual qint64 owedReplyBytes() const { return 0; }
    // False while the subclass cannot take another request yet.
    virtual bool readyForRequest() const { return true; }
    // The subclass calls this once owed replies went out or it can take requests again.
    void resumeRequests();
    // Hands the complete packets still buffered to processPacket() while the subclass is
    // ready for them, whatever replies are owed: for requests a peer sent before it hung up.
    void takeBuffered();

    // The packet being handed over, for processPacket(). A packet is taken whole and handed
    // over at once, so one record per thread serves all its connections: an idle connection
    // holds no 50 KB record of its own.
    CProtoPacket &packet;

private slots:
    void processReadyRead() override;

private:
    enum class Take { Taken, Incomplete, Ended };

    Take takePacket();
    static CProtoPacket &threadPacket();
    void onBytesWritten();
    bool mustWait() const;

    bool heldBack = false;
};

} // namespace libsock

#endif // LIBSOCK_CABSTRACTPROTOCONN_H
