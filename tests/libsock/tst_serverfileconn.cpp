#include <csignal>
#include <sys/resource.h>
#include <thread>

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileDevice>
#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include "cabstractserverfileconnadapter.h"
#include "cfileclient.h"
#include "cserverfileconn.h"
#include "cuploadsink.h"
#include "ctransferdigest.h"
#include "testconnserver.h"
#include "testframeclient.h"
#include "testsettle.h"

using namespace libsock;

namespace {

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// A digest that hashes on the connection's thread, at once or, while gated, only when the
// test lets it: the backlog then shows how far the transfer runs ahead of its hashing.
class TestDigest final : public CTransferDigest
{
public:
    void add(const QByteArray &buffer, qsizetype offset, qsizetype length) override
    {
        bytes.append(buffer.constData() + offset, length);
        if (gated)
            pending += length;
        else if (sink)
            sink(buffer.constData() + offset, length);
        maxBacklog = qMax(maxBacklog, pending);
    }
    void setSink(const std::function<void(const char *, qint64)> &to) override { sink = to; }
    // As if the hashing caught up: what it holds reaches the file.
    void settle() override { release(); }
    qint64 backlog() const override { return pending; }
    void whenBelow(qint64 limit, const std::function<void()> &ready) override
    {
        if (pending <= limit)
            ready();
        else
            waiters.push_back(ready);
    }
    void finish(const std::function<void(const QString &)> &done) override { done(sha256(bytes)); }
    bool saveBeside(const QString &file) override
    {
        // The sum goes first: the archive's name still holds what it replaces.
        QFile target(file);
        targetAtSave = target.open(QIODevice::ReadOnly) ? target.readAll() : QByteArray("<none>");
        QFile sum(file + QStringLiteral(".sha256"));
        return sum.open(QIODevice::WriteOnly) && sum.write(sha256(bytes).toLatin1()) == 64;
    }
    void dropBeside(const QString &file) override
    {
        QFile::remove(file + QStringLiteral(".sha256"));
    }

    void release()
    {
        gated = false;
        if (sink && pending > 0)
            sink(bytes.constData() + bytes.size() - pending, pending);
        pending = 0;
        for (const auto &ready : std::exchange(waiters, {}))
            ready();
    }

    QByteArray bytes;
    QByteArray targetAtSave;
    std::function<void(const char *, qint64)> sink;
    bool gated = false;
    qint64 pending = 0;
    qint64 maxBacklog = 0;
    std::vector<std::function<void()>> waiters;
};

// Maps a save name to "<name>.z" as the main window does, and counts what it is asked. With
// sums, each transfer gets a TestDigest; a download expects the sum in "<file>.sha256".
class TestAdapter final : public CAbstractServerFileConnAdapter
{
public:
    std::shared_ptr<CTransferDigest> uploadDigest(quint64, const QString &) override
    {
        return sums ? (digest = std::make_shared<TestDigest>(), digest->gated = gated, digest)
                    : nullptr;
    }
    std::shared_ptr<CTransferDigest> downloadDigest(
        const QString &fileName, QString *expected) override
    {
        *expected = sums ? QString::fromLatin1(
                        readSum(storage + QLatin1Char('/') + fileName + QStringLiteral(".sha256")))
                         : QString();
        if (expected->isEmpty())
            return nullptr;
        digest = std::make_shared<TestDigest>();
        digest->gated = gated;
        return digest;
    }
    bool acceptMismatch(
        const QString &user, const QString &, quint64, quint64, const QString &) override
    {
        ++mismatches;
        lastUser = user;
        return vouch;
    }
    static QByteArray readSum(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    bool sums = false;
    bool gated = false;
    bool vouch = false;
    QString storage;
    std::shared_ptr<TestDigest> digest;
    int mismatches = 0;

    bool requestTransfer(const QString &user, const QString &detail) override
    {
        ++asked;
        lastUser = user;
        lastDetail = detail;
        return allow;
    }
    QString downloadFileName(const QString &saveName) override
    {
        ++mapped;
        return saveName + QStringLiteral(".z");
    }
    QString uploadFileName(const QString &saveName) override
    {
        ++mapped;
        return saveName + QStringLiteral(".z");
    }

    bool allow = true;
    int asked = 0;
    int mapped = 0;
    QString lastUser;
    QString lastDetail;
};

// The stock behaviour of the interface.
class PlainAdapter final : public CAbstractServerFileConnAdapter
{
};

// Keeps each commit handed over, as an owner with a storage thread does, until the test runs
// it.
class DeferringAdapter final : public CAbstractServerFileConnAdapter
{
public:
    void commitUpload(quint64 upload, const QString &fileName, qint64 size,
        const std::shared_ptr<CUploadSink> &sink, const CommitAnswer &answerWith) override
    {
        Q_UNUSED(upload);
        Q_UNUSED(fileName);
        Q_UNUSED(size);
        commit = [sink] { return sink->commit(); };
        answer = answerWith;
    }

    std::function<bool()> commit;
    CommitAnswer answer;
};

QByteArray pattern(int size, int seed = 0)
{
    // Through the pointer: a checked operator[] per byte cost the sanitizer build seconds.
    QByteArray out(size, Qt::Uninitialized);
    char *bytes = out.data();
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 13 + seed + i / 509) & 0xFF);
    return out;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QStringList allFiles(const QString &dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(dir).relativeFilePath(it.next());
    out.sort();
    return out;
}

// Frames of chunk bytes; chunk -1: small and whole frames in turn, so gathered and handed
// bytes follow one another.
QByteArray dataFrames(const QByteArray &content, int chunk)
{
    QByteArray out;
    for (int pos = 0, n = 0; pos < content.size(); ++n) {
        const int size = chunk > 0 ? chunk : (n % 3 == 2 ? 60000 : 7000);
        out += TestFrameClient::frame(1, content.mid(pos, size));
        pos += size;
    }
    return out;
}

} // namespace

class tst_ServerFileConn : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // happy flows
    void storageDirNormalised_data();
    void storageDirNormalised();
    void safeNames_data();
    void safeNames();
    void download_data();
    void download();
    void downloadChecksSum_data();
    void downloadChecksSum();
    void downloadWithoutAdapter();
    void downloadWithStockAdapter();
    void upload_data();
    void upload();
    void uploadIntoNewSubfolder();
    void uploadReplacesOnlyAtEnd();
    void overlappingDownloadReadsOldArchive();
    void connectedStartsReceiveTimer();

    // rainy-day flows
    void downloadNotFoundBytes();
    void downloadOpenFailed();
    void refusedByAdapter();
    void unsafeNamesRefused_data();
    void unsafeNamesRefused();
    void uploadOpenFailed_data();
    void uploadOpenFailed();
    void uploadDisconnectKeepsOldArchive();
    void uploadWriteFailureKeepsOldArchive();
    void newRequestReleasesPreviousFile();
    void noAcceptedTransferAborts_data();
    void noAcceptedTransferAborts();
    void secondStartDuringTransferIgnored();
    void stalledClientDoesNotBlockOthers();
    void stalledClientIsAborted();
    void deletingConnectedConnectionIsSilent();
    void newRequestDuringTransferCancelsIt();
    void uploadEndTellsTheTruth_data();
    void uploadEndTellsTheTruth();
    void uploadEndWaitsForTheCommit_data();
    void uploadEndWaitsForTheCommit();
    void idleConnection_data();
    void idleConnection();

private:
    TestFrameClient *newClient(CServerFileConn **conn = nullptr);
    QByteArray requestReply(TestFrameClient *client, const QByteArray &request);

    QTemporaryDir *dir = nullptr;
    QString storage;
    TestAdapter adapter;
    CAbstractServerFileConnAdapter *useAdapter = nullptr;
    TestConnServer *server = nullptr;
    QList<TestFrameClient *> clients;
    int stallTimeout = 60000;
    int recvTimeout = 60000;
    bool smallSendBuffer = false;
};

void tst_ServerFileConn::init()
{
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    // Given with a trailing slash missing, as the operator might.
    storage = dir->path() + QStringLiteral("/store");
    QVERIFY(QDir().mkpath(storage));
    adapter = TestAdapter();
    adapter.storage = storage;
    useAdapter = &adapter;
    stallTimeout = 60000;
    recvTimeout = 60000;
    smallSendBuffer = false;
    server = new TestConnServer([this](QObject *parent) -> QTcpSocket * {
        auto *conn = new CServerFileConn(storage, parent);
        conn->setAdapter(useAdapter);
        conn->setRecvTimeout(recvTimeout);
        conn->setStallTimeout(stallTimeout);
        return conn;
    });
    connect(server, &TestConnServer::accepted, this, [this](QTcpSocket *conn) {
        if (smallSendBuffer)
            conn->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 8192);
    });
    QVERIFY(server->isListening());
}

void tst_ServerFileConn::cleanup()
{
    qDeleteAll(clients);
    clients.clear();
    delete server;
    server = nullptr;
    delete dir;
    dir = nullptr;
}

TestFrameClient *tst_ServerFileConn::newClient(CServerFileConn **conn)
{
    auto *client = new TestFrameClient;
    clients.append(client);
    const int before = int(server->conns.size());
    if (!client->connectTo(server->serverPort())
        || !settle([&] { return server->conns.size() > before; }))
        return nullptr;
    if (conn)
        *conn = static_cast<CServerFileConn *>(server->conns.last().data());
    return client;
}

// Sends one request and returns the body of the reply frame it brings.
QByteArray tst_ServerFileConn::requestReply(TestFrameClient *client, const QByteArray &request)
{
    const int before = int(client->frames.size());
    client->write(request);
    if (!settle([&] { return client->frames.size() > before; }))
        return QByteArray("<no reply>");
    return client->lastFrame().body();
}

void tst_ServerFileConn::storageDirNormalised_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("stored");
    QTest::newRow("backslashes") << QStringLiteral("D:\\saves") << QStringLiteral("D:/saves/");
    QTest::newRow("trailing slash")
        << QStringLiteral("/srv/saves/") << QStringLiteral("/srv/saves/");
    QTest::newRow("no trailing slash")
        << QStringLiteral("/srv/saves") << QStringLiteral("/srv/saves/");
    QTest::newRow("trailing backslash") << QStringLiteral("a\\b\\") << QStringLiteral("a/b/");
    QTest::newRow("empty") << QString() << QStringLiteral("/");
}

void tst_ServerFileConn::storageDirNormalised()
{
    QFETCH(QString, given);
    QFETCH(QString, stored);
    CServerFileConn conn(given, nullptr);
    QCOMPARE(conn.storageDirectory(), stored);
}

void tst_ServerFileConn::safeNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << QStringLiteral("alice.z") << true;
    QTest::newRow("subfolder") << QStringLiteral("7/slot1.z") << true;
    QTest::newRow("dots in name") << QStringLiteral("a..b.z") << true;
    QTest::newRow("dot step") << QStringLiteral("./a.z") << true;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("absolute") << QStringLiteral("/etc/passwd") << false;
    QTest::newRow("drive") << QStringLiteral("C:/x.z") << false;
    QTest::newRow("backslash") << QStringLiteral("a\\b.z") << false;
    QTest::newRow("nul") << (QStringLiteral("a") + QChar(0) + QStringLiteral("b")) << false;
    QTest::newRow("parent") << QStringLiteral("../x.z") << false;
    QTest::newRow("parent inside") << QStringLiteral("7/../../x.z") << false;
    QTest::newRow("parent at end") << QStringLiteral("7/..") << false;
    QTest::newRow("only parent") << QStringLiteral("..") << false;
}

void tst_ServerFileConn::safeNames()
{
    QFETCH(QString, name);
    QFETCH(bool, safe);
    QCOMPARE(CServerFileConn::isSafeName(name), safe);
}

void tst_ServerFileConn::download_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("0") << 0;
    QTest::newRow("1") << 1;
    QTest::newRow("51200") << 51200;
    QTest::newRow("51201") << 51201;
    QTest::newRow("3 MiB + 7") << 3 * 1048576 + 7;
}

void tst_ServerFileConn::download()
{
    QFETCH(int, size);
    const QByteArray content = pattern(size);
    QVERIFY(writeFile(storage + QStringLiteral("/alice.z"), content));
    CServerFileConn *conn = nullptr;
    TestFrameClient *client = newClient(&conn);
    QVERIFY(client);
    QSignalSpy gone(conn, &QAbstractSocket::disconnected);

    const QByteArray reply
        = requestReply(client, TestFrameClient::downloadRequest("alice", "bob", "slot"));
    QCOMPARE(client->lastFrame().command(), FILE_CMD_DOWNLOAD_REPLY);
    QCOMPARE(reply.size(), 9);
    QCOMPARE(quint8(reply.at(0)), FILE_OK);
    QCOMPARE(qFromBigEndian<qint64>(reply.constData() + 1), qint64(size));
    QCOMPARE(adapter.asked, 1);
    QCOMPARE(adapter.lastUser, QStringLiteral("bob"));
    QCOMPARE(adapter.lastDetail, QStringLiteral("slot"));

    client->frames.clear();
    client->write(TestFrameClient::control(FILE_CMD_START));
    const int dataFrameCount = (size + 51199) / 51200;
    SETTLE_COMPARE(client->frames.size(), dataFrameCount + 1);
    for (int i = 0; i < dataFrameCount; ++i) {
        QCOMPARE(client->frames.at(i).type, FRAME_DATA);
        const int expected = i + 1 < dataFrameCount ? 51200 : size - 51200 * i;
        QCOMPARE(int(client->frames.at(i).payload.size()), expected);
    }
    QCOMPARE(client->dataBytes(), content);
    QCOMPARE(client->lastFrame().type, FRAME_CONTROL);
    QCOMPARE(client->lastFrame().command(), FILE_CMD_END);
    QVERIFY(client->lastFrame().body().isEmpty());

    // The server leaves the connection to the client; another start sends only the end.
    client->frames.clear();
    client->write(TestFrameClient::control(FILE_CMD_START));
    SETTLE_COMPARE(client->frames.size(), 1);
    QCOMPARE(client->frameAt(0).command(), FILE_CMD_END);
    QVERIFY(!client->waitForReadyRead(100));
    QCOMPARE(gone.count(), 0);
}

void tst_ServerFileConn::downloadChecksSum_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("sum"); // "right", "wrong", "none"
    QTest::addColumn<bool>("vouch"); // the adapter's word on a mismatch
    QTest::addColumn<bool>("gated"); // the hashing falls behind until the test lets it on
    QTest::addColumn<bool>("ends"); // with the end frame, else a reset
    QTest::newRow("empty, right") << 0 << "right" << false << false << true;
    QTest::newRow("51201, right") << 51201 << "right" << false << false << true;
    QTest::newRow("51201, wrong") << 51201 << "wrong" << false << false << false;
    QTest::newRow("empty, wrong") << 0 << "wrong" << false << false << false;
    QTest::newRow("wrong, vouched for") << 51201 << "wrong" << true << false << true;
    QTest::newRow("no sum") << 51201 << "none" << false << false << true;
    QTest::newRow("hashing behind, right")
        << int(DIGEST_BACKLOG_LIMIT + 3 * 1048576 + 7) << "right" << false << true << true;
    QTest::newRow("hashing behind, wrong")
        << int(DIGEST_BACKLOG_LIMIT + 3 * 1048576 + 7) << "wrong" << false << true << false;
}

// A download with a recorded sum ends with its end frame only when the bytes sent gave that
// sum; otherwise the client sees the connection reset, never a complete file.
void tst_ServerFileConn::downloadChecksSum()
{
    QFETCH(int, size);
    QFETCH(QString, sum);
    QFETCH(bool, vouch);
    QFETCH(bool, gated);
    QFETCH(bool, ends);
    const QByteArray content = pattern(size);
    QVERIFY(writeFile(storage + QStringLiteral("/alice.z"), content));
    if (sum != QLatin1String("none"))
        QVERIFY(writeFile(storage + QStringLiteral("/alice.z.sha256"),
            sha256(sum == QLatin1String("right") ? content : content + 'x').toLatin1()));
    adapter.sums = true;
    adapter.vouch = vouch;
    adapter.gated = gated;
    CServerFileConn *conn = nullptr;
    TestFrameClient *client = newClient(&conn);
    QVERIFY(client);
    QSignalSpy gone(conn, &QAbstractSocket::disconnected);
    QCOMPARE(requestReply(client, TestFrameClient::downloadRequest("alice", "bob")).left(1),
        QByteArray(1, '\0'));
    client->frames.clear();
    client->write(TestFrameClient::control(FILE_CMD_START));
    if (gated) {
        // The transfer waits for its hashing instead of piling its bytes up for it.
        SETTLE_VERIFY(adapter.digest && !adapter.digest->waiters.empty());
        QVERIFY(!settle([&] { return client->dataSize() == size; }, 200));
        QVERIFY2(adapter.digest->maxBacklog <= DIGEST_BACKLOG_LIMIT + SEND_CHUNK_LIMIT,
            qPrintable(QString::number(adapter.digest->maxBacklog)));
        adapter.digest->release();
    }
    if (ends) {
        SETTLE_VERIFY(!client->frames.isEmpty() && client->lastFrame().type == FRAME_CONTROL);
        QCOMPARE(client->lastFrame().command(), FILE_CMD_END);
        QCOMPARE(client->dataBytes(), content);
        QVERIFY(!gone.wait(100));
    } else {
        SETTLE_COMPARE(gone.count(), 1);
        SETTLE_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
        for (const auto &frame : std::as_const(client->frames))
            QCOMPARE(frame.type, FRAME_DATA);
        QCOMPARE(adapter.lastUser, QStringLiteral("bob"));
    }
    QCOMPARE(adapter.mismatches, sum == QLatin1String("wrong") ? 1 : 0);
}

void tst_ServerFileConn::downloadWithoutAdapter()
{
    useAdapter = nullptr;
    QVERIFY(writeFile(storage + QStringLiteral("/plain"), "hello"));
    TestFrameClient *client = newClient();
    QVERIFY(client);
    QCOMPARE(requestReply(client, TestFrameClient::downloadRequest("plain")),
        QByteArray::fromHex("00"
                            "0000000000000005"));
    client->write(TestFrameClient::control(FILE_CMD_START));
    SETTLE_COMPARE(client->frames.size(), 3);
    QCOMPARE(client->dataBytes(), QByteArray("hello"));
    QCOMPARE(adapter.asked, 0);
}

void tst_ServerFileConn::downloadWithStockAdapter()
{
    PlainAdapter plain;
    useAdapter = &plain;
    QVERIFY(writeFile(storage + QStringLiteral("/plain"), "hi"));
    TestFrameClient *client = newClient();
    QVERIFY(client);
    QCOMPARE(requestReply(client, TestFrameClient::downloadRequest("plain")),
        QByteArray::fromHex("00"
                            "0000000000000002"));
    QCOMPARE(requestReply(client, TestFrameClient::uploadRequest("up")), QByteArray::fromHex("00"));
    client->write(TestFrameClient::frame(1, "xy") + TestFrameClient::control(FILE_CMD_END));
    SETTLE_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    SETTLE_COMPARE(readFile(storage + QStringLiteral("/up")), QByteArray("xy"));
}

void tst_ServerFileConn::upload_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<bool>("gated"); // the hashing falls behind until the test lets it on
    QTest::newRow("0") << 0 << 51200 << false;
    QTest::newRow("1") << 1 << 51200 << false;
    QTest::newRow("51200") << 51200 << 51200 << false;
    QTest::newRow("51201") << 51201 << 51200 << false;
    QTest::newRow("3 MiB, largest frames") << 3 * 1048576 + 3 << 102394 << false;
    QTest::newRow("3 MiB, small and whole frames") << 3 * 1048576 + 5 << -1 << false;
    QTest::newRow("hashing behind")
        << int(DIGEST_BACKLOG_LIMIT + 3 * 1048576 + 3) << 102394 << true;
}

void tst_ServerFileConn::upload()
{
    QFETCH(int, size);
    QFETCH(int, chunk);
    QFETCH(bool, gated);
    adapter.sums = true;
    adapter.gated = gated;
    const QString target = storage + QStringLiteral("/alice.z");
    QVERIFY(writeFile(target, pattern(70000, 99)));
    const QByteArray content = pattern(size, 5);
    CServerFileConn *conn = nullptr;
    TestFrameClient *client = newClient(&conn);
    QVERIFY(client);
    QPointer<CServerFileConn> guard(conn);

    const QByteArray reply = requestReply(client, TestFrameClient::uploadRequest("alice"));
    QCOMPARE(client->lastFrame().command(), FILE_CMD_UPLOAD_REPLY);
    QCOMPARE(reply, QByteArray::fromHex("00"));
    client->write(dataFrames(content, chunk) + TestFrameClient::control(FILE_CMD_END));
    if (gated) {
        // The frames wait in the socket while the hashing is behind.
        SETTLE_VERIFY(adapter.digest && !adapter.digest->waiters.empty());
        QVERIFY(!settle([&] { return guard.isNull(); }, 200));
        adapter.digest->release();
    }
    // The server ends the connection without a further reply.
    SETTLE_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    SETTLE_VERIFY(guard.isNull());
    QCOMPARE(client->frames.size(), 1);
    QCOMPARE(readFile(target), content);
    // The sum of exactly the bytes stored, kept beside them by the commit.
    QCOMPARE(allFiles(storage),
        (QStringList { QStringLiteral("alice.z"), QStringLiteral("alice.z.sha256") }));
    QCOMPARE(TestAdapter::readSum(target + QStringLiteral(".sha256")), sha256(content).toLatin1());
    // Kept before the archive's rename, so no committed archive lacks its sum.
    QCOMPARE(adapter.digest->targetAtSave, pattern(70000, 99));
    if (gated)
        QVERIFY2(adapter.digest->maxBacklog <= DIGEST_BACKLOG_LIMIT + UPLOAD_GATHER_SIZE,
            qPrintable(QString::number(adapter.digest->maxBacklog)));
}

void tst_ServerFileConn::uploadIntoNewSubfolder()
{
    TestFrameClient *client = newClient();
    QVERIFY(client);
    QCOMPARE(
        requestReply(client, TestFrameClient::uploadRequest("7/slot1")), QByteArray::fromHex("00"));
    client->write(TestFrameClient::frame(1, "save") + TestFrameClient::control(FILE_CMD_END));
    SETTLE_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    SETTLE_COMPARE(readFile(storage + QStringLiteral("/7/slot1.z")), QByteArray("save"));
    QCOMPARE(allFiles(storage), QStringList { QStringLiteral("7/slot1.z") });
}

void tst_ServerFileConn::uploadReplacesOnlyAtEnd()
{
    const QString target = storage + QStringLiteral("/alice.z");
    const QByteArray old = pattern(100000, 1);
    QVERIFY(writeFile(target, old));
    CServerFileConn *conn = nullptr;
    TestFrameClient *client = newClient(&conn);
    QVERIFY(client);
    QCOMPARE(
        requestReply(client, TestFrameClient::uploadRequest("alice")), QByteArray::fromHex("00"));
    // Accepted and partly sent: the archive is still the old one.
    QCOMPARE(readFile(target), old);
    client->write(dataFrames(pattern(200000, 2), 51200));
    SETTLE_COMPARE(client->bytesToWrite(), qint64(0));
    QVERIFY(settle([&] { return conn->bytesAvailable() == 0; }));
    QCOMPARE(readFile(target), old);
    client->write(TestFrameClient::control(FILE_CMD_END));
    SETTLE_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(readFile(target), pattern(200000, 2));
}

void tst_ServerFileConn::overlappingDownloadReadsOldArchive()
{
    const QString target = storage + QStringLiteral("/alice.z");
    const QByteArray old = pattern(150000, 3);
    QVERIFY(writeFile(target, old));
    TestFrameClient *reader = newClient();
    QVERIFY(reader);
    QCOMPARE(requestReply(reader, TestFrameClient::downloadRequest("alice")).left(1),
        QByteArray(1, '\0'));

    TestFrameClient *writer = newClient();
    QVERIFY(writer);
    QCOMPARE(
        requestReply(writer, TestFrameClient::uploadRequest("alice")), QByteArray::fromHex("00"));
    writer->write(dataFrames("new content", 51200) + TestFrameClient::control(FILE_CMD_END));
    SETTLE_COMPARE(writer->state(), QAbstractSocket::UnconnectedState);
    SETTLE_COMPARE(readFile(target), QByteArray("new content"));

    reader->frames.clear();
    reader->write(TestFrameClient::control(FILE_CMD_START));
    SETTLE_COMPARE(reader->frames.size(), 4);
    QCOMPARE(reader->dataBytes(), old);
}

void tst_ServerFileConn::connectedStartsReceiveTimer()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    CServerFileConn conn(storage, nullptr);
    conn.setRecvTimeout(150);
    QSignalSpy gone(&conn, &QAbstractSocket::disconnected);
    conn.connectToHost(QHostAddress::LocalHost, silent.serverPort());
    QVERIFY(gone.wait(5000));
}

void tst_ServerFileConn::downloadNotFoundBytes()
{
    CServerFileConn *conn = nullptr;
    TestFrameClient *client = newClient(&conn);
    QVERIFY(client);
    QSignalSpy gone(conn, &QAbstractSocket::disconnected);
    client->write(TestFrameClient::downloadRequest("nobody"));
    SETTLE_COMPARE(client->raw.size(), 6 + 23);
    QByteArray expected = QByteArray::fromHex("1a0000000017"
                                              "1a"
                                              "00000000"
                                              "03"
                                              "00000000"
                                              "01000000"
                                              "00000000"
                                              "00"
                                              "02"
                                              "0100"
                                              "01");
    // The sequence number is the process's own; it is little-endian at offset 7.
    QByteArray got = client->raw;
    QVERIFY(qFromLittleEndian<quint32>(got.constData() + 7) != 0);
    got.replace(7, 4, QByteArray(4, '\0'));
    QCOMPARE(got, expected);
    QCOMPARE(adapter.asked, 1);

    // Still open, and a good request goes through.
    QVERIFY(writeFile(storage + QStringLiteral("/there.z"), "x"));
    QCOMPARE(requestReply(client, TestFrameClient::downloadRequest("there")),
        QByteArray::fromHex("00"
                            "0000000000000001"));
    QCOMPARE(gone.count(), 0);
}

void tst_ServerFileConn::downloadOpenFailed()
{
    // Exists, but is a folder: it cannot be opened as a file.
    QVERIFY(QDir().mkpath(storage + QStringLiteral("/folder.z")));
    TestFrameClient *client = newClient();
    QVERIFY(client);
    QCOMPARE(requestReply(client, TestFrameClient::downloadRequest("folder")),
        QByteArray::fromHex("02"));
    QCOMPARE(client->state(), QAbstractSocket::ConnectedState);
}

void tst_ServerFileConn::refusedByAdapter()
{
    adapter.allow = false;
    QVERIFY(writeFile(storage + QStringLiteral("/alice.z"), "old"));
    TestFrameClient *client = newClient();
    QVERIFY(client);
    QCOMPARE(
        requestReply(client, TestFrameClient::downloadRequest("alice")), QByteArray::fromHex("03"));
    QCOMPARE(
        requestReply(client, TestFrameClient::uploadRequest("alice")), QByteArray::fromHex("03"));
    QCOMPARE(client->lastFrame().command(), FILE_CMD_UPLOAD_REPLY);
    QCOMPARE(adapter.asked, 2);
    QCOMPARE(adapter.mapped, 0);
    QCOMPARE(readFile(storage + QStringLiteral("/alice.z")), QByteArray("old"));
    QCOMPARE(client->state(), QAbstractSocket::ConnectedState);
}

void tst_ServerFileConn::unsafeNamesRefused_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("absolute") << QByteArray("/tmp/escape");
    QTest::newRow("parent") << QByteArray("../escape");
    QTest::newRow("parent inside") << QByteArray("7/../../escape");
    QTest::newRow("backslash") << QByteArray("..\\escape");
}

void tst_ServerFileConn::unsafeNamesRefused()
{
    QFETCH(QByteArray, name);
    QVERIFY(writeFile(dir->path() + QStringLiteral("/escape.z"), "outside"));
    TestFrameClient *client = newClient();
    QVERIFY(client);
    QCOMPARE(
        requestReply(client, TestFrameClient::downloadRequest(name)), QByteArray::fromHex("03"));
    QCOMPARE(requestReply(client, TestFrameClient::uploadRequest(name)), QByteArray::fromHex("03"));
    // The adapter was asked first, as for any request.
    QCOMPARE(adapter.asked, 2);
    QCOMPARE(adapter.mapped, 2);
    // Data after a refused upload goes nowhere: the connection ends.
    client->write(TestFrameClient::frame(1, "evil") + TestFrameClient::control(FILE_CMD_END));
    SETTLE_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(readFile(dir->path() + QStringLiteral("/escape.z")), QByteArray("outside"));
    QVERIFY(allFiles(storage).isEmpty());
    QVERIFY(!QFile::exists(QStringLiteral("/tmp/escape.z")));
}

void tst_ServerFileConn::uploadOpenFailed_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("folder in the way") << QByteArray("blocker/x");
    QTest::newRow("target is a folder") << QByteArray("folder");
}

void tst_ServerFileConn::uploadOpenFailed()
{
    QFETCH(QByteArray, name);
    QVERIFY(writeFile(storage + QStringLiteral("/blocker"), "file"));
    QVERIFY(QDir().mkpath(storage + QStringLiteral("/folder.z")));
    TestFrameClient *client = newClient();
    QVERIFY(client);
    QCOMPARE(requestReply(client, TestFrameClient::uploadRequest(name)), QByteArray::fromHex("02"));
    QCOMPARE(client->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(allFiles(storage), QStringList { QStringLiteral("blocker") });
}

void tst_ServerFileConn::uploadDisconnectKeepsOldArchive()
{
    const QString target = storage + QStringLiteral("/alice.z");
    const QByteArray old = pattern(80000, 4);
    QVERIFY(writeFile(target, old));
    CServerFileConn *conn = nullptr;
    TestFrameClient *client = newClient(&conn);
    QVERIFY(client);
    QPointer<CServerFileConn> guard(conn);
    QCOMPARE(
        requestReply(client, TestFrameClient::uploadRequest("alice")), QByteArray::fromHex("00"));
    client->write(dataFrames(pattern(300000, 5), 51200));
    SETTLE_COMPARE(client->bytesToWrite(), qint64(0));
    QVERIFY(settle([&] { return conn->bytesAvailable() == 0; }));
    client->abort();
    SETTLE_VERIFY(guard.isNull());
    QCOMPARE(readFile(target), old);
    QCOMPARE(allFiles(storage), QStringList { QStringLiteral("alice.z") });
}

void tst_ServerFileConn::uploadWriteFailureKeepsOldArchive()
{
    const QString target = storage + QStringLiteral("/alice.z");
    const QByteArray old = pattern(1000, 6);
    QVERIFY(writeFile(target, old));
    CServerFileConn *conn = nullptr;
    TestFrameClient *client = newClient(&conn);
    QVERIFY(client);
    QPointer<CServerFileConn> guard(conn);
    QCOMPARE(
        requestReply(client, TestFrameClient::uploadRequest("alice")), QByteArray::fromHex("00"));

    // A file-size limit makes the disk "full" after 150000 bytes.
    rlimit saved {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 150000;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    client->write(dataFrames(pattern(400000, 7), 51200) + TestFrameClient::control(FILE_CMD_END));
    const bool ended = settle([&] { return guard.isNull(); });
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(ended);
    QCOMPARE(readFile(target), old);
    QCOMPARE(allFiles(storage), QStringList { QStringLiteral("alice.z") });
}

void tst_ServerFileConn::newRequestReleasesPreviousFile()
{
    QVERIFY(writeFile(storage + QStringLiteral("/alice.z"), pattern(1000)));
    const QByteArray old = pattern(500, 8);
    QVERIFY(writeFile(storage + QStringLiteral("/bob.z"), old));
    CServerFileConn *conn = nullptr;
    TestFrameClient *client = newClient(&conn);
    QVERIFY(client);
    for (int i = 0; i < 15; ++i) {
        QCOMPARE(requestReply(client, TestFrameClient::downloadRequest("alice")).left(1),
            QByteArray(1, '\0'));
        QCOMPARE(requestReply(client, TestFrameClient::downloadRequest("missing")),
            QByteArray::fromHex("01"));
        QCOMPARE(
            requestReply(client, TestFrameClient::uploadRequest("bob")), QByteArray::fromHex("00"));
        QVERIFY(conn->findChildren<QFileDevice *>().size() <= 1);
    }
    // The upload left pending by the last request was dropped with its temporary file.
    QCOMPARE(requestReply(client, TestFrameClient::downloadRequest("alice")).left(1),
        QByteArray(1, '\0'));
    QCOMPARE(conn->findChildren<QFileDevice *>().size(), 1);
    QCOMPARE(
        allFiles(storage), (QStringList { QStringLiteral("alice.z"), QStringLiteral("bob.z") }));
    QCOMPARE(readFile(storage + QStringLiteral("/bob.z")), old);
}

void tst_ServerFileConn::noAcceptedTransferAborts_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("offending");
    const QByteArray download = TestFrameClient::downloadRequest("alice");
    const QByteArray missing = TestFrameClient::downloadRequest("missing");
    const QByteArray upload = TestFrameClient::uploadRequest("bob");
    const QByteArray start = TestFrameClient::control(FILE_CMD_START);
    const QByteArray end = TestFrameClient::control(FILE_CMD_END);
    const QByteArray data = TestFrameClient::frame(1, "abc");
    QTest::newRow("start first") << QByteArray() << start;
    QTest::newRow("start after not found") << missing << start;
    QTest::newRow("start after upload") << upload << start;
    QTest::newRow("end first") << QByteArray() << end;
    QTest::newRow("end after download") << download << end;
    QTest::newRow("data first") << QByteArray() << data;
    QTest::newRow("data after download") << download << data;
    QTest::newRow("command 2") << QByteArray() << TestFrameClient::control(2);
    QTest::newRow("command 4") << QByteArray() << TestFrameClient::control(4);
    QTest::newRow("command 0") << QByteArray() << TestFrameClient::control(0);
    QTest::newRow("command 7") << download << TestFrameClient::control(7);
}

void tst_ServerFileConn::noAcceptedTransferAborts()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, offending);
    QVERIFY(writeFile(storage + QStringLiteral("/alice.z"), pattern(1000)));
    QVERIFY(writeFile(storage + QStringLiteral("/bob.z"), "old"));
    CServerFileConn *conn = nullptr;
    TestFrameClient *client = newClient(&conn);
    QVERIFY(client);
    QSignalSpy gone(conn, &QAbstractSocket::disconnected);
    if (!before.isEmpty())
        QVERIFY(requestReply(client, before) != "<no reply>");
    const int replies = int(client->frames.size());
    client->write(offending);
    QVERIFY(gone.count() == 1 || gone.wait(5000));
    SETTLE_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(client->frames.size(), replies);
    QCOMPARE(readFile(storage + QStringLiteral("/bob.z")), QByteArray("old"));
    QCOMPARE(
        allFiles(storage), (QStringList { QStringLiteral("alice.z"), QStringLiteral("bob.z") }));
}

void tst_ServerFileConn::secondStartDuringTransferIgnored()
{
    smallSendBuffer = true;
    const QByteArray content = pattern(3 * 1048576, 9);
    QVERIFY(writeFile(storage + QStringLiteral("/alice.z"), content));
    CServerFileConn *conn = nullptr;
    TestFrameClient *client = newClient(&conn);
    QVERIFY(client);
    QSignalSpy begin(conn, &CAbstractFileConn::workBegin);
    QSignalSpy final(conn, &CAbstractFileConn::workFinal);
    QCOMPARE(requestReply(client, TestFrameClient::downloadRequest("alice")).left(1),
        QByteArray(1, '\0'));
    client->frames.clear();
    client->write(
        TestFrameClient::control(FILE_CMD_START) + TestFrameClient::control(FILE_CMD_START));
    SETTLE_COMPARE(final.count(), 1);
    SETTLE_COMPARE(client->frames.size(), 63);
    QCOMPARE(client->dataBytes(), content);
    QCOMPARE(client->lastFrame().command(), FILE_CMD_END);
    QVERIFY(!client->waitForReadyRead(250));
    QCOMPARE(client->frames.size(), 63);
    QCOMPARE(begin.count(), 1);
}

void tst_ServerFileConn::stalledClientDoesNotBlockOthers()
{
    smallSendBuffer = true;
    const QByteArray big = pattern(8 * 1048576, 10);
    const QByteArray small = pattern(1048576, 11);
    QVERIFY(writeFile(storage + QStringLiteral("/big.z"), big));
    QVERIFY(writeFile(storage + QStringLiteral("/small.z"), small));

    CServerFileConn *stalledConn = nullptr;
    TestFrameClient *stalled = newClient(&stalledConn);
    QVERIFY(stalled);
    QSignalSpy stalledFinal(stalledConn, &CAbstractFileConn::workFinal);
    QCOMPARE(requestReply(stalled, TestFrameClient::downloadRequest("big")).left(1),
        QByteArray(1, '\0'));
    stalled->setReadBufferSize(4096);
    stalled->setPaused(true);
    stalled->write(TestFrameClient::control(FILE_CMD_START));
    // The server's queue fills to its bound and stays there.
    SETTLE_VERIFY(stalledConn->bytesToWrite() > SEND_MAX_CACHE_SIZE);
    QVERIFY(stalledConn->bytesToWrite() <= SEND_MAX_CACHE_SIZE + SEND_CHUNK_LIMIT);

    TestFrameClient *other = newClient();
    QVERIFY(other);
    QCOMPARE(requestReply(other, TestFrameClient::downloadRequest("small")).left(1),
        QByteArray(1, '\0'));
    other->write(TestFrameClient::control(FILE_CMD_START));
    SETTLE_COMPARE(other->dataSize(), small.size());
    QCOMPARE(other->dataBytes(), small);
    SETTLE_COMPARE(other->lastFrame().command(), FILE_CMD_END);

    QVERIFY(stalledConn->isSending());
    QCOMPARE(stalledFinal.count(), 0);
    QCOMPARE(stalledConn->state(), QAbstractSocket::ConnectedState);

    // Once the client reads again, the transfer resumes and completes.
    stalled->setReadBufferSize(0);
    stalled->setPaused(false);
    SETTLE_COMPARE(stalledFinal.count(), 1);
    SETTLE_COMPARE(stalled->dataSize(), big.size());
    QCOMPARE(stalled->dataBytes(), big);
    SETTLE_COMPARE(stalled->lastFrame().command(), FILE_CMD_END);
}

void tst_ServerFileConn::stalledClientIsAborted()
{
    smallSendBuffer = true;
    stallTimeout = 300;
    QVERIFY(writeFile(storage + QStringLiteral("/big.z"), pattern(8 * 1048576, 12)));
    CServerFileConn *conn = nullptr;
    TestFrameClient *client = newClient(&conn);
    QVERIFY(client);
    QSignalSpy final(conn, &CAbstractFileConn::workFinal);
    QSignalSpy gone(conn, &QAbstractSocket::disconnected);
    QCOMPARE(
        requestReply(client, TestFrameClient::downloadRequest("big")).left(1), QByteArray(1, '\0'));
    client->setReadBufferSize(4096);
    client->setPaused(true);
    client->write(TestFrameClient::control(FILE_CMD_START));
    QVERIFY(gone.wait(10000));
    QCOMPARE(final.count(), 1);
    // Reading again, the client finds the connection reset.
    client->setReadBufferSize(0);
    client->setPaused(false);
    SETTLE_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(client->dataBytes().size() < 8 * 1048576);
}

void tst_ServerFileConn::deletingConnectedConnectionIsSilent()
{
    const QString target = storage + QStringLiteral("/alice.z");
    QVERIFY(writeFile(target, "old"));
    CServerFileConn *conn = nullptr;
    TestFrameClient *client = newClient(&conn);
    QVERIFY(client);
    QCOMPARE(
        requestReply(client, TestFrameClient::uploadRequest("alice")), QByteArray::fromHex("00"));
    client->write(TestFrameClient::frame(1, "partial"));
    SETTLE_COMPARE(client->bytesToWrite(), qint64(0));
    QVERIFY(settle([&] { return conn->bytesAvailable() == 0; }));
    // An owner deleting a live connection gets no disconnected() from inside the destructor.
    int calls = 0;
    connect(conn, &QAbstractSocket::disconnected, this, [&calls] { ++calls; });
    delete conn;
    QCOMPARE(calls, 0);
    QCOMPARE(readFile(target), QByteArray("old"));
    QCOMPARE(allFiles(storage), QStringList { QStringLiteral("alice.z") });
    SETTLE_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
}

void tst_ServerFileConn::newRequestDuringTransferCancelsIt()
{
    smallSendBuffer = true;
    QVERIFY(writeFile(storage + QStringLiteral("/big.z"), pattern(8 * 1048576, 13)));
    QVERIFY(writeFile(storage + QStringLiteral("/small.z"), "tiny"));
    CServerFileConn *conn = nullptr;
    TestFrameClient *client = newClient(&conn);
    QVERIFY(client);
    QSignalSpy final(conn, &CAbstractFileConn::workFinal);
    QCOMPARE(
        requestReply(client, TestFrameClient::downloadRequest("big")).left(1), QByteArray(1, '\0'));
    client->frames.clear();
    client->setReadBufferSize(4096);
    client->setPaused(true);
    client->write(TestFrameClient::control(FILE_CMD_START));
    SETTLE_VERIFY(conn->bytesToWrite() > SEND_MAX_CACHE_SIZE);

    client->write(TestFrameClient::downloadRequest("small"));
    SETTLE_COMPARE(final.count(), 1);
    QVERIFY(!conn->isSending());
    QCOMPARE(conn->findChildren<QFileDevice *>().size(), 1);

    // The frames already queued arrive whole, then the reply; no end-of-file in between.
    client->setReadBufferSize(0);
    client->setPaused(false);
    SETTLE_VERIFY(!client->frames.isEmpty() && client->lastFrame().type == FRAME_CONTROL);
    const QList<TestFrameClient::Frame> frames = client->frames;
    QCOMPARE(client->lastFrame().command(), FILE_CMD_DOWNLOAD_REPLY);
    QCOMPARE(client->lastFrame().body(),
        QByteArray::fromHex("00"
                            "0000000000000004"));
    for (int i = 0; i + 1 < frames.size(); ++i)
        QCOMPARE(frames.at(i).type, FRAME_DATA);
    QVERIFY(client->dataBytes().size() < 8 * 1048576);
    QCOMPARE(client->dataBytes(), pattern(8 * 1048576, 13).left(client->dataBytes().size()));

    client->frames.clear();
    client->write(TestFrameClient::control(FILE_CMD_START));
    SETTLE_COMPARE(client->frames.size(), 2);
    QCOMPARE(client->dataBytes(), QByteArray("tiny"));
    QCOMPARE(final.count(), 2);
}

void tst_ServerFileConn::uploadEndTellsTheTruth_data()
{
    QTest::addColumn<QString>("saveName");
    QTest::addColumn<bool>("storageRemoved");
    QTest::newRow("stored") << QStringLiteral("alice") << false;
    QTest::newRow("stored in a new folder") << QStringLiteral("7/slot") << false;
    QTest::newRow("storage removed meanwhile") << QStringLiteral("alice") << true;
    QTest::newRow("new folder's storage removed") << QStringLiteral("7/slot") << true;
}

void tst_ServerFileConn::uploadEndTellsTheTruth()
{
    QFETCH(QString, saveName);
    QFETCH(bool, storageRemoved);
    const QByteArray content = pattern(300000, 14);
    QBuffer source;
    source.setData(content);
    QVERIFY(source.open(QIODevice::ReadOnly));
    CFileClient client;
    client.setTimeout(10000);
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->serverPort()));
    // The server has its temporary file open by the time the client starts to send.
    connect(&client, &CFileClient::progress, this, [&](qint64 done) {
        if (storageRemoved && done == 0)
            QVERIFY(QDir(storage).removeRecursively());
    });
    const bool ok = client.upload(QStringLiteral("u"), QStringLiteral("d"), saveName, source);
    if (storageRemoved) {
        QVERIFY(!ok);
        QCOMPARE(client.clientError(), ClientError::NotStored);
        QVERIFY(!QFileInfo::exists(storage));
    } else {
        QVERIFY2(ok, qPrintable(clientErrorText(client.clientError())));
        QCOMPARE(readFile(storage + QLatin1Char('/') + saveName + QStringLiteral(".z")), content);
    }
}

void tst_ServerFileConn::uploadEndWaitsForTheCommit_data()
{
    QTest::addColumn<bool>("stored");
    QTest::newRow("stored") << true;
    QTest::newRow("refused") << false;
}

// The connection ends only once the owner has answered for the commit: with the close after
// the archive is on disk, with a reset when it was not stored.
void tst_ServerFileConn::uploadEndWaitsForTheCommit()
{
    QFETCH(bool, stored);
    DeferringAdapter deferring;
    useAdapter = &deferring;
    const QString target = storage + QStringLiteral("/alice");
    QVERIFY(writeFile(target, "old"));
    const QByteArray content = pattern(200000, 15);
    QBuffer source;
    source.setData(content);
    QVERIFY(source.open(QIODevice::ReadOnly));
    CFileClient client;
    client.setTimeout(10000);
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->serverPort()));
    QSignalSpy finished(&client, &CFileClient::finished);
    QVERIFY(client.startUpload(
        QStringLiteral("u"), QStringLiteral("d"), QStringLiteral("alice"), &source));
    SETTLE_VERIFY(deferring.commit);
    QVERIFY(!finished.wait(300));
    QCOMPARE(readFile(target), QByteArray("old"));

    // The commit may run on any thread.
    bool committed = false;
    if (stored)
        std::thread([&] { committed = deferring.commit(); }).join();
    deferring.commit = nullptr;
    QCOMPARE(committed, stored);
    deferring.answer(stored);
    SETTLE_COMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), stored);
    if (!stored)
        QCOMPARE(client.clientError(), ClientError::NotStored);
    QCOMPARE(readFile(target), stored ? content : QByteArray("old"));
    QCOMPARE(allFiles(storage), QStringList { QStringLiteral("alice") });
}

void tst_ServerFileConn::idleConnection_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("closed");
    const QByteArray data = TestFrameClient::frame(1, "part");
    QTest::newRow("upload waiting for data") << TestFrameClient::uploadRequest("alice") << true;
    QTest::newRow("upload into a new folder")
        << TestFrameClient::uploadRequest("7/8/slot") + data << true;
    QTest::newRow("upload after some data")
        << TestFrameClient::uploadRequest("alice") + data << true;
    QTest::newRow("download done")
        << TestFrameClient::downloadRequest("alice") + TestFrameClient::control(FILE_CMD_START)
        << false;
    QTest::newRow("no request") << QByteArray() << false;
}

void tst_ServerFileConn::idleConnection()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, closed);
    recvTimeout = 300;
    QVERIFY(writeFile(storage + QStringLiteral("/alice.z"), "old"));
    CServerFileConn *conn = nullptr;
    TestFrameClient *client = newClient(&conn);
    QVERIFY(client);
    QSignalSpy gone(conn, &QAbstractSocket::disconnected);
    client->write(request);
    if (!request.isEmpty())
        SETTLE_VERIFY(!client->frames.isEmpty());
    // Clients may hold a connection for hours between transfers, but not an upload.
    QCOMPARE(gone.wait(1500), closed);
    QCOMPARE(allFiles(storage), QStringList { QStringLiteral("alice.z") });
    QCOMPARE(QDir(storage).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
        QStringList { QStringLiteral("alice.z") });
    QCOMPARE(readFile(storage + QStringLiteral("/alice.z")), QByteArray("old"));
}

QTEST_GUILESS_MAIN(tst_ServerFileConn)
#include "tst_serverfileconn.moc"
