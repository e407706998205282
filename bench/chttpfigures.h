#ifndef CHTTPFIGURES_H
#define CHTTPFIGURES_H

#include <atomic>
#include <functional>

#include <QByteArray>
#include <QString>

class CBenchRunner;

// Figure 13: what the operators' HTTP port costs the players and how fast it pages. Logins
// per second with Prometheus scraping /metrics every 100 ms, and with ten live-log watchers,
// each next to the same logins without, in alternating turns; and the latency of 100-row
// pages of the users, filtered and sorted, next to the same pages read straight from the
// database in this process.
class CHttpFigures
{
public:
    explicit CHttpFigures(CBenchRunner &runner);

    bool measure();

private:
    // The side load of a turn runs from start() until stop() on a thread of its own.
    struct SideLoad
    {
        std::function<bool()> prepare; // on the caller's thread, before the turn
        std::function<void(const std::atomic<bool> &stop)> run;
        std::function<void()> finish; // after the turn
    };
    bool loginCost(const QString &what, const SideLoad &side, double maxCost);
    bool measurePages();

    CBenchRunner &bench;
    QByteArray token;
    quint16 httpPort = 0;
};

#endif // CHTTPFIGURES_H
