#ifndef TESTSETTLE_H
#define TESTSETTLE_H

#include <functional>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <QTimer>

// Waits in the event loop until done() holds, at most timeoutMs. QTRY_* and QTest::qWaitFor
// sleep 10 ms between passes of the event loop, so a transfer of many frames between two
// sockets of one thread moves a step per sleep, and a loaded machine, which wakes a sleeper
// late, stretches each step: such a suite needed a quiet machine to finish in time. Here the
// loop itself waits and wakes at the next event (a heartbeat looks at the clock meanwhile).
inline bool settle(const std::function<bool()> &done, int timeoutMs = 20000)
{
    if (done())
        return true;
    const QDeadlineTimer deadline(timeoutMs);
    QTimer heartbeat;
    heartbeat.start(qMin(timeoutMs, 20));
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (done())
            return true;
    } while (!deadline.hasExpired());
    return done();
}

// QTRY_VERIFY and QTRY_COMPARE on settle().
#define SETTLE_VERIFY(expr) QVERIFY2(settle([&] { return bool(expr); }), #expr)
#define SETTLE_VERIFY_WITH_TIMEOUT(expr, ms) QVERIFY2(settle([&] { return bool(expr); }, ms), #expr)
#define SETTLE_COMPARE(actual, expected)                                                           \
    do {                                                                                           \
        settle([&] { return (actual) == (expected); });                                            \
        QCOMPARE(actual, expected);                                                                \
    } while (false)

#endif // TESTSETTLE_H
