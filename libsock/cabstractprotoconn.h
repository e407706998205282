#ifndef LIBSOCK_CABSTRACTPROTOCONN_H
#define LIBSOCK_CABSTRACTPROTOCONN_H

#include "cabstractconn.h"
#include "cprotopacket.h"

namespace libsock {

// Cuts the control port's byte stream into packets and hands each complete one to
// processPacket(); a false result aborts the connection.
class CAbstractProtoConn : public CAbstractConn
{
    Q_OBJECT

public:
    explicit CAbstractProtoConn(QObject *parent);
    ~CAbstractProtoConn() override;

protected:
    virtual bool processPacket() = 0;

    CProtoPacket packet;

private slots:
    void processReadyRead();
};

} // namespace libsock

#endif // LIBSOCK_CABSTRACTPROTOCONN_H
