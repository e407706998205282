#include "cabstractprotoconn.h"

namespace libsock {

CAbstractProtoConn::CAbstractProtoConn(QObject *parent)
    : CAbstractConn(parent)
{
    packet.reset();
    connect(this, &QIODevice::readyRead, this, &CAbstractProtoConn::processReadyRead);
}

CAbstractProtoConn::~CAbstractProtoConn() = default;

void CAbstractProtoConn::processReadyRead()
{
    stopRecvTimer();
    for (;;) {
        if (recvBuffer.size() < PACKET_HEADER_SIZE) {
            if (readUpTo(PACKET_HEADER_SIZE) < PACKET_HEADER_SIZE)
                break;
            packet.loadFrom(recvBuffer.constData(), PACKET_HEADER_SIZE);
            // Prevent DoS: a packet the record cannot hold is never assembled.
            if (PACKET_HEADER_SIZE + int(packet.bodyLength()) > PACKET_MAX_SIZE) {
                abort();
                return;
            }
        }
        const int total = PACKET_HEADER_SIZE + int(packet.bodyLength());
        if (readUpTo(total) < total)
            break;
        packet.loadFrom(recvBuffer.constData(), total);
        recvBuffer.resize(0);
        if (!processPacket()) {
            abort();
            return;
        }
        if (state() != QAbstractSocket::ConnectedState || bytesAvailable() <= 0)
            return;
    }
    // Packet incomplete: wait for the rest, but not forever.
    if (isOpen())
        startRecvTimer();
}

} // namespace libsock
