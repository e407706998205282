#include "cclienttls.h"

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>

namespace libsock {

bool CClientTls::apply(QSslSocket &socket, QString *error) const
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    if (!caFile.isEmpty()) {
        const QList<QSslCertificate> authorities = QSslCertificate::fromPath(caFile, QSsl::Pem);
        if (authorities.isEmpty()) {
            if (error)
                *error = QStringLiteral("no PEM certificate in %1").arg(caFile);
            return false;
        }
        // Only this CA: the server was given a certificate of the operator's own.
        config.setCaCertificates(authorities);
    }
    config.setPeerVerifyMode(insecure ? QSslSocket::VerifyNone : QSslSocket::VerifyPeer);
    socket.setSslConfiguration(config);
    return true;
}

} // namespace libsock
