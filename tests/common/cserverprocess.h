#ifndef CSERVERPROCESS_H
#define CSERVERPROCESS_H

#include <memory>

#include <QHash>
#include <QString>
#include <QStringList>

class CPortReservation;
class QProcess;
class QTemporaryDir;

// A copy of the real server executable, started the way a user starts it: beside its own
// tolvern.ini, in a working directory of its own, with its own runtime and config folders,
// on the offscreen platform. Used by the end-to-end tests and the benchmark.
class CServerProcess
{
public:
    // baseDir: where the temporary folder goes (the system temp dir when empty).
    explicit CServerProcess(const QString &executable, const QString &baseDir = QString());
    ~CServerProcess();

    CServerProcess(const CServerProcess &) = delete;
    CServerProcess &operator=(const CServerProcess &) = delete;

    // Whether the folder and the copy of the executable are in place.
    bool isValid() const;
    QString errorText() const { return lastError; }

    // A path inside the temporary folder; bin/, work/, storage/, run/ and config/ exist.
    QString path(const QString &name) const;
    QString storageDir() const
    {
        return sharedStorage.isEmpty() ? path(QStringLiteral("storage")) : sharedStorage;
    }
    // The ini the server reads: bin/tolvern.ini beside it, or server.ini given by --config.
    QString iniPath() const;
    QString databaseFile() const { return path(QStringLiteral("work/db/users.db")); }
    quint16 mainPort() const { return controlPort; }
    quint16 filePort() const { return transferPort; }

    // Lines added to tolvern.ini after [General], such as a [Database] or [Storage] section.
    void setExtraIni(const QString &text) { extraIni = text; }

    // Storage in another folder, shared with other servers.
    void setStorageDir(const QString &dir) { sharedStorage = dir; }
    // A runtime folder (where the instance lock lives) shared with other servers.
    void setRuntimeDir(const QString &dir) { runtimeDir = dir; }
    // Writes the ini outside the program's folder and names it with --config.
    void setConfigOption(bool on) { configOption = on; }
    // More command-line arguments, such as --database URL.
    void setExtraArguments(const QStringList &arguments) { extraArguments = arguments; }
    // Keeps the server's stdout for readOutput() (only for short runs: nothing else drains
    // the pipe while the caller does not run its event loop).
    void setCaptureOutput(bool on) { captureOutput = on; }
    QByteArray readOutput();

    // Lets the server's output through (the default) or discards it.
    void setForwardOutput(bool forward) { forwardOutput = forward; }
    // An environment variable for the server, from the next start on (an empty value
    // removes it).
    void setEnvironment(const QString &name, const QString &value) { extraEnv[name] = value; }
    // Runs it with --headless and without any display.
    void setHeadless(bool on) { headless = on; }

    // Writes tolvern.ini, starts the server and waits until both ports accept connections.
    bool start(int msec = 30000);
    // SIGTERM, then waits for the end. Returns the exit code, or -1 when it did not end
    // normally in time (it is killed then).
    int stop(int msec = 15000);
    // SIGKILL, as a crash: nothing of the server runs after it. True once it has ended.
    bool kill(int msec = 15000);
    bool isRunning() const;
    qint64 processId() const;
    // Resident set of the running server in KiB, or -1.
    qint64 residentKiB() const;

    static bool portAccepts(quint16 port, int msec);

private:
    bool writeIni();

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<QProcess> process;
    QString lastError;
    quint16 controlPort = 0;
    quint16 transferPort = 0;
    // Held while the object lives: no other test's server or client takes the ports.
    std::unique_ptr<CPortReservation> controlReservation;
    std::unique_ptr<CPortReservation> transferReservation;
    QString extraIni;
    QString sharedStorage;
    QString runtimeDir;
    QStringList extraArguments;
    bool configOption = false;
    bool captureOutput = false;
    QHash<QString, QString> extraEnv;
    bool forwardOutput = true;
    bool headless = false;
    bool copied = false;
};

#endif // CSERVERPROCESS_H
