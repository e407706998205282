#ifndef LIBSOCK_CCLIENTTLS_H
#define LIBSOCK_CCLIENTTLS_H

#include <QAbstractSocket>
#include <QString>

class QSslSocket;

namespace libsock {

// How a client reaches the server: plain, or inside TLS that checks the server's certificate
// and host name against the system's trust store or one CA file. insecure skips every check
// and is meant for a test set-up with a self-signed certificate only.
class CClientTls
{
public:
    bool enabled = false;
    QString caFile;
    bool insecure = false;

    // Configures socket before it connects; false with why when the CA file gives nothing.
    bool apply(QSslSocket &socket, QString *error) const;
    // Whether socketError, on a connection that is up but not yet encrypted (connecting),
    // ended its handshake: anything but a time-out, a refusal or an unknown host.
    bool endsHandshake(
        bool connecting, bool timedOut, QAbstractSocket::SocketError socketError) const
    {
        return enabled && connecting && !timedOut
            && socketError != QAbstractSocket::ConnectionRefusedError
            && socketError != QAbstractSocket::HostNotFoundError;
    }
};

} // namespace libsock

#endif // LIBSOCK_CCLIENTTLS_H
