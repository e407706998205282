#include "csha256.h"

#include <openssl/evp.h>

CSha256::CSha256()
    : context(EVP_MD_CTX_new())
{
    reset();
}

CSha256::~CSha256()
{
    EVP_MD_CTX_free(context);
}

void CSha256::reset()
{
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
}

void CSha256::add(const char *data, qint64 size)
{
    if (size > 0)
        EVP_DigestUpdate(context, data, size_t(size));
}

QByteArray CSha256::result()
{
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, reinterpret_cast<unsigned char *>(digest.data()), &length);
    digest.truncate(int(length));
    reset();
    return digest;
}

QString CSha256::hexResult()
{
    return QString::fromLatin1(result().toHex());
}
