#include <cstring>

#include <QBuffer>
#include <QtEndian>
#include <QtTest>

#include "cfileframeheader.h"
#include "cprotopacket.h"

using namespace libsock;

namespace {

// Raw packet bytes: a 22-byte header whose bodyLength is given, then the body.
QByteArray rawPacket(const QByteArray &body, int claimedLength = -1)
{
    QByteArray out(PACKET_HEADER_SIZE, '\0');
    out[0] = char(PACKET_MARKER);
    const quint16 len = quint16(claimedLength < 0 ? body.size() : claimedLength);
    qToLittleEndian<quint16>(len, out.data() + 20);
    return out + body;
}

void load(CProtoPacket &p, const QByteArray &bytes)
{
    p.loadFrom(bytes.constData(), int(bytes.size()));
}

// Accepts at most `chunk` bytes per call, and fails for good after `failAfter` bytes.
class PickyDevice : public QIODevice
{
public:
    PickyDevice(qint64 chunkSize, qint64 failAfterBytes)
        : chunk(chunkSize)
        , failAfter(failAfterBytes)
    {
        open(QIODevice::WriteOnly);
    }
    QByteArray written;
    int calls = 0;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 len) override
    {
        ++calls;
        if (written.size() >= failAfter)
            return -1;
        const qint64 n = qMin(len, chunk);
        written.append(data, n);
        return n;
    }

private:
    qint64 chunk;
    qint64 failAfter;
};

} // namespace

class tst_ProtoPacket : public QObject
{
    Q_OBJECT

private slots:
    // happy flows
    void resetBuildsHeader();
    void sequenceNumbersFollowEachOther();
    void stringAndIntExampleBody();
    void writersAreBigEndian();
    void writersStopAtRecordBound_data();
    void writersStopAtRecordBound();
    void writePacketSendsWholePacketInPieces();
    void frameHeaderLayout();

    // rainy-day flows
    void readInt32ShortLeavesCursor();
    void readStringEmptyCounts_data();
    void readStringEmptyCounts();
    void readStringCountPastBody();
    void readStringStopsAtZero();
    void readersNeverLeaveRecord_data();
    void readersNeverLeaveRecord();
    void loadFromChecksMarker();
    void writePacketStopsOnDeviceError();
    void frameHeaderAcceptance_data();
    void frameHeaderAcceptance();
};

void tst_ProtoPacket::resetBuildsHeader()
{
    CProtoPacket p;
    p.reset();
    const auto *b = reinterpret_cast<const uchar *>(p.data());
    QCOMPARE(b[0], uchar(0x1A));
    QCOMPARE(b[5], uchar(3));
    QCOMPARE(qFromLittleEndian<quint32>(b + 10), 1u);
    QCOMPARE(b[18], uchar(0));
    QCOMPARE(p.command(), quint8(0));
    QCOMPARE(p.bodyLength(), quint16(0));
    QCOMPARE(p.totalLength(), quint16(22));
    QVERIFY(!p.isValid());
    p.setCommand(10).setAuxByte(7);
    QCOMPARE(b[19], uchar(10));
    QCOMPARE(b[18], uchar(7));
    QCOMPARE(p.command(), quint8(10));
}

void tst_ProtoPacket::sequenceNumbersFollowEachOther()
{
    CProtoPacket a, b;
    a.reset();
    b.reset();
    QCOMPARE(b.sequence(), a.sequence() + 1);
    a.reset();
    QCOMPARE(a.sequence(), b.sequence() + 1);
    // Little-endian on the wire.
    QCOMPARE(qFromLittleEndian<quint32>(a.data() + 1), a.sequence());
}

void tst_ProtoPacket::stringAndIntExampleBody()
{
    const QByteArray body = QByteArray::fromHex("0003616263"
                                                "00000001");
    const QByteArray bytes = rawPacket(body);
    QCOMPARE(quint8(bytes.at(20)), quint8(0x09));
    QCOMPARE(quint8(bytes.at(21)), quint8(0x00));
    CProtoPacket p;
    load(p, bytes);
    QVERIFY(p.isValid());
    QString s;
    qint32 v = 0;
    p.readString(s).readInt32(v);
    QCOMPARE(s, QStringLiteral("abc"));
    QCOMPARE(v, 1);
    QCOMPARE(p.readPosition(), quint16(9));
    QCOMPARE(p.totalLength(), quint16(31));
}

void tst_ProtoPacket::writersAreBigEndian()
{
    CProtoPacket p;
    p.reset();
    p.writeByte(0xAB).writeInt32(-2).writeInt64(0x0102030405060708LL);
    QCOMPARE(p.bodyLength(), quint16(13));
    QCOMPARE(QByteArray(p.data() + 20, 2), QByteArray::fromHex("0d00"));
    QCOMPARE(QByteArray(p.data() + 22, 13),
        QByteArray::fromHex("ab"
                            "fffffffe"
                            "0102030405060708"));

    // What was written reads back.
    CProtoPacket q;
    q.loadFrom(p.data(), p.totalLength());
    qint32 i = 0;
    qint64 l = 0;
    q.readInt32(i); // 0xab fffffe: starts at the byte
    QCOMPARE(i, qint32(0xABFFFFFF));
    q.readInt64(l);
    QCOMPARE(l, qint64(0xFE01020304050607LL));
}

void tst_ProtoPacket::writersStopAtRecordBound_data()
{
    QTest::addColumn<int>("startTotal");
    QTest::addColumn<int>("width");
    QTest::addColumn<bool>("fits");
    QTest::newRow("int32 at 51196") << 51196 << 4 << true;
    QTest::newRow("int32 at 51197") << 51197 << 4 << false;
    QTest::newRow("byte at 51199") << 51199 << 1 << true;
    QTest::newRow("byte at 51200") << 51200 << 1 << false;
    QTest::newRow("int64 at 51192") << 51192 << 8 << true;
    QTest::newRow("int64 at 51193") << 51193 << 8 << false;
}

void tst_ProtoPacket::writersStopAtRecordBound()
{
    QFETCH(int, startTotal);
    QFETCH(int, width);
    QFETCH(bool, fits);
    CProtoPacket p;
    p.reset();
    while (p.totalLength() < startTotal)
        p.writeByte(0x11);
    QCOMPARE(int(p.totalLength()), startTotal);
    if (width == 1)
        p.writeByte(0x22);
    else if (width == 4)
        p.writeInt32(0x22222222);
    else
        p.writeInt64(0x2222222222222222LL);
    QCOMPARE(int(p.totalLength()), fits ? startTotal + width : startTotal);
    if (fits)
        QCOMPARE(quint8(p.data()[p.totalLength() - 1]), quint8(0x22));
}

void tst_ProtoPacket::writePacketSendsWholePacketInPieces()
{
    CProtoPacket p;
    p.reset();
    p.setCommand(4).writeInt32(123456).writeInt64(-1);
    PickyDevice dev(7, 1 << 20);
    writePacket(dev, p);
    QCOMPARE(dev.written, QByteArray(p.data(), p.totalLength()));

    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QCOMPARE(&writePacket(buffer, p), static_cast<QIODevice *>(&buffer));
    QCOMPARE(buffer.data(), QByteArray(p.data(), p.totalLength()));
}

void tst_ProtoPacket::frameHeaderLayout()
{
    CFileFrameHeader h;
    QCOMPARE(h.bytes, QByteArray::fromHex("1a0000000000"));
    QCOMPARE(h.length, 0u);
    QVERIFY(!h.isValid());
    h.setType(FRAME_DATA);
    h.setLength(0x01020304);
    QCOMPARE(h.bytes, QByteArray::fromHex("1a0101020304"));
    QCOMPARE(h.length, 0x01020304u);
    QCOMPARE(h.type(), FRAME_DATA);
}

void tst_ProtoPacket::readInt32ShortLeavesCursor()
{
    CProtoPacket p;
    load(p, rawPacket(QByteArray::fromHex("000141")));
    qint32 v = 99;
    p.readInt32(v);
    QCOMPARE(v, 0);
    QCOMPARE(p.readPosition(), quint16(0));
    QString s;
    p.readString(s);
    QCOMPARE(s, QStringLiteral("A"));
    qint64 l = 99;
    p.readInt64(l);
    QCOMPARE(l, qint64(0));
}

void tst_ProtoPacket::readStringEmptyCounts_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("count 0") << QByteArray::fromHex("0000"
                                                    "41424344");
    QTest::newRow("count 0x8000") << QByteArray::fromHex("8000"
                                                         "41424344");
    QTest::newRow("count 0xffff") << QByteArray::fromHex("ffff"
                                                         "41424344");
}

void tst_ProtoPacket::readStringEmptyCounts()
{
    QFETCH(QByteArray, body);
    CProtoPacket p;
    load(p, rawPacket(body));
    QString s = QStringLiteral("old");
    p.readString(s);
    QVERIFY(s.isEmpty());
    QCOMPARE(p.readPosition(), quint16(2));
}

void tst_ProtoPacket::readStringCountPastBody()
{
    CProtoPacket p;
    load(p,
        rawPacket(QByteArray::fromHex("0005"
                                      "00000007")));
    QString s = QStringLiteral("old");
    qint32 v = 0;
    p.readString(s).readInt32(v);
    QVERIFY(s.isEmpty());
    QCOMPARE(v, 7);
    QCOMPARE(p.readPosition(), quint16(6));
}

void tst_ProtoPacket::readStringStopsAtZero()
{
    CProtoPacket p;
    load(p,
        rawPacket(QByteArray::fromHex("0004"
                                      "61620063"
                                      "0002"
                                      "e9ff")));
    QString a, b;
    p.readString(a);
    QCOMPARE(a, QStringLiteral("ab"));
    QCOMPARE(p.readPosition(), quint16(6));
    p.readString(b);
    // Latin-1: each byte is the character of the same code.
    QCOMPARE(b, QString(QChar(0xE9)) + QChar(0xFF));
}

void tst_ProtoPacket::readersNeverLeaveRecord_data()
{
    QTest::addColumn<int>("loadedBody");
    QTest::newRow("whole record") << PACKET_MAX_SIZE - PACKET_HEADER_SIZE;
    QTest::newRow("16 bytes loaded") << 16;
    QTest::newRow("header only") << 0;
}

void tst_ProtoPacket::readersNeverLeaveRecord()
{
    // A header claiming more body than was loaded or than the record holds: reads stop at
    // the loaded bytes, even where an earlier packet left bytes of its own.
    QFETCH(int, loadedBody);
    CProtoPacket p;
    load(p, rawPacket(QByteArray(PACKET_MAX_SIZE - PACKET_HEADER_SIZE, 'x')));
    load(p, rawPacket(QByteArray(loadedBody, '\0'), 0xFFFF));
    int reads = 0;
    for (;;) {
        const quint16 before = p.readPosition();
        qint64 v = -1;
        p.readInt64(v);
        if (p.readPosition() == before)
            break;
        QCOMPARE(v, qint64(0));
        ++reads;
    }
    QCOMPARE(reads, loadedBody / 8);
    QString s;
    p.readString(s);
    QVERIFY(s.isEmpty());
}

void tst_ProtoPacket::loadFromChecksMarker()
{
    CProtoPacket p;
    QByteArray bytes = rawPacket(QByteArray::fromHex("00000001"));
    load(p, bytes);
    QVERIFY(p.isValid());
    bytes[0] = 0x1B;
    load(p, bytes);
    QVERIFY(!p.isValid());
    QCOMPARE(p.bodyLength(), quint16(4)); // still loaded and readable
}

void tst_ProtoPacket::writePacketStopsOnDeviceError()
{
    CProtoPacket p;
    p.reset();
    p.writeInt64(1).writeInt64(2);
    PickyDevice dev(5, 10);
    writePacket(dev, p);
    QCOMPARE(dev.written, QByteArray(p.data(), 10));
    QCOMPARE(dev.calls, 3); // two pieces, then the error ends it
}

void tst_ProtoPacket::frameHeaderAcceptance_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<quint32>("length");
    QTest::newRow("control") << QByteArray::fromHex("1a0000000016") << true << 22u;
    QTest::newRow("data max") << QByteArray::fromHex("1a0100019000") << true << 102400u;
    QTest::newRow("data max+1") << QByteArray::fromHex("1a0100019001") << false << 102401u;
    QTest::newRow("type 2") << QByteArray::fromHex("1a0200000001") << false << 1u;
    QTest::newRow("type 0x7f") << QByteArray::fromHex("1a7f00000001") << false << 1u;
    QTest::newRow("type 0x80") << QByteArray::fromHex("1a8000000001") << true << 1u;
    QTest::newRow("type 0xff") << QByteArray::fromHex("1aff00000001") << true << 1u;
    QTest::newRow("bad marker") << QByteArray::fromHex("1b0100000001") << false << 1u;
    QTest::newRow("huge length") << QByteArray::fromHex("1a01ffffffff") << false << 0xFFFFFFFFu;
}

void tst_ProtoPacket::frameHeaderAcceptance()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, accepted);
    QFETCH(quint32, length);
    CFileFrameHeader h;
    h.parse(bytes);
    QCOMPARE(h.isValid(), accepted);
    QCOMPARE(h.length, length);

    // Anything but exactly 6 bytes is refused.
    h.parse(bytes + 'x');
    QVERIFY(!h.isValid());
    h.parse(bytes.left(5));
    QVERIFY(!h.isValid());
}

QTEST_GUILESS_MAIN(tst_ProtoPacket)
#include "tst_protopacket.moc"
