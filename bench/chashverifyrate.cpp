#include "chashverifyrate.h"

#include <atomic>
#include <thread>
#include <vector>

#include <sodium.h>

#include <QElapsedTimer>

qint64 CHashVerifyRate::verifications(
    const QByteArray &hash, const QByteArray &password, int threads, int msec)
{
    if (sodium_init() < 0)
        return -1;
    std::atomic<qint64> count { 0 };
    std::atomic<bool> wrong { false };
    QElapsedTimer clock;
    clock.start();
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back([&] {
            // A check begun before the end counts, as a login the server is working on does.
            while (clock.elapsed() < msec) {
                if (crypto_pwhash_str_verify(
                        hash.constData(), password.constData(), quint64(password.size()))
                    != 0) {
                    wrong = true;
                    return;
                }
                ++count;
            }
        });
    }
    for (std::thread &worker : workers)
        worker.join();
    return wrong ? -1 : count.load();
}
