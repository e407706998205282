#ifndef CPASSWORDHASHER_H
#define CPASSWORDHASHER_H

#include <functional>

#include <QMutex>
#include <QString>
#include <QThreadPool>

class CServerSettings;

// Argon2id password hashes (libsodium) and the pool of threads that makes and checks them:
// one thread per core, so at most that many hashes (and their memory) at once, taken in the
// order handed in. Hashing never runs on the network thread or the database thread.
// Process-wide, created on first use, never destroyed.
class CPasswordHasher
{
public:
    // The cost of a hash, from [Security]; hashing off stores passwords as plain text.
    struct Params
    {
        bool hashing = true;
        int memoryKiB = 19456;
        int iterations = 2;

        static Params fromSettings(const CServerSettings &settings);
        bool operator==(const Params &other) const
        {
            return hashing == other.hashing && memoryKiB == other.memoryKiB
                && iterations == other.iterations;
        }
    };

    static CPasswordHasher *instance();

    // Whether a stored password is a hash; anything else is plain text from an older database.
    static bool isHash(const QString &stored);

    // The rest is slow: for the pool's threads.
    // A new hash of password; empty when libsodium failed (out of memory).
    QString hash(const QString &password, const Params &params);
    // Whether password is the one stored (a hash or plain text). Where passwords are hashed,
    // takes as long for a plain text that does not match as for a hash.
    bool verify(const QString &stored, const QString &password, const Params &params);
    // As verify, against a hash of nobody's: an unknown name costs what a known one does.
    void verifyNobody(const QString &password, const Params &params);
    // Whether stored should be hashed again: plain text, or a hash of another cost.
    bool needsRehash(const QString &stored, const Params &params);

    // Runs job on the pool, after the jobs handed in before it.
    void start(std::function<void()> job);
    // Runs job on the pool and waits for it.
    void runAndWait(const std::function<void()> &job);
    int threadCount() const { return pool.maxThreadCount(); }

private:
    CPasswordHasher();

    QThreadPool pool;
    QMutex mutex;
    Params dummyParams;
    QString dummy;
};

#endif // CPASSWORDHASHER_H
