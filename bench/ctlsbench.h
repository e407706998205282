#ifndef CTLSBENCH_H
#define CTLSBENCH_H

#include <QSslConfiguration>
#include <QString>

#include "cclienttls.h"

// Figure 8's parts: a certificate for the server, and the yardsticks measured in this
// process: the same bytes copied between two QSslSockets on loopback, and bare TLS handshakes
// with one small round trip each; and the server side: TLS handshakes with a login each.
class CTlsBench
{
public:
    // Makes a certificate and key with openssl in dir; false with why in error.
    bool prepare(const QString &dir, QString *error);
    // The [Tls] section that serves them, and a client that trusts them.
    QString iniSection() const;
    libsock::CClientTls clientTls() const;

    // source to target (committed) from one QSslSocket to the other, both in this thread.
    bool loopbackCopy(const QString &source, const QString &target, double &seconds) const;
    // Handshake plus a 22-byte request and answer, on fresh loopback pairs for msec.
    bool loopbackHandshakes(int msec, double &perSecond) const;
    // Connections to the server's control port for msec, each with tls (or plain when it is
    // off): connect, one login of name, close.
    static bool serverLogins(quint16 port, const libsock::CClientTls &tls, const QString &name,
        const QString &password, int msec, double &perSecond, QString *error);

private:
    // Two encrypted ends of one loopback connection, or false.
    bool encryptedPair(class QSslSocket &server, class QSslSocket &client) const;

    QString certificate;
    QString key;
    QSslConfiguration serverConfig;
    QSslConfiguration clientConfig;
};

#endif // CTLSBENCH_H
