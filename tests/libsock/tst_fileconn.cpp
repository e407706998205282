#include <QBuffer>
#include <QHostAddress>
#include <QSignalSpy>
#include <QtEndian>
#include <QtTest>

#include "cabstractfileconn.h"
#include "testconnserver.h"
#include "testframeclient.h"

using namespace libsock;

namespace {

// Records every frame handed over; sends a file on request through sendFile.
class RecordingFileConn : public CAbstractFileConn
{
public:
    explicit RecordingFileConn(QObject *parent)
        : CAbstractFileConn(parent)
    {
        connect(this, &QIODevice::readyRead, this, [this] { ++rounds; });
    }

    struct Seen
    {
        quint8 type;
        QByteArray frame; // header and payload as buffered
        QByteArray packet; // the packet record's bytes for a control frame
        int round;
        int pass = 0;
    };
    QList<Seen> seen;
    int rounds = 0;
    // Each frame queues a call behind it; those that ran tell how many passes came before.
    int passMarks = 0;
    int buffered() const { return int(recvBuffer.size()); }
    bool timerRunning() const { return timerId != 0; }

    void send(QIODevice &io, int bufSize = SEND_BUF_SIZE, int maxCache = SEND_MAX_CACHE_SIZE)
    {
        sendFile(io, bufSize, maxCache);
    }
    void sendDefault(QIODevice &io) { sendFile(io); }
    void reply(quint8 command)
    {
        CProtoPacket out;
        out.reset();
        out.setCommand(command).writeInt32(77);
        sendPacket(out);
    }

protected:
    void processFrame() override
    {
        Seen s { header.type(), recvBuffer, QByteArray(), rounds, passMarks };
        if (header.type() == FRAME_CONTROL)
            s.packet = QByteArray(packet.data(), packet.totalLength());
        seen.append(s);
        QMetaObject::invokeMethod(
            this, [this] { ++passMarks; }, Qt::QueuedConnection);
    }
};

// Hands out `good` bytes, then fails every read.
class FailingDevice : public QIODevice
{
public:
    explicit FailingDevice(qint64 goodBytes)
        : good(goodBytes)
    {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    qint64 size() const override { return good * 2; }

protected:
    qint64 readData(char *data, qint64 len) override
    {
        if (given >= good)
            return -1;
        const qint64 n = qMin(len, good - given);
        memset(data, 'g', size_t(n));
        given += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    qint64 good;
    qint64 given = 0;
};

QByteArray pattern(int size)
{
    // Through the pointer: a checked operator[] per byte cost the sanitizer build seconds.
    QByteArray out(size, Qt::Uninitialized);
    char *bytes = out.data();
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xFF);
    return out;
}

QByteArray frameHeader(quint8 type, quint32 length)
{
    QByteArray out(6, '\0');
    out[0] = 0x1A;
    out[1] = char(type);
    qToBigEndian<quint32>(length, out.data() + 2);
    return out;
}

} // namespace

class tst_FileConn : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // happy flows
    void controlFrameSplitAtEveryByte();
    void dataFrameSplitAtEveryByte();
    void severalFramesInOneSegment();
    void manyFramesTakeSeveralPasses();
    void largestFramesAccepted();
    void typeFfIsData();
    void sendPacketFrame();
    void sendFileSizes_data();
    void sendFileSizes();
    void sendFileDefaultsAndPosition();
    void framesReadDuringTransfer();

    // rainy-day flows
    void refusedHeaders_data();
    void refusedHeaders();
    void incompleteFrameTimesOut();
    void readErrorEndsWithoutEndOfFile();
    void sendFileUnconnected();
    void disconnectDuringTransferEndsIt();
    void secondSendFileIgnored();

private:
    RecordingFileConn *open(int recvTimeout = 60000);

    TestConnServer *server = nullptr;
    TestFrameClient *client = nullptr;
    int recvTimeout = 60000;
};

void tst_FileConn::init()
{
    server = new TestConnServer([this](QObject *parent) -> QTcpSocket * {
        auto *conn = new RecordingFileConn(parent);
        conn->setRecvTimeout(recvTimeout);
        return conn;
    });
    QVERIFY(server->isListening());
    client = new TestFrameClient;
}

void tst_FileConn::cleanup()
{
    delete client;
    client = nullptr;
    delete server;
    server = nullptr;
}

RecordingFileConn *tst_FileConn::open(int timeout)
{
    recvTimeout = timeout;
    if (!client->connectTo(server->serverPort())
        || !QTest::qWaitFor([&] { return !server->conns.isEmpty(); }))
        return nullptr;
    return static_cast<RecordingFileConn *>(server->conns.last().data());
}

void tst_FileConn::controlFrameSplitAtEveryByte()
{
    RecordingFileConn *conn = open();
    QVERIFY(conn);
    const QByteArray pkt = TestFrameClient::packet(3, TestFrameClient::string("abc"));
    const QByteArray bytes = TestFrameClient::frame(0, pkt);
    for (int split = 1; split < bytes.size(); ++split) {
        client->write(bytes.left(split));
        QTRY_COMPARE(conn->buffered(), split);
        QVERIFY(conn->timerRunning());
        client->write(bytes.mid(split));
        QTRY_COMPARE(conn->seen.size(), split);
        QCOMPARE(conn->seen.last().frame, bytes);
        QCOMPARE(conn->seen.last().packet, pkt);
        QVERIFY(!conn->timerRunning());
    }
}

void tst_FileConn::dataFrameSplitAtEveryByte()
{
    RecordingFileConn *conn = open();
    QVERIFY(conn);
    const QByteArray bytes = TestFrameClient::frame(1, pattern(20));
    for (int split = 1; split < bytes.size(); ++split) {
        client->write(bytes.left(split));
        QTRY_COMPARE(conn->buffered(), split);
        client->write(bytes.mid(split));
        QTRY_COMPARE(conn->seen.size(), split);
        QCOMPARE(conn->seen.last().type, quint8(1));
        QCOMPARE(conn->seen.last().frame, bytes);
    }
}

void tst_FileConn::severalFramesInOneSegment()
{
    RecordingFileConn *conn = open();
    QVERIFY(conn);
    const QByteArray a = TestFrameClient::control(5);
    const QByteArray b = TestFrameClient::frame(1, pattern(1000));
    const QByteArray c = TestFrameClient::frame(1, QByteArray());
    const QByteArray d = TestFrameClient::control(6);
    client->write(a + b + c + d);
    QTRY_COMPARE(conn->seen.size(), 4);
    QCOMPARE(conn->seen.at(0).frame, a);
    QCOMPARE(conn->seen.at(1).frame, b);
    QCOMPARE(conn->seen.at(2).frame, c);
    QCOMPARE(conn->seen.at(3).frame, d);
    QCOMPARE(conn->seen.at(0).round, conn->seen.at(3).round);
}

void tst_FileConn::manyFramesTakeSeveralPasses()
{
    RecordingFileConn *conn = open();
    QVERIFY(conn);
    QByteArray all;
    for (int i = 0; i < 200; ++i)
        all += TestFrameClient::control(quint8(i));
    client->write(all);
    QTRY_COMPARE(conn->seen.size(), 200);
    int inPass = 0;
    int passes = 1;
    for (int i = 0; i < 200; ++i) {
        QCOMPARE(quint8(conn->seen.at(i).packet.at(19)), quint8(i));
        const bool samePass = i > 0 && conn->seen.at(i).pass == conn->seen.at(i - 1).pass;
        inPass = samePass ? inPass + 1 : 1;
        passes += i > 0 && !samePass ? 1 : 0;
        QVERIFY(inPass <= FRAMES_PER_PASS);
    }
    // One pass for all of them would hold the event loop for the whole segment.
    QVERIFY2(passes > 1, qPrintable(QString::number(passes)));
    QVERIFY(passes >= 200 / FRAMES_PER_PASS);
}

void tst_FileConn::largestFramesAccepted()
{
    RecordingFileConn *conn = open();
    QVERIFY(conn);
    const QByteArray data = TestFrameClient::frame(1, pattern(102394));
    const QByteArray pkt = TestFrameClient::packet(9, pattern(51178));
    client->write(data + TestFrameClient::frame(0, pkt));
    QTRY_COMPARE(conn->seen.size(), 2);
    QCOMPARE(conn->seen.at(0).frame, data);
    QCOMPARE(conn->seen.at(1).packet, pkt);
    QCOMPARE(conn->state(), QAbstractSocket::ConnectedState);
}

void tst_FileConn::typeFfIsData()
{
    RecordingFileConn *conn = open();
    QVERIFY(conn);
    client->write(TestFrameClient::frame(0xFF, "xyz"));
    QTRY_COMPARE(conn->seen.size(), 1);
    QCOMPARE(conn->seen.first().type, quint8(0xFF));
    QVERIFY(conn->seen.first().packet.isEmpty());
}

void tst_FileConn::sendPacketFrame()
{
    RecordingFileConn *conn = open();
    QVERIFY(conn);
    conn->reply(4);
    QTRY_COMPARE(client->frames.size(), 1);
    QCOMPARE(client->raw.left(6), QByteArray::fromHex("1a000000001a"));
    QCOMPARE(client->frames.first().command(), quint8(4));
    QCOMPARE(client->frames.first().body(), QByteArray::fromHex("0000004d"));
}

void tst_FileConn::sendFileSizes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("frames");
    QTest::newRow("empty") << 0 << QList<int> {};
    QTest::newRow("1") << 1 << QList<int> { 1 };
    QTest::newRow("51200") << 51200 << QList<int> { 51200 };
    QTest::newRow("51201") << 51201 << QList<int> { 51200, 1 };
    QTest::newRow("102400") << 102400 << QList<int> { 51200, 51200 };
    QTest::newRow("3 MiB") << 3 * 1048576 << QList<int>(61, 51200) + QList<int> { 22528 };
}

void tst_FileConn::sendFileSizes()
{
    QFETCH(int, size);
    QFETCH(QList<int>, frames);
    RecordingFileConn *conn = open();
    QVERIFY(conn);
    QSignalSpy begin(conn, &CAbstractFileConn::workBegin);
    QSignalSpy working(conn, &CAbstractFileConn::working);
    QSignalSpy final(conn, &CAbstractFileConn::workFinal);
    const QByteArray content = pattern(size);
    QBuffer source;
    source.setData(content);
    source.open(QIODevice::ReadOnly);

    conn->send(source);
    QCOMPARE(begin.count(), 1);
    QCOMPARE(begin.first().first().toLongLong(), qint64(size));
    QTRY_COMPARE(client->frames.size(), frames.size() + 1);
    QTRY_COMPARE(final.count(), 1);
    QVERIFY(!conn->isSending());

    for (int i = 0; i < frames.size(); ++i) {
        QCOMPARE(client->frames.at(i).type, quint8(1));
        QCOMPARE(int(client->frames.at(i).payload.size()), frames.at(i));
    }
    QCOMPARE(client->dataBytes(), content);
    // The end-of-file frame closes the stream.
    QCOMPARE(client->raw.right(28).left(6), QByteArray::fromHex("1a0000000016"));
    const TestFrameClient::Frame eof = client->frames.last();
    QCOMPARE(eof.type, quint8(0));
    QCOMPARE(eof.command(), quint8(6));
    QCOMPARE(eof.payload.size(), 22);
    QCOMPARE(quint8(eof.payload.at(0)), quint8(0x1A));

    QCOMPARE(working.count(), frames.size());
    qint64 sum = 0;
    for (int i = 0; i < frames.size(); ++i) {
        sum += frames.at(i);
        QCOMPARE(working.at(i).at(0).toLongLong(), qint64(size));
        QCOMPARE(working.at(i).at(1).toLongLong(), sum);
    }
    QCOMPARE(conn->state(), QAbstractSocket::ConnectedState);
}

void tst_FileConn::sendFileDefaultsAndPosition()
{
    RecordingFileConn *conn = open();
    QVERIFY(conn);
    QSignalSpy final(conn, &CAbstractFileConn::workFinal);
    const QByteArray content = pattern(120000);
    QBuffer source;
    source.setData(content);
    source.open(QIODevice::ReadOnly);
    source.seek(1000);
    conn->sendDefault(source);
    QTRY_COMPARE(final.count(), 1);
    QTRY_COMPARE(client->frames.size(), 4);
    QCOMPARE(client->frames.at(0).payload.size(), 51200);
    QCOMPARE(client->frames.at(2).payload.size(), 119000 - 102400);
    QCOMPARE(client->dataBytes(), content.mid(1000));

    // A smaller chunk size makes smaller frames; an oversized one is cut to what fits a frame.
    client->frames.clear();
    source.seek(0);
    conn->send(source, 40000);
    QTRY_COMPARE(final.count(), 2);
    QTRY_COMPARE(client->frames.size(), 4); // 3 full frames, then the empty read ends it
    QCOMPARE(client->frames.at(0).payload.size(), 40000);
    client->frames.clear();
    source.seek(0);
    conn->send(source, 200000);
    QTRY_COMPARE(final.count(), 3);
    QTRY_COMPARE(client->frames.size(), 3);
    QCOMPARE(client->frames.at(0).payload.size(), 102394);
    QCOMPARE(client->dataBytes(), content);
}

void tst_FileConn::framesReadDuringTransfer()
{
    RecordingFileConn *conn = open();
    QVERIFY(conn);
    QSignalSpy final(conn, &CAbstractFileConn::workFinal);
    client->setPaused(true);
    client->setReadBufferSize(4096);
    conn->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 8192);
    const QByteArray content = pattern(4 * 1048576);
    QBuffer source;
    source.setData(content);
    source.open(QIODevice::ReadOnly);
    conn->send(source);
    QVERIFY(conn->isSending());
    // The queue fills to its bound and stays there while the client reads nothing.
    QTRY_VERIFY(conn->bytesToWrite() > SEND_MAX_CACHE_SIZE);
    QVERIFY(conn->bytesToWrite() <= SEND_MAX_CACHE_SIZE + SEND_CHUNK_LIMIT);
    QVERIFY(conn->isSending());

    client->write(TestFrameClient::control(9) + TestFrameClient::frame(1, "abc"));
    QTRY_COMPARE(conn->seen.size(), 2);
    QCOMPARE(final.count(), 0);

    client->setPaused(false);
    client->setReadBufferSize(0);
    QTRY_COMPARE(final.count(), 1);
    QTRY_COMPARE(client->dataBytes().size(), content.size());
    QCOMPARE(client->dataBytes(), content);
    QTRY_COMPARE(client->frames.last().command(), quint8(6));
}

void tst_FileConn::refusedHeaders_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("type 2") << frameHeader(2, 3) + "abc";
    QTest::newRow("bad marker") << QByteArray::fromHex("1b0100000003") + "abc";
    QTest::newRow("length 102401") << frameHeader(1, 102401);
    QTest::newRow("data 102395") << frameHeader(1, 102395) + QByteArray(1000, 'x');
    QTest::newRow("data 102400") << frameHeader(1, 102400) + QByteArray(1000, 'x');
    QTest::newRow("control 51201") << frameHeader(0, 51201) + QByteArray(1000, 'x');
    QTest::newRow("control 21") << frameHeader(0, 21) + QByteArray(21, '\x1a');
    QByteArray badMarker = TestFrameClient::packet(1);
    badMarker[0] = 0x1B;
    QTest::newRow("packet marker") << TestFrameClient::frame(0, badMarker);
    QByteArray overlong = TestFrameClient::packet(1, "abcd");
    qToLittleEndian<quint16>(5, overlong.data() + 20);
    QTest::newRow("packet longer than frame") << TestFrameClient::frame(0, overlong);
}

void tst_FileConn::refusedHeaders()
{
    QFETCH(QByteArray, bytes);
    RecordingFileConn *conn = open();
    QVERIFY(conn);
    QPointer<RecordingFileConn> guard(conn);
    QSignalSpy gone(conn, &QAbstractSocket::disconnected);
    // Nothing is handed over after the bad frame, and no receive time-out is waited for.
    client->write(bytes + TestFrameClient::control(5));
    QVERIFY(gone.count() == 1 || gone.wait(5000));
    QVERIFY(guard.isNull() || guard->seen.isEmpty());
    QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
}

void tst_FileConn::incompleteFrameTimesOut()
{
    RecordingFileConn *conn = open(150);
    QVERIFY(conn);
    QSignalSpy gone(conn, &QAbstractSocket::disconnected);
    client->write(TestFrameClient::frame(1, pattern(100)).left(50));
    QVERIFY(gone.wait(5000));
    QVERIFY(conn->seen.isEmpty());
}

void tst_FileConn::readErrorEndsWithoutEndOfFile()
{
    RecordingFileConn *conn = open();
    QVERIFY(conn);
    QSignalSpy final(conn, &CAbstractFileConn::workFinal);
    QSignalSpy working(conn, &CAbstractFileConn::working);
    FailingDevice source(51200);
    conn->send(source);
    QTRY_COMPARE(final.count(), 1);
    QTRY_COMPARE(client->frames.size(), 1);
    QCOMPARE(working.count(), 1);
    QVERIFY(!client->frames.isEmpty());
    QCOMPARE(client->frames.first().type, quint8(1));
    // No end-of-file frame follows, and the connection stays.
    QVERIFY(!client->waitForReadyRead(250));
    QCOMPARE(client->frames.size(), 1);
    QCOMPARE(conn->state(), QAbstractSocket::ConnectedState);
}

void tst_FileConn::sendFileUnconnected()
{
    RecordingFileConn conn(nullptr);
    QSignalSpy begin(&conn, &CAbstractFileConn::workBegin);
    QSignalSpy final(&conn, &CAbstractFileConn::workFinal);
    QBuffer source;
    source.setData(pattern(10));
    source.open(QIODevice::ReadOnly);
    conn.send(source);
    QCOMPARE(begin.count(), 1);
    QCOMPARE(final.count(), 1);
    QVERIFY(!conn.isSending());
    QCOMPARE(conn.bytesToWrite(), qint64(0));
}

void tst_FileConn::disconnectDuringTransferEndsIt()
{
    RecordingFileConn *conn = open();
    QVERIFY(conn);
    QSignalSpy final(conn, &CAbstractFileConn::workFinal);
    client->setPaused(true);
    client->setReadBufferSize(4096);
    conn->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 8192);
    QBuffer source;
    source.setData(pattern(4 * 1048576));
    source.open(QIODevice::ReadOnly);
    conn->send(source);
    QTRY_VERIFY(conn->bytesToWrite() > SEND_MAX_CACHE_SIZE);
    QCOMPARE(final.count(), 0);
    client->abort();
    QTRY_COMPARE(final.count(), 1);
}

void tst_FileConn::secondSendFileIgnored()
{
    RecordingFileConn *conn = open();
    QVERIFY(conn);
    QSignalSpy begin(conn, &CAbstractFileConn::workBegin);
    QSignalSpy final(conn, &CAbstractFileConn::workFinal);
    const QByteArray content = pattern(3 * 1048576);
    QBuffer source, other;
    source.setData(content);
    source.open(QIODevice::ReadOnly);
    other.setData(pattern(10));
    other.open(QIODevice::ReadOnly);
    // Small enough that the kernel cannot take the whole file at once.
    conn->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 8192);
    conn->send(source);
    QVERIFY(conn->isSending());
    conn->send(other);
    QCOMPARE(begin.count(), 1);
    QTRY_COMPARE(final.count(), 1);
    QTRY_COMPARE(client->dataBytes().size(), content.size());
    QCOMPARE(client->dataBytes(), content);
}

QTEST_GUILESS_MAIN(tst_FileConn)
#include "tst_fileconn.moc"
