#include "cwindowserver.h"

#include <QCoreApplication>
#include <QEvent>

#include "cservercore.h"
#include "cservermainwindow.h"
#include "cserverthread.h"
#include "cserversettings.h"
#include "cuserdb.h"

CWindowServer::CWindowServer(int mainPort, int filePort, const WindowFactory &makeWindow)
{
    // The network thread's database connection follows the file start-up opened, which only
    // this thread can look at: resolve it here, before that thread asks.
    CUserDbConfig database;
    CUserDb::instance()->currentConfig(&database, nullptr);
    serverCore = new CServerCore(
        CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
    serverCore->setObjectName(QStringLiteral("serverCore"));
    serverCore->setPortOverrides(mainPort, filePort);
    coreThread = std::make_unique<CServerThread>(serverCore);
    coreThread->setObjectName(QStringLiteral("serverThread"));
    // The window connects to the core's lines before it starts, so none is missed.
    mainWindow.reset(makeWindow ? makeWindow(serverCore) : new CServerMainWindow(serverCore));
    coreThread->startCore();
    // The listen results are in the log before the window shows.
    QCoreApplication::sendPostedEvents(mainWindow.get(), QEvent::MetaCall);
}

CWindowServer::~CWindowServer()
{
    coreThread.reset();
    serverCore = nullptr;
    mainWindow.reset();
}
