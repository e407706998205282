#include "cbenchrunner.h"

#include <algorithm>
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

using libsock::CFileClient;
using libsock::ClientError;
using libsock::CProtoClient;

namespace {

const QString LOCALHOST = QStringLiteral("127.0.0.1");
const QString SAVE_NAME = QStringLiteral("bench");
const QString DETAIL = QStringLiteral("tolvern-bench");
constexpr double MIN_LOGIN_RATE = 2000;
constexpr double MIN_LOGIN_RATIO = 0.5;
constexpr double MIN_HEADLESS_LOGIN_RATIO = 0.8;
constexpr double MIN_TRANSFER_RATIO = 0.8;
// The server's side of a handshake runs in its own process, so a login on top of it may cost
// up to half the rate of bare handshakes in one process.
constexpr double MIN_HANDSHAKE_RATIO = 0.5;
constexpr double MAX_BYTES_PER_CONNECTION = 80000;
constexpr double MAX_P99_MS = 50;
constexpr double MAX_LOADED_WORST_MS = 50;
constexpr double MAX_LOADED_P99_EXCESS_MS = 5;
constexpr double MAX_GUESS_RATIO = 0.001;
// The benchmark's many clients all come from loopback; the per-address cap is for others.
// Passwords as plain text, as the server stored them before hashes: figure 9 is the one of
// hashed logins.
const QString NO_ADDRESS_CAP
    = QStringLiteral("[Security]\nMaxConnectionsPerAddress=0\nPasswordHashing=plain\n");
// Figure 9's server: hashes of the default cost, no login ever locked.
const QString HASHED = QStringLiteral("[Security]\nMaxConnectionsPerAddress=0\n"
                                      "LoginLockFailures=0\nAddressLockFailures=0\n"
                                      "PasswordHashing=argon2id\n");
const QString HASHED_PASSWORD = QStringLiteral("bench-hashed");
constexpr double MIN_HASHED_LOGIN_RATIO = 0.9;
// The server as it was: no login is ever locked.
const QString NO_LOCKS
    = NO_ADDRESS_CAP + QStringLiteral("LoginLockFailures=0\nAddressLockFailures=0\n");
constexpr double MAX_FLOOD_GROWTH = 4e6;
constexpr double MIN_GROUP_LOGIN_RATIO = 0.9;
constexpr double MIN_ADD_RATE = 5000;
constexpr double MAX_LONE_ADD_SYNCS = 2;
constexpr int LONE_ADDS = 200;
constexpr std::chrono::milliseconds LONE_PAUSE { 1 };
// More lines than the server's log keeps (100000), and the size of a login reply.
constexpr int LOG_FILL_LINES = 110000;
constexpr int LOGIN_REPLY_SIZE = 27;
constexpr int START_TIMEOUT_MS = 180000;
constexpr int WAIT_TIMEOUT_MS = 120000;

void pause(int msec)
{
    QEventLoop loop;
    QTimer::singleShot(msec, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until done() holds or msec pass.
template<typename Condition> bool waitUntil(Condition done, int msec)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > msec)
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// User and system time of a process (0: this one), in seconds.
double processSeconds(qint64 pid)
{
    QFile stat(pid ? QStringLiteral("/proc/%1/stat").arg(pid) : QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold blanks, start past the last ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong())
        / double(sysconf(_SC_CLK_TCK));
}

double mib(double bytes)
{
    return bytes / (1024.0 * 1024.0);
}

QString ms(qint64 nanoseconds)
{
    return QString::number(double(nanoseconds) / 1e6, 'f', 2);
}

qint64 percentile(const std::vector<qint64> &sorted, double fraction)
{
    if (sorted.empty())
        return 0;
    const size_t rank = size_t(std::ceil(fraction * double(sorted.size())));
    return sorted.at(std::clamp<size_t>(rank, 1, sorted.size()) - 1);
}

bool sendAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t sent = ::send(fd, data, size_t(left), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        left -= sent;
    }
    return true;
}

bool receiveExactly(int fd, char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t got = ::recv(fd, data, size_t(size), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        data += got;
        size -= got;
    }
    return true;
}

QByteArray controlFrame(const libsock::CProtoPacket &packet)
{
    libsock::CFileFrameHeader header;
    header.setType(libsock::FRAME_CONTROL);
    header.setLength(packet.totalLength());
    return header.bytes + QByteArray(packet.data(), packet.totalLength());
}

} // namespace

CBenchRunner::CBenchRunner()
    : serverPath(QCoreApplication::applicationDirPath() + QStringLiteral("/tolvern-server"))
{
}

CBenchRunner::~CBenchRunner() = default;

QString CBenchRunner::usage()
{
    return QStringLiteral(
        "Usage: tolvern-bench [options]\n"
        "Starts a copy of tolvern-server on loopback and prints nine figures, each next to\n"
        "its yardstick measured in the same run.\n"
        "  --server PATH      server executable (default: tolvern-server beside this one)\n"
        "  --dir DIR          where the temporary server folder goes (default: temp dir)\n"
        "  --figures LIST     which figures to run, e.g. 1,3 (default 1 to 11)\n"
        "  --users N          users in the table for figures 1 and 9 (default 100000)\n"
        "  --clients N        concurrent login clients for figures 1 and 9 (default 64)\n"
        "  --seconds S        duration of each login-rate and guessing run (default 10)\n"
        "  --size-mib M       save size for figures 2, 4 and 8 (default 256)\n"
        "  --repeats N        transfer runs per direction, best kept (default 5)\n"
        "  --connections N    idle control connections for figure 3 (default 1000)\n"
        "  --logins N         logins timed for figures 4, 6 and 8 (default 1000)\n"
        "  --modes LIST       server modes of figure 1: window,headless (default both)\n"
        "  --flood N          pipelined login packets of figure 6's flood (default 1000000)\n"
        "  --direct-synchronous MODE  sync mode of the direct SQL yardstick (default NORMAL:\n"
        "                     it never waits for the disk; the server runs FULL)\n"
        "  --database DB      sqlite (default); postgresql: a private PostgreSQL 15 cluster\n"
        "                     started for the run; or a postgresql://user@host:port/dbname URL\n"
        "                     of an empty database. The yardstick runs on the same database.\n"
        "                     Figure 1 then also runs two headless servers on it.\n");
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
        } else if (name == QLatin1String("--dir")) {
            baseDir = value;
        } else if (name == QLatin1String("--figures")) {
            figures.clear();
            for (const QString &part : value.split(QLatin1Char(','))) {
                const int figure = part.toInt(&ok);
                if (!ok || figure < 1 || figure > 11)
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
    if (wants(1) && !measureLogins())
        failed = true;
    if (wants(2) && !measureTransfers())
        failed = true;
    if (wants(3) && !measureIdleConnections())
        failed = true;
    if (wants(4) && !measureIsolation())
        failed = true;
    if (wants(5) && !measureGuesses())
        failed = true;
    if (wants(6) && !measureFlood())
        failed = true;
    if (wants(7) && !measureGroupCommit())
        failed = true;
    if (wants(8) && !measureLoadedLogins())
        failed = true;
    if (wants(9) && !measureHashedLogins())
        failed = true;
    if (wants(10) && !measureTls())
        failed = true;
    if (wants(11) && !CChecksumBench(sizeMiB, repeats, baseDir).run([this](auto... cell) {
            rows.push_back(Row { cell... });
        }))
        failed = true;
    stopServer();
    cluster.reset();
    printTable();
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
    server->setExtraIni(databaseIni + security);
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

bool CBenchRunner::measureLogins()
{
    bool ok = true;
    for (const QString &mode : std::as_const(loginModes))
        ok = measureLoginsIn(mode == QLatin1String("headless")) && ok;
    server->setHeadless(false);
    // Several servers share one user base only on a database server.
    if (!databaseUrl.isEmpty())
        ok = measureTwoServerLogins() && ok;
    return ok;
}

bool CBenchRunner::measureLoginsIn(bool headless)
{
    const QString mode = headless ? QStringLiteral("headless") : QStringLiteral("window");
    note(QStringLiteral("figure 1: logins with %1 users, %2 clients, %3 s, %4")
             .arg(users)
             .arg(clients)
             .arg(seconds)
             .arg(mode));
    server->setHeadless(headless);
    // On SQLite the yardstick works on a copy of the file, so the two never wait for each
    // other's lock; on PostgreSQL on the same database, in alternating turns.
    const QString copy = server->path(QStringLiteral("direct.db"));
    if (databaseUrl.isEmpty()) {
        QFile::remove(copy);
        if (!QFile::copy(server->databaseFile(), copy))
            return false;
    }
    double rate = 0;
    double direct = 0;
    bool ok = openDirect(QStringLiteral("bench-direct"), copy);
    {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("bench-direct"), false);
        // The same journal, sync, page cache and checkpoint settings as the server's own
        // connection.
        if (ok && databaseUrl.isEmpty()) {
            QSqlQuery(db).exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=%1").arg(directSynchronous));
            QSqlQuery(db).exec(
                QStringLiteral("PRAGMA cache_size=-%1").arg(CUserDbConnection::SQLITE_CACHE_KIB));
            QSqlQuery(db).exec(QStringLiteral("PRAGMA wal_autocheckpoint=%1")
                                   .arg(CUserDbConnection::SQLITE_CHECKPOINT_PAGES));
        } else if (ok) {
            QSqlQuery(db).exec(QStringLiteral("SET synchronous_commit TO off"));
        }
        ok = ok && startServer(NO_ADDRESS_CAP) && serverLogins({ server.get() }, rate, direct);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-direct"));
    QFile::remove(copy);
    ok = stopServer() && ok;
    return loginRow(mode, ok, rate, direct, headless ? MIN_HEADLESS_LOGIN_RATIO : MIN_LOGIN_RATIO);
}

bool CBenchRunner::loginRow(
    const QString &mode, bool ok, double rate, double direct, double minRatio)
{
    note(QStringLiteral("  server %1 logins/s, direct %2 logins/s")
             .arg(rate, 0, 'f', 0)
             .arg(direct, 0, 'f', 0));
    if (!ok || direct <= 0)
        return false;
    Row row;
    row.figure
        = QStringLiteral("1 logins/s %5 (%1 users, %2 clients, %3 s, %4)")
              .arg(users)
              .arg(clients)
              .arg(seconds)
              .arg(databaseUrl.isEmpty() ? QStringLiteral("SQLite") : QStringLiteral("PostgreSQL"))
              .arg(mode);
    row.measured = QStringLiteral("%1 /s").arg(rate, 0, 'f', 0);
    row.yardstick = QStringLiteral("%1 /s direct SQL").arg(direct, 0, 'f', 0);
    row.ratio = QString::number(rate / direct, 'f', 2);
    row.target = QStringLiteral(">= 2000 /s, ratio >= %1").arg(minRatio, 0, 'f', 2);
    row.met = rate >= MIN_LOGIN_RATE && rate / direct >= minRatio;
    rows.push_back(row);
    return true;
}

bool CBenchRunner::measureTwoServerLogins()
{
    note(QStringLiteral("figure 1: logins with %1 users, %2 clients, %3 s, two headless servers "
                        "on one database")
             .arg(users)
             .arg(clients)
             .arg(seconds));
    // The second one shares the database and the storage folder, with ports, ini and
    // runtime folder of its own.
    secondServer = std::make_unique<CServerProcess>(serverPath, baseDir);
    secondServer->setForwardOutput(false);
    secondServer->setHeadless(true);
    secondServer->setStorageDir(server->storageDir());
    secondServer->setExtraIni(databaseIni + NO_ADDRESS_CAP);
    server->setHeadless(true);
    double rate = 0;
    double direct = 0;
    bool ok = secondServer->isValid() && openDirect(QStringLiteral("bench-direct"), QString());
    {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("bench-direct"), false);
        if (ok)
            QSqlQuery(db).exec(QStringLiteral("SET synchronous_commit TO off"));
        ok = ok && startServer(NO_ADDRESS_CAP);
        if (ok && !secondServer->start(START_TIMEOUT_MS)) {
            note(secondServer->errorText());
            ok = false;
        }
        ok = ok && serverLogins({ server.get(), secondServer.get() }, rate, direct);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-direct"));
    if (secondServer->isRunning() && secondServer->stop(60000) != 0)
        ok = false;
    secondServer.reset();
    ok = stopServer() && ok;
    server->setHeadless(false);
    return loginRow(
        QStringLiteral("two headless servers"), ok, rate, direct, MIN_HEADLESS_LOGIN_RATIO);
}

bool CBenchRunner::setPasswords(const QString &expression, const QString &value)
{
    bool ok = openDirect(QStringLiteral("bench-passwords"), server->databaseFile());
    {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("bench-passwords"), false));
        ok = ok && query.prepare(QStringLiteral("update t_user set password = ") + expression);
        if (ok && expression.contains(QLatin1Char('?')))
            query.addBindValue(value);
        ok = ok && query.exec();
        if (!ok)
            note(QStringLiteral("cannot set the passwords: %1").arg(query.lastError().text()));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-passwords"));
    return ok;
}

bool CBenchRunner::measureHashedLogins()
{
    // The cost a server runs with by default, and as many threads as it hashes on.
    const CPasswordHasher::Params params;
    const int threads = CPasswordHasher::instance()->threadCount();
    note(QStringLiteral("figure 9: hashed logins with %1 users, %2 clients, %3 s, Argon2id "
                        "m=%4 KiB t=%5, %6 threads")
             .arg(users)
             .arg(clients)
             .arg(seconds)
             .arg(params.memoryKiB)
             .arg(params.iterations)
             .arg(threads));
    // One hash for every user: a hash each would take the machine most of an hour, and a
    // check costs the same whoever's it is.
    const QString hash = CPasswordHasher::instance()->hash(HASHED_PASSWORD, params);
    bool ok = !hash.isEmpty() && setPasswords(QStringLiteral("?"), hash);
    ok = ok && startServer(HASHED);
    CLoginLoad load;
    if (ok && !load.connectClients({ server->mainPort() }, clients)) {
        note(QStringLiteral("login clients: %1").arg(load.errorText()));
        ok = false;
    }
    const auto nextLogin = [this](libsock::CProtoPacket &packet) {
        CProtoClient::loginRequest(
            packet, userName(int(random.bounded(users)) + 1), HASHED_PASSWORD);
    };
    // One-second turns, server and yardstick in alternation, as figure 1's.
    qint64 checks = 0;
    double serverTime = 0;
    double checkTime = 0;
    for (int turn = 0; ok && turn < seconds; ++turn) {
        const qint64 before = load.answered();
        ok = load.run(1000, WAIT_TIMEOUT_MS, nextLogin);
        // Over the second the clients sent in, whose answers alone count: with a hash's
        // latency, the answers still owed at its end take most of a second more to come.
        const double serverTurn = 1.0;
        serverTime += serverTurn;
        QElapsedTimer clock;
        clock.start();
        const qint64 turnChecks = CHashVerifyRate::verifications(
            hash.toLatin1(), HASHED_PASSWORD.toUtf8(), threads, 1000);
        const double checkTurn = double(clock.nsecsElapsed()) / 1e9;
        checkTime += checkTurn;
        ok = ok && turnChecks >= 0;
        checks += qMax<qint64>(0, turnChecks);
        note(QStringLiteral("  turn %1: server %2 /s, crypto_pwhash_str_verify %3 /s")
                 .arg(turn + 1)
                 .arg(double(load.answered() - before) / serverTurn, 0, 'f', 1)
                 .arg(double(turnChecks) / checkTurn, 0, 'f', 1));
    }
    if (load.refused()) {
        note(QStringLiteral("%1 logins refused").arg(load.refused()));
        ok = false;
    }
    ok = stopServer() && ok;
    // The plain-text passwords of the other figures again.
    ok = setPasswords(QStringLiteral("'pw' || substr(name, 5)"), QString()) && ok;
    if (!ok || serverTime <= 0 || checks <= 0)
        return false;
    const double rate = double(load.answered()) / serverTime;
    const double yardstick = double(checks) / checkTime;
    Row row;
    row.figure
        = QStringLiteral("9 hashed logins/s (%1 users, %2 clients, %3 s, %4)")
              .arg(users)
              .arg(clients)
              .arg(seconds)
              .arg(databaseUrl.isEmpty() ? QStringLiteral("SQLite") : QStringLiteral("PostgreSQL"));
    row.measured = QStringLiteral("%1 /s").arg(rate, 0, 'f', 1);
    row.yardstick = QStringLiteral("%1 /s crypto_pwhash_str_verify, %2 threads")
                        .arg(yardstick, 0, 'f', 1)
                        .arg(threads);
    row.ratio = QString::number(rate / yardstick, 'f', 2);
    row.target = QStringLiteral("ratio >= %1").arg(MIN_HASHED_LOGIN_RATIO, 0, 'f', 2);
    row.met = rate / yardstick >= MIN_HASHED_LOGIN_RATIO;
    rows.push_back(row);
    return true;
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

bool CBenchRunner::serverDownload(const QString &target, double &secondsTaken)
{
    QElapsedTimer clock;
    clock.start();
    CFileClient client;
    client.setTls(transferTls);
    QSaveFile sink(target);
    if (!sink.open(QIODevice::WriteOnly) || !client.connectToServer(LOCALHOST, server->filePort())
        || !client.download(DETAIL, DETAIL, SAVE_NAME, sink) || !sink.commit()) {
        note(QStringLiteral("download failed: %1, result %2")
                 .arg(libsock::clientErrorText(client.clientError()))
                 .arg(client.result()));
        return false;
    }
    secondsTaken = double(clock.nsecsElapsed()) / 1e9;
    client.disconnectFromHost();
    return client.transferred() == sizeMiB * 1024 * 1024;
}

bool CBenchRunner::serverUpload(const QString &source, double &secondsTaken)
{
    QFile file(source);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QElapsedTimer clock;
    clock.start();
    CFileClient client;
    client.setTls(transferTls);
    if (!client.connectToServer(LOCALHOST, server->filePort())
        || !client.upload(DETAIL, DETAIL, SAVE_NAME + QStringLiteral("-up"), file)) {
        note(QStringLiteral("upload failed: %1, result %2")
                 .arg(libsock::clientErrorText(client.clientError()))
                 .arg(client.result()));
        return false;
    }
    secondsTaken = double(clock.nsecsElapsed()) / 1e9;
    return client.transferred() == sizeMiB * 1024 * 1024;
}

bool CBenchRunner::plainCopy(bool toBench, const QString &file, double &secondsTaken)
{
    const QString save = server->storageDir() + QLatin1Char('/') + SAVE_NAME + QStringLiteral(".z");
    QProcess helper;
    helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    helper.start(QCoreApplication::applicationFilePath(),
        { toBench ? QStringLiteral("--plain-send") : QStringLiteral("--plain-receive"),
            toBench ? save : file });
    if (!helper.waitForStarted(10000) || !helper.waitForReadyRead(10000))
        return false;
    const quint16 port = quint16(helper.readLine().trimmed().toUInt());
    qint64 bytes = 0;
    QElapsedTimer clock;
    clock.start();
    const bool ok = toBench ? CPlainCopy::receiveFrom(port, file, bytes)
                            : CPlainCopy::sendTo(port, save, bytes);
    secondsTaken = double(clock.nsecsElapsed()) / 1e9;
    const bool ended = helper.waitForFinished(60000) && helper.exitCode() == 0;
    return ok && ended && bytes == sizeMiB * 1024 * 1024;
}

bool CBenchRunner::measureTransfers()
{
    note(QStringLiteral("figure 2: transfers of %1 MiB, best of %2").arg(sizeMiB).arg(repeats));
    const qint64 size = sizeMiB * 1024 * 1024;
    const QString save = server->storageDir() + QLatin1Char('/') + SAVE_NAME + QStringLiteral(".z");
    if (!createSave(save, size) || !startServer(NO_ADDRESS_CAP))
        return false;
    const QString received = server->path(QStringLiteral("received.bin"));
    const QString plainUp = server->path(QStringLiteral("plain-up.bin"));
    const QString serverUp
        = server->storageDir() + QLatin1Char('/') + SAVE_NAME + QStringLiteral("-up.z");

    // Every timed upload replaces an existing save, as a game's do: the server keeps the
    // replaced archive as a version, and that must cost next to nothing.
    double best[4] = { 1e9, 1e9, 1e9, 1e9 }; // plain down, server down, plain up, server up
    bool ok = QFile::copy(save, serverUp);
    for (int i = 0; ok && i < repeats; ++i) {
        double taken[4] = {};
        ok = plainCopy(true, received, taken[0]) && QFile::remove(received)
            && serverDownload(received, taken[1]) && QFile::remove(received)
            && plainCopy(false, plainUp, taken[2]) && QFile::remove(plainUp)
            && serverUpload(save, taken[3]) && QFileInfo(serverUp).size() == size;
        for (int k = 0; ok && k < 4; ++k)
            best[k] = qMin(best[k], taken[k]);
        note(QStringLiteral("  run %1: plain down %2 s, server down %3 s, plain up %4 s, "
                            "server up %5 s")
                 .arg(i + 1)
                 .arg(taken[0], 0, 'f', 3)
                 .arg(taken[1], 0, 'f', 3)
                 .arg(taken[2], 0, 'f', 3)
                 .arg(taken[3], 0, 'f', 3));
    }
    if (!stopServer() || !ok)
        return false;
    transferRows(QStringLiteral("2"), QStringLiteral("plain copy"), size, best);
    return true;
}

void CBenchRunner::transferRows(
    const QString &figure, const QString &yardstickName, qint64 size, const double best[4])
{
    // best: yardstick down, server down, yardstick up, server up, in seconds.
    for (int direction = 0; direction < 2; ++direction) {
        const double yardstick = mib(double(size)) / best[direction * 2];
        const double served = mib(double(size)) / best[direction * 2 + 1];
        Row row;
        row.figure = QStringLiteral("%1 %2 a %3 MiB save")
                         .arg(figure,
                             direction == 0 ? QStringLiteral("download of")
                                            : QStringLiteral("upload replacing"))
                         .arg(sizeMiB);
        row.measured = QStringLiteral("%1 MiB/s").arg(served, 0, 'f', 0);
        row.yardstick = QStringLiteral("%1 MiB/s %2").arg(yardstick, 0, 'f', 0).arg(yardstickName);
        row.ratio = QString::number(served / yardstick, 'f', 2);
        row.target = QStringLiteral("ratio >= 0.80");
        row.met = served / yardstick >= MIN_TRANSFER_RATIO;
        rows.push_back(row);
    }
}

bool CBenchRunner::measureTls()
{
    note(QStringLiteral("figure 10: TLS transfers of %1 MiB (best of %2) and handshakes")
             .arg(sizeMiB)
             .arg(repeats));
    const qint64 size = sizeMiB * 1024 * 1024;
    const QString save = server->storageDir() + QLatin1Char('/') + SAVE_NAME + QStringLiteral(".z");
    CTlsBench tls;
    QString error;
    if (!tls.prepare(server->path(QStringLiteral("work")), &error)) {
        note(error);
        return false;
    }
    if (!createSave(save, size) || !startServer(NO_ADDRESS_CAP + tls.iniSection()))
        return false;
    const QString received = server->path(QStringLiteral("received.bin"));
    const QString serverUp
        = server->storageDir() + QLatin1Char('/') + SAVE_NAME + QStringLiteral("-up.z");
    transferTls = tls.clientTls();
    // Loopback copy down, server down, loopback copy up, server up.
    double best[4] = { 1e9, 1e9, 1e9, 1e9 };
    bool ok = QFile::copy(save, serverUp) || QFileInfo::exists(serverUp);
    for (int i = 0; ok && i < repeats; ++i) {
        double taken[4] = {};
        ok = tls.loopbackCopy(save, received, taken[0]) && QFile::remove(received)
            && serverDownload(received, taken[1]) && QFile::remove(received)
            && tls.loopbackCopy(save, received, taken[2]) && QFile::remove(received)
            && serverUpload(save, taken[3]) && QFileInfo(serverUp).size() == size;
        for (int k = 0; ok && k < 4; ++k)
            best[k] = qMin(best[k], taken[k]);
        note(QStringLiteral("  run %1: loopback %2 s, server down %3 s, loopback %4 s, "
                            "server up %5 s")
                 .arg(i + 1)
                 .arg(taken[0], 0, 'f', 3)
                 .arg(taken[1], 0, 'f', 3)
                 .arg(taken[2], 0, 'f', 3)
                 .arg(taken[3], 0, 'f', 3));
    }
    transferTls = libsock::CClientTls();
    // Handshakes and logins: one client after the other, beside the same without TLS.
    const int msec = qMin(seconds, 5) * 1000;
    double tlsLogins = 0;
    double plainLogins = 0;
    double handshakes = 0;
    ok = ok
        && CTlsBench::serverLogins(
            server->mainPort(), tls.clientTls(), userName(1), password(1), msec, tlsLogins, &error)
        && CTlsBench::serverLogins(server->mainPort(), libsock::CClientTls(), userName(1),
            password(1), msec, plainLogins, &error)
        && tls.loopbackHandshakes(msec, handshakes);
    if (!ok && !error.isEmpty())
        note(error);
    if (!stopServer() || !ok)
        return false;
    transferRows(QStringLiteral("10 TLS"), QStringLiteral("QSslSocket loopback copy"), size, best);
    Row row;
    row.figure = QStringLiteral("10 TLS handshakes with a login each, one client");
    row.measured = QStringLiteral("%1 /s (plain: %2 /s)")
                       .arg(tlsLogins, 0, 'f', 0)
                       .arg(plainLogins, 0, 'f', 0);
    row.yardstick
        = QStringLiteral("%1 /s handshake + round trip in one process").arg(handshakes, 0, 'f', 0);
    row.ratio = QString::number(tlsLogins / handshakes, 'f', 2);
    row.target = QStringLiteral("ratio >= %1").arg(MIN_HANDSHAKE_RATIO, 0, 'f', 2);
    row.met = tlsLogins / handshakes >= MIN_HANDSHAKE_RATIO;
    rows.push_back(row);
    return true;
}

bool CBenchRunner::measureIdleConnections()
{
    note(QStringLiteral("figure 3: %1 idle control connections").arg(connections));
    if (!startServer(NO_ADDRESS_CAP))
        return false;
    {
        // Warm up: the first login loads what every later one shares.
        CProtoClient warm;
        if (!warm.connectToServer(LOCALHOST, server->mainPort())
            || !warm.login(userName(1), password(1)))
            return false;
    }
    pause(1000);
    const qint64 before = server->residentKiB();

    int connected = 0;
    int answered = 0;
    int errors = 0;
    std::vector<std::unique_ptr<CProtoClient>> pool;
    for (int i = 0; i < connections; ++i) {
        auto client = std::make_unique<CProtoClient>();
        client->setTimeout(WAIT_TIMEOUT_MS);
        QObject::connect(
            client.get(), &QAbstractSocket::connected, client.get(), [&connected] { ++connected; });
        QObject::connect(
            client.get(), &CProtoClient::replyReceived, client.get(), [&answered](quint8 result) {
                if (result == libsock::RESULT_OK)
                    ++answered;
            });
        QObject::connect(
            client.get(), &CProtoClient::failed, client.get(), [&errors] { ++errors; });
        client->connectToHost(LOCALHOST, server->mainPort());
        pool.push_back(std::move(client));
    }
    bool ok = waitUntil([&] { return connected + errors >= connections; }, WAIT_TIMEOUT_MS)
        && errors == 0;
    // The server accepts from its own loop: give it the time to take every connection.
    pause(2000);
    const qint64 idle = server->residentKiB();
    for (int i = 0; ok && i < connections; ++i)
        ok = pool[size_t(i)]->sendLogin(userName(i + 1), password(i + 1));
    ok = ok && waitUntil([&] { return answered + errors >= connections; }, WAIT_TIMEOUT_MS);
    const qint64 after = server->residentKiB();
    note(QStringLiteral("  connected %1, answered %2, failed %3; RSS %4 -> %5 (idle) -> %6 KiB")
             .arg(connected)
             .arg(answered)
             .arg(errors)
             .arg(before)
             .arg(idle)
             .arg(after));
    pool.clear();
    if (!stopServer() || !ok || answered != connections)
        return false;

    const double perConnection = double(after - before) * 1024.0 / connections;
    const double idlePerConnection = double(idle - before) * 1024.0 / connections;
    Row row;
    row.figure = QStringLiteral("3 memory per control connection (%1 open, all answered)")
                     .arg(connections);
    row.measured = QStringLiteral("%1 KB").arg(perConnection / 1000, 0, 'f', 1);
    row.yardstick
        = QStringLiteral("%1 KB before the logins").arg(idlePerConnection / 1000, 0, 'f', 1);
    row.ratio = QString::number(perConnection / MAX_BYTES_PER_CONNECTION, 'f', 2);
    row.target = QStringLiteral("<= 80 KB (ratio to it <= 1)");
    row.met = perConnection <= MAX_BYTES_PER_CONNECTION;
    rows.push_back(row);
    return true;
}

int CBenchRunner::openStalledDownload(const QString &saveName)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(server->filePort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit {};
    limit.tv_sec = 10;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    libsock::CProtoPacket request;
    request.reset().setAuxByte(0).setCommand(libsock::FILE_CMD_DOWNLOAD);
    request.writeString(DETAIL).writeString(DETAIL).writeString(saveName).writeInt64(0);
    char reply[libsock::FRAME_HEADER_SIZE + libsock::PACKET_HEADER_SIZE + 9] = {};
    libsock::CProtoPacket start;
    start.reset().setAuxByte(0).setCommand(libsock::FILE_CMD_START);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || !sendAll(fd, controlFrame(request)) || !receiveExactly(fd, reply, sizeof reply)
        || reply[libsock::FRAME_HEADER_SIZE + libsock::PACKET_HEADER_SIZE] != 0
        || !sendAll(fd, controlFrame(start))) {
        ::close(fd);
        return -1;
    }
    return fd;
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

bool CBenchRunner::measureIsolation()
{
    note(QStringLiteral("figure 4: %1 logins while a %2 MiB download stalls")
             .arg(logins)
             .arg(sizeMiB));
    const QString save = server->storageDir() + QLatin1Char('/') + SAVE_NAME + QStringLiteral(".z");
    if (!createSave(save, sizeMiB * 1024 * 1024) || !startServer(NO_ADDRESS_CAP))
        return false;
    std::vector<qint64> quiet;
    std::vector<qint64> loaded;
    bool ok = loginRoundTrips(logins, quiet);
    const int stalled = ok ? openStalledDownload(SAVE_NAME) : -1;
    ok = ok && stalled >= 0;
    if (ok) {
        // Let the server fill every queue up to the stalled reader.
        int queued = -1;
        int steady = 0;
        waitUntil(
            [&] {
                int now = 0;
                ::ioctl(stalled, FIONREAD, &now);
                steady = now == queued ? steady + 1 : 0;
                queued = now;
                return steady >= 20;
            },
            10000);
        note(QStringLiteral("  stalled reader holds %1 KiB unread").arg(queued / 1024));
        ok = loginRoundTrips(logins, loaded);
        ::close(stalled);
    }
    if (!stopServer() || !ok)
        return false;
    const qint64 p99 = percentile(loaded, 0.99);
    Row row;
    row.figure = QStringLiteral("4 login round trip, %1 MiB download stalled").arg(sizeMiB);
    row.measured = QStringLiteral("p50 %1 ms, p99 %2 ms").arg(ms(percentile(loaded, 0.5)), ms(p99));
    row.yardstick = QStringLiteral("p50 %1 ms, p99 %2 ms quiet")
                        .arg(ms(percentile(quiet, 0.5)), ms(percentile(quiet, 0.99)));
    row.ratio = QString::number(double(p99) / 1e6 / MAX_P99_MS, 'f', 2);
    row.target = QStringLiteral("p99 <= 50 ms (ratio to it <= 1)");
    row.met = double(p99) / 1e6 <= MAX_P99_MS;
    rows.push_back(row);
    return true;
}

bool CBenchRunner::loginsWhile(
    const std::function<bool()> &loaded, std::vector<qint64> &nanoseconds)
{
    CProtoClient client;
    if (!client.connectToServer(LOCALHOST, server->mainPort()))
        return false;
    nanoseconds.clear();
    for (int i = 0; loaded(); ++i) {
        const int index = i % users + 1;
        QElapsedTimer clock;
        clock.start();
        if (!client.login(userName(index), password(index))
            || client.result() != libsock::RESULT_OK)
            return false;
        // A round trip that ended after the load did is not counted.
        if (loaded())
            nanoseconds.push_back(clock.nsecsElapsed());
    }
    std::sort(nanoseconds.begin(), nanoseconds.end());
    return !nanoseconds.empty();
}

bool CBenchRunner::loadedLoginRow(
    const QString &load, const std::vector<qint64> &idle, const std::vector<qint64> &loaded)
{
    const qint64 worst = loaded.back();
    const qint64 p99 = percentile(loaded, 0.99);
    const qint64 idleP99 = percentile(idle, 0.99);
    Row row;
    row.figure = QStringLiteral("8 login round trip, %1").arg(load);
    row.measured = QStringLiteral("p99 %1 ms, worst %2 ms (%3 logins)")
                       .arg(ms(p99), ms(worst))
                       .arg(loaded.size());
    row.yardstick = QStringLiteral("p99 %1 ms, worst %2 ms idle (%3 logins)")
                        .arg(ms(idleP99), ms(idle.back()))
                        .arg(idle.size());
    row.ratio = QString::number(double(worst) / 1e6 / MAX_LOADED_WORST_MS, 'f', 2);
    row.target = QStringLiteral("worst < 50 ms, p99 <= idle p99 + 5 ms");
    row.met = double(worst) / 1e6 < MAX_LOADED_WORST_MS
        && double(p99 - idleP99) / 1e6 <= MAX_LOADED_P99_EXCESS_MS;
    rows.push_back(row);
    return true;
}

bool CBenchRunner::addPurgeVictims()
{
    bool ok = openDirect(QStringLiteral("bench-purge"), server->databaseFile());
    QString error;
    if (ok) {
        QSqlDatabase db = QSqlDatabase::database(QStringLiteral("bench-purge"));
        ok = CPurgeLoad::addInactiveUsers(db, PURGED_USERS, &error);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-purge"));
    if (!ok)
        note(QStringLiteral("cannot add the users to purge: %1").arg(error));
    return ok;
}

bool CBenchRunner::measureLoadedLogins()
{
    note(QStringLiteral("figure 8: one client's logins while two clients upload %1 MiB saves, "
                        "and while %2 inactive users are purged")
             .arg(sizeMiB)
             .arg(PURGED_USERS));
    const QString source = server->path(QStringLiteral("upload-source"));
    if (!createSave(source, sizeMiB * 1024 * 1024) || !addPurgeVictims()
        || !startServer(NO_ADDRESS_CAP))
        return false;
    std::vector<qint64> idle;
    std::vector<qint64> loaded;
    bool ok = loginRoundTrips(logins, idle);
    if (ok) {
        // Every round trip from the first byte of the uploads to the end of their commits.
        CUploadLoad uploads(server->filePort(), source);
        uploads.start(2, SAVE_NAME + QStringLiteral("-load"));
        ok = loginsWhile([&uploads] { return uploads.running(); }, loaded);
        if (!uploads.finish()) {
            note(QStringLiteral("uploads: %1").arg(uploads.errorText()));
            ok = false;
        }
    }
    ok = ok && loadedLoginRow(QStringLiteral("two %1 MiB uploads").arg(sizeMiB), idle, loaded);
    if (ok) {
        CPurgeLoad purge(server->path(QStringLiteral("bin/tolvern-server")), server->iniPath(),
            server->path(QStringLiteral("work")));
        purge.start();
        ok = loginsWhile([&purge] { return purge.running(); }, loaded);
        if (!purge.finish(PURGED_USERS)) {
            note(QStringLiteral("purge: %1").arg(purge.errorText()));
            ok = false;
        }
        ok = ok
            && loadedLoginRow(
                QStringLiteral("purge of %1 inactive users").arg(PURGED_USERS), idle, loaded);
    }
    QFile::remove(source);
    return stopServer() && ok;
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

bool CBenchRunner::fillServerLog(const QByteArray &request)
{
    const int fd = openControlSocket();
    if (fd < 0)
        return false;
    timeval limit {};
    limit.tv_sec = 60;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    // Sent by a thread while this one reads every reply, so neither side waits on the other.
    QByteArray all;
    all.reserve(qsizetype(request.size()) * LOG_FILL_LINES);
    for (int i = 0; i < LOG_FILL_LINES; ++i)
        all += request;
    std::thread sender([fd, &all] { sendAll(fd, all); });
    QByteArray replies(qsizetype(LOG_FILL_LINES) * LOGIN_REPLY_SIZE, Qt::Uninitialized);
    const bool ok = receiveExactly(fd, replies.data(), replies.size());
    ::shutdown(fd, SHUT_RDWR);
    sender.join();
    ::close(fd);
    note(QStringLiteral("  server log filled with %1 lines").arg(LOG_FILL_LINES));
    return ok;
}

bool CBenchRunner::measureFlood()
{
    note(QStringLiteral("figure 6: %1 logins during a flood of %2 pipelined login packets")
             .arg(logins)
             .arg(floodPackets));
    if (!startServer(NO_LOCKS))
        return false;
    std::vector<qint64> quiet;
    std::vector<qint64> loaded;
    // Warms up as well: the first login loads what every later one shares.
    // One login packet of 28 bytes, the whole flood built up front.
    libsock::CProtoPacket login;
    CProtoClient::loginRequest(login, QStringLiteral("a"), QStringLiteral("b"));
    const QByteArray one(login.data(), login.totalLength());
    QByteArray flood;
    flood.reserve(qsizetype(one.size()) * floodPackets);
    for (int i = 0; i < floodPackets; ++i)
        flood += one;

    // The server's log keeps its last lines up to a bound; fill it first, as on a server
    // that has run a while, so that what grows below is what the flood itself holds.
    bool ok = fillServerLog(one) && loginRoundTrips(logins, quiet);
    pause(1000);
    const qint64 before = server->residentKiB();

    const int floodFd = ok ? openControlSocket() : -1;
    ok = ok && floodFd >= 0;
    std::atomic<qint64> sent { 0 };
    std::thread flooder;
    qint64 peak = before;
    qint64 floodSent = 0;
    if (ok) {
        // The flooder writes everything and reads nothing; it blocks once TCP holds it back.
        flooder = std::thread([&sent, &flood, floodFd] {
            const char *data = flood.constData();
            qint64 left = flood.size();
            while (left > 0) {
                const ssize_t n
                    = ::send(floodFd, data, size_t(qMin<qint64>(left, 65536)), MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                data += n;
                left -= n;
                sent += n;
            }
        });
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, &sampler,
            [&] { peak = qMax(peak, server->residentKiB()); });
        sampler.start(50);
        waitUntil([&] { return sent.load() > 1024 * 1024; }, 10000);
        // Logins in rounds, for as long as the flood still makes headway, and at least once.
        qint64 lastSent = -1;
        QElapsedTimer still;
        still.start();
        QElapsedTimer total;
        total.start();
        while (ok && total.elapsed() < 60000) {
            std::vector<qint64> round;
            ok = loginRoundTrips(logins, round);
            loaded.insert(loaded.end(), round.begin(), round.end());
            if (sent.load() != lastSent) {
                lastSent = sent.load();
                still.restart();
            } else if (still.elapsed() > 2000) {
                break;
            }
        }
        pause(500);
        peak = qMax(peak, server->residentKiB());
        floodSent = sent.load();
        ::shutdown(floodFd, SHUT_RDWR);
        flooder.join();
    }
    if (floodFd >= 0)
        ::close(floodFd);
    note(QStringLiteral("  flood sent %1 of %2 MiB before TCP held it back; RSS %3 -> peak %4 KiB")
             .arg(mib(double(floodSent)), 0, 'f', 1)
             .arg(mib(double(flood.size())), 0, 'f', 1)
             .arg(before)
             .arg(peak));
    if (!stopServer() || !ok || loaded.empty())
        return false;
    std::sort(loaded.begin(), loaded.end());
    const qint64 p99 = percentile(loaded, 0.99);
    Row latency;
    latency.figure
        = QStringLiteral("6 login round trip during a %1-packet flood").arg(floodPackets);
    latency.measured = QStringLiteral("p50 %1 ms, p99 %2 ms (%3 logins)")
                           .arg(ms(percentile(loaded, 0.5)), ms(p99))
                           .arg(loaded.size());
    latency.yardstick = QStringLiteral("p50 %1 ms, p99 %2 ms quiet")
                            .arg(ms(percentile(quiet, 0.5)), ms(percentile(quiet, 0.99)));
    latency.ratio = QString::number(double(p99) / 1e6 / MAX_P99_MS, 'f', 2);
    latency.target = QStringLiteral("p99 < 50 ms (ratio to it < 1)");
    latency.met = double(p99) / 1e6 < MAX_P99_MS;
    rows.push_back(latency);

    const double growth = double(peak - before) * 1024.0;
    Row memory;
    memory.figure = QStringLiteral("6 server growth during the flood");
    memory.measured = QStringLiteral("%1 MB").arg(growth / 1e6, 0, 'f', 2);
    memory.yardstick
        = QStringLiteral("%1 MB resident before").arg(double(before) * 1024 / 1e6, 0, 'f', 1);
    memory.ratio = QString::number(growth / MAX_FLOOD_GROWTH, 'f', 2);
    memory.target = QStringLiteral("< 4 MB (ratio to it < 1)");
    memory.met = growth < MAX_FLOOD_GROWTH;
    rows.push_back(memory);
    return true;
}

bool CBenchRunner::guessPasswords(qint64 &tested, double &perSecond)
{
    const int fd = openControlSocket();
    if (fd < 0)
        return false;
    const auto login = [](const QString &name, const QString &password) {
        libsock::CProtoPacket packet;
        CProtoClient::loginRequest(packet, name, password);
        return QByteArray(packet.data(), packet.totalLength());
    };
    // Four wrong guesses, then the right password: its success proves the four were tested,
    // and a refusal that the server stopped testing. Rounds are sent 32 at a time.
    constexpr int WRONG_PER_ROUND = 4;
    constexpr int ROUNDS_PER_BATCH = 32;
    constexpr int REPLY_SIZE = libsock::PACKET_HEADER_SIZE + 5;
    const QString name = userName(1);
    const QByteArray right = login(name, password(1));
    tested = 0;
    qint64 answered = 0;
    qint64 guess = 0;
    bool locked = false;
    bool ok = true;
    QElapsedTimer clock;
    clock.start();
    QByteArray replies(ROUNDS_PER_BATCH * (WRONG_PER_ROUND + 1) * REPLY_SIZE, Qt::Uninitialized);
    while (ok && clock.elapsed() < qint64(seconds) * 1000) {
        QByteArray batch;
        for (int round = 0; round < ROUNDS_PER_BATCH; ++round) {
            for (int i = 0; i < WRONG_PER_ROUND; ++i)
                batch += login(name, QStringLiteral("guess%1").arg(++guess));
            batch += right;
        }
        ok = sendAll(fd, batch) && receiveExactly(fd, replies.data(), replies.size());
        for (int round = 0; ok && round < ROUNDS_PER_BATCH; ++round) {
            const int rightReply = (round * (WRONG_PER_ROUND + 1) + WRONG_PER_ROUND) * REPLY_SIZE;
            locked = locked || replies.at(rightReply + libsock::PACKET_HEADER_SIZE) != 0;
            if (!locked)
                tested += WRONG_PER_ROUND;
        }
        answered += ROUNDS_PER_BATCH * (WRONG_PER_ROUND + 1);
    }
    perSecond = double(tested) * 1000.0 / double(qMax<qint64>(1, clock.elapsed()));
    ::close(fd);
    note(QStringLiteral("  %1 logins answered, %2 guesses tested, %3 /s%4")
             .arg(answered)
             .arg(tested)
             .arg(perSecond, 0, 'f', 1)
             .arg(locked ? QStringLiteral(", then locked") : QString()));
    return ok;
}

bool CBenchRunner::measureGuesses()
{
    note(QStringLiteral("figure 5: password guesses one client tests in %1 s").arg(seconds));
    qint64 testedBefore = 0;
    qint64 testedAfter = 0;
    double before = 0;
    double after = 0;
    note(QStringLiteral("  without lockout:"));
    bool ok = startServer(NO_LOCKS) && guessPasswords(testedBefore, before);
    ok = stopServer() && ok;
    note(QStringLiteral("  with the default lockout:"));
    ok = ok && startServer(NO_ADDRESS_CAP) && guessPasswords(testedAfter, after);
    ok = stopServer() && ok;
    if (!ok || before <= 0)
        return false;
    Row row;
    row.figure = QStringLiteral("5 password guesses tested, one client, %1 s").arg(seconds);
    row.measured = QStringLiteral("%1 /s (%2 in all)").arg(after, 0, 'f', 2).arg(testedAfter);
    row.yardstick = QStringLiteral("%1 /s without lockout (%2 in all)")
                        .arg(before, 0, 'f', 0)
                        .arg(testedBefore);
    row.ratio = QString::number(after / before, 'g', 2);
    row.target = QStringLiteral("ratio <= 0.001");
    row.met = after / before <= MAX_GUESS_RATIO;
    rows.push_back(row);
    return true;
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

qint64 CBenchRunner::syncsSoFar() const
{
    if (probeLog.isEmpty())
        return 0;
    QFile file(probeLog);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readAll().count('\n');
}

bool CBenchRunner::syncOnce(QFile &file, std::vector<qint64> &times)
{
    static const QByteArray page(4096, 'x');
    QElapsedTimer clock;
    clock.start();
    if (file.write(page) != page.size() || !file.flush() || ::fdatasync(file.handle()) != 0)
        return false;
    times.push_back(clock.nsecsElapsed());
    return true;
}

bool CBenchRunner::clientRate(bool adding, const QString &prefix, double &rate)
{
    bool running = true;
    qint64 answered = 0;
    qint64 refused = 0;
    int errors = 0;
    qint64 counter = 0;
    std::vector<std::unique_ptr<CProtoClient>> pool;
    const auto sendNext = [&](CProtoClient *client) {
        if (adding) {
            client->sendAddUser(prefix + QString::number(++counter), QStringLiteral("pw"));
        } else {
            const int index = int(random.bounded(users)) + 1;
            client->sendLogin(userName(index), password(index));
        }
    };
    for (int i = 0; i < clients; ++i) {
        auto client = std::make_unique<CProtoClient>();
        if (!client->connectToServer(LOCALHOST, server->mainPort()))
            return false;
        CProtoClient *raw = client.get();
        QObject::connect(raw, &CProtoClient::replyReceived, raw, [&, raw](quint8 result) {
            if (result == libsock::RESULT_OK)
                ++answered;
            else
                ++refused;
            if (running)
                sendNext(raw);
        });
        QObject::connect(raw, &CProtoClient::failed, raw, [&errors] { ++errors; });
        pool.push_back(std::move(client));
    }
    QElapsedTimer clock;
    clock.start();
    for (const auto &client : pool)
        sendNext(client.get());
    pause(seconds * 1000);
    running = false;
    const bool idle = waitUntil(
        [&pool] {
            return std::none_of(
                pool.begin(), pool.end(), [](const auto &c) { return c->isBusy(); });
        },
        WAIT_TIMEOUT_MS);
    rate = double(answered) / (double(clock.nsecsElapsed()) / 1e9);
    if (errors || refused)
        note(QStringLiteral("  %1 clients failed, %2 requests refused").arg(errors).arg(refused));
    return idle && !errors && !refused;
}

bool CBenchRunner::commitRun(CommitRun &run)
{
    note(QStringLiteral("  durable group commit:"));
    if (!probeLog.isEmpty())
        QFile::remove(probeLog);
    if (!startServer(NO_LOCKS))
        return false;
    bool ok = true;
    const qint64 syncsBefore = syncsSoFar();
    const QString prefix = QStringLiteral("gc");
    qint64 syncsMark = syncsSoFar();
    double rate = 0;
    ok = clientRate(false, prefix, rate);
    run.logins = rate;
    qint64 done = qint64(rate * seconds);
    run.loginSyncsPer1000 = done > 0 ? double(syncsSoFar() - syncsMark) * 1000.0 / double(done) : 0;
    syncsMark = syncsSoFar();
    ok = ok && clientRate(true, prefix + QStringLiteral("add"), rate);
    run.adds = rate;
    done = qint64(rate * seconds);
    run.addSyncsPer1000 = done > 0 ? double(syncsSoFar() - syncsMark) * 1000.0 / double(done) : 0;

    // A plain blocking client: the round trip is the server's, not a client event loop's.
    CLoginLoad lone;
    std::vector<qint64> times;
    ok = ok && lone.connectClients({ server->mainPort() }, 1);
    int added = 0;
    const auto nextAdd = [&](libsock::CProtoPacket &packet) {
        CProtoClient::addUserRequest(
            packet, prefix + QStringLiteral("lone%1").arg(added++), QStringLiteral("pw"));
    };
    // The yardstick's syncs in turns with the add-users: both meet the disk in the same state,
    // also while it still writes back what the runs above left. A sync right behind another
    // one takes longer: the yardstick's waits a moment after the server's, and the add-user
    // follows the yardstick's at once.
    QFile yardstick(server->path(QStringLiteral("work/db/sync-yardstick")));
    std::vector<qint64> syncTimes;
    ok = ok && yardstick.open(QIODevice::WriteOnly | QIODevice::Truncate);
    for (int i = 0; ok && i < LONE_ADDS; ++i) {
        std::this_thread::sleep_for(LONE_PAUSE);
        ok = syncOnce(yardstick, syncTimes);
        QElapsedTimer clock;
        clock.start();
        quint8 result = 0xFF;
        ok = ok && lone.exchange(nextAdd, WAIT_TIMEOUT_MS, &result) && result == libsock::RESULT_OK;
        times.push_back(clock.nsecsElapsed());
    }
    if (!ok)
        note(QStringLiteral("lone client: %1").arg(lone.errorText()));
    yardstick.remove();
    std::sort(times.begin(), times.end());
    std::sort(syncTimes.begin(), syncTimes.end());
    run.loneAddP50 = percentile(times, 0.5);
    run.syncP50 = ok ? percentile(syncTimes, 0.5) : 0;
    ok = stopServer() && ok;
    note(QStringLiteral("    logins %1 /s (%2 syncs per 1000), add-users %3 /s (%4 syncs per "
                        "1000), lone add-user p50 %5 ms, %6 syncs in all")
             .arg(run.logins, 0, 'f', 0)
             .arg(run.loginSyncsPer1000, 0, 'f', 1)
             .arg(run.adds, 0, 'f', 0)
             .arg(run.addSyncsPer1000, 0, 'f', 1)
             .arg(ms(run.loneAddP50))
             .arg(syncsSoFar() - syncsBefore));
    return ok;
}

bool CBenchRunner::directCommits(DirectRates &rates)
{
    // On SQLite a copy of the server's file, with the server's journal and cache settings.
    const QString copy = server->path(QStringLiteral("direct-commits.db"));
    if (databaseUrl.isEmpty()) {
        QFile::remove(copy);
        if (!QFile::copy(server->databaseFile(), copy))
            return false;
    }
    const QString name = QStringLiteral("bench-direct-commits");
    bool ok = openDirect(name, copy);
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (ok && databaseUrl.isEmpty()) {
            QSqlQuery(db).exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
            QSqlQuery(db).exec(
                QStringLiteral("PRAGMA cache_size=-%1").arg(CUserDbConnection::SQLITE_CACHE_KIB));
        } else if (ok) {
            QSqlQuery(db).exec(QStringLiteral("SET synchronous_commit TO off"));
        }
        qint64 count = 0;
        QElapsedTimer clock;
        clock.start();
        ok = ok && directLogins(name, seconds * 1000, count);
        rates.logins = double(count) / (double(clock.nsecsElapsed()) / 1e9);
        // An add-user as one transaction of its own: the next id, the name check, the row.
        const QString begin
            = databaseUrl.isEmpty() ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN");
        QSqlQuery next(db);
        QSqlQuery lookup(db);
        QSqlQuery insert(db);
        ok = ok
            && next.prepare(QStringLiteral("UPDATE t_user_seq SET last_id = last_id + 1 "
                                           "RETURNING last_id"))
            && lookup.prepare(QStringLiteral("select object_id from t_user where name = ?"))
            && insert.prepare(QStringLiteral("insert into t_user (object_id, name, password, "
                                             "is_enabled) values (?, ?, ?, 'Y')"));
        count = 0;
        clock.restart();
        while (ok && clock.elapsed() < seconds * 1000) {
            ok = QSqlQuery(db).exec(begin) && next.exec() && next.next();
            const int id = ok ? next.value(0).toInt() : 0;
            next.finish();
            const QString user = QStringLiteral("direct%1").arg(count);
            lookup.addBindValue(user);
            ok = ok && lookup.exec() && !lookup.next();
            lookup.finish();
            insert.addBindValue(id);
            insert.addBindValue(user);
            insert.addBindValue(QStringLiteral("pw"));
            ok = ok && insert.exec() && QSqlQuery(db).exec(QStringLiteral("COMMIT"));
            ++count;
        }
        rates.adds = double(count) / (double(clock.nsecsElapsed()) / 1e9);
        if (!ok)
            note(QStringLiteral("  direct SQL failed: %1").arg(db.lastError().text()));
        note(QStringLiteral("  direct SQL, synchronous=NORMAL: logins %1 /s, add-users %2 /s")
                 .arg(rates.logins, 0, 'f', 0)
                 .arg(rates.adds, 0, 'f', 0));
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    QFile::remove(copy);
    return ok;
}

bool CBenchRunner::measureGroupCommit()
{
    note(QStringLiteral("figure 7: durable group commit, %1 clients, %2 s each")
             .arg(clients)
             .arg(seconds));
    const QString probe = QStringLiteral(TOLVERN_SYNCPROBE_PATH);
    if (!databaseUrl.isEmpty()) {
        note(QStringLiteral("  syncs happen inside PostgreSQL; they are not counted here"));
    } else if (QFileInfo::exists(probe)) {
        probeLog = server->path(QStringLiteral("syncs.log"));
        server->setEnvironment(QStringLiteral("LD_PRELOAD"), QFileInfo(probe).canonicalFilePath());
        server->setEnvironment(QStringLiteral("TOLVERN_PROBE_FILE"), probeLog);
    } else {
        note(QStringLiteral("  %1 missing: syncs are not counted").arg(probe));
    }
    server->setHeadless(true);
    CommitRun durable;
    bool ok = commitRun(durable);
    const qint64 sync = durable.syncP50;
    server->setEnvironment(QStringLiteral("LD_PRELOAD"), QString());
    server->setEnvironment(QStringLiteral("TOLVERN_PROBE_FILE"), QString());
    server->setHeadless(false);
    // The yardstick: the same logins and add-users one statement at a time, straight on the
    // database, with syncs as far apart as synchronous=NORMAL leaves them.
    DirectRates direct;
    ok = ok && directCommits(direct);
    if (!ok || direct.logins <= 0 || direct.adds <= 0 || sync <= 0)
        return false;
    const QString engine
        = databaseUrl.isEmpty() ? QStringLiteral("SQLite") : QStringLiteral("PostgreSQL");
    const bool counted = !probeLog.isEmpty();
    const auto syncs = [counted](double perThousand) {
        return counted ? QStringLiteral(", %1 syncs/1000").arg(perThousand, 0, 'f', 1) : QString();
    };
    Row logins;
    logins.figure = QStringLiteral("7 durable logins/s, group commit (%1, %2 clients)")
                        .arg(engine)
                        .arg(clients);
    logins.measured = QStringLiteral("%1 /s%2")
                          .arg(durable.logins, 0, 'f', 0)
                          .arg(syncs(durable.loginSyncsPer1000));
    logins.yardstick = QStringLiteral("%1 /s direct SQL NORMAL").arg(direct.logins, 0, 'f', 0);
    logins.ratio = QString::number(durable.logins / direct.logins, 'f', 2);
    logins.target = QStringLiteral("ratio >= %1").arg(MIN_GROUP_LOGIN_RATIO, 0, 'f', 1);
    logins.met = durable.logins / direct.logins >= MIN_GROUP_LOGIN_RATIO;
    rows.push_back(logins);

    Row adds;
    adds.figure = QStringLiteral("7 durable add-users/s, group commit (%1, %2 clients)")
                      .arg(engine)
                      .arg(clients);
    adds.measured = QStringLiteral("%1 /s%2")
                        .arg(durable.adds, 0, 'f', 0)
                        .arg(syncs(durable.addSyncsPer1000));
    adds.yardstick = QStringLiteral("%1 /s direct SQL NORMAL").arg(direct.adds, 0, 'f', 0);
    adds.ratio = QString::number(durable.adds / MIN_ADD_RATE, 'f', 2);
    adds.target = QStringLiteral(">= %1 /s (ratio to it >= 1)").arg(MIN_ADD_RATE, 0, 'f', 0);
    adds.met = durable.adds >= MIN_ADD_RATE;
    rows.push_back(adds);

    Row lone;
    lone.figure = QStringLiteral("7 lone client's durable add-user round trip (%1)").arg(engine);
    lone.measured = QStringLiteral("p50 %1 ms").arg(ms(durable.loneAddP50));
    lone.yardstick = QStringLiteral("p50 %1 ms one 4 KiB write + fdatasync").arg(ms(sync));
    lone.ratio = QString::number(double(durable.loneAddP50) / double(sync), 'f', 2);
    lone.target = QStringLiteral("ratio <= %1").arg(MAX_LONE_ADD_SYNCS, 0, 'f', 0);
    lone.met = double(durable.loneAddP50) / double(sync) <= MAX_LONE_ADD_SYNCS;
    rows.push_back(lone);
    return true;
}
