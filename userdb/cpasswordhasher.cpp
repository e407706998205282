#include "cpasswordhasher.h"

#include <future>

#include <sodium.h>

#include <QByteArray>
#include <QMutexLocker>
#include <QThread>

#include "cserversettings.h"

namespace {

const QLatin1String hashPrefix("$argon2id$");

unsigned long long opsLimit(const CPasswordHasher::Params &params)
{
    return qMax<unsigned long long>(
        crypto_pwhash_OPSLIMIT_MIN, quint64(qMax(0, params.iterations)));
}

size_t memLimit(const CPasswordHasher::Params &params)
{
    return qMax<size_t>(crypto_pwhash_MEMLIMIT_MIN, size_t(qMax(0, params.memoryKiB)) * 1024);
}

} // namespace

CPasswordHasher::Params CPasswordHasher::Params::fromSettings(const CServerSettings &settings)
{
    Params params;
    params.hashing = settings.hashPasswords;
    params.memoryKiB = settings.hashMemoryKiB;
    params.iterations = settings.hashIterations;
    return params;
}

CPasswordHasher *CPasswordHasher::instance()
{
    static CPasswordHasher *const hasher = new CPasswordHasher;
    return hasher;
}

CPasswordHasher::CPasswordHasher()
{
    // Safe to call more than once, from any thread; picks the fastest code for this CPU.
    if (sodium_init() < 0)
        qFatal("libsodium cannot be initialised");
    pool.setMaxThreadCount(QThread::idealThreadCount());
    // Each thread keeps its database connection for the stored values it reads.
    pool.setExpiryTimeout(-1);
    pool.setObjectName(QStringLiteral("tolvern-hash"));
}

bool CPasswordHasher::isHash(const QString &stored)
{
    return stored.startsWith(hashPrefix);
}

QString CPasswordHasher::hash(const QString &password, const Params &params)
{
    const QByteArray bytes = password.toUtf8();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(
            out, bytes.constData(), quint64(bytes.size()), opsLimit(params), memLimit(params))
        != 0)
        return QString();
    return QString::fromLatin1(out);
}

bool CPasswordHasher::verify(const QString &stored, const QString &password, const Params &params)
{
    if (!isHash(stored)) {
        if (stored == password)
            return true;
        if (params.hashing)
            verifyNobody(password, params);
        return false;
    }
    const QByteArray hashText = stored.toLatin1();
    const QByteArray bytes = password.toUtf8();
    return crypto_pwhash_str_verify(hashText.constData(), bytes.constData(), quint64(bytes.size()))
        == 0;
}

void CPasswordHasher::verifyNobody(const QString &password, const Params &params)
{
    QByteArray hashText;
    {
        QMutexLocker lock(&mutex);
        if (dummy.isEmpty() || !(dummyParams == params)) {
            // Made while holding the lock: the threads that wait for it would only make the
            // same hash.
            dummy = hash(QStringLiteral("tolvern-nobody"), params);
            dummyParams = params;
        }
        hashText = dummy.toLatin1();
    }
    const QByteArray bytes = password.toUtf8();
    // Nobody's password: whatever it says, the work was done.
    const int nobody
        = crypto_pwhash_str_verify(hashText.constData(), bytes.constData(), quint64(bytes.size()));
    Q_UNUSED(nobody);
}

bool CPasswordHasher::needsRehash(const QString &stored, const Params &params)
{
    if (!isHash(stored))
        return true;
    const QByteArray hashText = stored.toLatin1();
    return crypto_pwhash_str_needs_rehash(hashText.constData(), opsLimit(params), memLimit(params))
        != 0;
}

void CPasswordHasher::start(std::function<void()> job)
{
    pool.start(std::move(job));
}

void CPasswordHasher::runAndWait(const std::function<void()> &job)
{
    std::promise<void> done;
    pool.start([&] {
        job();
        done.set_value();
    });
    done.get_future().wait();
}
