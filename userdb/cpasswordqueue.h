#ifndef CPASSWORDQUEUE_H
#define CPASSWORDQUEUE_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include <QObject>

#include "cpasswordhasher.h"
#include "cuserdb.h"

// The password work of a stream of requests, before their batch: each request's passwords are
// hashed and checked on the hasher's pool (CUserDb::checkPasswords), and the requests come
// back on this object's thread in the order they were added, a request done early waiting
// for those before it.
class CPasswordQueue : public QObject
{
    Q_OBJECT

public:
    using Ready = std::function<void(const CUserDb::Request &)>;

    CPasswordQueue(CUserDb *userDb, CPasswordHasher *hasher, const CPasswordHasher::Params &params,
        Ready ready, QObject *parent = nullptr);
    // Waits for the work handed to the pool; what it finishes is not handed on.
    ~CPasswordQueue() override;

    void add(const CUserDb::Request &request);
    // Waits for the work still on the pool and hands on every request added.
    void finish();

private:
    struct Slot
    {
        CUserDb::Request request;
        bool done = false;
    };

    void handOn();
    void waitForPool();

    CUserDb *users = nullptr;
    CPasswordHasher *pool = nullptr;
    CPasswordHasher::Params params;
    Ready ready;
    std::mutex mutex;
    std::condition_variable idle;
    std::deque<std::shared_ptr<Slot>> waiting;
    int running = 0;
    bool handOnScheduled = false;
};

#endif // CPASSWORDQUEUE_H
