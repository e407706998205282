#include "cpasswordqueue.h"

#include <QMetaObject>

CPasswordQueue::CPasswordQueue(CUserDb *userDb, CPasswordHasher *hasher,
    const CPasswordHasher::Params &hashParams, Ready readyRequest, QObject *parent)
    : QObject(parent)
    , users(userDb)
    , pool(hasher)
    , params(hashParams)
    , ready(std::move(readyRequest))
{
}

CPasswordQueue::~CPasswordQueue()
{
    waitForPool();
}

void CPasswordQueue::add(const CUserDb::Request &request)
{
    auto slot = std::make_shared<Slot>();
    slot->request = request;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        waiting.push_back(slot);
        ++running;
    }
    pool->start([this, slot] {
        CUserDb::Request request = slot->request;
        users->checkPasswords(request, params);
        const std::lock_guard<std::mutex> lock(mutex);
        slot->request = std::move(request);
        slot->done = true;
        if (waiting.front() == slot && !handOnScheduled) {
            handOnScheduled = true;
            QMetaObject::invokeMethod(this, &CPasswordQueue::handOn, Qt::QueuedConnection);
        }
        // Last: the destructor may go ahead as soon as this is 0.
        if (--running == 0)
            idle.notify_all();
    });
}

void CPasswordQueue::handOn()
{
    std::unique_lock<std::mutex> lock(mutex);
    handOnScheduled = false;
    while (!waiting.empty() && waiting.front()->done) {
        const std::shared_ptr<Slot> slot = waiting.front();
        waiting.pop_front();
        // Unlocked: ready may add a request of its own.
        lock.unlock();
        ready(slot->request);
        lock.lock();
    }
}

void CPasswordQueue::finish()
{
    waitForPool();
    handOn();
}

void CPasswordQueue::waitForPool()
{
    std::unique_lock<std::mutex> lock(mutex);
    idle.wait(lock, [this] { return running == 0; });
}
