#ifndef CSHA256_H
#define CSHA256_H

#include <QByteArray>
#include <QString>

struct evp_md_ctx_st;

// SHA-256 fed in pieces, through OpenSSL's libcrypto: it uses the processor's SHA
// instructions, several times faster than a portable implementation, which matters when
// every byte of a transfer passes through it.
class CSha256
{
public:
    CSha256();
    ~CSha256();
    CSha256(const CSha256 &) = delete;
    CSha256 &operator=(const CSha256 &) = delete;

    void add(const char *data, qint64 size);
    void add(const QByteArray &data) { add(data.constData(), data.size()); }
    // The 32-byte digest of everything added; the object starts over afterwards.
    QByteArray result();
    // result() as 64 lower-case hex digits.
    QString hexResult();

private:
    void reset();

    evp_md_ctx_st *context = nullptr;
};

#endif // CSHA256_H
