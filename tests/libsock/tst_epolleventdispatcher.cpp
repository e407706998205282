#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include "cepolleventdispatcher.h"

// Runs with CEpollEventDispatcher as the main thread's dispatcher (see main() below), so
// everything here, QTest's own waits included, goes through it.
class tst_EpollEventDispatcher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readNotifier();
    void descriptorTakenAgain_data();
    void descriptorTakenAgain();
    void timersFireInOrder();
    void intervalTimerKilledInItsHandler();
    void lateIntervalTimerFiresOnce();
    void notifierDeletedByAnEarlierOneInTheSamePass();
    void postedEventsFromAnotherThread();
    void tcpEcho();

private:
    struct Pair
    {
        int fds[2] = { -1, -1 };
        Pair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds); }
        ~Pair()
        {
            ::close(fds[0]);
            ::close(fds[1]);
        }
        void send() const { QCOMPARE(::write(fds[1], "x", 1), ssize_t(1)); }
    };
};

void tst_EpollEventDispatcher::initTestCase()
{
    QVERIFY(qobject_cast<CEpollEventDispatcher *>(QAbstractEventDispatcher::instance()));
}

void tst_EpollEventDispatcher::readNotifier()
{
    Pair pair;
    QSocketNotifier notifier(pair.fds[0], QSocketNotifier::Read);
    int activations = 0;
    connect(&notifier, &QSocketNotifier::activated, this, [&] {
        ++activations;
        // Switched off at once, as a socket does while its buffer is full.
        notifier.setEnabled(false);
    });
    pair.send();
    QTRY_COMPARE_WITH_TIMEOUT(activations, 1, 5000);
    // The byte is still unread: nothing comes while the notifier is off, and it comes again
    // once the notifier is back on.
    QTest::qWait(50);
    QCOMPARE(activations, 1);
    notifier.setEnabled(true);
    QTRY_COMPARE_WITH_TIMEOUT(activations, 2, 5000);
}

void tst_EpollEventDispatcher::descriptorTakenAgain_data()
{
    QTest::addColumn<bool>("closedFirst");
    // As Qt's sockets do it: the notifiers go, then the descriptor.
    QTest::newRow("notifiers removed, then closed") << false;
    // The other way round: the old notifiers are still there when the number is taken again.
    QTest::newRow("closed under its notifiers") << true;
}

void tst_EpollEventDispatcher::descriptorTakenAgain()
{
    // A new socket that gets the number of a closed one must be watched, not taken for the
    // old one.
    QFETCH(bool, closedFirst);
    auto *first = new Pair;
    const int number = first->fds[0];
    auto *oldRead = new QSocketNotifier(number, QSocketNotifier::Read);
    auto *oldWrite = new QSocketNotifier(number, QSocketNotifier::Write);
    QTest::qWait(10);
    if (!closedFirst) {
        delete oldRead;
        delete oldWrite;
    }
    delete first;

    Pair second;
    QCOMPARE(second.fds[0], number);
    if (closedFirst) {
        QTest::ignoreMessage(QtWarningMsg,
            QRegularExpression(QStringLiteral("several notifiers of one type on descriptor")));
    }
    QSocketNotifier notifier(second.fds[0], QSocketNotifier::Read);
    QByteArray got;
    connect(&notifier, &QSocketNotifier::activated, this, [&] {
        char byte = 0;
        if (::read(second.fds[0], &byte, 1) == 1)
            got += byte;
    });
    second.send();
    QTRY_COMPARE_WITH_TIMEOUT(got, QByteArray("x"), 5000);
    if (closedFirst) {
        delete oldRead;
        delete oldWrite;
    }
}

void tst_EpollEventDispatcher::timersFireInOrder()
{
    QStringList fired;
    for (const int msec : { 60, 20, 40, 0 })
        QTimer::singleShot(msec, this, [&fired, msec] { fired << QString::number(msec); });
    QTimer cancelled;
    cancelled.setSingleShot(true);
    connect(&cancelled, &QTimer::timeout, this, [&fired] { fired << QStringLiteral("cancelled"); });
    cancelled.start(5000);
    QVERIFY(cancelled.remainingTime() > 0 && cancelled.remainingTime() <= 5000);
    cancelled.stop();
    QTRY_COMPARE_WITH_TIMEOUT(fired.size(), 4, 5000);
    QCOMPARE(fired.join(u','), QStringLiteral("0,20,40,60"));
    QTest::qWait(50);
    QCOMPARE(fired.size(), 4);
}

void tst_EpollEventDispatcher::intervalTimerKilledInItsHandler()
{
    QTimer timer;
    int ticks = 0;
    QElapsedTimer clock;
    connect(&timer, &QTimer::timeout, this, [&] {
        if (++ticks == 3)
            timer.stop();
    });
    clock.start();
    timer.start(10);
    QTRY_COMPARE_WITH_TIMEOUT(ticks, 3, 5000);
    // Three intervals went by, and no tick follows the stop.
    QVERIFY2(clock.elapsed() >= 29, qPrintable(QString::number(clock.elapsed())));
    QTest::qWait(50);
    QCOMPARE(ticks, 3);
}

void tst_EpollEventDispatcher::lateIntervalTimerFiresOnce()
{
    QTimer timer;
    int ticks = 0;
    connect(&timer, &QTimer::timeout, this, [&ticks] { ++ticks; });
    timer.start(10);
    // The loop is held up for about ten intervals; the passes that follow come far quicker
    // than one interval. A timer that caught up on what it missed would tick in each of them.
    QThread::msleep(105);
    QElapsedTimer passes;
    passes.start();
    for (int i = 0; i < 20; ++i)
        QCoreApplication::processEvents();
    const qint64 spent = passes.elapsed();
    timer.stop();
    // One tick for the delay, one more for every interval the passes themselves took.
    QVERIFY2(ticks >= 1 && ticks <= 2 + spent / 10,
        qPrintable(QStringLiteral("%1 ticks in %2 ms of passes").arg(ticks).arg(spent)));
}

void tst_EpollEventDispatcher::notifierDeletedByAnEarlierOneInTheSamePass()
{
    // Both descriptors are ready in the same pass; whichever handler runs first deletes the
    // other notifier, which must then get nothing (under ASan a delivery would be a
    // use after free).
    Pair first;
    Pair second;
    auto *a = new QSocketNotifier(first.fds[0], QSocketNotifier::Read);
    auto *b = new QSocketNotifier(second.fds[0], QSocketNotifier::Read);
    int activations = 0;
    connect(a, &QSocketNotifier::activated, this, [&] {
        ++activations;
        delete b;
        b = nullptr;
        a->setEnabled(false);
    });
    connect(b, &QSocketNotifier::activated, this, [&] {
        ++activations;
        delete a;
        a = nullptr;
        b->setEnabled(false);
    });
    first.send();
    second.send();
    QTRY_COMPARE_WITH_TIMEOUT(activations, 1, 5000);
    QTest::qWait(50);
    QCOMPARE(activations, 1);
    QVERIFY((a == nullptr) != (b == nullptr));
    delete a;
    delete b;
}

void tst_EpollEventDispatcher::postedEventsFromAnotherThread()
{
    // An event posted from elsewhere wakes a loop with nothing else to do, and exit() from
    // elsewhere ends it.
    QEventLoop loop;
    bool called = false;
    QThread *thread = QThread::create([&] {
        QThread::msleep(20);
        QMetaObject::invokeMethod(
            this, [&] { called = true; }, Qt::QueuedConnection);
        QThread::msleep(20);
        loop.exit(7);
    });
    QTimer::singleShot(5000, &loop, [&loop] { loop.exit(1); });
    thread->start();
    QCOMPARE(loop.exec(), 7);
    QVERIFY(called);
    thread->wait();
    delete thread;
}

void tst_EpollEventDispatcher::tcpEcho()
{
    // Real sockets, whose write notifiers go on and off with every message.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 5000);
    QTcpSocket *peer = server.nextPendingConnection();
    connect(peer, &QTcpSocket::readyRead, peer, [peer] { peer->write(peer->readAll()); });
    QByteArray echoed;
    int sent = 0;
    connect(&client, &QTcpSocket::readyRead, this, [&] {
        echoed += client.readAll();
        if (echoed.size() == sent * 4 && sent < 500)
            client.write(QByteArray::number(1000 + sent++));
    });
    client.write(QByteArray::number(1000 + sent++));
    QTRY_COMPARE_WITH_TIMEOUT(echoed.size(), 500 * 4, 10000);
    QCOMPARE(echoed.right(4), QByteArray("1499"));
}

int main(int argc, char **argv)
{
    QCoreApplication::setEventDispatcher(new CEpollEventDispatcher);
    QCoreApplication app(argc, argv);
    tst_EpollEventDispatcher test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_epolleventdispatcher.moc"
