#ifndef CTLSIDENTITY_H
#define CTLSIDENTITY_H

#include <QSslConfiguration>
#include <QString>

// The server's side of TLS: its certificate chain and private key, read from PEM files and
// checked against each other, as a configuration ready for startServerEncryption(). Reading
// and checking touch the disk and OpenSSL: call it off the network thread.
class CTlsIdentity
{
public:
    // A null configuration with why in error when a file is missing, unreadable, holds no
    // PEM certificate or key, or the key does not belong to the certificate.
    static QSslConfiguration load(
        const QString &certificateFile, const QString &keyFile, QString *error);
    // Whether Qt found a working TLS library.
    static bool available();
    // A connected loopback pair of descriptors: a server-side QSslSocket needs one to set up
    // its context (and the benchmark, to copy bytes through TLS in one process).
    static bool loopbackPair(int &server, int &client);

private:
    static bool keyMatches(const QSslConfiguration &config, QString *error);
};

#endif // CTLSIDENTITY_H
