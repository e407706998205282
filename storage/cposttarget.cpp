#include "cposttarget.h"

#include <QMetaObject>
#include <QObject>

CPostTarget::CPostTarget(QObject *object)
    : target(object)
{
}

std::shared_ptr<CPostTarget> CPostTarget::of(QObject *target)
{
    return std::make_shared<CPostTarget>(target);
}

void CPostTarget::post(std::function<void()> call)
{
    // Posted under the lock, so the target cannot go while the call is handed to its queue;
    // a queued call whose target has gone since is dropped by Qt.
    std::lock_guard<std::mutex> lock(mutex);
    if (target)
        QMetaObject::invokeMethod(target, std::move(call), Qt::QueuedConnection);
}

void CPostTarget::close()
{
    std::lock_guard<std::mutex> lock(mutex);
    target = nullptr;
}
