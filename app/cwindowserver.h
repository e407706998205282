#ifndef CWINDOWSERVER_H
#define CWINDOWSERVER_H

#include <functional>
#include <memory>

class CServerCore;
class CServerMainWindow;
class CServerThread;

// The window mode put together: a core serving both ports on a thread of its own, so nothing
// done in the window makes a player wait, and the window that observes it. The two talk only
// through queued signals.
class CWindowServer
{
public:
    using WindowFactory = std::function<CServerMainWindow *(CServerCore *core)>;

    // Ports of 0 take the settings' ones. makeWindow builds the window around the core (a
    // plain CServerMainWindow by default). The listen lines are in the window's log when the
    // constructor returns.
    explicit CWindowServer(
        int mainPort = 0, int filePort = 0, const WindowFactory &makeWindow = WindowFactory());
    // The core goes first, on its own thread, before the widgets its lines were queued to.
    ~CWindowServer();

    CWindowServer(const CWindowServer &) = delete;
    CWindowServer &operator=(const CWindowServer &) = delete;

    CServerMainWindow *window() const { return mainWindow.get(); }
    // Lives on the other thread: only its thread-safe members may be called from here.
    CServerCore *core() const { return serverCore; }

private:
    CServerCore *serverCore = nullptr;
    std::unique_ptr<CServerThread> coreThread;
    std::unique_ptr<CServerMainWindow> mainWindow;
};

#endif // CWINDOWSERVER_H
