#include "cabstractprotoconn.h"

#include <QMetaObject>
#include <QtEndian>

namespace libsock {

CAbstractProtoConn::CAbstractProtoConn(QObject *parent)
    : CAbstractConn(parent)
    , packet(threadPacket())
{
    // Takes its sequence number, as a record of its own would.
    packet.reset();
    connect(this, &QIODevice::readyRead, this, &CAbstractProtoConn::processReadyRead);
    connect(this, &QIODevice::bytesWritten, this, &CAbstractProtoConn::onBytesWritten);
}

CAbstractProtoConn::~CAbstractProtoConn() = default;

bool CAbstractProtoConn::setSocketDescriptor(
    qintptr socketDescriptor, SocketState state, OpenMode openMode)
{
    if (!CAbstractConn::setSocketDescriptor(socketDescriptor, state, openMode))
        return false;
    setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, CONTROL_SEND_BUFFER);
    return true;
}

void CAbstractProtoConn::processReadyRead()
{
    stopRecvTimer();
    heldBack = false;
    for (int handled = 0;; ++handled) {
        if (state() != QAbstractSocket::ConnectedState)
            return;
        if (mustWait()) {
            // Resumed by bytesWritten() or resumeRequests(); a peer that never reads is ended
            // by the stall timer.
            heldBack = true;
            armStallTimer();
            return;
        }
        if (handled == PACKETS_PER_PASS) {
            continueLater();
            return;
        }
        const Take taken = takePacket();
        if (taken == Take::Ended)
            return;
        if (taken == Take::Incomplete)
            break;
        armStallTimer();
        if (state() != QAbstractSocket::ConnectedState || bytesAvailable() <= 0)
            return;
    }
    // Packet incomplete: wait for the rest, but not forever.
    if (isOpen())
        startRecvTimer();
}

CProtoPacket &CAbstractProtoConn::threadPacket()
{
    static thread_local CProtoPacket record;
    return record;
}

CAbstractProtoConn::Take CAbstractProtoConn::takePacket()
{
    // The header stays in the buffer until the packet is whole: its length is read there.
    const auto bodyLength = [this] {
        return int(qFromLittleEndian<quint16>(recvBuffer.constData() + PACKET_HEADER_SIZE - 2));
    };
    if (recvBuffer.size() < PACKET_HEADER_SIZE) {
        if (readUpTo(PACKET_HEADER_SIZE) < PACKET_HEADER_SIZE)
            return Take::Incomplete;
        // Prevent DoS: a packet the record cannot hold is never assembled.
        if (PACKET_HEADER_SIZE + bodyLength() > PACKET_MAX_SIZE) {
            abort();
            return Take::Ended;
        }
    }
    const int total = PACKET_HEADER_SIZE + bodyLength();
    if (readUpTo(total) < total)
        return Take::Incomplete;
    packet.loadFrom(recvBuffer.constData(), total);
    recvBuffer.resize(0);
    if (!processPacket()) {
        abort();
        return Take::Ended;
    }
    return Take::Taken;
}

void CAbstractProtoConn::takeBuffered()
{
    while ((bytesAvailable() > 0 || recvBuffer.size() > 0) && readyForRequest()) {
        if (takePacket() != Take::Taken)
            return;
    }
}

bool CAbstractProtoConn::mustWait() const
{
    return bytesToWrite() + owedReplyBytes() > REPLY_QUEUE_LIMIT || !readyForRequest();
}

void CAbstractProtoConn::onBytesWritten()
{
    resumeRequests();
}

void CAbstractProtoConn::resumeRequests()
{
    if (heldBack && !mustWait()) {
        heldBack = false;
        continueLater();
    }
}

} // namespace libsock
