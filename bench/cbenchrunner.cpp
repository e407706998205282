#include "cbenchrunner.h"

#include <algorithm>
#include <functional>
#include <utility>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#include "benchtable.h"
#include "cbackupbench.h"
#include "cbenchcompare.h"
#include "cchecksumbench.h"
#include "cfileclient.h"
#include "chashverifyrate.h"
#include "cloginload.h"
#include "cpasswordhasher.h"
#include "cpgcluster.h"
#include "controlcodes.h"
#include "cfileframeheader.h"
#include "cplaincopy.h"
#include "cprotoclient.h"
#include "controlcodes.h"
#include "cprotopacket.h"
#include "cserverfileconn.h"
#include "cserverprocess.h"
#include "cpurgeload.h"
#include "cuploadload.h"
#include "ctlsbench.h"
#include "cuserdb.h"
#include "cuserdbconnection.h"

#include "benchutil.h"
#include "cloginfigures.h"
#include "ctransferfigures.h"
#include "cconnectionfigures.h"
#include "cguardfigures.h"
#include "ccommitfigures.h"
#include "chttpfigures.h"
#include "cmassfigures.h"
#include "cs3figures.h"

using namespace benchutil;
using libsock::CFileClient;
using libsock::ClientError;
using libsock::CProtoClient;

CBenchRunner::CBenchRunner()
    : serverPath(QCoreApplication::applicationDirPath() + QStringLiteral("/tolvern-server"))
{
}

CBenchRunner::~CBenchRunner() = default;

QString CBenchRunner::usage()
{
    return QStringLiteral(
        "Usage: tolvern-bench [options]\n"
        "Starts a copy of tolvern-server on loopback and prints its figures, each next to\n"
        "its yardstick measured in the same run.\n"
        "  --server PATH      server executable (default: tolvern-server beside this one)\n"
        "  --compare PATH     each figure again, right after this tree's, by another build\n"
        "                     (its bin folder, or a server executable), with the ratio of the\n"
        "                     two trees' figures\n"
        "  --dir DIR          where the temporary server folder goes (default: temp dir)\n"
        "  --figures LIST     which figures to run, e.g. 1,3 (default 1 to 11 and 13 to 16;\n"
        "                     12, backups of 2 GiB of saves, only when named)\n"
        "  --users N          users in the table for figures 1, 9 and 13 (default 100000)\n"
        "  --clients N        concurrent login clients for figures 1, 9 and 13 (default 64)\n"
        "  --seconds S        duration of each login-rate and guessing run (default 10)\n"
        "  --size-mib M       save size for figures 2, 4 and 8 (default 256)\n"
        "  --repeats N        transfer runs per direction, best kept (default 5)\n"
        "  --connections N    idle control connections for figure 3 (default 1000; as many\n"
        "                     as the open-files limit lets the bench and the server hold)\n"
        "  --logins N         logins timed for figures 4, 6 and 8 (default 1000)\n"
        "  --modes LIST       server modes of figure 1: window,headless (default both)\n"
        "  --flood N          pipelined login packets of figure 6's flood (default 1000000)\n"
        "  --direct-synchronous MODE  sync mode of the direct SQL yardstick (default NORMAL:\n"
        "                     it never waits for the disk; the server runs FULL)\n"
        "  --database DB      sqlite (default); postgresql: a private PostgreSQL 15 cluster\n"
        "                     started for the run; or a postgresql://user@host:port/dbname URL\n"
        "                     of an empty database. The yardstick runs on the same database.\n"
        "                     Figure 1 then also runs two headless servers on it.\n"
        "  --saves WHERE      files (default) or s3: every figure's server keeps its saves\n"
        "                     in an S3 bucket (figure 1 with saves on S3). Figures 17 and 18\n"
        "                     (S3 transfers, logins during S3 uploads; only when named)\n"
        "                     always do.\n"
        "  --s3-env FILE      the S3 store that start-s3.sh described in FILE (s3.env);\n"
        "                     default: a throwaway Ceph cluster (bluestore) for the run\n");
}

bool CBenchRunner::parse(const QStringList &arguments)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &name = arguments.at(i);
        if (i + 1 >= arguments.size())
            return false;
        const QString value = arguments.at(++i);
        bool ok = true;
        if (name == QLatin1String("--server")) {
            serverPath = value;
        } else if (name == QLatin1String("--compare")) {
            comparePath = value;
        } else if (name == QLatin1String("--dir")) {
            baseDir = value;
        } else if (name == QLatin1String("--figures")) {
            figures.clear();
            for (const QString &part : value.split(QLatin1Char(','))) {
                const int figure = part.toInt(&ok);
                if (!ok || figure < 1 || figure > LAST_FIGURE)
                    return false;
                figures << figure;
            }
        } else if (name == QLatin1String("--modes")) {
            loginModes = value.split(QLatin1Char(','));
            for (const QString &mode : std::as_const(loginModes))
                ok = ok && (mode == QLatin1String("window") || mode == QLatin1String("headless"));
        } else if (name == QLatin1String("--direct-synchronous")) {
            directSynchronous = value;
            ok = QStringList({ QStringLiteral("OFF"), QStringLiteral("NORMAL"),
                                 QStringLiteral("FULL"), QStringLiteral("EXTRA") })
                     .contains(value.toUpper());
        } else if (name == QLatin1String("--database")) {
            database = value;
            ok = value == QLatin1String("sqlite") || value == QLatin1String("postgresql")
                || value.startsWith(QLatin1String("postgresql://"));
        } else if (name == QLatin1String("--saves")) {
            savesInS3 = value == QLatin1String("s3");
            ok = savesInS3 || value == QLatin1String("files");
        } else if (name == QLatin1String("--s3-env")) {
            s3Env = value;
        } else if (name == QLatin1String("--users")) {
            users = value.toInt(&ok);
            ok = ok && users > 0;
        } else if (name == QLatin1String("--clients")) {
            clients = value.toInt(&ok);
            ok = ok && clients > 0;
        } else if (name == QLatin1String("--seconds")) {
            seconds = value.toInt(&ok);
            ok = ok && seconds > 0;
        } else if (name == QLatin1String("--size-mib")) {
            sizeMiB = value.toLongLong(&ok);
            ok = ok && sizeMiB > 0;
        } else if (name == QLatin1String("--repeats")) {
            repeats = value.toInt(&ok);
            ok = ok && repeats > 0;
        } else if (name == QLatin1String("--connections")) {
            connections = value.toInt(&ok);
            ok = ok && connections > 0;
        } else if (name == QLatin1String("--flood")) {
            floodPackets = value.toInt(&ok);
            ok = ok && floodPackets > 0;
        } else if (name == QLatin1String("--logins")) {
            logins = value.toInt(&ok);
            ok = ok && logins > 0;
        } else {
            return false;
        }
        if (!ok)
            return false;
        if (name != QLatin1String("--compare") && name != QLatin1String("--figures")
            && name != QLatin1String("--server"))
            passOn << name << value;
    }
    return true;
}

int CBenchRunner::run(const QStringList &arguments)
{
    if (!parse(arguments)) {
        std::fputs(qPrintable(usage()), stderr);
        return 64;
    }
    if (!prepareServer())
        return 1;
    CLoginFigures loginFigures(*this);
    CTransferFigures transferFigures(*this);
    CConnectionFigures connectionFigures(*this);
    CGuardFigures guardFigures(*this);
    CCommitFigures commitFigures(*this);
    CHttpFigures httpFigures(*this);
    CMassFigures massFigures(*this);
    CS3Figures s3Figures(*this);
    if (savesInS3 && !s3Figures.prepare())
        return 1;
    const std::vector<std::pair<int, std::function<bool()>>> measures = {
        { 1, [&] { return loginFigures.measureLogins(); } },
        { 2, [&] { return transferFigures.measureTransfers(); } },
        { 3, [&] { return massFigures.measureIdleConnections(); } },
        { 4, [&] { return connectionFigures.measureIsolation(); } },
        { 5, [&] { return guardFigures.measureGuesses(); } },
        { 6, [&] { return guardFigures.measureFlood(); } },
        { 7, [&] { return commitFigures.measureGroupCommit(); } },
        { 8, [&] { return connectionFigures.measureLoadedLogins(); } },
        { 9, [&] { return loginFigures.measureHashedLogins(); } },
        { 10, [&] { return transferFigures.measureTls(); } },
        { 11,
            [&] {
                return CChecksumBench(sizeMiB, repeats, baseDir).run([this](auto... cell) {
                    rows.push_back(Row { cell... });
                });
            } },
        { 12,
            [&] {
                return CBackupBench(serverPath, baseDir).run([this](const Row &row) {
                    rows.push_back(row);
                });
            } },
        { 13, [&] { return httpFigures.measure(); } },
        { 14, [&] { return loginFigures.measureNameTiming(); } },
        { 15, [&] { return massFigures.measureMassEvents(); } },
        { 16, [&] { return massFigures.measureHashFlood(); } },
        { 17, [&] { return s3Figures.measureTransfers(); } },
        { 18, [&] { return s3Figures.measureLoadedLogins(); } },
    };
    std::unique_ptr<CBenchCompare> compare;
    if (!comparePath.isEmpty())
        compare = std::make_unique<CBenchCompare>(comparePath, passOn);
    for (const auto &[figure, measure] : measures) {
        if (!wants(figure))
            continue;
        const size_t first = rows.size();
        if (!measure())
            failed = true;
        QString error;
        if (compare
            && !compare->measure(
                figure, std::vector<Row>(rows.begin() + qint64(first), rows.end()), &error)) {
            note(error);
            failed = true;
        }
    }
    stopServer();
    cluster.reset();
    printTable();
    if (compare)
        compare->printTable();
    if (failed)
        return 1;
    return std::all_of(rows.begin(), rows.end(), [](const Row &row) { return row.met; }) ? 0 : 2;
}

QString CBenchRunner::userName(int index) const
{
    return QStringLiteral("user%1").arg(index, 6, 10, QLatin1Char('0'));
}

QString CBenchRunner::password(int index) const
{
    return QStringLiteral("pw%1").arg(index, 6, 10, QLatin1Char('0'));
}

void CBenchRunner::note(const QString &line) const
{
    std::fprintf(stderr, "[bench] %s\n", qPrintable(line));
    std::fflush(stderr);
}

bool CBenchRunner::prepareServer()
{
    server = std::make_unique<CServerProcess>(serverPath, baseDir);
    server->setForwardOutput(false);
    if (!server->isValid()) {
        note(server->errorText());
        return false;
    }
    note(QStringLiteral("server folder %1").arg(server->path(QString())));
    return prepareDatabase() && fillUsers();
}

bool CBenchRunner::prepareDatabase()
{
    if (database == QLatin1String("sqlite"))
        return true;
    databaseUrl = database;
    if (database == QLatin1String("postgresql")) {
        // PostgreSQL's own defaults, fsync included: the figure is the one a server would see.
        cluster = std::make_unique<CPgCluster>();
        if (!cluster->start(true) || !cluster->createDatabase(QStringLiteral("bench"))) {
            note(QStringLiteral("private PostgreSQL cluster: %1").arg(cluster->errorText()));
            return false;
        }
        databaseUrl = cluster->url(QStringLiteral("bench"));
    }
    note(
        QStringLiteral("database %1").arg(QUrl(databaseUrl).toDisplayString(QUrl::RemovePassword)));
    databaseIni = QStringLiteral("[Database]\nDriver=postgresql\nUrl=%1\n").arg(databaseUrl);
    return true;
}

bool CBenchRunner::openDirect(const QString &connection, const QString &sqliteFile)
{
    if (databaseUrl.isEmpty()) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(sqliteFile);
        return db.open();
    }
    const QUrl url(databaseUrl);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
    db.setHostName(url.host());
    db.setPort(url.port(5432));
    db.setUserName(url.userName());
    if (!url.password().isEmpty())
        db.setPassword(url.password());
    db.setDatabaseName(url.path().mid(1));
    if (!db.open()) {
        note(QStringLiteral("cannot open %1: %2").arg(connection, db.lastError().text()));
        return false;
    }
    return true;
}

bool CBenchRunner::startServer(const QString &security)
{
    server->setExtraIni(databaseIni + storageIni + security);
    if (!server->start(START_TIMEOUT_MS)) {
        note(server->errorText());
        return false;
    }
    return true;
}

bool CBenchRunner::stopServer()
{
    if (!server || !server->isRunning())
        return true;
    const int code = server->stop(60000);
    if (code != 0)
        note(QStringLiteral("server stopped with exit code %1").arg(code));
    return code == 0;
}

bool CBenchRunner::fillUsers()
{
    // The first start creates the table with the server's own statements and indexes.
    if (!startServer(NO_ADDRESS_CAP) || !stopServer())
        return false;
    note(QStringLiteral("adding %1 users").arg(users));
    bool ok = false;
    if (openDirect(QStringLiteral("bench-fill"), server->databaseFile())) {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("bench-fill"));
        QSqlQuery count(db);
        // Never writes into a database that holds users already.
        ok = count.exec(QStringLiteral("select count(*) from t_user")) && count.next()
            && count.value(0).toLongLong() == 0;
        count.finish();
        if (!ok)
            note(QStringLiteral("the database is not empty"));
        ok = ok && db.transaction();
        // Many rows per statement: one round trip each on PostgreSQL.
        constexpr int rowsPerInsert = 500;
        for (int first = 1; ok && first <= users; first += rowsPerInsert) {
            const int last = qMin(users, first + rowsPerInsert - 1);
            QStringList rowsText;
            for (int i = first; i <= last; ++i)
                rowsText << QStringLiteral("(?, ?, ?, 'Y')");
            QSqlQuery insert(db);
            insert.prepare(
                QStringLiteral("insert into t_user (object_id, name, password, is_enabled) values ")
                + rowsText.join(QStringLiteral(", ")));
            for (int i = first; i <= last; ++i) {
                insert.addBindValue(i);
                insert.addBindValue(userName(i));
                insert.addBindValue(password(i));
            }
            ok = insert.exec();
        }
        ok = ok
            && QSqlQuery(db).exec(QStringLiteral("update t_user_seq set last_id = %1").arg(users));
        ok = db.commit() && ok;
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-fill"));
    if (!ok)
        note(QStringLiteral("cannot fill %1").arg(server->databaseFile()));
    return ok;
}

bool CBenchRunner::directLogins(const QString &connection, int msec, qint64 &count)
{
    QSqlDatabase db = QSqlDatabase::database(connection);
    // What one login costs the database, statement for statement as the server runs it:
    // prepared once, the password checked and the login stamped in one statement.
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("update t_user set last_login = ? where name = ? and "
                                      "password = ? returning object_id")))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < msec) {
        const int index = int(random.bounded(users)) + 1;
        query.addBindValue(
            QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")));
        query.addBindValue(userName(index));
        query.addBindValue(password(index));
        if (!query.exec() || !query.next() || query.value(0).toInt() != index)
            return false;
        query.finish();
        ++count;
    }
    return true;
}

bool CBenchRunner::serverLogins(
    const std::vector<CServerProcess *> &targets, double &rate, double &direct)
{
    CLoginLoad load;
    std::vector<quint16> ports;
    for (const CServerProcess *target : targets)
        ports.push_back(target->mainPort());
    if (!load.connectClients(ports, clients)) {
        note(QStringLiteral("login clients: %1").arg(load.errorText()));
        return false;
    }
    const auto nextLogin = [this](libsock::CProtoPacket &packet) {
        const int index = int(random.bounded(users)) + 1;
        CProtoClient::loginRequest(packet, userName(index), password(index));
    };

    // One-second turns, server and direct in alternation: both see the same disk and the
    // same neighbours, so their ratio holds when the machine's load drifts.
    qint64 directCount = 0;
    double serverTime = 0;
    double directTime = 0;
    // Processor time per login, which a loaded machine does not distort as it does the rates.
    double directCpu = 0;
    double loadCpu = 0;
    const auto serverSeconds = [&targets] {
        double sum = 0;
        for (const CServerProcess *target : targets)
            sum += processSeconds(target->processId());
        return sum;
    };
    const double serverCpuBefore = serverSeconds();
    bool ok = true;
    for (int turn = 0; ok && turn < seconds; ++turn) {
        const qint64 directBefore = directCount;
        const qint64 serverBefore = load.answered();
        QElapsedTimer clock;
        clock.start();
        double cpuBefore = processSeconds(0);
        ok = directLogins(QStringLiteral("bench-direct"), 1000, directCount);
        directCpu += processSeconds(0) - cpuBefore;
        const double directTurn = double(clock.nsecsElapsed()) / 1e9;
        directTime += directTurn;

        clock.restart();
        cpuBefore = processSeconds(0);
        // Answers still on their way at the end count for nobody; the next turn starts in quiet.
        ok = ok && load.run(1000, WAIT_TIMEOUT_MS, nextLogin);
        loadCpu += processSeconds(0) - cpuBefore;
        const double serverTurn = double(clock.nsecsElapsed()) / 1e9;
        serverTime += serverTurn;
        if (!ok && !load.errorText().isEmpty())
            note(QStringLiteral("login clients: %1").arg(load.errorText()));
        note(QStringLiteral("  turn %1: server %2 /s, direct %3 /s")
                 .arg(turn + 1)
                 .arg(double(load.answered() - serverBefore) / serverTurn, 0, 'f', 0)
                 .arg(double(directCount - directBefore) / directTurn, 0, 'f', 0));
    }
    rate = double(load.answered()) / serverTime;
    direct = double(directCount) / directTime;
    const double serverCpu = serverSeconds() - serverCpuBefore;
    if (load.answered() > 0 && directCount > 0)
        note(QStringLiteral("  processor time per login: server %1 us, login clients %2 us, "
                            "direct %3 us")
                 .arg(serverCpu * 1e6 / double(load.answered()), 0, 'f', 1)
                 .arg(loadCpu * 1e6 / double(load.answered()), 0, 'f', 1)
                 .arg(directCpu * 1e6 / double(directCount), 0, 'f', 1));
    if (load.refused())
        note(QStringLiteral("%1 logins refused").arg(load.refused()));
    return ok && !load.refused();
}

bool CBenchRunner::createSave(const QString &path, qint64 size)
{
    if (QFileInfo::exists(path) && QFileInfo(path).size() == size)
        return true;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator content(3);
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    for (qint64 done = 0; done < size; done += chunk.size()) {
        content.fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
        const qint64 n = qMin<qint64>(chunk.size(), size - done);
        if (file.write(chunk.constData(), n) != n)
            return false;
    }
    return file.commit();
}

bool CBenchRunner::loginRoundTrips(int count, std::vector<qint64> &nanoseconds)
{
    CProtoClient client;
    if (!client.connectToServer(LOCALHOST, server->mainPort()))
        return false;
    nanoseconds.clear();
    // The same users in every round: what a user's first login costs the server (its cell on
    // the user page, its login record) is in place after the quiet round, and a figure that
    // compares memory before and during a load counts only what the load itself holds.
    for (int i = 0; i < count; ++i) {
        const int index = i % users + 1;
        QElapsedTimer clock;
        clock.start();
        if (!client.login(userName(index), password(index))
            || client.result() != libsock::RESULT_OK)
            return false;
        nanoseconds.push_back(clock.nsecsElapsed());
    }
    std::sort(nanoseconds.begin(), nanoseconds.end());
    return true;
}

int CBenchRunner::openControlSocket() const
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(server->mainPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void CBenchRunner::printTable() const
{
    const QStringList headers = { QStringLiteral("figure"), QStringLiteral("measured"),
        QStringLiteral("yardstick (same run)"), QStringLiteral("ratio"), QStringLiteral("target"),
        QStringLiteral("met") };
    QList<QStringList> lines;
    for (const Row &row : rows) {
        lines << QStringList { row.figure, row.measured, row.yardstick, row.ratio, row.target,
            row.met ? QStringLiteral("yes") : QStringLiteral("NO") };
    }
    printBenchTable(headers, lines);
    if (failed)
        std::printf("Some figures could not be measured; see the messages above.\n");
    std::fflush(stdout);
}
