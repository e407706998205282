#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTimerEvent>
#include <QtTest>

#include "cabstractconn.h"
#include "cabstractprotoconn.h"
#include "testconnserver.h"
#include "testframeclient.h"

using namespace libsock;

namespace {

// Records every packet handed over, with the readyRead round it arrived in.
class RecordingProtoConn : public CAbstractProtoConn
{
public:
    explicit RecordingProtoConn(QObject *parent)
        : CAbstractProtoConn(parent)
    {
        connect(this, &QIODevice::readyRead, this, [this] { ++rounds; });
    }

    struct Seen
    {
        QByteArray bytes;
        int round;
    };
    QList<Seen> seen;
    int rounds = 0;
    quint8 refuseCommand = 0xFF;
    // Bytes of reply written for every packet; 0 answers nothing.
    int replySize = 0;
    // Time each packet takes, as a slow database would.
    int busyMs = 0;
    int buffered() const { return int(recvBuffer.size()); }
    qsizetype bufferCapacity() const { return recvBuffer.capacity(); }
    bool timerRunning() const { return timerId != 0; }

protected:
    bool processPacket() override
    {
        if (busyMs > 0)
            QThread::msleep(busyMs);
        seen.append(Seen { QByteArray(packet.data(), packet.totalLength()), rounds });
        if (replySize > 0)
            write(QByteArray(replySize, char(packet.command())));
        return packet.command() != refuseCommand;
    }
};

// The bare connection base, with its protected parts opened up.
class ProbeConn : public CAbstractConn
{
public:
    explicit ProbeConn(QObject *parent)
        : CAbstractConn(parent)
    {
        // The reads below need more in the socket than a served connection lets in.
        setReadBufferSize(0);
    }
    using CAbstractConn::readUpTo;
    using CAbstractConn::startRecvTimer;
    using CAbstractConn::stopRecvTimer;
    int buffered() const { return int(recvBuffer.size()); }
    int runningTimer() const { return timerId; }
    int otherTimer = 0;
    int otherFired = 0;

protected:
    void timerEvent(QTimerEvent *event) override
    {
        if (event->timerId() == otherTimer)
            ++otherFired;
        CAbstractConn::timerEvent(event);
    }
};

QByteArray packetWithBody(quint8 command, int bodySize)
{
    QByteArray body(bodySize, '\0');
    for (int i = 0; i < bodySize; ++i)
        body[i] = char('a' + i % 26);
    return TestFrameClient::packet(command, body);
}

} // namespace

class tst_ProtoConn : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // happy flows
    void packetSplitAtEveryByte();
    void severalPacketsInOneSegment();
    void emptyBodyHandedOverAtHeader();
    void foreignMarkerProcessed();
    void largestPacketAccepted();
    void bufferKeepsCapacityBetweenPackets();
    void idleConnectionStaysOpen();
    void segmentsReArmTimer();

    // rainy-day flows
    void oversizeHeaderAbortsAtOnce();
    void refusedPacketAbortsAndStopsReading();
    void incompletePacketTimesOut();
    void readUpToBounds();
    void readUpToAbortsOnFullBuffer();
    void foreignTimerIgnored();
    void floodIsHeldBack_data();
    void floodIsHeldBack();

private:
    RecordingProtoConn *connect(int recvTimeout = 60000);
    ProbeConn *probe();

    TestConnServer *server = nullptr;
    QTcpSocket *client = nullptr;
    int recvTimeout = 60000;
};

void tst_ProtoConn::init()
{
    server = new TestConnServer([this](QObject *parent) -> QTcpSocket * {
        auto *conn = new RecordingProtoConn(parent);
        conn->setRecvTimeout(recvTimeout);
        return conn;
    });
    QVERIFY(server->isListening());
    client = new QTcpSocket;
}

void tst_ProtoConn::cleanup()
{
    delete client;
    client = nullptr;
    delete server;
    server = nullptr;
}

RecordingProtoConn *tst_ProtoConn::connect(int timeout)
{
    recvTimeout = timeout;
    client->connectToHost(QHostAddress::LocalHost, server->serverPort());
    if (!client->waitForConnected(5000)
        || !QTest::qWaitFor([&] { return !server->conns.isEmpty(); }))
        return nullptr;
    return static_cast<RecordingProtoConn *>(server->conns.last().data());
}

void tst_ProtoConn::packetSplitAtEveryByte()
{
    RecordingProtoConn *conn = connect();
    QVERIFY(conn);
    const QByteArray bytes = packetWithBody(9, 17);
    for (int split = 1; split < bytes.size(); ++split) {
        client->write(bytes.left(split));
        QTRY_COMPARE(conn->buffered(), split);
        QVERIFY(conn->timerRunning());
        client->write(bytes.mid(split));
        QTRY_COMPARE(conn->seen.size(), split);
        QCOMPARE(conn->seen.last().bytes, bytes);
        QVERIFY(!conn->timerRunning());
    }
}

void tst_ProtoConn::severalPacketsInOneSegment()
{
    RecordingProtoConn *conn = connect();
    QVERIFY(conn);
    const QByteArray a = packetWithBody(1, 0);
    const QByteArray b = packetWithBody(2, 300);
    const QByteArray c = packetWithBody(3, 5);
    client->write(a + b + c);
    QTRY_COMPARE(conn->seen.size(), 3);
    QCOMPARE(conn->seen.at(0).bytes, a);
    QCOMPARE(conn->seen.at(1).bytes, b);
    QCOMPARE(conn->seen.at(2).bytes, c);
    QCOMPARE(conn->seen.at(0).round, conn->seen.at(2).round);
    QVERIFY(!conn->timerRunning());
}

void tst_ProtoConn::emptyBodyHandedOverAtHeader()
{
    RecordingProtoConn *conn = connect();
    QVERIFY(conn);
    client->write(TestFrameClient::packet(7));
    QTRY_COMPARE(conn->seen.size(), 1);
    QCOMPARE(conn->seen.first().bytes.size(), 22);
    QVERIFY(!conn->timerRunning());
}

void tst_ProtoConn::foreignMarkerProcessed()
{
    RecordingProtoConn *conn = connect();
    QVERIFY(conn);
    QByteArray bytes = packetWithBody(5, 4);
    bytes[0] = 0x55;
    client->write(bytes);
    QTRY_COMPARE(conn->seen.size(), 1);
    QCOMPARE(conn->seen.first().bytes, bytes);
}

void tst_ProtoConn::largestPacketAccepted()
{
    RecordingProtoConn *conn = connect();
    QVERIFY(conn);
    const QByteArray bytes = packetWithBody(8, PACKET_MAX_SIZE - PACKET_HEADER_SIZE);
    client->write(bytes);
    QTRY_COMPARE(conn->seen.size(), 1);
    QCOMPARE(conn->seen.first().bytes, bytes);
    QCOMPARE(conn->state(), QAbstractSocket::ConnectedState);
}

void tst_ProtoConn::bufferKeepsCapacityBetweenPackets()
{
    RecordingProtoConn *conn = connect();
    QVERIFY(conn);
    client->write(packetWithBody(1, 200));
    QTRY_COMPARE(conn->seen.size(), 1);
    const qsizetype capacity = conn->bufferCapacity();
    QVERIFY(capacity >= 222);
    // Stays bounded by what the connection actually needed.
    QVERIFY(capacity < 4096);
    for (int i = 0; i < 20; ++i)
        client->write(packetWithBody(1, 100 + i));
    QTRY_COMPARE(conn->seen.size(), 21);
    QCOMPARE(conn->buffered(), 0);
    QCOMPARE(conn->bufferCapacity(), capacity);
}

void tst_ProtoConn::idleConnectionStaysOpen()
{
    RecordingProtoConn *conn = connect(100);
    QVERIFY(conn);
    client->write(packetWithBody(1, 3));
    QTRY_COMPARE(conn->seen.size(), 1);
    QSignalSpy gone(conn, &QAbstractSocket::disconnected);
    QVERIFY(!gone.wait(400));
    QCOMPARE(conn->state(), QAbstractSocket::ConnectedState);
}

void tst_ProtoConn::segmentsReArmTimer()
{
    RecordingProtoConn *conn = connect(1000);
    QVERIFY(conn);
    QSignalSpy gone(conn, &QAbstractSocket::disconnected);
    const QByteArray bytes = packetWithBody(1, 40);
    // Four gaps of 400 ms: 1.6 s in all, longer than the interval, but no single gap is.
    for (int i = 0; i < 4; ++i) {
        client->write(bytes.mid(i * 10, 10));
        QVERIFY(!gone.wait(400));
    }
    client->write(bytes.mid(40));
    QTRY_COMPARE(conn->seen.size(), 1);
    QCOMPARE(gone.count(), 0);
}

void tst_ProtoConn::oversizeHeaderAbortsAtOnce()
{
    RecordingProtoConn *conn = connect();
    QVERIFY(conn);
    QPointer<RecordingProtoConn> guard(conn);
    QSignalSpy gone(conn, &QAbstractSocket::disconnected);
    // bodyLength 51179 makes 51201 bytes; the receive timer is a minute away.
    const QByteArray header = packetWithBody(1, 0);
    QByteArray bad = header;
    qToLittleEndian<quint16>(51179, bad.data() + 20);
    client->write(bad + QByteArray(4000, 'x'));
    QVERIFY(gone.count() == 1 || gone.wait(5000));
    QVERIFY(guard.isNull() || guard->seen.isEmpty());
    QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
}

void tst_ProtoConn::refusedPacketAbortsAndStopsReading()
{
    RecordingProtoConn *conn = connect();
    QVERIFY(conn);
    conn->refuseCommand = 2;
    QSignalSpy gone(conn, &QAbstractSocket::disconnected);
    client->write(packetWithBody(1, 1) + packetWithBody(2, 1) + packetWithBody(3, 1));
    QVERIFY(gone.wait(5000));
    QCOMPARE(conn->seen.size(), 2);
    QCOMPARE(quint8(conn->seen.last().bytes.at(19)), quint8(2));
}

void tst_ProtoConn::incompletePacketTimesOut()
{
    RecordingProtoConn *conn = connect(150);
    QVERIFY(conn);
    QSignalSpy gone(conn, &QAbstractSocket::disconnected);
    QSignalSpy clientGone(client, &QAbstractSocket::disconnected);
    client->write(packetWithBody(1, 10).left(25));
    QVERIFY(gone.wait(5000));
    QVERIFY(conn->seen.isEmpty());
    QVERIFY(clientGone.count() == 1 || clientGone.wait(5000));
}

ProbeConn *tst_ProtoConn::probe()
{
    auto *probeServer = new TestConnServer(
        [](QObject *parent) -> QTcpSocket * { return new ProbeConn(parent); }, client);
    client->connectToHost(QHostAddress::LocalHost, probeServer->serverPort());
    if (!client->waitForConnected(5000)
        || !QTest::qWaitFor([&] { return !probeServer->conns.isEmpty(); }))
        return nullptr;
    return static_cast<ProbeConn *>(probeServer->conns.last().data());
}

void tst_ProtoConn::readUpToBounds()
{
    ProbeConn *conn = probe();
    QVERIFY(conn);
    client->write(QByteArray(150000, 'z'));
    QTRY_VERIFY(conn->bytesAvailable() >= 150000);

    // Too much asked: refused, nothing read, still open.
    QCOMPARE(conn->readUpTo(102401), 0);
    QCOMPARE(conn->buffered(), 0);
    QCOMPARE(conn->bytesAvailable(), qint64(150000));

    QCOMPARE(conn->readUpTo(10), 10);
    // Already buffered: no read.
    QCOMPARE(conn->readUpTo(10), 10);
    QCOMPARE(conn->readUpTo(5), 10);
    QCOMPARE(conn->bytesAvailable(), qint64(150000 - 10));

    // 0 means the whole limit.
    QCOMPARE(conn->readUpTo(0), 102400);
    QCOMPARE(conn->bytesAvailable(), qint64(150000 - 102400));
    QCOMPARE(conn->state(), QAbstractSocket::ConnectedState);
}

void tst_ProtoConn::readUpToAbortsOnFullBuffer()
{
    ProbeConn *conn = probe();
    QVERIFY(conn);
    client->write(QByteArray(102400, 'z'));
    QTRY_VERIFY(conn->bytesAvailable() >= 102400);
    QCOMPARE(conn->readUpTo(0), 102400);
    QSignalSpy gone(conn, &QAbstractSocket::disconnected);
    QCOMPARE(conn->readUpTo(0), 0);
    QCOMPARE(gone.count(), 1);
}

void tst_ProtoConn::foreignTimerIgnored()
{
    ProbeConn *conn = probe();
    QVERIFY(conn);
    // Stopping with no timer running is harmless.
    conn->stopRecvTimer();
    QCOMPARE(conn->runningTimer(), 0);

    QSignalSpy gone(conn, &QAbstractSocket::disconnected);
    conn->otherTimer = conn->startTimer(20);
    QTRY_VERIFY(conn->otherFired >= 2);
    QCOMPARE(gone.count(), 0);
    conn->killTimer(conn->otherTimer);

    // The receive timer, once stopped, never fires.
    conn->startRecvTimer(50);
    QVERIFY(conn->runningTimer() != 0);
    conn->stopRecvTimer();
    QCOMPARE(conn->runningTimer(), 0);
    QVERIFY(!gone.wait(250));

    conn->startRecvTimer(50);
    QVERIFY(gone.wait(5000));
    QCOMPARE(conn->runningTimer(), 0);
}

void tst_ProtoConn::floodIsHeldBack_data()
{
    QTest::addColumn<bool>("readsAgain");
    QTest::newRow("reads again: every reply arrives") << true;
    QTest::newRow("never reads: aborted when stalled") << false;
}

void tst_ProtoConn::floodIsHeldBack()
{
    QFETCH(bool, readsAgain);
    constexpr int count = 20000;
    constexpr int replySize = 27;
    RecordingProtoConn *conn = connect();
    QVERIFY(conn);
    QPointer<RecordingProtoConn> guard(conn);
    conn->replySize = replySize;
    conn->setStallTimeout(readsAgain ? 60000 : 2000);
    // Small kernel buffers, so the replies back up into the server's queue soon.
    conn->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 8192);
    client->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 8192);
    client->setReadBufferSize(4096);

    const QByteArray one = packetWithBody(9, 6);
    QByteArray flood;
    for (int i = 0; i < count; ++i)
        flood += one;
    client->write(flood);
    QTRY_VERIFY(guard && guard->isHeldBack());
    conn->busyMs = 1;
    // Neither queue grows past its bound while the peer reads nothing.
    for (int i = 0; i < 5; ++i) {
        QTest::qWait(50);
        QVERIFY(guard);
        QVERIFY(conn->bytesToWrite() <= REPLY_QUEUE_LIMIT + replySize);
        QVERIFY(conn->bytesAvailable() <= SOCKET_READ_LIMIT);
        QVERIFY(conn->seen.size() < count);
    }

    // Another connection is served meanwhile, within a few passes of the flood rather
    // than after all the packets one read brings in (over two thousand milliseconds' worth).
    QTcpSocket other;
    other.connectToHost(QHostAddress::LocalHost, server->serverPort());
    QVERIFY(other.waitForConnected(5000));
    QTRY_COMPARE(server->conns.size(), 2);
    auto *otherConn = static_cast<RecordingProtoConn *>(server->conns.last().data());
    otherConn->replySize = 3;
    if (readsAgain) {
        client->setReadBufferSize(0);
        QTRY_VERIFY(!guard->isHeldBack());
    }
    QElapsedTimer clock;
    clock.start();
    other.write(one);
    QTRY_COMPARE(other.bytesAvailable(), qint64(3));
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));

    if (!readsAgain) {
        QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 10000);
        return;
    }
    conn->busyMs = 0;
    qint64 received = 0;
    QVERIFY(QTest::qWaitFor(
        [&] {
            received += client->readAll().size();
            return received == qint64(count) * replySize;
        },
        60000));
    QCOMPARE(conn->seen.size(), count);
    QCOMPARE(conn->state(), QAbstractSocket::ConnectedState);
}

QTEST_GUILESS_MAIN(tst_ProtoConn)
#include "tst_protoconn.moc"
