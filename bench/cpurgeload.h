#ifndef CPURGELOAD_H
#define CPURGELOAD_H

#include <QProcess>
#include <QString>

class QSqlDatabase;

// "tolvern-server users purge" run beside a serving server, as an operator would run it, so
// that the benchmark can measure the server's logins for as long as it runs.
class CPurgeLoad
{
public:
    // Makes every user of db active (logged in now) and adds count users after them that never
    // logged in, for the purge to delete.
    static bool addInactiveUsers(QSqlDatabase &db, int count, QString *error);

    // program: the server's executable; config and workDir: the running server's.
    CPurgeLoad(const QString &program, const QString &config, const QString &workDir);

    void start();
    // Whether the purge still runs; looks at the process without waiting.
    bool running();
    // Waits for the end; true when it exited 0 and said it deleted expected users.
    bool finish(int expected);
    QString errorText() const { return error; }

private:
    QProcess process;
    QString error;
};

#endif // CPURGELOAD_H
