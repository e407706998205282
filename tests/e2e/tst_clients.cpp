#include <QBuffer>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include "cfileclient.h"
#include "cprotoclient.h"
#include "cprotopacket.h"
#include "cserverfileconn.h"

using libsock::CFileClient;
using libsock::ClientError;
using libsock::CProtoClient;

namespace {

// The framework's own server file connection on loopback, in this thread.
class FileServer : public QTcpServer
{
public:
    explicit FileServer(const QString &dir)
        : storage(dir)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *conn = new libsock::CServerFileConn(storage, this);
        conn->setSocketDescriptor(descriptor);
        connect(conn, &QAbstractSocket::disconnected, conn, &QObject::deleteLater);
    }

private:
    QString storage;
};

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xFF);
    return bytes;
}

} // namespace

// The client classes on their own: progress, the non-blocking forms, and failures that the
// command line cannot easily provoke.
class tst_Clients : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void writeStringEncoding();
    void downloadReportsProgress();
    void uploadWithoutBlocking();
    void sinkWriteFailureEndsDownload();
    void requestsNeedAnOpenIdleConnection();
    void unansweredRequestTimesOut();

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FileServer> server;
};

void tst_Clients::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    server = std::make_unique<FileServer>(dir->path());
    QVERIFY(server->listen(QHostAddress::LocalHost));
}

void tst_Clients::cleanup()
{
    server.reset();
    dir.reset();
}

void tst_Clients::writeStringEncoding()
{
    libsock::CProtoPacket packet;
    packet.reset().writeString(QStringLiteral("abc")).writeInt32(1);
    QCOMPARE(packet.bodyLength(), quint16(9));
    QCOMPARE(QByteArray(packet.data() + 20, 2), QByteArray::fromHex("0900"));
    QCOMPARE(QByteArray(packet.data() + 22, 9), QByteArray::fromHex("000361626300000001"));

    // Latin-1 goes across unchanged; a text the reader could not take back is dropped.
    packet.reset()
        .writeString(QString::fromLatin1("caf\xe9"))
        .writeString(QString(0x8000, QLatin1Char('x')));
    QCOMPARE(packet.bodyLength(), quint16(6));
    QString text;
    packet.readString(text);
    QCOMPARE(text, QString::fromLatin1("caf\xe9"));

    // A field that would pass the 51200-byte record is dropped whole.
    packet.reset();
    const QString big(30000, QLatin1Char('y'));
    packet.writeString(big);
    QCOMPARE(packet.bodyLength(), quint16(30002));
    packet.writeString(big);
    QCOMPARE(packet.bodyLength(), quint16(30002));
}

void tst_Clients::downloadReportsProgress()
{
    const QByteArray content = pattern(3 * 51200 + 5);
    QFile file(dir->filePath(QStringLiteral("slot")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
    file.close();

    CFileClient client;
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->serverPort()));
    QSignalSpy progress(&client, &CFileClient::progress);
    QSignalSpy finished(&client, &CFileClient::finished);
    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    QVERIFY(client.download(QStringLiteral("u"), QString(), QStringLiteral("slot"), sink));
    QVERIFY(sink.data() == content);
    QCOMPARE(client.fileSize(), qint64(content.size()));

    // 0 first, then after each frame of 51200, ending at the whole size.
    const QList<qint64> expected = { 0, 51200, 102400, 153600, content.size() };
    QCOMPARE(progress.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(progress.at(i).at(0).toLongLong(), expected.at(i));
        QCOMPARE(progress.at(i).at(1).toLongLong(), qint64(content.size()));
    }
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().toBool(), true);

    // The connection stays usable: a missing save is answered, not dropped.
    QBuffer second;
    QVERIFY(second.open(QIODevice::WriteOnly));
    QVERIFY(!client.download(QStringLiteral("u"), QString(), QStringLiteral("gone"), second));
    QCOMPARE(client.result(), libsock::FILE_NOT_FOUND);
    QCOMPARE(client.clientError(), ClientError::None);
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
}

void tst_Clients::uploadWithoutBlocking()
{
    QByteArray content = pattern(2 * 1024 * 1024 + 3);
    QBuffer source(&content);
    QVERIFY(source.open(QIODevice::ReadOnly));
    CFileClient client;
    QSignalSpy finished(&client, &CFileClient::finished);
    client.connectToHost(QHostAddress::LocalHost, server->serverPort());
    QVERIFY(client.waitForConnected(5000));

    QVERIFY(client.startUpload(QStringLiteral("u"), QString(), QStringLiteral("up"), &source));
    QVERIFY(client.isBusy());
    // Nothing else may start while one transfer runs.
    QVERIFY(!client.startUpload(QStringLiteral("u"), QString(), QStringLiteral("up"), &source));
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.first().first().toBool(), true);
    QCOMPARE(client.transferred(), qint64(content.size()));

    QFile stored(dir->filePath(QStringLiteral("up")));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QVERIFY(stored.readAll() == content);
}

void tst_Clients::sinkWriteFailureEndsDownload()
{
    if (!QFile::exists(QStringLiteral("/dev/full")))
        QSKIP("needs /dev/full");
    QFile file(dir->filePath(QStringLiteral("slot")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(pattern(200000)) == 200000);
    file.close();

    QFile full(QStringLiteral("/dev/full"));
    QVERIFY(full.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    CFileClient client;
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->serverPort()));
    QVERIFY(!client.download(QStringLiteral("u"), QString(), QStringLiteral("slot"), full));
    QCOMPARE(client.clientError(), ClientError::LocalFile);
    QCOMPARE(client.state(), QAbstractSocket::UnconnectedState);
}

void tst_Clients::requestsNeedAnOpenIdleConnection()
{
    CProtoClient control;
    QVERIFY(!control.sendLogin(QStringLiteral("a"), QStringLiteral("b")));
    QCOMPARE(control.clientError(), ClientError::ConnectionClosed);
    CFileClient files;
    QBuffer sink;
    QVERIFY(sink.open(QIODevice::WriteOnly));
    QVERIFY(!files.startDownload(QStringLiteral("a"), QString(), QStringLiteral("s"), &sink));
    QCOMPARE(files.clientError(), ClientError::ConnectionClosed);

    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    QVERIFY(control.connectToServer(QStringLiteral("127.0.0.1"), silent.serverPort()));
    QVERIFY(control.sendLogin(QStringLiteral("a"), QStringLiteral("b")));
    QVERIFY(control.isBusy());
    QVERIFY(!control.sendLogin(QStringLiteral("a"), QStringLiteral("b")));
}

void tst_Clients::unansweredRequestTimesOut()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    CProtoClient control;
    control.setTimeout(300);
    QSignalSpy failed(&control, &CProtoClient::failed);
    QSignalSpy replies(&control, &CProtoClient::replyReceived);
    QVERIFY(control.connectToServer(QStringLiteral("127.0.0.1"), silent.serverPort()));
    QVERIFY(!control.login(QStringLiteral("a"), QStringLiteral("b")));
    QCOMPARE(control.clientError(), ClientError::Timeout);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(replies.size(), 0);
    // The connection is given up, so a late reply cannot be taken for the next request's.
    QCOMPARE(control.state(), QAbstractSocket::UnconnectedState);
}

QTEST_GUILESS_MAIN(tst_Clients)
#include "tst_clients.moc"
