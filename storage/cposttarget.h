#ifndef CPOSTTARGET_H
#define CPOSTTARGET_H

#include <functional>
#include <memory>
#include <mutex>

class QObject;

// Calls handed in from any thread run later on the target's thread while the target lives;
// those handed in once it is gone are dropped. Shared by the target and whoever answers it
// (a store's client thread), so neither needs to outlive the other.
class CPostTarget
{
public:
    explicit CPostTarget(QObject *target);
    static std::shared_ptr<CPostTarget> of(QObject *target);

    void post(std::function<void()> call);
    // From the target's thread, before the target goes.
    void close();

private:
    std::mutex mutex;
    QObject *target = nullptr; // guarded by mutex
};

#endif // CPOSTTARGET_H
