#ifndef BENCHUTIL_H
#define BENCHUTIL_H

#include <vector>

#include <QByteArray>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QString>
#include <QTimer>

namespace libsock {
class CProtoPacket;
}

// What every figure of the bench shares: the server's settings for a run, time-outs, and small
// helpers for sockets, clocks and percentiles.
namespace benchutil {

inline const QString LOCALHOST = QStringLiteral("127.0.0.1");
inline const QString SAVE_NAME = QStringLiteral("bench");
inline const QString DETAIL = QStringLiteral("tolvern-bench");
// The benchmark's many clients all come from loopback; the per-address cap is for others.
// Passwords as plain text, as the server stored them before hashes: figure 9 is the one of
// hashed logins.
inline const QString NO_ADDRESS_CAP
    = QStringLiteral("[Security]\nMaxConnectionsPerAddress=0\nPasswordHashing=plain\n");
// The server as it was: no login is ever locked.
inline const QString NO_LOCKS
    = NO_ADDRESS_CAP + QStringLiteral("LoginLockFailures=0\nAddressLockFailures=0\n");
inline constexpr int START_TIMEOUT_MS = 180000;
inline constexpr int WAIT_TIMEOUT_MS = 120000;
inline constexpr double MAX_P99_MS = 50;

void pause(int msec);
// User and system time of a process (0: this one), in seconds.
double processSeconds(qint64 pid);
// User and system time in a /proc stat file (of a process or a thread), in seconds.
double statSeconds(const QString &path);
double mib(double bytes);
// Nanoseconds as milliseconds with two decimals.
QString ms(qint64 nanoseconds);
qint64 percentile(const std::vector<qint64> &sorted, double fraction);
bool sendAll(int fd, const QByteArray &bytes);
bool receiveExactly(int fd, char *data, qint64 size);
// A control packet inside a file-port frame.
QByteArray controlFrame(const libsock::CProtoPacket &packet);

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

} // namespace benchutil

#endif // BENCHUTIL_H
