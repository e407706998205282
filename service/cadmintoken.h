#ifndef CADMINTOKEN_H
#define CADMINTOKEN_H

#include <QByteArray>
#include <QString>

// The operators' bearer token for the HTTP port: 32 random bytes in base64url, of which the
// ini keeps only the SHA-256. A fast hash is sound here, unlike for passwords: the token has
// 256 bits of entropy, so no guess list and no amount of hashing speed finds it from the hash.
class CAdminToken
{
public:
    static constexpr int TOKEN_BYTES = 32;

    // A new token from the system's random source.
    static QByteArray generate();
    // The text [Admin] TokenHash holds for token: 64 lower-case hex digits.
    static QString hash(const QByteArray &token);
    // Whether token hashes to storedHash, compared in constant time. An empty or malformed
    // stored hash matches nothing.
    static bool matches(const QByteArray &token, const QString &storedHash);
};

#endif // CADMINTOKEN_H
