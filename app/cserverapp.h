#ifndef CSERVERAPP_H
#define CSERVERAPP_H

#include <QString>
#include <QStringList>

#include "csettingdlg.h"
#include "exitcodes.h"

class CServerOptions;
class CConsoleLog;
class CSingleInstance;

// The program as a whole: the admin commands, or the server. The server takes the single
// instance lock, then runs either headless (no display needed, log lines on stdout) or with
// its window: application, settings, first-run setup, database, storage check and main
// window, built again in process whenever the event loop ends with RESTART_CODE.
class CServerApp
{
public:
    // What the window's event loop returns to be built again; never a process exit status.
    static constexpr int RESTART_CODE = CSettingDlg::RESTART_CODE;
    // Exit codes of the server's own start-up failures.
    static constexpr int EXIT_START_FAILED = exitcode::FAILED;
    static constexpr int EXIT_BAD_ARGUMENTS = exitcode::BAD_ARGUMENTS;
    // A database server that cannot be reached at start.
    static constexpr int EXIT_DATABASE_UNREACHABLE = exitcode::DATABASE_UNREACHABLE;

    // Returns the process exit code.
    static int run(int &argc, char **argv);

    // Whether a window can be shown: a display is named, or the toolkit is told a platform.
    static bool displayReachable(bool platformGiven);

private:
    static int runWindow(
        int &argc, char **argv, const CServerOptions &options, CSingleInstance &instance);
    static int runHeadless(int &argc, char **argv, const CServerOptions &options);
    static bool prepareStorage(const CServerOptions &options, bool useDefault, QString &created);
    // unreachable: the failure was a database server that could not be reached.
    static bool openDatabase(const CServerOptions &options, QString &error, bool &unreachable);
    static void applyDatabaseOption(const CServerOptions &options);
    // The lock's name: the historic one for the default ini, one of its own for another.
    static QString instanceName(const CServerOptions &options);
    static QString usersText();
    static QString defaultStorageDir();
    static void setIdentity();
    // priority: the journal's, when stderr is its stream.
    static void printError(const QString &text, int priority = 3);
    static int checkConfig(const CServerOptions &options);
    // Says on stderr which keys of the ini are not known; lines gets them too.
    static void warnUnknownKeys(QStringList *lines);
    // The [Tls] files can be read and belong together (or TLS is off).
    static bool checkTls(QString &error);
    // With [Storage] Backend=s3: the keys complete and the bucket answering to them. False
    // with error set; unreachable when the store gave no answer (rather than a refusal).
    static bool checkSaveStore(QString &error, bool &unreachable);
    // Where the saves are, for the serving line: the storage folder or s3://bucket/prefix.
    static QString storageText();
    static void raiseOpenFileLimit();
    static void installTermSignalHandlers();
    static void watchTermSignals();
    static void termSignalHandler(int signum);
};

#endif // CSERVERAPP_H
