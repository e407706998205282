#include "cserverthread.h"

#include "cepolleventdispatcher.h"
#include "cservercore.h"

CServerThread::CServerThread(CServerCore *serverCore, QObject *parent)
    : QThread(parent)
    , core(serverCore)
{
    // The ports' thread waits on an epoll set, not on poll() over every connection.
    setEventDispatcher(new CEpollEventDispatcher);
    core->moveToThread(this);
}

CServerThread::~CServerThread()
{
    if (isRunning()) {
        quit();
        wait();
    }
    // Never started: the core is still here.
    delete core;
}

bool CServerThread::startCore()
{
    start();
    bool listening = false;
    QMetaObject::invokeMethod(core, &CServerCore::start, Qt::BlockingQueuedConnection, &listening);
    return listening;
}

void CServerThread::run()
{
    exec();
    // Its connections and listeners close on the thread they were made on.
    delete core;
    core = nullptr;
}
