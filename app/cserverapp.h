#ifndef CSERVERAPP_H
#define CSERVERAPP_H

// The program as a whole: single instance, then application, settings, first-run setup,
// database, storage check and main window, built again in process whenever the event loop
// ends with RESTART_CODE.
class CServerApp
{
public:
    static constexpr int RESTART_CODE = 2;

    // Returns the process exit code, which is 0 on every path.
    static int run(int &argc, char **argv);

private:
    static void raiseOpenFileLimit();
    static void installTermSignalHandlers();
    static void watchTermSignals();
    static void termSignalHandler(int signum);
};

#endif // CSERVERAPP_H
