#include "cpgcluster.h"

#include <pwd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>

namespace {

const QString SUPERUSER = QStringLiteral("tolvern");

} // namespace

CPgCluster::CPgCluster() = default;

CPgCluster::~CPgCluster()
{
    stop();
}

QString CPgCluster::binDir()
{
    return QStringLiteral("/usr/lib/postgresql/15/bin");
}

bool CPgCluster::installed()
{
    return QFileInfo(binDir() + QStringLiteral("/initdb")).isExecutable()
        && QFileInfo(binDir() + QStringLiteral("/pg_ctl")).isExecutable();
}

bool CPgCluster::runTool(const QString &tool, const QStringList &arguments, int msec)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(dir->path());
    const QString program = binDir() + QLatin1Char('/') + tool;
    // initdb and postgres refuse to run as root.
    if (asPostgres)
        process.start(QStringLiteral("runuser"),
            QStringList(
                { QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"), program })
                + arguments);
    else
        process.start(program, arguments);
    if (!process.waitForFinished(msec) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
        lastError
            = QStringLiteral("%1 failed: %2")
                  .arg(tool, QString::fromLocal8Bit(process.readAll()).simplified().right(400));
        return false;
    }
    return true;
}

bool CPgCluster::start(bool fsync)
{
    if (running)
        return true;
    if (!installed()) {
        lastError = QStringLiteral("PostgreSQL not installed");
        return false;
    }
    fsyncOn = fsync;
    dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/tolvern-pg-XXXXXX"));
    if (!dir->isValid()) {
        lastError = QStringLiteral("cannot create a temporary folder");
        return false;
    }
    asPostgres = geteuid() == 0;
    if (asPostgres) {
        const passwd *user = getpwnam("postgres");
        if (!user
            || chown(QFile::encodeName(dir->path()).constData(), user->pw_uid, user->pw_gid)) {
            lastError = QStringLiteral("cannot hand %1 to the postgres user").arg(dir->path());
            return false;
        }
    }
    if (!runTool(QStringLiteral("initdb"),
            { QStringLiteral("-D"), dir->filePath(QStringLiteral("data")), QStringLiteral("-U"),
                SUPERUSER, QStringLiteral("--auth=trust"), QStringLiteral("-E"),
                QStringLiteral("UTF8"), QStringLiteral("--locale=C"), QStringLiteral("--no-sync") },
            120000))
        return false;

    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) {
        lastError = QStringLiteral("no free port");
        return false;
    }
    listenPort = probe.serverPort();
    probe.close();
    if (!startServer())
        return false;

    // Should this process die without stopping the cluster, the watchdog stops it.
    const QString stopCommand = QStringLiteral("%1/pg_ctl stop -D '%2' -m immediate")
                                    .arg(binDir(), dir->filePath(QStringLiteral("data")));
    const QString script
        = QStringLiteral("exec </dev/null >/dev/null 2>&1; while kill -0 %1; do sleep 1; done; %2")
              .arg(QCoreApplication::applicationPid())
              .arg(asPostgres ? QStringLiteral("runuser -u postgres -- ") + stopCommand
                              : stopCommand);
    QProcess::startDetached(QStringLiteral("/bin/sh"), { QStringLiteral("-c"), script });
    return true;
}

bool CPgCluster::startServer()
{
    // A lock cycle a test builds must be closed before the first waiter's one deadlock check,
    // even on a loaded machine.
    const QString options
        = QStringLiteral("-p %1 -k '%2' -c listen_addresses=127.0.0.1 "
                         "-c max_connections=50 -c fsync=%3 -c deadlock_timeout=5s")
              .arg(listenPort)
              .arg(dir->path(), fsyncOn ? QStringLiteral("on") : QStringLiteral("off"));
    running = runTool(QStringLiteral("pg_ctl"),
        { QStringLiteral("start"), QStringLiteral("-D"), dir->filePath(QStringLiteral("data")),
            QStringLiteral("-l"), dir->filePath(QStringLiteral("server.log")), QStringLiteral("-w"),
            QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("-o"), options },
        90000);
    return running;
}

bool CPgCluster::restart()
{
    return dir && (running || startServer());
}

void CPgCluster::stop()
{
    stopWith(QStringLiteral("fast"));
}

void CPgCluster::stopImmediately()
{
    stopWith(QStringLiteral("immediate"));
}

void CPgCluster::stopWith(const QString &mode)
{
    if (!running)
        return;
    running = false;
    runTool(QStringLiteral("pg_ctl"),
        { QStringLiteral("stop"), QStringLiteral("-D"), dir->filePath(QStringLiteral("data")),
            QStringLiteral("-m"), mode, QStringLiteral("-w") },
        60000);
}

bool CPgCluster::createDatabase(const QString &name)
{
    const QString connection = QStringLiteral("tolvern-pgcluster-admin");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
        db.setHostName(QStringLiteral("127.0.0.1"));
        db.setPort(listenPort);
        db.setUserName(SUPERUSER);
        db.setDatabaseName(QStringLiteral("postgres"));
        ok = db.open();
        if (ok) {
            QSqlQuery query(db);
            ok = query.exec(QStringLiteral("CREATE DATABASE \"%1\"").arg(name));
            if (!ok)
                lastError = query.lastError().text();
        } else {
            lastError = db.lastError().text();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return ok;
}

QString CPgCluster::url(const QString &database) const
{
    return QStringLiteral("postgresql://%1@127.0.0.1:%2/%3")
        .arg(SUPERUSER)
        .arg(listenPort)
        .arg(database);
}

QByteArray CPgCluster::logTail(qint64 bytes) const
{
    QFile log(dir ? dir->filePath(QStringLiteral("server.log")) : QString());
    if (!log.open(QIODevice::ReadOnly))
        return QByteArray();
    log.seek(qMax<qint64>(0, log.size() - bytes));
    return log.readAll();
}
