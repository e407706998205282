#ifndef CHASHVERIFYRATE_H
#define CHASHVERIFYRATE_H

#include <QByteArray>

// The yardstick of hashed logins: libsodium's own crypto_pwhash_str_verify, on threads of
// its own and nothing else, as many checks as it makes in the time given.
class CHashVerifyRate
{
public:
    // Checks of password against hash on threads threads for msec; -1 when one failed.
    static qint64 verifications(
        const QByteArray &hash, const QByteArray &password, int threads, int msec);
};

#endif // CHASHVERIFYRATE_H
