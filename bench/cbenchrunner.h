#ifndef CBENCHRUNNER_H
#define CBENCHRUNNER_H

#include <memory>
#include <vector>

#include <QList>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

class CPgCluster;
class CServerProcess;

// The server's figures, each measured next to its yardstick in the same run, and printed as
// one table. The runner holds what the figures share: the options, the server under test and
// its database, and the rows of the table; each group of figures is a class of its own that
// is handed the runner.
class CBenchRunner
{
public:
    struct Row
    {
        QString figure;
        QString measured;
        QString yardstick;
        QString ratio;
        QString target;
        bool met = false;
    };

    // Figures are numbered from 1 to this.
    static constexpr int LAST_FIGURE = 18;

    CBenchRunner();
    ~CBenchRunner();

    // arguments: the command line without the program name. Returns 0 when every target was
    // met, 2 when one was missed, 1 when a figure could not be measured, 64 on bad usage.
    int run(const QStringList &arguments);

    static QString usage();

    // For the figures.
    // A connection of that name on the server's database (for PostgreSQL, the same one; for
    // SQLite, the given file).
    bool openDirect(const QString &connection, const QString &sqliteFile);
    // security: the [Security] section the server runs with.
    bool startServer(const QString &security);
    bool stopServer();
    // Login clients spread over the servers given, in turns with the direct yardstick.
    bool serverLogins(const std::vector<CServerProcess *> &targets, double &rate, double &direct);
    bool directLogins(const QString &connection, int msec, qint64 &count);
    bool loginRoundTrips(int count, std::vector<qint64> &nanoseconds);
    int openControlSocket() const;
    static bool createSave(const QString &path, qint64 size);
    QString userName(int index) const;
    QString password(int index) const;
    void note(const QString &line) const;

    QString serverPath;
    // --compare: the other build; passOn: the options its runs get.
    QString comparePath;
    QStringList passOn;
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
    // The [Storage] section that puts the server's saves in an S3 bucket (figures 17, 18,
    // and every figure with --saves s3); empty: the storage folder.
    QString storageIni;
    bool savesInS3 = false;
    // An s3.env of start-s3.sh naming the store to use; empty: the bench starts one.
    QString s3Env;
    QList<int> figures = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 14, 15, 16 };
    QStringList loginModes = { QStringLiteral("window"), QStringLiteral("headless") };
    QRandomGenerator random { 42 };

    std::unique_ptr<CPgCluster> cluster;
    std::unique_ptr<CServerProcess> server;
    std::unique_ptr<CServerProcess> secondServer;
    std::vector<Row> rows;
    // A figure could not be measured.
    bool failed = false;

private:
    bool parse(const QStringList &arguments);
    bool wants(int figure) const { return figures.contains(figure); }
    bool prepareServer();
    bool prepareDatabase();
    bool fillUsers();
    void printTable() const;
};

#endif // CBENCHRUNNER_H
