#ifndef CBENCHRUNNER_H
#define CBENCHRUNNER_H

#include <functional>
#include <memory>
#include <vector>

#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include "cclienttls.h"

class CPgCluster;
class QFile;
class CServerProcess;

// The nine figures of the server, each measured next to its yardstick in the same run, and
// printed as one table.
class CBenchRunner
{
public:
    CBenchRunner();
    ~CBenchRunner();

    // arguments: the command line without the program name. Returns 0 when every target was
    // met, 2 when one was missed, 1 when a figure could not be measured, 64 on bad usage.
    int run(const QStringList &arguments);

    static QString usage();

private:
    struct Row
    {
        QString figure;
        QString measured;
        QString yardstick;
        QString ratio;
        QString target;
        bool met = false;
    };

    bool parse(const QStringList &arguments);
    bool wants(int figure) const { return figures.contains(figure); }

    bool prepareServer();
    bool prepareDatabase();
    bool fillUsers();
    // A connection of that name on the server's database (for PostgreSQL, the same one; for
    // SQLite, the given file).
    bool openDirect(const QString &connection, const QString &sqliteFile);
    // security: the [Security] section the server runs with.
    bool startServer(const QString &security);
    bool stopServer();

    bool measureLogins();
    bool measureLoginsIn(bool headless);
    bool measureTransfers();
    bool measureIdleConnections();
    bool measureIsolation();
    bool measureGuesses();
    bool measureFlood();
    bool measureGroupCommit();
    // Figure 10: transfers and handshakes inside TLS.
    bool measureTls();
    // Figure rows for a download and an upload beside their yardstick (best[4]: yardstick
    // down, server down, yardstick up, server up, in seconds).
    void transferRows(
        const QString &figure, const QString &yardstickName, qint64 size, const double best[4]);
    // Figure 9: logins against Argon2id hashes, next to libsodium's own rate of checks.
    bool measureHashedLogins();
    // Sets every user's password to the value of expression, with value bound to "?".
    bool setPasswords(const QString &expression, const QString &value);
    // One run of the server in group commits; rates of logins and of add-users with all
    // clients, and the syncs each took.
    struct CommitRun
    {
        double logins = 0;
        double loginSyncsPer1000 = 0;
        double adds = 0;
        double addSyncsPer1000 = 0;
        qint64 loneAddP50 = 0;
        // One 4 KiB write and fdatasync in the server's folder, in turns with the add-users.
        qint64 syncP50 = 0;
    };
    bool commitRun(CommitRun &run);
    // The yardstick of the group commit: logins and add-users one statement at a time on the
    // bench's own connection, synchronous=NORMAL.
    struct DirectRates
    {
        double logins = 0;
        double adds = 0;
    };
    bool directCommits(DirectRates &rates);
    // Requests per second from all clients for seconds; adding: add-users of fresh names.
    bool clientRate(bool adding, const QString &prefix, double &rate);
    qint64 syncsSoFar() const;
    // Appends one 4 KiB page to file and syncs it; its time goes into times.
    static bool syncOnce(QFile &file, std::vector<qint64> &times);
    bool fillServerLog(const QByteArray &request);

    bool directLogins(const QString &connection, int msec, qint64 &count);
    // Login clients spread over the servers given, in turns with the direct yardstick.
    bool serverLogins(const std::vector<CServerProcess *> &targets, double &rate, double &direct);
    // Figure 1 with two headless servers on the one PostgreSQL database.
    bool measureTwoServerLogins();
    bool loginRow(const QString &mode, bool ok, double rate, double direct, double minRatio);
    bool serverDownload(const QString &target, double &seconds);
    bool serverUpload(const QString &source, double &seconds);
    bool plainCopy(bool toBench, const QString &file, double &seconds);
    bool loginRoundTrips(int count, std::vector<qint64> &nanoseconds);
    // Figure 8: one client's logins while a load runs, next to the same logins idle.
    bool measureLoadedLogins();
    // Users that never logged in, for figure 8's purge.
    static constexpr int PURGED_USERS = 20000;
    bool addPurgeVictims();
    // Login round trips for as long as loaded() holds, sorted.
    bool loginsWhile(const std::function<bool()> &loaded, std::vector<qint64> &nanoseconds);
    bool loadedLoginRow(
        const QString &load, const std::vector<qint64> &idle, const std::vector<qint64> &loaded);
    bool guessPasswords(qint64 &tested, double &perSecond);
    int openStalledDownload(const QString &saveName);
    int openControlSocket() const;
    bool createSave(const QString &path, qint64 size);

    QString userName(int index) const;
    QString password(int index) const;
    void note(const QString &line) const;
    void printTable() const;

    QString serverPath;
    QString baseDir;
    int users = 100000;
    int clients = 64;
    int seconds = 10;
    qint64 sizeMiB = 256;
    int connections = 1000;
    int logins = 1000;
    int floodPackets = 1000000;
    int repeats = 5;
    QString directSynchronous = QStringLiteral("NORMAL");
    // "sqlite", "postgresql" (a private cluster) or a postgresql:// URL of an empty database.
    QString database = QStringLiteral("sqlite");
    QString databaseUrl;
    // The [Database] section of the server's ini, empty for SQLite.
    QString databaseIni;
    QString probeLog;
    QList<int> figures = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11 };
    // How serverDownload() and serverUpload() reach the server.
    libsock::CClientTls transferTls;
    QStringList loginModes = { QStringLiteral("window"), QStringLiteral("headless") };
    QRandomGenerator random { 42 };

    std::unique_ptr<CPgCluster> cluster;
    std::unique_ptr<CServerProcess> server;
    std::unique_ptr<CServerProcess> secondServer;
    std::vector<Row> rows;
    bool failed = false;
};

#endif // CBENCHRUNNER_H
