#include "chttpfigures.h"

#include <algorithm>
#include <memory>
#include <poll.h>
#include <thread>
#include <vector>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
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
        QElapsedTimer clock;
        clock.start();
        for (qint64 next = 0; !stop.load(); next += SCRAPE_INTERVAL_MS) {
            while (clock.elapsed() < next && !stop.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            int status = 0;
            QByteArray body;
            if (client.fd() < 0 && !client.connectTo(httpPort))
                continue;
            if (!client.get("/metrics", QByteArray(), &status, &body) || status != 200)
                bench.note(QStringLiteral("a scrape failed: %1").arg(client.errorText()));
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
            if (::poll(fds.data(), nfds_t(fds.size()), 20) <= 0)
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
    // One-second turns with and without the side load: both see the same neighbours, so the
    // ratio holds when the machine's load drifts. ABBA order, so neither side always follows
    // the other.
    qint64 counts[2] = { 0, 0 };
    double times[2] = { 0, 0 };
    bool ok = true;
    for (int turn = 0; ok && turn < 2 * bench.seconds; ++turn) {
        const bool with = (turn % 4 == 0) || (turn % 4 == 3);
        if (with && side.prepare && !side.prepare())
            return false;
        std::atomic<bool> stop { false };
        std::thread thread;
        if (with)
            thread = std::thread([&side, &stop] { side.run(stop); });
        const qint64 before = load.answered();
        QElapsedTimer clock;
        clock.start();
        ok = load.run(1000, WAIT_TIMEOUT_MS, nextLogin);
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        stop = true;
        if (thread.joinable())
            thread.join();
        if (with && side.finish)
            side.finish();
        counts[with] += load.answered() - before;
        times[with] += seconds;
        if (!ok)
            bench.note(QStringLiteral("login clients: %1").arg(load.errorText()));
    }
    if (load.refused())
        bench.note(QStringLiteral("%1 logins refused").arg(load.refused()));
    if (!ok || load.refused() || times[0] <= 0 || times[1] <= 0 || counts[0] == 0)
        return false;
    const double withRate = double(counts[1]) / times[1];
    const double withoutRate = double(counts[0]) / times[0];
    const double cost = 1.0 - withRate / withoutRate;
    bench.note(QStringLiteral("  with %1 logins/s, without %2 logins/s")
                   .arg(withRate, 0, 'f', 0)
                   .arg(withoutRate, 0, 'f', 0));
    CBenchRunner::Row row;
    row.figure = QStringLiteral("13 logins/s with %1 (%2 users, %3 clients, %4 s each)")
                     .arg(what)
                     .arg(bench.users)
                     .arg(bench.clients)
                     .arg(bench.seconds);
    row.measured = QStringLiteral("%1 /s").arg(withRate, 0, 'f', 0);
    row.yardstick = QStringLiteral("%1 /s without").arg(withoutRate, 0, 'f', 0);
    row.ratio = QString::number(withRate / withoutRate, 'f', 3);
    row.target = QStringLiteral("cost < %1 %, ratio > %2")
                     .arg(maxCost * 100, 0, 'f', 0)
                     .arg(1.0 - maxCost, 0, 'f', 2);
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
    for (int i = 0; ok && i < PAGES; ++i) {
        // Half of them the first page, the others anywhere in the filter's users.
        const int f = i % int(filters.size());
        PageQuery query { filters.at(f), PAGE_SORTS.at((i / int(filters.size())) % 6), 0 };
        if (i % 2 == 1 && totals[size_t(f)] > PAGE_SIZE)
            query.offset = int(bench.random.bounded(totals[size_t(f)] / PAGE_SIZE)) * PAGE_SIZE;
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
        ok = ok && direct->usersPage(userPage(query), rows, &total);
        straight.push_back(clock.nsecsElapsed());
    }
    direct->close();
    direct->clearConfig();
    if (!ok)
        return false;
    std::sort(served.begin(), served.end());
    std::sort(straight.begin(), straight.end());
    const qint64 p99 = percentile(served, 0.99);
    const qint64 directP99 = percentile(straight, 0.99);
    bench.note(QStringLiteral("  HTTP p50 %1 ms p99 %2 ms max %3 ms; direct p50 %4 ms p99 %5 ms "
                              "max %6 ms")
                   .arg(ms(percentile(served, 0.5)), ms(p99), ms(served.back()),
                       ms(percentile(straight, 0.5)), ms(directP99), ms(straight.back())));
    CBenchRunner::Row row;
    row.figure = QStringLiteral("13 p99 of a %1-row page of %2 users, filtered and sorted (%3 "
                                "pages, %4)")
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
