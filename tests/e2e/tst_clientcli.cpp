#include <memory>

#include <sys/socket.h>
#include <unistd.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "cfileclient.h"
#include "ctlsidentity.h"
#include "cportreservation.h"
#include "cserverprocess.h"
#include "testtls.h"
#include "testwire.h"

using testwire::frame;
using testwire::int64;
using testwire::packet;

namespace {

struct ClientRun
{
    bool ended = false;
    int exitCode = -1;
    QString out;
    QString err;
};

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char(generator.generate() & 0xFF);
    return bytes;
}

QStringList words(std::initializer_list<const char *> list)
{
    QStringList out;
    for (const char *word : list)
        out << QString::fromLatin1(word);
    return out;
}

// The file port of a server that accepts one TLS upload and ends it its own way: an orderly
// TLS close whose FIN comes a while after the close_notify (a copy of the descriptor stays
// open until then), or a reset.
class TlsUploadEnd : public QTcpServer
{
public:
    TlsUploadEnd(const QSslConfiguration &config, bool orderly)
        : identity(config)
        , orderlyEnd(orderly)
    {
    }
    ~TlsUploadEnd() override
    {
        if (heldBack >= 0)
            ::close(heldBack);
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *peer = new QSslSocket(this);
        peer->setSocketDescriptor(descriptor);
        peer->setSslConfiguration(identity);
        connect(peer, &QIODevice::readyRead, peer, [this, peer] {
            received += peer->readAll();
            if (!answered && received.size() >= 6 + 22) {
                answered = true;
                peer->write(frame(0, packet(4, QByteArray(1, '\0'))));
            }
            // The end of the upload: a control frame holding command 6.
            const QByteArray tail = received.right(6 + 22);
            if (tail.size() < 28 || tail.at(0) != '\x1a' || tail.at(1) != 0 || tail.at(25) != 6)
                return;
            if (orderlyEnd) {
                heldBack = ::dup(int(peer->socketDescriptor()));
                peer->disconnectFromHost();
                // The FIN follows once the client has surely read the close_notify.
                QTimer::singleShot(300, this, [this] {
                    ::close(heldBack);
                    heldBack = -1;
                });
            } else {
                const linger now { 1, 0 };
                ::setsockopt(
                    int(peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
                peer->abort();
            }
        });
        peer->startServerEncryption();
    }

private:
    QSslConfiguration identity;
    bool orderlyEnd = true;
    bool answered = false;
    QByteArray received;
    int heldBack = -1;
};

} // namespace

// The real tolvern-client executable against a copy of the real tolvern-server, and against
// fake servers that misbehave on purpose.
class tst_ClientCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    // happy flows
    void accountCommands();
    void roundTrip_data();
    void roundTrip();
    void uploadIntoSubfolder();
    void uploadReplacesSave();

    // rainy-day flows
    void transferRefusals_data();
    void transferRefusals();
    void interruptedUploadKeepsOldSave();
    void nothingListening_data();
    void nothingListening();
    void serverMisbehaves_data();
    void serverMisbehaves();
    void usageErrors_data();
    void usageErrors();

    // TLS
    void tls_data();
    void tls();
    void tlsTransfers();
    void tlsUploadEnd_data();
    void tlsUploadEnd();

private:
    ClientRun runClient(const QStringList &arguments);
    QStringList ports() const;
    QString scratchPath(const QString &name) const { return scratch.filePath(name); }
    QStringList scratchEntries() const;

    // A server with [Tls], started by the first test that needs it.
    bool startTlsServer();
    QStringList tlsPorts() const;

    std::unique_ptr<CServerProcess> server;
    std::unique_ptr<CServerProcess> tlsServer;
    testtls::Identity identity;
    testtls::Identity stranger;
    QTemporaryDir scratch;
};

void tst_ClientCli::initTestCase()
{
    QVERIFY(scratch.isValid());
    server = std::make_unique<CServerProcess>(QStringLiteral(TOLVERN_SERVER_PATH));
    QVERIFY2(server->isValid(), qPrintable(server->errorText()));
    QVERIFY2(server->start(), qPrintable(server->errorText()));
}

void tst_ClientCli::cleanupTestCase()
{
    // A clean stop also proves the server survived everything the tests threw at it.
    QCOMPARE(server->stop(), 0);
    if (tlsServer)
        QCOMPARE(tlsServer->stop(), 0);
}

ClientRun tst_ClientCli::runClient(const QStringList &arguments)
{
    ClientRun run;
    QProcess client;
    client.start(QStringLiteral(TOLVERN_CLIENT_PATH), arguments);
    if (!client.waitForStarted(10000))
        return run;
    // Spin the event loop meanwhile: the fake servers live in this thread.
    run.ended = QTest::qWaitFor([&] { return client.state() == QProcess::NotRunning; }, 60000);
    if (!run.ended) {
        client.kill();
        client.waitForFinished(5000);
        return run;
    }
    run.exitCode = client.exitStatus() == QProcess::NormalExit ? client.exitCode() : -1;
    run.out = QString::fromLocal8Bit(client.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(client.readAllStandardError());
    return run;
}

QStringList tst_ClientCli::ports() const
{
    return { QStringLiteral("--port"), QString::number(server->mainPort()),
        QStringLiteral("--file-port"), QString::number(server->filePort()) };
}

QStringList tst_ClientCli::scratchEntries() const
{
    return QDir(scratch.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

void tst_ClientCli::accountCommands()
{
    const QRegularExpression idPattern(QStringLiteral("object id (\\d+)"));

    ClientRun run = runClient(ports()
        << QStringLiteral("add-user") << QStringLiteral("carol") << QStringLiteral("s3cret"));
    QVERIFY2(run.exitCode == 0,
        qPrintable(QStringLiteral("exit code %1: %2").arg(run.exitCode).arg(run.err)));
    const QRegularExpressionMatch added = idPattern.match(run.out);
    QVERIFY2(added.hasMatch(), qPrintable(run.out));
    const QString id = added.captured(1);
    QVERIFY(id.toInt() > 0);

    run = runClient(ports() << QStringLiteral("add-user") << QStringLiteral("carol")
                            << QStringLiteral("other"));
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.err.contains(QLatin1String("already taken")));

    run = runClient(
        ports() << QStringLiteral("login") << QStringLiteral("carol") << QStringLiteral("s3cret"));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(idPattern.match(run.out).captured(1), id);

    run = runClient(
        ports() << QStringLiteral("login") << QStringLiteral("carol") << QStringLiteral("wrong"));
    QCOMPARE(run.exitCode, 3);
    run = runClient(
        ports() << QStringLiteral("login") << QStringLiteral("nobody") << QStringLiteral("s3cret"));
    QCOMPARE(run.exitCode, 3);

    run = runClient(ports() << QStringLiteral("change-pass") << id << QStringLiteral("wrong")
                            << QStringLiteral("n3w"));
    QCOMPARE(run.exitCode, 4);
    run = runClient(ports() << QStringLiteral("change-pass") << id << QStringLiteral("s3cret")
                            << QStringLiteral("n3w"));
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.contains(id));
    run = runClient(
        ports() << QStringLiteral("login") << QStringLiteral("carol") << QStringLiteral("s3cret"));
    QCOMPARE(run.exitCode, 3);
    run = runClient(
        ports() << QStringLiteral("login") << QStringLiteral("carol") << QStringLiteral("n3w"));
    QCOMPARE(run.exitCode, 0);

    run = runClient(ports() << QStringLiteral("change-pass") << QStringLiteral("999999")
                            << QStringLiteral("a") << QStringLiteral("b"));
    QCOMPARE(run.exitCode, 1);

    // Arguments that look like options once "--" has ended the options.
    run = runClient(ports() << QStringLiteral("add-user") << QStringLiteral("--")
                            << QStringLiteral("--dash") << QStringLiteral("-pw"));
    QCOMPARE(run.exitCode, 0);
    run = runClient(ports() << QStringLiteral("login") << QStringLiteral("--")
                            << QStringLiteral("--dash") << QStringLiteral("-pw"));
    QCOMPARE(run.exitCode, 0);
    // A name that holds a placeholder of its own is printed as it is.
    run = runClient(
        ports() << QStringLiteral("add-user") << QStringLiteral("x%1y") << QStringLiteral("p"));
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(QRegularExpression(QStringLiteral("^User x%1y added, object id \\d+\n$"))
                 .match(run.out)
                 .hasMatch(),
        qPrintable(run.out));
}

void tst_ClientCli::roundTrip_data()
{
    QTest::addColumn<qint64>("size");
    // Around the server's 51200-byte frames and the client's 102394-byte limit.
    for (qint64 size : { 0, 1, 51199, 51200, 51201, 102394, 102400, 3 * 1024 * 1024 + 7 })
        QTest::addRow("%lld bytes", size) << size;
}

void tst_ClientCli::roundTrip()
{
    QFETCH(qint64, size);
    const QByteArray content = randomBytes(size, quint32(size) + 1);
    const QString save = QStringLiteral("rt%1").arg(size);
    const QString source = scratchPath(save + QStringLiteral(".in"));
    const QString target = scratchPath(save + QStringLiteral(".out"));
    QVERIFY(writeFile(source, content));

    ClientRun run = runClient(ports() << QStringLiteral("upload") << save << source
                                      << QStringLiteral("--user") << QStringLiteral("tester"));
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.contains(QString::number(size)));
    QVERIFY(
        readAll(server->storageDir() + QLatin1Char('/') + save + QStringLiteral(".z")) == content);

    run = runClient(ports() << QStringLiteral("download") << save << target);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(readAll(target) == content);
    // Only the finished file is left beside it, no temporary file.
    QCOMPARE(scratchEntries().filter(save),
        QStringList({ save + QStringLiteral(".in"), save + QStringLiteral(".out") }));
    QVERIFY(QFile::remove(source));
    QVERIFY(QFile::remove(target));
}

void tst_ClientCli::uploadIntoSubfolder()
{
    const QString source = scratchPath(QStringLiteral("slot1.in"));
    QVERIFY(writeFile(source, "level 9"));
    const ClientRun run
        = runClient(ports() << QStringLiteral("upload") << QStringLiteral("7/slot1") << source);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(readAll(server->storageDir() + QStringLiteral("/7/slot1.z")), QByteArray("level 9"));
}

void tst_ClientCli::uploadReplacesSave()
{
    const QString first = scratchPath(QStringLiteral("first.in"));
    const QString second = scratchPath(QStringLiteral("second.in"));
    const QString target = scratchPath(QStringLiteral("replaced.out"));
    QVERIFY(writeFile(first, randomBytes(200000, 7)));
    QVERIFY(writeFile(second, "short"));
    QCOMPARE(
        runClient(ports() << QStringLiteral("upload") << QStringLiteral("swap") << first).exitCode,
        0);
    QCOMPARE(
        runClient(ports() << QStringLiteral("upload") << QStringLiteral("swap") << second).exitCode,
        0);
    QCOMPARE(runClient(ports() << QStringLiteral("download") << QStringLiteral("swap") << target)
                 .exitCode,
        0);
    QCOMPARE(readAll(target), QByteArray("short"));
}

void tst_ClientCli::transferRefusals_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("save");
    QTest::addColumn<QString>("localFile");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("missing save") << "download"
                                  << "never-uploaded"
                                  << "out.bin" << 11;
    QTest::newRow("download outside storage") << "download"
                                              << "../escape"
                                              << "out.bin" << 13;
    QTest::newRow("upload outside storage") << "upload"
                                            << "../escape"
                                            << "present.in" << 13;
    QTest::newRow("upload absolute name") << "upload"
                                          << "/tmp/escape"
                                          << "present.in" << 13;
    QTest::newRow("upload of a missing file") << "upload"
                                              << "ok"
                                              << "absent.in" << 30;
    QTest::newRow("upload of a folder") << "upload"
                                        << "ok"
                                        << "." << 30;
    QTest::newRow("download into a missing folder") << "download"
                                                    << "never-uploaded"
                                                    << "no/such/dir/out.bin" << 30;
}

void tst_ClientCli::transferRefusals()
{
    QFETCH(QString, command);
    QFETCH(QString, save);
    QFETCH(QString, localFile);
    QFETCH(int, exitCode);
    QVERIFY(writeFile(scratchPath(QStringLiteral("present.in")), "data"));
    const QStringList before = scratchEntries();

    const ClientRun run = runClient(ports() << command << save << scratchPath(localFile));
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY(!run.err.isEmpty());
    // A failed download leaves neither the file nor a temporary one behind.
    QCOMPARE(scratchEntries(), before);
    QVERIFY(!QFile::exists(server->path(QStringLiteral("escape.z"))));
}

void tst_ClientCli::interruptedUploadKeepsOldSave()
{
    const QString source = scratchPath(QStringLiteral("keep.in"));
    const QByteArray old = randomBytes(300000, 11);
    QVERIFY(writeFile(source, old));
    QCOMPARE(
        runClient(ports() << QStringLiteral("upload") << QStringLiteral("keep") << source).exitCode,
        0);

    // A client that drops in the middle of a new upload, after megabytes went across.
    QByteArray replacement = randomBytes(16 * 1024 * 1024, 12);
    QBuffer buffer(&replacement);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    libsock::CFileClient client;
    QVERIFY(client.connectToServer(QStringLiteral("127.0.0.1"), server->filePort()));
    connect(&client, &libsock::CFileClient::progress, &client, [&client](qint64 done) {
        if (done >= 4 * 1024 * 1024)
            client.abort();
    });
    QVERIFY(
        client.startUpload(QStringLiteral("tester"), QString(), QStringLiteral("keep"), &buffer));
    QVERIFY(!client.waitForFinished());
    QCOMPARE(client.clientError(), libsock::ClientError::ConnectionClosed);
    QVERIFY(client.transferred() >= 4 * 1024 * 1024);

    // The old save stays byte for byte and the partial upload leaves no file behind.
    const QDir storage(server->storageDir());
    QTRY_COMPARE(storage.entryList({ QStringLiteral("keep*") }, QDir::Files | QDir::Hidden),
        QStringList({ QStringLiteral("keep.z"), QStringLiteral("keep.z.xxh128") }));
    QVERIFY(readAll(storage.filePath(QStringLiteral("keep.z"))) == old);
    const QString target = scratchPath(QStringLiteral("keep.out"));
    QCOMPARE(runClient(ports() << QStringLiteral("download") << QStringLiteral("keep") << target)
                 .exitCode,
        0);
    QVERIFY(readAll(target) == old);
}

void tst_ClientCli::nothingListening_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("login") << words({ "login", "carol", "s3cret" });
    QTest::newRow("add-user") << words({ "add-user", "carol", "s3cret" });
    QTest::newRow("download") << words({ "download", "slot", "refused.out" });
}

void tst_ClientCli::nothingListening()
{
    QFETCH(QStringList, arguments);
    // Bound, never listening: connections to it are refused.
    const CPortReservation closed;
    const QString port = QString::number(closed.port());
    if (arguments.first() == QLatin1String("download"))
        arguments.last() = scratchPath(arguments.last());
    const ClientRun run = runClient(
        QStringList({ QStringLiteral("--port"), port, QStringLiteral("--file-port"), port })
        + arguments);
    QCOMPARE(run.exitCode, 20);
    QVERIFY(run.err.contains(QLatin1String("refused")));
    QVERIFY(!QFile::exists(scratchPath(QStringLiteral("refused.out"))));
}

void tst_ClientCli::serverMisbehaves_data()
{
    QTest::addColumn<QString>("behaviour");
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("never answers a login") << "silent"
                                           << "login" << 22;
    QTest::newRow("never answers a download") << "silent"
                                              << "download" << 22;
    QTest::newRow("closes before the reply") << "close"
                                             << "login" << 23;
    QTest::newRow("answers another command") << "wrong-reply"
                                             << "login" << 24;
    QTest::newRow("closes in the middle of a download") << "cut-short"
                                                        << "download" << 23;
    QTest::newRow("sends more than it announced") << "too-long"
                                                  << "download" << 24;
    QTest::newRow("ends before the announced size") << "early-end"
                                                    << "download" << 24;
}

void tst_ClientCli::serverMisbehaves()
{
    QFETCH(QString, behaviour);
    QFETCH(QString, command);
    QFETCH(int, exitCode);

    // A download target that existed before must survive a failed download unchanged.
    const QString target = scratchPath(QStringLiteral("previous.out"));
    QVERIFY(writeFile(target, "previous"));
    const QStringList before = scratchEntries();

    QTcpServer fake;
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    connect(&fake, &QTcpServer::newConnection, &fake, [&] {
        QTcpSocket *peer = fake.nextPendingConnection();
        if (behaviour == QLatin1String("close")) {
            peer->close();
            return;
        }
        connect(peer, &QTcpSocket::readyRead, peer, [peer, behaviour] {
            if (behaviour == QLatin1String("silent"))
                return;
            if (behaviour == QLatin1String("wrong-reply")) {
                peer->readAll();
                peer->write(packet(2, QByteArray(5, '\0')));
                return;
            }
            // File port: answer the download request, then misbehave after command 5.
            const QByteArray request = peer->readAll();
            const bool start = request.size() >= 28 && quint8(request[25]) == 5;
            if (!start) {
                peer->write(frame(0, packet(2, QByteArray(1, '\0') + int64(1000))));
                return;
            }
            if (behaviour == QLatin1String("cut-short")) {
                peer->write(frame(1, QByteArray(500, 'x')));
                peer->disconnectFromHost();
            } else if (behaviour == QLatin1String("too-long")) {
                peer->write(frame(1, QByteArray(1001, 'x')));
            } else {
                peer->write(frame(1, QByteArray(999, 'x')));
                peer->write(frame(0, packet(6, {})));
            }
        });
    });

    const QString port = QString::number(fake.serverPort());
    QStringList arguments = { QStringLiteral("--port"), port, QStringLiteral("--file-port"), port,
        QStringLiteral("--timeout"), QStringLiteral("1"), command };
    if (command == QLatin1String("login"))
        arguments << QStringLiteral("carol") << QStringLiteral("s3cret");
    else
        arguments << QStringLiteral("slot") << target;
    const ClientRun run = runClient(arguments);
    QVERIFY(run.ended);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(scratchEntries(), before);
    QCOMPARE(readAll(target), QByteArray("previous"));
}

void tst_ClientCli::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no command") << QStringList();
    QTest::newRow("unknown command") << words({ "frobnicate" });
    QTest::newRow("missing argument") << words({ "login", "carol" });
    QTest::newRow("extra argument") << words({ "login", "carol", "a", "b" });
    QTest::newRow("port 0") << words({ "--port", "0", "login", "carol", "a" });
    QTest::newRow("port too high") << words({ "--port", "65536", "login", "carol", "a" });
    QTest::newRow("option without value") << words({ "login", "carol", "a", "--host" });
    QTest::newRow("unknown option") << words({ "--verbose", "login", "carol", "a" });
    QTest::newRow("--user on login") << words({ "login", "carol", "a", "--user", "u" });
    QTest::newRow("id not a number") << words({ "change-pass", "seven", "a", "b" });
    QTest::newRow("negative time-out") << words({ "--timeout", "-1", "login", "c", "a" });
    QTest::newRow("--ca without --tls") << words({ "--ca", "x.pem", "login", "c", "a" });
    QTest::newRow("--insecure without --tls") << words({ "--insecure", "login", "c", "a" });
    QTest::newRow("name beyond Latin-1") << QStringList(
        { QStringLiteral("login"), QString::fromUtf8("\xce\xa9mega"), QStringLiteral("a") });
}

void tst_ClientCli::usageErrors()
{
    QFETCH(QStringList, arguments);
    const ClientRun run = runClient(arguments);
    QCOMPARE(run.exitCode, 64);
    QVERIFY(run.err.contains(QLatin1String("Usage:")));
    QVERIFY(run.out.isEmpty());
}

bool tst_ClientCli::startTlsServer()
{
    if (tlsServer)
        return tlsServer->isRunning();
    identity = testtls::makeIdentity(scratch.path(), QStringLiteral("server"));
    stranger = testtls::makeIdentity(scratch.path(), QStringLiteral("stranger"));
    if (!identity.ok || !stranger.ok)
        return false;
    tlsServer = std::make_unique<CServerProcess>(QStringLiteral(TOLVERN_SERVER_PATH));
    tlsServer->setExtraIni(QStringLiteral("[Tls]\nCertificate=%1\nPrivateKey=%2\n")
                               .arg(identity.certificate, identity.key));
    return tlsServer->isValid() && tlsServer->start();
}

QStringList tst_ClientCli::tlsPorts() const
{
    return { QStringLiteral("--port"), QString::number(tlsServer->mainPort()),
        QStringLiteral("--file-port"), QString::number(tlsServer->filePort()) };
}

void tst_ClientCli::tls_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    QTest::newRow("plain beside TLS") << QStringList() << 0 << QString();
    QTest::newRow("--ca") << words({ "--tls", "--ca", "SERVER" }) << 0 << QString();
    QTest::newRow("--insecure") << words({ "--tls", "--insecure" }) << 0 << "--insecure";
    QTest::newRow("system trust store") << words({ "--tls" }) << 27 << "TLS handshake failed";
    QTest::newRow("--ca of another server")
        << words({ "--tls", "--ca", "STRANGER" }) << 27 << "TLS handshake failed";
    QTest::newRow("--ca that is no certificate")
        << words({ "--tls", "--ca", "KEY" }) << 27 << "no PEM certificate";
}

void tst_ClientCli::tls()
{
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QVERIFY(startTlsServer());
    options.replaceInStrings(QStringLiteral("SERVER"), identity.certificate);
    options.replaceInStrings(QStringLiteral("STRANGER"), stranger.certificate);
    options.replaceInStrings(QStringLiteral("KEY"), identity.key);
    const QString name = QStringLiteral("tls-%1")
                             .arg(QLatin1String(QTest::currentDataTag()))
                             .replace(QRegularExpression(QStringLiteral("[^a-z-]")), QString());
    ClientRun run = runClient(
        tlsPorts() + options << QStringLiteral("add-user") << name << QStringLiteral("pw"));
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(said), qPrintable(run.err));
    if (exitCode != 0) {
        QVERIFY(run.out.isEmpty());
        return;
    }
    run = runClient(
        tlsPorts() + options << QStringLiteral("login") << name << QStringLiteral("pw"));
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.contains(QStringLiteral("logged in")));
}

void tst_ClientCli::tlsTransfers()
{
    QVERIFY(startTlsServer());
    // Several frames and a short last one, both ways inside TLS, then read back plain.
    const QByteArray content = randomBytes(3 * 51200 + 11, 27);
    const QString source = scratchPath(QStringLiteral("tls.in"));
    const QString target = scratchPath(QStringLiteral("tls.out"));
    const QString plainTarget = scratchPath(QStringLiteral("tls-plain.out"));
    QVERIFY(writeFile(source, content));
    const QStringList tls = tlsPorts()
        << QStringLiteral("--tls") << QStringLiteral("--ca") << identity.certificate;
    ClientRun run = runClient(tls + words({ "upload", "tls-save" }) << source);
    QCOMPARE(run.exitCode, 0);
    run = runClient(tls + words({ "download", "tls-save" }) << target);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(readAll(target) == content);
    run = runClient(tlsPorts() + words({ "download", "tls-save" }) << plainTarget);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(readAll(plainTarget) == content);
}

void tst_ClientCli::tlsUploadEnd_data()
{
    QTest::addColumn<bool>("orderly");
    QTest::addColumn<int>("exitCode");
    // The client reads the close_notify before the FIN (here: long before): still stored.
    QTest::newRow("close_notify, FIN late") << true << 0;
    QTest::newRow("reset") << false << 26;
}

void tst_ClientCli::tlsUploadEnd()
{
    QFETCH(bool, orderly);
    QFETCH(int, exitCode);
    QVERIFY(startTlsServer());
    QString error;
    TlsUploadEnd fake(CTlsIdentity::load(identity.certificate, identity.key, &error), orderly);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY(fake.listen(QHostAddress::LocalHost));
    const QString source = scratchPath(QStringLiteral("tls-end.in"));
    QVERIFY(writeFile(source, randomBytes(70000, 5)));
    const QString port = QString::number(fake.serverPort());
    const ClientRun run = runClient({ QStringLiteral("--port"), port, QStringLiteral("--file-port"),
        port, QStringLiteral("--tls"), QStringLiteral("--insecure"), QStringLiteral("--timeout"),
        QStringLiteral("5"), QStringLiteral("upload"), QStringLiteral("end"), source });
    QVERIFY(run.ended);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.err));
    QVERIFY(QFile::remove(source));
}

QTEST_GUILESS_MAIN(tst_ClientCli)
#include "tst_clientcli.moc"
