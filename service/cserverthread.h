#ifndef CSERVERTHREAD_H
#define CSERVERTHREAD_H

#include <QThread>

class CServerCore;

// Runs a CServerCore on a thread of its own, so that nothing the creating thread does keeps
// the ports waiting. The core is started there by startCore() and deleted there when this
// object is destroyed, before the thread ends and takes its database connection with it.
class CServerThread : public QThread
{
    Q_OBJECT

public:
    // Takes core, which must have no parent, and moves it to the new thread.
    explicit CServerThread(CServerCore *core, QObject *parent = nullptr);
    ~CServerThread() override;

    // Starts the thread and the core's listeners on it; returns once they have been tried,
    // with CServerCore::start()'s result. The core's lineLogged() connections reach their
    // receivers queued, so the listen lines are waiting when this returns.
    bool startCore();

protected:
    void run() override;

private:
    CServerCore *core = nullptr;
};

#endif // CSERVERTHREAD_H
