#ifndef CPGCLUSTER_H
#define CPGCLUSTER_H

#include <memory>

#include <QString>

class QTemporaryDir;

// A private PostgreSQL 15 cluster in a temporary folder, on a free port of 127.0.0.1 with its
// socket in that folder, for the tests and the benchmark. Run as the postgres system user when
// the process is root. Stopped by stop() or the destructor, and by a watchdog should this
// process die first: a cluster is never left running.
class CPgCluster
{
public:
    CPgCluster();
    ~CPgCluster();

    CPgCluster(const CPgCluster &) = delete;
    CPgCluster &operator=(const CPgCluster &) = delete;

    // Whether initdb and pg_ctl are there.
    static bool installed();
    static QString binDir();

    // fsync off is for tests; the benchmark keeps PostgreSQL's defaults.
    bool start(bool fsync = false);
    // Starts it again after stop(), on the same port and data.
    bool restart();
    void stop();
    // As a crash would: no shutdown checkpoint, every client cut off (pg_ctl stop -m immediate).
    void stopImmediately();
    bool isRunning() const { return running; }
    QString errorText() const { return lastError; }

    bool createDatabase(const QString &name);
    quint16 port() const { return listenPort; }
    // postgresql://tolvern@127.0.0.1:port/name
    QString url(const QString &database) const;
    // The end of the cluster's own log (errors such as deadlocks), for failure messages.
    QByteArray logTail(qint64 bytes = 4000) const;

private:
    bool runTool(const QString &tool, const QStringList &arguments, int msec);
    bool startServer();
    void stopWith(const QString &mode);

    std::unique_ptr<QTemporaryDir> dir;
    QString lastError;
    quint16 listenPort = 0;
    bool running = false;
    bool asPostgres = false;
    bool fsyncOn = false;
};

#endif // CPGCLUSTER_H
