#include "cadmintoken.h"

#include <sodium.h>

#include "csha256.h"

QByteArray CAdminToken::generate()
{
    QByteArray raw(TOKEN_BYTES, Qt::Uninitialized);
    randombytes_buf(raw.data(), size_t(raw.size()));
    const QByteArray token
        = raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    sodium_memzero(raw.data(), size_t(raw.size()));
    return token;
}

QString CAdminToken::hash(const QByteArray &token)
{
    CSha256 sha;
    sha.add(token);
    return sha.hexResult();
}

bool CAdminToken::matches(const QByteArray &token, const QString &storedHash)
{
    const QByteArray stored = QByteArray::fromHex(storedHash.toLatin1());
    if (storedHash.size() != 64 || stored.size() != 32 || token.isEmpty())
        return false;
    CSha256 sha;
    sha.add(token);
    const QByteArray digest = sha.result();
    // Both sides are 32 bytes: the time taken says nothing of where they differ.
    return sodium_memcmp(digest.constData(), stored.constData(), 32) == 0;
}
