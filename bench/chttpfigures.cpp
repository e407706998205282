#include "chttpfigures.h"

#include <algorithm>
#include <memory>
#include <poll.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QStringList>
#include <QUrl>

#include "benchutil.h"
#include "cadmintoken.h"
#include "cbenchrunner.h"
#include "chttpbenchclient.h"
#include "cloginload.h"
#include "cportreservation.h"
#include "cprotoclient.h"
#include "cprotopacket.h"
#include "cserverprocess.h"
#include "cuserdb.h"
#include "cuserdbconfig.h"

using namespace benchutil;
using libsock::CProtoClient;

namespace {

constexpr int SCRAPE_INTERVAL_MS = 100;
constexpr int WATCHERS = 10;
constexpr double MAX_SCRAPE_COST = 0.03;
constexpr double MAX_WATCHER_COST = 0.02;
constexpr double MAX_PAGE_P99_MS = 50;
constexpr int PAGE_SIZE = 100;
// Pages timed, each with its twin read straight from the database.
constexpr int PAGES = 400;

struct PageQuery
{
    QString filter;
    QString sort; // as the API takes it: "-name" is by name, descending
    int offset = 0;
};

// The filters an operator types: most users, a digit run (ids and names), a few letters in
// another case, and a rare one.
QStringList pageFilters(int users)
{
    return { QStringLiteral("user0"), QStringLiteral("12"), QStringLiteral("USER01"),
        QString::number(users / 7 % 10000 + 10000).right(4) };
}

const QStringList PAGE_SORTS
    = { QStringLiteral("id"), QStringLiteral("-id"), QStringLiteral("name"),
          QStringLiteral("-name"), QStringLiteral("lastLogin"), QStringLiteral("-lastLogin") };

// Processor time of the calling thread.
qint64 threadCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Processor time of the server's threads that serve the HTTP port: libmicrohttpd's and the
// admin service's.
double httpThreadsSeconds(qint64 pid)
{
    double sum = 0;
    const QString base = QStringLiteral("/proc/%1/task/").arg(pid);
    for (const QString &task : QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(base + task + QStringLiteral("/comm"));
        if (!comm.open(QIODevice::ReadOnly))
            continue;
        const QByteArray name = comm.readAll().trimmed();
        if (name.startsWith("MHD-") || name == "tolvern-admin")
            sum += statSeconds(base + task + QStringLiteral("/stat"));
    }
    return sum;
}

CUserDb::UserPage userPage(const PageQuery &query)
{
    CUserDb::UserPage page;
    page.filter = query.filter;
    const QString sort = query.sort.startsWith(QLatin1Char('-')) ? query.sort.mid(1) : query.sort;
    page.descending = query.sort.startsWith(QLatin1Char('-'));
    page.sort = sort == QLatin1String("name") ? CUserDb::UserPage::ByName
        : sort == QLatin1String("lastLogin")  ? CUserDb::UserPage::ByLastLogin
                                              : CUserDb::UserPage::ById;
    page.offset = query.offset;
    page.limit = PAGE_SIZE;
    return page;
}

QByteArray pagePath(const PageQuery &query)
{
    return "/api/v1/users?filter=" + QUrl::toPercentEncoding(query.filter)
        + "&sort=" + QUrl::toPercentEncoding(query.sort)
        + "&offset=" + QByteArray::number(query.offset) + "&limit=" + QByteArray::number(PAGE_SIZE);
}

} // namespace

CHttpFigures::CHttpFigures(CBenchRunner &runner)
    : bench(runner)
{
}

bool CHttpFigures::measure()
{
    bench.note(QStringLiteral("figure 13: the HTTP port beside %1 login clients, %2 users, "
                              "headless")
                   .arg(bench.clients)
                   .arg(bench.users));
    CPortReservation reservation;
    httpPort = reservation.port();
    token = CAdminToken::generate();
    bench.server->setHeadless(true);
    bool ok = httpPort != 0
        && bench.startServer(NO_ADDRESS_CAP
            + QStringLiteral("[Admin]\nHttpPort=%1\nTokenHash=%2\n")
                  .arg(httpPort)
                  .arg(CAdminToken::hash(token)));
    // The port listens a little after the players' ports do.
    CHttpBenchClient probe;
    ok = ok && waitUntil([&] { return probe.connectTo(httpPort); }, WAIT_TIMEOUT_MS);

    SideLoad scrapes;
    scrapes.run = [this](const std::atomic<bool> &stop) {
        CHttpBenchClient client;
        auto next = std::chrono::steady_clock::now();
        while (!stop.load()) {
            int status = 0;
            QByteArray body;
            if ((client.fd() >= 0 || client.connectTo(httpPort))
                && (!client.get("/metrics", QByteArray(), &status, &body) || status != 200))
                bench.note(QStringLiteral("a scrape failed: %1").arg(client.errorText()));
            next += std::chrono::milliseconds(SCRAPE_INTERVAL_MS);
            std::this_thread::sleep_until(next);
        }
    };
    ok = ok
        && loginCost(QStringLiteral("/metrics scraped every %1 ms").arg(SCRAPE_INTERVAL_MS),
            scrapes, MAX_SCRAPE_COST);

    std::vector<std::unique_ptr<CHttpBenchClient>> watchers;
    qint64 streamed = 0;
    SideLoad watching;
    watching.prepare = [&] {
        watchers.clear();
        for (int i = 0; i < WATCHERS; ++i) {
            watchers.push_back(std::make_unique<CHttpBenchClient>());
            if (!watchers.back()->connectTo(httpPort)
                || !watchers.back()->openStream("/api/v1/log/stream", token)) {
                bench.note(QStringLiteral("log watcher: %1").arg(watchers.back()->errorText()));
                return false;
            }
        }
        return true;
    };
    watching.run = [&](const std::atomic<bool> &stop) {
        std::vector<pollfd> fds;
        for (const auto &watcher : watchers)
            fds.push_back(pollfd { watcher->fd(), POLLIN, 0 });
        while (!stop.load()) {
            if (::poll(fds.data(), nfds_t(fds.size()), 100) <= 0)
                continue;
            for (size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].revents)
                    streamed += qMax<qint64>(0, watchers[i]->drain());
            }
        }
    };
    watching.finish = [&] { watchers.clear(); };
    ok = ok
        && loginCost(
            QStringLiteral("%1 live-log watchers").arg(WATCHERS), watching, MAX_WATCHER_COST);
    if (ok)
        bench.note(QStringLiteral("  the watchers read %1 MiB of log events")
                       .arg(mib(double(streamed)), 0, 'f', 1));

    ok = ok && measurePages();
    ok = bench.stopServer() && ok;
    bench.server->setHeadless(false);
    return ok;
}

bool CHttpFigures::loginCost(const QString &what, const SideLoad &side, double maxCost)
{
    bench.note(QStringLiteral("  logins with %1, %2 s, and without, in alternating turns")
                   .arg(what)
                   .arg(bench.seconds));
    CLoginLoad load;
    if (!load.connectClients({ bench.server->mainPort() }, bench.clients)) {
        bench.note(QStringLiteral("login clients: %1").arg(load.errorText()));
        return false;
    }
    const auto nextLogin = [this](libsock::CProtoPacket &packet) {
        const int index = int(bench.random.bounded(bench.users)) + 1;
        CProtoClient::loginRequest(packet, bench.userName(index), bench.password(index));
    };
    // One-second turns with and without the side load: both see the same neighbours. ABBA
    // order, so neither side always follows the other. On a shared machine the rates swing
    // with the neighbours' load far more than by a few percent, so the figure judged is the
    // share of the server's processor time its HTTP threads took while the logins ran: on a
    // busy server, the logins per second it costs. The rates are shown beside it.
    qint64 counts[2] = { 0, 0 };
    double times[2] = { 0, 0 };
    double serverCpu[2] = { 0, 0 };
    double httpCpu[2] = { 0, 0 };
    bool ok = true;
    const qint64 pid = bench.server->processId();
    for (int turn = 0; ok && turn < 2 * bench.seconds; ++turn) {
        const bool with = (turn % 4 == 0) || (turn % 4 == 3);
        if (with && side.prepare && !side.prepare())
            return false;
        std::atomic<bool> stop { false };
        std::thread thread;
        if (with)
            thread = std::thread([&side, &stop] { side.run(stop); });
        const qint64 before = load.answered();
        const double cpuBefore = processSeconds(pid);
        const double httpBefore = httpThreadsSeconds(pid);
        QElapsedTimer clock;
        clock.start();
        ok = load.run(1000, WAIT_TIMEOUT_MS, nextLogin);
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        const double cpu = processSeconds(pid) - cpuBefore;
        const double http = httpThreadsSeconds(pid) - httpBefore;
        stop = true;
        if (thread.joinable())
            thread.join();
        if (with && side.finish)
            side.finish();
        const qint64 answered = load.answered() - before;
        counts[with] += answered;
        times[with] += seconds;
        serverCpu[with] += cpu;
        httpCpu[with] += http;
        bench.note(QStringLiteral("  turn %1 %2: %3 logins/s, server %4 us a login")
                       .arg(turn + 1)
                       .arg(with ? QStringLiteral("with") : QStringLiteral("without"))
                       .arg(double(answered) / seconds, 0, 'f', 0)
                       .arg(answered ? cpu * 1e6 / double(answered) : 0.0, 0, 'f', 1));
        if (!ok)
            bench.note(QStringLiteral("login clients: %1").arg(load.errorText()));
    }
    if (load.refused())
        bench.note(QStringLiteral("%1 logins refused").arg(load.refused()));
    if (!ok || load.refused() || counts[0] == 0 || counts[1] == 0 || serverCpu[1] <= 0)
        return false;
    const double withRate = double(counts[1]) / times[1];
    const double withoutRate = double(counts[0]) / times[0];
    const double withUs = serverCpu[1] * 1e6 / double(counts[1]);
    const double withoutUs = serverCpu[0] * 1e6 / double(counts[0]);
    const double cost = httpCpu[1] / serverCpu[1];
    bench.note(QStringLiteral("  with: %1 logins/s, server %2 us a login, HTTP threads %3 s of "
                              "%4 s; without: %5 logins/s, %6 us a login, HTTP threads %7 s")
                   .arg(withRate, 0, 'f', 0)
                   .arg(withUs, 0, 'f', 1)
                   .arg(httpCpu[1], 0, 'f', 2)
                   .arg(serverCpu[1], 0, 'f', 2)
                   .arg(withoutRate, 0, 'f', 0)
                   .arg(withoutUs, 0, 'f', 1)
                   .arg(httpCpu[0], 0, 'f', 2));
    CBenchRunner::Row row;
    row.figure = QStringLiteral("13 cost to logins of %1 (%2 users, %3 clients, %4 s each)")
                     .arg(what)
                     .arg(bench.users)
                     .arg(bench.clients)
                     .arg(bench.seconds);
    row.measured = QStringLiteral("%1 % of server CPU (%2 logins/s)")
                       .arg(cost * 100, 0, 'f', 2)
                       .arg(withRate, 0, 'f', 0);
    row.yardstick = QStringLiteral("%1 logins/s without").arg(withoutRate, 0, 'f', 0);
    row.ratio = QString::number(cost / maxCost, 'f', 2);
    row.target = QStringLiteral("< %1 %").arg(maxCost * 100, 0, 'f', 0);
    row.met = cost < maxCost;
    bench.rows.push_back(row);
    return true;
}

bool CHttpFigures::measurePages()
{
    // The yardstick: the same pages through the server's own code on a connection of this
    // process, no HTTP in between.
    CUserDbConfig config;
    QString error;
    if (bench.databaseUrl.isEmpty())
        config = CUserDbConfig::sqlite(bench.server->databaseFile());
    else if (!CUserDbConfig::fromUrl(bench.databaseUrl, &config, &error))
        return bench.note(error), false;
    CUserDb *direct = CUserDb::instance();
    direct->setConfig(config);
    if (!direct->open(&error)) {
        bench.note(QStringLiteral("direct connection: %1").arg(error));
        direct->clearConfig();
        return false;
    }
    CHttpBenchClient client;
    bool ok = client.connectTo(httpPort);
    const QStringList filters = pageFilters(bench.users);
    // Every filter's total first, to choose offsets within it.
    std::vector<qint64> totals;
    for (const QString &filter : filters) {
        QVector<CUserDb::UserRow> rows;
        qint64 total = 0;
        ok = ok && direct->usersPage(userPage({ filter, QStringLiteral("id"), 0 }), rows, &total);
        totals.push_back(total);
    }
    bench.note(QStringLiteral("  pages of %1 users, filters %2 matching %3 of %4 users")
                   .arg(PAGE_SIZE)
                   .arg(filters.join(QStringLiteral(", ")))
                   .arg([&] {
                       QStringList counts;
                       for (const qint64 total : totals)
                           counts << QString::number(total);
                       return counts.join(QStringLiteral(", "));
                   }())
                   .arg(bench.users));
    std::vector<qint64> served;
    std::vector<qint64> straight;
    std::vector<qint64> directCpu;
    QMap<QString, qint64> slowest;
    for (int i = 0; ok && i < PAGES; ++i) {
        // The pages the console's First, Next, Last and Previous reach: the first or the last
        // page, or up to nine pages on from either.
        const int f = i % int(filters.size());
        PageQuery query { filters.at(f), PAGE_SORTS.at((i / int(filters.size())) % 6), 0 };
        const qint64 pages = (totals[size_t(f)] + PAGE_SIZE - 1) / PAGE_SIZE;
        const qint64 step = qMin<qint64>(pages - 1, qint64(bench.random.bounded(10)));
        query.offset = int((i % 2 == 0 ? step : pages - 1 - step) * PAGE_SIZE);
        QElapsedTimer clock;
        clock.start();
        int status = 0;
        QByteArray body;
        ok = client.get(pagePath(query), token, &status, &body) && status == 200;
        served.push_back(clock.nsecsElapsed());
        const QJsonObject answer = QJsonDocument::fromJson(body).object();
        if (ok && answer.value(QStringLiteral("total")).toInteger() != totals[size_t(f)]) {
            bench.note(QStringLiteral("filter %1: total %2, not %3")
                           .arg(query.filter)
                           .arg(answer.value(QStringLiteral("total")).toInteger())
                           .arg(totals[size_t(f)]));
            ok = false;
        }
        if (!ok)
            bench.note(QStringLiteral("page %1: status %2 %3")
                           .arg(QString::fromLatin1(pagePath(query)))
                           .arg(status)
                           .arg(client.errorText()));
        QVector<CUserDb::UserRow> rows;
        qint64 total = 0;
        clock.restart();
        const qint64 cpuBefore = threadCpuNs();
        ok = ok && direct->usersPage(userPage(query), rows, &total);
        straight.push_back(clock.nsecsElapsed());
        directCpu.push_back(threadCpuNs() - cpuBefore);
        slowest[query.filter + QLatin1Char(' ') + query.sort]
            = qMax(slowest.value(query.filter + QLatin1Char(' ') + query.sort), served.back());
    }
    // The middle page, which paging from either end reaches last: the worst a page can be.
    QStringList middle;
    for (const QString &sort : PAGE_SORTS) {
        QVector<CUserDb::UserRow> rows;
        qint64 total = 0;
        QElapsedTimer clock;
        clock.start();
        ok = ok
            && direct->usersPage(
                userPage({ QString(), sort, int(bench.users / 2 / PAGE_SIZE * PAGE_SIZE) }), rows,
                &total);
        middle << QStringLiteral("%1 %2").arg(sort, ms(clock.nsecsElapsed()));
    }
    bench.note(QStringLiteral("  the middle page of all users, direct (ms): ")
        + middle.join(QStringLiteral(", ")));
    direct->close();
    direct->clearConfig();
    if (!ok)
        return false;
    std::sort(served.begin(), served.end());
    std::sort(straight.begin(), straight.end());
    std::sort(directCpu.begin(), directCpu.end());
    QStringList worst;
    for (auto it = slowest.cbegin(); it != slowest.cend(); ++it)
        worst << QStringLiteral("%1: %2").arg(it.key(), ms(it.value()));
    bench.note(QStringLiteral("  slowest over HTTP by filter and sort (ms): ")
        + worst.join(QStringLiteral(", ")));
    bench.note(QStringLiteral("  processor time of the direct pages: p50 %1 ms, p99 %2 ms")
                   .arg(ms(percentile(directCpu, 0.5)), ms(percentile(directCpu, 0.99))));
    const qint64 p99 = percentile(served, 0.99);
    const qint64 directP99 = percentile(straight, 0.99);
    bench.note(QStringLiteral("  HTTP p50 %1 ms p99 %2 ms max %3 ms; direct p50 %4 ms p99 %5 ms "
                              "max %6 ms")
                   .arg(ms(percentile(served, 0.5)), ms(p99), ms(served.back()),
                       ms(percentile(straight, 0.5)), ms(directP99), ms(straight.back())));
    CBenchRunner::Row row;
    row.figure = QStringLiteral("13 p99 of a %1-row page of %2 users, filtered and sorted, "
                                "paged from either end (%3 pages, %4)")
                     .arg(PAGE_SIZE)
                     .arg(bench.users)
                     .arg(PAGES)
                     .arg(bench.databaseUrl.isEmpty() ? QStringLiteral("SQLite")
                                                      : QStringLiteral("PostgreSQL"));
    row.measured = QStringLiteral("%1 ms").arg(ms(p99));
    row.yardstick = QStringLiteral("%1 ms direct").arg(ms(directP99));
    row.ratio = directP99 > 0 ? QString::number(double(p99) / double(directP99), 'f', 2)
                              : QStringLiteral("-");
    row.target = QStringLiteral("< %1 ms").arg(MAX_PAGE_P99_MS, 0, 'f', 0);
    row.met = double(p99) / 1e6 < MAX_PAGE_P99_MS;
    bench.rows.push_back(row);
    return true;
}
