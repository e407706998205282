#ifndef CPORTRESERVATION_H
#define CPORTRESERVATION_H

#include <QtGlobal>

// A TCP port kept from everyone else until a listener of this process takes it: a socket
// bound to it with address reuse but never listening. Ports handed out for port 0 skip it,
// yet a listener that also asks for address reuse (QTcpServer does) may still bind it. So
// there is no moment between choosing the port and listening on it in which another test
// could take it.
class CPortReservation
{
public:
    CPortReservation();
    ~CPortReservation();
    CPortReservation(const CPortReservation &) = delete;
    CPortReservation &operator=(const CPortReservation &) = delete;

    // 0 when no port could be reserved.
    quint16 port() const { return reserved; }

private:
    int fd = -1;
    quint16 reserved = 0;
};

#endif // CPORTRESERVATION_H
