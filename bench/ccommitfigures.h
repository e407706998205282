#ifndef CCOMMITFIGURES_H
#define CCOMMITFIGURES_H

#include <vector>

#include <QString>

class QFile;
class CBenchRunner;

// Figure 7: durable logins and add-users in group commits, next to the same statements one at
// a time on the bench's own connection, with the syncs each took.
class CCommitFigures
{
public:
    explicit CCommitFigures(CBenchRunner &runner);

    bool measureGroupCommit();

private:
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

private:
    CBenchRunner &bench;
    // The sync probe's log of the server's syncs, when the probe is loaded.
    QString probeLog;
};

#endif // CCOMMITFIGURES_H
