#include <QByteArray>
#include <QElapsedTimer>
#include <QPointer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include "cloginguard.h"
#include "cpasswordhasher.h"
#include "cserversettings.h"
#include "ctolvernserver.h"
#include "ctolvernserverconn.h"
#include "cuserdb.h"
#include "cuserdbcommitter.h"
#include "testwire.h"

namespace {

// Request bytes built by hand, independent of the packet class under test.
class Request
{
public:
    explicit Request(quint8 command)
        : cmd(command)
    {
    }

    Request &string(const QByteArray &text)
    {
        body.append(testwire::str(text));
        return *this;
    }
    Request &int32(qint32 value)
    {
        body.append(testwire::int32(value));
        return *this;
    }
    Request &raw(const QByteArray &bytes)
    {
        body.append(bytes);
        return *this;
    }

    QByteArray bytes() const { return testwire::packet(cmd, body, 77); }

private:
    quint8 cmd;
    QByteArray body;
};

struct Reply
{
    quint32 sequence = 0;
    quint8 command = 0;
    QByteArray body;
};

} // namespace

class tst_TolvernServerConn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    // happy flows
    void listenerHandsOverDescriptor();
    void addUser();
    void login();
    void changePassword();
    void databaseWorkThenLogThenReply();
    void twoRequestsInOneSegment();
    void requestSplitByteByByte();

    // rainy-day flows
    void addExistingUser();
    void failedLogin_data();
    void failedLogin();
    void changePasswordRefused_data();
    void changePasswordRefused();
    void otherCodesAreIgnored_data();
    void otherCodesAreIgnored();
    void shortBodies_data();
    void shortBodies();
    void logTextIsNotSubstitutedTwice();

    // group commit
    void oneBatch_data();
    void oneBatch();
    void largeBatchHandedOutInSlices();
    void hungUpClientsChangeIsKept();
    void loneRequestLeavesAnotherWriterToTheCommitter();
    void committerShutdownKeepsRequests();
    void batchSplitAtItsLimitRunsEachOnce();

    // login guard
    void pipelinedLogins_data();
    void pipelinedLogins();
    void endedAttemptWakesOneWaiter();

private:
    void connectClient();
    bool readReply(Reply *reply, int bodySize);
    QString storedPassword(int objectId);
    // A committer for the current settings, in place of init()'s.
    void renewCommitter();
    // Whether the user's password is stored hashed, as a hash of password.
    bool storesHashOf(int objectId, const QString &password);

    QTemporaryDir temp;
    CTolvernServer *server = nullptr;
    QTcpSocket *client = nullptr;
    QPointer<CTolvernServerConn> conn;
    CUserDbCommitter *committer = nullptr;
    CLoginGuard *guard = nullptr;
    QStringList logLines;
};

void tst_TolvernServerConn::initTestCase()
{
    QVERIFY(temp.isValid());
    QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    database.setDatabaseName(temp.filePath(QStringLiteral("users.db")));
    QVERIFY(database.open());
    // Passwords hashed, as cheaply as libsodium allows: the suite is about the flows.
    CServerSettings::instance()->hashMemoryKiB = 8;
    CServerSettings::instance()->hashIterations = 1;
    QVERIFY(CUserDb::instance());
}

void tst_TolvernServerConn::init()
{
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("delete from t_user")));
    QVERIFY(query.exec(QStringLiteral("update t_user_seq set last_id = 0")));
    logLines.clear();

    committer = new CUserDbCommitter(CUserDb::instance(), CPasswordHasher::instance(),
        CPasswordHasher::Params::fromSettings(CServerSettings::instance()->snapshot()), this);
    connect(committer, &CUserDbCommitter::log, this,
        [this](const QString &msg) { logLines.append(msg); });
    connect(committer, &CUserDbCommitter::outcomesHandedOut, &CTolvernServerConn::flushReplies);
    // Its clock stands still: no lock ends while a case runs.
    guard = new CLoginGuard(this);
    guard->setClock([] { return qint64(1); });
    server = new CTolvernServer(this);
    connect(server, &CTolvernServer::clientConnected, this, [this](int socketfd) {
        conn = new CTolvernServerConn(committer, guard, this);
        connect(conn, &CTolvernServerConn::log, this,
            [this](const QString &msg) { logLines.append(msg); });
        conn->setSocketDescriptor(socketfd);
    });
    QVERIFY(server->listen(QHostAddress::LocalHost, 0));
    connectClient();
}

void tst_TolvernServerConn::cleanup()
{
    delete client;
    client = nullptr;
    delete conn;
    delete server;
    server = nullptr;
    delete committer;
    committer = nullptr;
    delete guard;
    guard = nullptr;
    QSqlQuery().exec(QStringLiteral("drop trigger if exists poison"));
}

void tst_TolvernServerConn::cleanupTestCase()
{
    {
        QSqlDatabase database = QSqlDatabase::database();
        database.close();
    }
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
}

void tst_TolvernServerConn::connectClient()
{
    client = new QTcpSocket;
    client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    client->connectToHost(QHostAddress::LocalHost, server->serverPort());
    QVERIFY(client->waitForConnected(5000));
    QTRY_VERIFY(conn);
    QCOMPARE(conn->state(), QAbstractSocket::ConnectedState);
}

// Reads one reply and checks every header byte the server sends.
bool tst_TolvernServerConn::readReply(Reply *reply, int bodySize)
{
    const int total = 22 + bodySize;
    if (!QTest::qWaitFor([&] { return client->bytesAvailable() >= total; }, 5000))
        return false;
    const QByteArray bytes = client->read(total);
    const char *h = bytes.constData();
    if (quint8(h[0]) != 0x1A || h[5] != 3 || qFromLittleEndian<quint32>(h + 10) != 1
        || qFromLittleEndian<quint32>(h + 6) != 0 || qFromLittleEndian<quint32>(h + 14) != 0
        || h[18] != 0 || qFromLittleEndian<quint16>(h + 20) != bodySize) {
        qWarning("bad reply header: %s", bytes.left(22).toHex(' ').constData());
        return false;
    }
    reply->sequence = qFromLittleEndian<quint32>(h + 1);
    reply->command = quint8(h[19]);
    reply->body = bytes.mid(22);
    return true;
}

QString tst_TolvernServerConn::storedPassword(int objectId)
{
    QSqlQuery query;
    query.prepare(QStringLiteral("select password from t_user where object_id = ?"));
    query.addBindValue(objectId);
    if (!query.exec() || !query.next())
        return QStringLiteral("<no row>");
    return query.value(0).toString();
}

void tst_TolvernServerConn::renewCommitter()
{
    // A connection keeps the committer it was made with: a new client gets a new one.
    delete client;
    client = nullptr;
    delete conn;
    conn = nullptr;
    delete committer;
    committer = new CUserDbCommitter(CUserDb::instance(), CPasswordHasher::instance(),
        CPasswordHasher::Params::fromSettings(CServerSettings::instance()->snapshot()), this);
    connect(committer, &CUserDbCommitter::log, this,
        [this](const QString &msg) { logLines.append(msg); });
    connect(committer, &CUserDbCommitter::outcomesHandedOut, &CTolvernServerConn::flushReplies);
    connectClient();
}

bool tst_TolvernServerConn::storesHashOf(int objectId, const QString &password)
{
    const QString stored = storedPassword(objectId);
    return CPasswordHasher::isHash(stored)
        && CPasswordHasher::instance()->verify(
            stored, password, CPasswordHasher::Params::fromSettings(*CServerSettings::instance()));
}

void tst_TolvernServerConn::listenerHandsOverDescriptor()
{
    // The connection of init() was adopted from the signal; the listener keeps nothing.
    QVERIFY(!server->hasPendingConnections());
    QVERIFY(!server->nextPendingConnection());

    QSignalSpy spy(server, &CTolvernServer::clientConnected);
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, server->serverPort());
    QVERIFY(spy.wait());
    QCOMPARE(spy.size(), 1);
    QVERIFY(spy.at(0).at(0).toInt() > 0);
    QVERIFY(!server->hasPendingConnections());
}

void tst_TolvernServerConn::addUser()
{
    QSignalSpy added(CUserDb::instance(), &CUserDb::userAdd);
    client->write(Request(1).string("anna").string("pw").bytes());
    Reply reply;
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(reply.command, quint8(2));
    QCOMPARE(reply.body, QByteArray("\x00\x00\x00\x00\x01", 5));
    QCOMPARE(logLines, QStringList({ QStringLiteral("[ADD_USER] name=anna, result=0") }));
    QCOMPARE(added.size(), 1);
    QCOMPARE(added.at(0), QVariantList({ 1, QStringLiteral("anna") }));
    QVERIFY(storesHashOf(1, QStringLiteral("pw")));

    client->write(Request(1).string("bert").string("x").bytes());
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(reply.body, QByteArray("\x00\x00\x00\x00\x02", 5));
    QCOMPARE(logLines.last(), QStringLiteral("[ADD_USER] name=bert, result=0"));
}

void tst_TolvernServerConn::login()
{
    int id = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("anna"), QStringLiteral("x"), &id));
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("bert"), QStringLiteral("Pw"), &id));
    QSignalSpy loggedIn(CUserDb::instance(), &CUserDb::userLogin);

    client->write(Request(9).string("bert").string("Pw").bytes());
    Reply reply;
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(reply.command, quint8(10));
    QCOMPARE(reply.body, QByteArray("\x00\x00\x00\x00\x02", 5));
    QCOMPARE(logLines, QStringList({ QStringLiteral("[LOGIN] name=bert, result=0") }));
    QCOMPARE(loggedIn.size(), 1);
    QCOMPARE(loggedIn.at(0).at(0).toInt(), 2);

    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("select last_login from t_user where object_id = 2")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString().size(), 19);
    QVERIFY(storesHashOf(2, QStringLiteral("Pw")));

    // A password of an older database, in plain text: logs in, and is stored hashed.
    QVERIFY(query.exec(QStringLiteral("update t_user set password = 'x' where object_id = 1")));
    client->write(Request(9).string("anna").string("x").bytes());
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(reply.body, QByteArray("\x00\x00\x00\x00\x01", 5));
    QVERIFY(storesHashOf(1, QStringLiteral("x")));

    // Passwords kept plain again: the hashed ones still log in, and stay hashed.
    CServerSettings::instance()->hashPasswords = false;
    const auto hashAgain = qScopeGuard([] { CServerSettings::instance()->hashPasswords = true; });
    renewCommitter();
    QVERIFY(committer->checksPasswordsFirst());
    client->write(Request(9).string("anna").string("x").bytes());
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(reply.body, QByteArray("\x00\x00\x00\x00\x01", 5));
    QVERIFY(storesHashOf(1, QStringLiteral("x")));
}

void tst_TolvernServerConn::changePassword()
{
    int id = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("anna"), QStringLiteral("old"), &id));
    QSignalSpy added(CUserDb::instance(), &CUserDb::userAdd);
    QSignalSpy loggedIn(CUserDb::instance(), &CUserDb::userLogin);

    client->write(Request(3).int32(1).string("old").string("new").bytes());
    Reply reply;
    QVERIFY(readReply(&reply, 1));
    QCOMPARE(reply.command, quint8(4));
    QCOMPARE(reply.body, QByteArray(1, '\0'));
    QCOMPARE(logLines, QStringList({ QStringLiteral("[CHANGE_PASS] userId=1, result=0") }));
    QVERIFY(storesHashOf(1, QStringLiteral("new")));
    QCOMPARE(added.size() + loggedIn.size(), 0);

    client->write(Request(9).string("anna").string("old").bytes());
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(reply.body, QByteArray("\x03\x00\x00\x00\x00", 5));
    client->write(Request(9).string("anna").string("new").bytes());
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(reply.body, QByteArray("\x00\x00\x00\x00\x01", 5));

    // An empty new password is taken as it is.
    client->write(Request(3).int32(1).string("new").string("").bytes());
    QVERIFY(readReply(&reply, 1));
    QCOMPARE(reply.body, QByteArray(1, '\0'));
    QVERIFY(storesHashOf(1, QString()));
}

void tst_TolvernServerConn::databaseWorkThenLogThenReply()
{
    QStringList events;
    connect(CUserDb::instance(), &CUserDb::userAdd, conn,
        [&] { events.append(QStringLiteral("userAdd")); });
    connect(conn, &CTolvernServerConn::log, this, [&] {
        // Nothing of the reply has been handed to the socket yet.
        events.append(QStringLiteral("log, %1 bytes queued").arg(conn->bytesToWrite()));
    });
    client->write(Request(1).string("anna").string("pw").bytes());
    Reply reply;
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(
        events, QStringList({ QStringLiteral("userAdd"), QStringLiteral("log, 0 bytes queued") }));
}

void tst_TolvernServerConn::twoRequestsInOneSegment()
{
    // Each finds what the one before it did, though passwords are checked before their batch.
    client->write(Request(1).string("anna").string("pw").bytes()
        + Request(9).string("anna").string("pw").bytes()
        + Request(3).int32(1).string("pw").string("new").bytes()
        + Request(9).string("anna").string("new").bytes());
    Reply first;
    Reply second;
    Reply third;
    Reply fourth;
    QVERIFY(readReply(&first, 5));
    QVERIFY(readReply(&second, 5));
    QVERIFY(readReply(&third, 1));
    QVERIFY(readReply(&fourth, 5));
    QCOMPARE(first.command, quint8(2));
    QCOMPARE(first.body, QByteArray("\x00\x00\x00\x00\x01", 5));
    QCOMPARE(second.command, quint8(10));
    QCOMPARE(second.body, QByteArray("\x00\x00\x00\x00\x01", 5));
    QCOMPARE(third.body, QByteArray(1, '\0'));
    QCOMPARE(fourth.body, QByteArray("\x00\x00\x00\x00\x01", 5));
    QVERIFY(second.sequence > first.sequence);
    QCOMPARE(logLines,
        QStringList({ QStringLiteral("[ADD_USER] name=anna, result=0"),
            QStringLiteral("[LOGIN] name=anna, result=0"),
            QStringLiteral("[CHANGE_PASS] userId=1, result=0"),
            QStringLiteral("[LOGIN] name=anna, result=0") }));
    client->write(Request(3).int32(1).string("new").string("newer").bytes()
        + Request(3).int32(1).string("newer").string("newest").bytes());
    QVERIFY(readReply(&first, 1));
    QVERIFY(readReply(&second, 1));
    QCOMPARE(first.body + second.body, QByteArray(2, '\0'));
    QVERIFY(storesHashOf(1, QStringLiteral("newest")));
}

void tst_TolvernServerConn::requestSplitByteByByte()
{
    QSignalSpy arrived(conn.data(), &QIODevice::readyRead);
    const QByteArray bytes = Request(1).string("anna").string("pw").bytes();
    for (int i = 0; i < bytes.size(); ++i) {
        QCOMPARE(client->bytesAvailable(), 0);
        QVERIFY(logLines.isEmpty());
        client->write(bytes.mid(i, 1));
        client->flush();
        QVERIFY2(arrived.wait(5000), qPrintable(QStringLiteral("byte %1").arg(i)));
    }
    Reply reply;
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(reply.body, QByteArray("\x00\x00\x00\x00\x01", 5));
    QCOMPARE(logLines, QStringList({ QStringLiteral("[ADD_USER] name=anna, result=0") }));
    QCOMPARE(arrived.size(), bytes.size());
}

void tst_TolvernServerConn::addExistingUser()
{
    int id = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("anna"), QStringLiteral("x"), &id));
    QSignalSpy added(CUserDb::instance(), &CUserDb::userAdd);
    client->write(Request(1).string("anna").string("other").bytes());
    Reply reply;
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(reply.command, quint8(2));
    QCOMPARE(reply.body, QByteArray("\x02\x00\x00\x00\x00", 5));
    QCOMPARE(logLines, QStringList({ QStringLiteral("[ADD_USER] name=anna, result=2") }));
    QCOMPARE(added.size(), 0);
    QVERIFY(storesHashOf(1, QStringLiteral("x")));

    // Letter case makes another name.
    client->write(Request(1).string("Anna").string("other").bytes());
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(reply.body, QByteArray("\x00\x00\x00\x00\x02", 5));
}

void tst_TolvernServerConn::failedLogin_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("password");

    QTest::newRow("wrong password") << QByteArray("anna") << QByteArray("PW");
    QTest::newRow("unknown name") << QByteArray("nobody") << QByteArray("pw");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void tst_TolvernServerConn::failedLogin()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, password);

    int id = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("anna"), QStringLiteral("pw"), &id));
    QSignalSpy loggedIn(CUserDb::instance(), &CUserDb::userLogin);
    client->write(Request(9).string(name).string(password).bytes());
    Reply reply;
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(reply.command, quint8(10));
    QCOMPARE(reply.body, QByteArray("\x03\x00\x00\x00\x00", 5));
    QCOMPARE(logLines,
        QStringList({ QStringLiteral("[LOGIN] name=%1, result=3").arg(QLatin1String(name)) }));
    QCOMPARE(loggedIn.size(), 0);
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("select count(*) from t_user where last_login is null")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toInt(), 1);
}

void tst_TolvernServerConn::changePasswordRefused_data()
{
    QTest::addColumn<qint32>("objectId");
    QTest::addColumn<QByteArray>("oldPassword");
    QTest::addColumn<quint8>("result");

    QTest::newRow("unknown id") << 2 << QByteArray("old") << quint8(1);
    QTest::newRow("negative id") << -1 << QByteArray("old") << quint8(1);
    QTest::newRow("wrong old password") << 1 << QByteArray("OLD") << quint8(4);
    QTest::newRow("empty old password") << 1 << QByteArray() << quint8(4);
}

void tst_TolvernServerConn::changePasswordRefused()
{
    QFETCH(qint32, objectId);
    QFETCH(QByteArray, oldPassword);
    QFETCH(quint8, result);

    int id = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("anna"), QStringLiteral("old"), &id));
    client->write(Request(3).int32(objectId).string(oldPassword).string("new").bytes());
    Reply reply;
    QVERIFY(readReply(&reply, 1));
    QCOMPARE(reply.command, quint8(4));
    QCOMPARE(reply.body, QByteArray(1, char(result)));
    QCOMPARE(logLines,
        QStringList({ QStringLiteral("[CHANGE_PASS] userId=%1, result=%2")
                          .arg(QString::number(objectId), QString::number(result)) }));
    QVERIFY(storesHashOf(1, QStringLiteral("old")));
}

void tst_TolvernServerConn::otherCodesAreIgnored_data()
{
    QTest::addColumn<quint8>("command");

    QTest::newRow("0") << quint8(0);
    QTest::newRow("add user reply") << quint8(2);
    QTest::newRow("change password reply") << quint8(4);
    QTest::newRow("5") << quint8(5);
    QTest::newRow("login reply") << quint8(10);
    QTest::newRow("255") << quint8(255);
}

void tst_TolvernServerConn::otherCodesAreIgnored()
{
    QFETCH(quint8, command);

    QSignalSpy added(CUserDb::instance(), &CUserDb::userAdd);
    QSignalSpy replied(client, &QIODevice::readyRead);
    client->write(Request(command).string("anna").string("pw").bytes());
    QVERIFY(!replied.wait(250));
    QCOMPARE(client->bytesAvailable(), 0);
    QVERIFY(logLines.isEmpty());
    QCOMPARE(added.size(), 0);
    QVERIFY(!CUserDb::instance()->userExists(QStringLiteral("anna")));
    QVERIFY(conn);
    QCOMPARE(client->state(), QAbstractSocket::ConnectedState);

    // The connection still answers.
    client->write(Request(1).string("anna").string("pw").bytes());
    Reply reply;
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(reply.body, QByteArray("\x00\x00\x00\x00\x01", 5));
}

void tst_TolvernServerConn::shortBodies_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("replyBody");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QString>("storedName");
    QTest::addColumn<QString>("storedPassword");

    QTest::newRow("add, empty body") << Request(1).bytes() << QByteArray("\x00\x00\x00\x00\x02", 5)
                                     << "[ADD_USER] name=, result=0" << QString() << QString();
    QTest::newRow("add, name only")
        << Request(1).string("carl").bytes() << QByteArray("\x00\x00\x00\x00\x02", 5)
        << "[ADD_USER] name=carl, result=0"
        << "carl" << QString();
    QTest::newRow("add, count past end")
        << Request(1).string("dora").raw("\x00\x09pw").bytes()
        << QByteArray("\x00\x00\x00\x00\x02", 5) << "[ADD_USER] name=dora, result=0"
        << "dora" << QString();
    QTest::newRow("add, trailing bytes")
        << Request(1).string("emil").string("pw").raw("junk").bytes()
        << QByteArray("\x00\x00\x00\x00\x02", 5) << "[ADD_USER] name=emil, result=0"
        << "emil"
        << "pw";
    QTest::newRow("add, text ends at zero byte")
        << Request(1).string(QByteArray("fr\0itz", 6)).string("pw").bytes()
        << QByteArray("\x00\x00\x00\x00\x02", 5) << "[ADD_USER] name=fr, result=0"
        << "fr"
        << "pw";
    QTest::newRow("add, latin-1") << Request(1).string("j\xe9r\xf4me").string("p\xe4ss").bytes()
                                  << QByteArray("\x00\x00\x00\x00\x02", 5)
                                  << QStringLiteral("[ADD_USER] name=j\u00e9r\u00f4me, result=0")
                                  << QStringLiteral("j\u00e9r\u00f4me")
                                  << QStringLiteral("p\u00e4ss");
    // As long as the database keeps: stored whole.
    QTest::newRow("add, longest name")
        << Request(1).string(QByteArray(255, 'n')).string("pw").bytes()
        << QByteArray("\x00\x00\x00\x00\x02", 5)
        << QStringLiteral("[ADD_USER] name=%1\u2026, result=0").arg(QString(200, QLatin1Char('n')))
        << QString(255, QLatin1Char('n')) << "pw";
    QTest::newRow("add, longest password")
        << Request(1).string("hal").string(QByteArray(255, 'p')).bytes()
        << QByteArray("\x00\x00\x00\x00\x02", 5) << "[ADD_USER] name=hal, result=0"
        << "hal" << QString(255, QLatin1Char('p'));
    // Longer than the database keeps: refused, nothing stored, and the log shows 200 of it.
    QTest::newRow("add, name too long")
        << Request(1).string(QByteArray(256, 'n')).string("pw").bytes()
        << QByteArray("\x01\x00\x00\x00\x00", 5)
        << QStringLiteral("[ADD_USER] name=%1\u2026, result=1").arg(QString(200, QLatin1Char('n')))
        << QString() << QString();
    QTest::newRow("add, password too long")
        << Request(1).string("gus").string(QByteArray(256, 'p')).bytes()
        << QByteArray("\x01\x00\x00\x00\x00", 5) << "[ADD_USER] name=gus, result=1" << QString()
        << QString();
    QTest::newRow("login, empty body")
        << Request(9).bytes() << QByteArray("\x03\x00\x00\x00\x00", 5) << "[LOGIN] name=, result=3"
        << QString() << QString();
    QTest::newRow("change, empty body")
        << Request(3).bytes() << QByteArray(1, '\x01') << "[CHANGE_PASS] userId=0, result=1"
        << QString() << QString();
    QTest::newRow("change, 3-byte id")
        << Request(3).raw(QByteArray("\x00\x00\x01", 3)).bytes() << QByteArray(1, '\x01')
        << "[CHANGE_PASS] userId=0, result=1" << QString() << QString();
}

void tst_TolvernServerConn::shortBodies()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, replyBody);
    QFETCH(QString, logLine);
    QFETCH(QString, storedName);
    QFETCH(QString, storedPassword);

    int id = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("anna"), QStringLiteral("pw"), &id));
    client->write(request);
    Reply reply;
    QVERIFY(readReply(&reply, replyBody.size()));
    QCOMPARE(reply.body, replyBody);
    QCOMPARE(logLines, QStringList({ logLine }));
    if (replyBody.size() == 5 && replyBody.at(0) == 0 && request.at(19) == 1) {
        QVERIFY(storesHashOf(2, storedPassword));
        QVERIFY(CUserDb::instance()->userExists(storedName));
    }
    if (replyBody.at(0) == 1 && request.at(19) == 1)
        QCOMPARE(this->storedPassword(2), QStringLiteral("<no row>"));
    QCOMPARE(client->state(), QAbstractSocket::ConnectedState);
}

void tst_TolvernServerConn::logTextIsNotSubstitutedTwice()
{
    client->write(Request(1).string("%1%2").string("pw").bytes());
    Reply reply;
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(logLines, QStringList({ QStringLiteral("[ADD_USER] name=%1%2, result=0") }));
}

void tst_TolvernServerConn::oneBatch_data()
{
    QTest::addColumn<bool>("poisoned");
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<QStringList>("lines");

    // Each request keeps its own result. (One guess at a time per connection: a password
    // change would wait for the login's outcome, in a batch of its own.)
    QTest::newRow("mixed") << false
                           << QByteArrayList { QByteArray("\x02\x00\x00\x00\x00", 5),
                                  QByteArray("\x00\x00\x00\x00\x01", 5),
                                  QByteArray("\x00\x00\x00\x00\x02", 5) }
                           << QStringList { QStringLiteral("[ADD_USER] name=anna, result=2"),
                                  QStringLiteral("[LOGIN] name=anna, result=0"),
                                  QStringLiteral("[ADD_USER] name=bert, result=0") };
    // The database gives up the transaction: every request fails, nothing is kept.
    QTest::newRow("lost transaction")
        << true
        << QByteArrayList { QByteArray("\x01\x00\x00\x00\x00", 5),
               QByteArray("\x03\x00\x00\x00\x00", 5), QByteArray("\x01\x00\x00\x00\x00", 5) }
        << QStringList { QStringLiteral("[ADD_USER] name=anna, result=1"),
               QStringLiteral("[LOGIN] name=anna, result=3"),
               QStringLiteral("[ADD_USER] name=bert, result=1") };
}

void tst_TolvernServerConn::oneBatch()
{
    QFETCH(bool, poisoned);
    QFETCH(QByteArrayList, replies);
    QFETCH(QStringList, lines);

    // The batch's own mechanics, as with passwords stored as plain text: no request waits
    // for the outcome of another to be checked.
    CServerSettings::instance()->hashPasswords = false;
    const auto hashAgain = qScopeGuard([] { CServerSettings::instance()->hashPasswords = true; });
    renewCommitter();
    int id = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("anna"), QStringLiteral("pw"), &id));
    if (poisoned) {
        QVERIFY(QSqlQuery().exec(
            QStringLiteral("create trigger poison before insert on t_user when new.name = 'bert' "
                           "begin select raise(rollback, 'disk on fire'); end")));
    }
    QSignalSpy added(CUserDb::instance(), &CUserDb::userAdd);
    QSignalSpy loggedIn(CUserDb::instance(), &CUserDb::userLogin);
    const qint64 batchesBefore = committer->batches();
    client->write(Request(1).string("anna").string("x").bytes()
        + Request(9).string("anna").string("pw").bytes()
        + Request(1).string("bert").string("pw").bytes());
    for (const QByteArray &expected : std::as_const(replies)) {
        Reply reply;
        QVERIFY(readReply(&reply, expected.size()));
        QCOMPARE(reply.body, expected);
    }
    QCOMPARE(committer->batches() - batchesBefore, 1);
    QCOMPARE(committer->failedBatches(), poisoned ? 1 : 0);
    if (poisoned) {
        // One line for the operator, ahead of the replies' own.
        QCOMPARE(logLines.size(), lines.size() + 1);
        QVERIFY2(logLines.first().startsWith(
                     QStringLiteral("User database commit failed, 3 request(s) refused")),
            qPrintable(logLines.first()));
        logLines.removeFirst();
    }
    QCOMPARE(logLines, lines);
    QCOMPARE(added.size(), poisoned ? 0 : 1);
    QCOMPARE(loggedIn.size(), poisoned ? 0 : 1);
    QCOMPARE(storedPassword(1), QStringLiteral("pw"));
    QCOMPARE(CUserDb::instance()->userExists(QStringLiteral("bert")), !poisoned);
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("select last_login is null from t_user where object_id=1")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toBool(), poisoned);

    // The next batch tries again.
    QVERIFY(QSqlQuery().exec(QStringLiteral("drop trigger if exists poison")));
    client->write(Request(1).string("carl").string("pw").bytes());
    Reply reply;
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(quint8(reply.body.at(0)), quint8(0));
}

void tst_TolvernServerConn::largeBatchHandedOutInSlices()
{
    // More outcomes than one pass hands out: the event loop runs between the slices (there
    // the connections read their next requests), and the replies still come in order.
    const int count = 2 * CUserDbCommitter::OUTCOMES_PER_PASS + 3;
    QByteArray requests;
    for (int i = 0; i < count; ++i)
        requests += Request(1).string("user" + QByteArray::number(i)).string("pw").bytes();
    bool posted = false;
    connect(conn, &CTolvernServerConn::log, this, [&] {
        if (!posted) {
            posted = true;
            // The first slice's replies have left before the loop goes on.
            QTimer::singleShot(0, this, [this] {
                logLines.append(conn->bytesToWrite() == 0 ? QStringLiteral("next pass")
                                                          : QStringLiteral("replies unsent"));
            });
        }
    });
    const qint64 batchesBefore = committer->batches();
    client->write(requests);
    for (int i = 0; i < count; ++i) {
        Reply reply;
        QVERIFY(readReply(&reply, 5));
        QByteArray expected(5, '\0');
        qToBigEndian<qint32>(i + 1, expected.data() + 1);
        QCOMPARE(reply.body, expected);
    }
    QCOMPARE(committer->batches() - batchesBefore, 1);
    QCOMPARE(logLines.size(), count + 1);
    QCOMPARE(logLines.indexOf(QStringLiteral("next pass")), CUserDbCommitter::OUTCOMES_PER_PASS);
}

void tst_TolvernServerConn::hungUpClientsChangeIsKept()
{
    // Gone right after the request was taken, before its batch ran.
    connect(conn, &QIODevice::readyRead, this, [this] {
        if (conn->owedReplies() > 0)
            conn->abort();
    });
    client->write(Request(1).string("anna").string("pw").bytes());
    QTRY_VERIFY(CUserDb::instance()->userExists(QStringLiteral("anna")));
    QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(client->bytesAvailable(), 0);
}

void tst_TolvernServerConn::loneRequestLeavesAnotherWriterToTheCommitter()
{
    // Another connection holds the write lock (an admin command, the user page): the lone
    // request neither holds the connections' thread up nor fails.
    const QString otherName = QStringLiteral("other-writer");
    // A client whose requests keep coming alone.
    for (int i = 0; i < 5; ++i) {
        client->write(Request(1).string(QByteArray("early") + char('a' + i)).string("pw").bytes());
        Reply reply;
        QVERIFY(readReply(&reply, 5));
        QCOMPARE(quint8(reply.body.at(0)), quint8(0));
    }
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), otherName);
        other.setDatabaseName(temp.filePath(QStringLiteral("users.db")));
        QVERIFY(other.open());
        QSqlQuery lock(other);
        QVERIFY(lock.exec(QStringLiteral("BEGIN IMMEDIATE")));
        QElapsedTimer clock;
        clock.start();
        client->write(Request(1).string("anna").string("pw").bytes());
        QTest::qWait(300);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(client->bytesAvailable(), 0);
        QVERIFY(lock.exec(QStringLiteral("COMMIT")));
        Reply reply;
        QVERIFY(readReply(&reply, 5));
        QCOMPARE(quint8(reply.body.at(0)), quint8(0));
    }
    QSqlDatabase::removeDatabase(otherName);
}

void tst_TolvernServerConn::committerShutdownKeepsRequests()
{
    // Taken from the socket and handed to the committer, which is then shut down before its
    // first batch ran: the changes are made, logged and answered all the same.
    // The batches' own mechanics, as with passwords stored as plain text.
    CServerSettings::instance()->hashPasswords = false;
    const auto hashAgain = qScopeGuard([] { CServerSettings::instance()->hashPasswords = true; });
    renewCommitter();
    client->write(Request(1).string("anna").string("pw").bytes()
        + Request(3).int32(1).string("pw").string("new").bytes()
        + Request(9).string("anna").string("new").bytes());
    QTRY_COMPARE(conn->owedReplies(), 3);
    delete committer;
    committer = nullptr;
    QCOMPARE(logLines,
        QStringList({ QStringLiteral("[ADD_USER] name=anna, result=0"),
            QStringLiteral("[CHANGE_PASS] userId=1, result=0"),
            QStringLiteral("[LOGIN] name=anna, result=0") }));
    QCOMPARE(storedPassword(1), QStringLiteral("new"));
    QCOMPARE(conn->owedReplies(), 0);
    Reply reply;
    QVERIFY(readReply(&reply, 5));
    QVERIFY(readReply(&reply, 1));
    QVERIFY(readReply(&reply, 5));
    QCOMPARE(reply.body, QByteArray("\x00\x00\x00\x00\x01", 5));
}

void tst_TolvernServerConn::batchSplitAtItsLimitRunsEachOnce()
{
    // Handed in during one pass: more than one batch holds, so the database thread splits them.
    // The batches' own mechanics, as with passwords stored as plain text.
    CServerSettings::instance()->hashPasswords = false;
    const auto hashAgain = qScopeGuard([] { CServerSettings::instance()->hashPasswords = true; });
    renewCommitter();
    const int count = CUserDbCommitter::MAX_BATCH + 3;
    QVector<int> outcomes;
    const qint64 batchesBefore = committer->batches();
    for (int i = 0; i < count; ++i) {
        CUserDb::Request request;
        request.kind = CUserDb::Request::AddUser;
        request.name = QStringLiteral("split%1").arg(i);
        committer->submit(nullptr, request, [&outcomes, i](const CUserDb::Request &done) {
            // Each outcome once, in order, each a new user.
            outcomes.append(done.result == 0 && done.name == QStringLiteral("split%1").arg(i)
                    ? done.objectId
                    : -i);
        });
    }
    QTRY_COMPARE_WITH_TIMEOUT(outcomes.size(), count, 30000);
    QTest::qWait(50);
    QCOMPARE(outcomes.size(), count);
    for (int i = 0; i < count; ++i)
        QCOMPARE(outcomes.at(i), i + 1);
    QCOMPARE(committer->batches() - batchesBefore, 2);
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("select count(*), count(distinct name) from t_user")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toInt(), count);
    QCOMPARE(query.value(1).toInt(), count);
}

void tst_TolvernServerConn::pipelinedLogins_data()
{
    // w: a wrong password, r: the right one, all in one segment; the results as each guess
    // sees the ones before it (5 failures lock the name).
    QTest::addColumn<QByteArray>("guesses");
    QTest::addColumn<QByteArray>("results");
    QTest::newRow("each waits for the one before")
        << QByteArray("wwwrwwwwr") << QByteArray("333033330");
    QTest::newRow("success clears the failures")
        << QByteArray("wwwwrwwwwr") << QByteArray("3333033330");
    QTest::newRow("locked after five") << QByteArray("wwwwwrr") << QByteArray("3333333");
    QTest::newRow("right ones only") << QByteArray("rrrrrrrr") << QByteArray("00000000");
}

void tst_TolvernServerConn::pipelinedLogins()
{
    QFETCH(QByteArray, guesses);
    QFETCH(QByteArray, results);
    int id = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("anna"), QStringLiteral("pw"), &id));
    QByteArray bytes;
    for (char guess : guesses)
        bytes += Request(9).string("anna").string(guess == 'r' ? "pw" : "guess").bytes();
    client->write(bytes);
    QByteArray got;
    for (int i = 0; i < guesses.size(); ++i) {
        Reply reply;
        QVERIFY(readReply(&reply, 5));
        got += char('0' + reply.body.at(0));
    }
    QCOMPARE(got, results);
}

void tst_TolvernServerConn::endedAttemptWakesOneWaiter()
{
    // Two attempts on "bob" fill his room; three more wait. Waking every waiter per ended
    // attempt would cost each a retry; one that has gone or is refused passes its turn on.
    guard->setNameLock(2, 60000);
    const QHostAddress peer(QHostAddress::LocalHost);
    const QString bob = QStringLiteral("bob");
    QCOMPARE(guard->beginAttempt(peer, bob), CLoginGuard::Admission::Admitted);
    QCOMPARE(guard->beginAttempt(peer, bob), CLoginGuard::Admission::Admitted);
    QList<CLoginGuard::Admission> got(3, CLoginGuard::Admission::Wait);
    QList<bool> gone(3, false);
    int wakes = 0;
    std::function<void(int)> wait = [&](int i) {
        guard->waitForRoom(peer, [&, i, bob] {
            ++wakes;
            if (gone[i])
                return;
            got[i] = guard->beginAttempt(peer, bob);
            if (got[i] == CLoginGuard::Admission::Wait)
                wait(i);
        });
    };
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(guard->beginAttempt(peer, bob), CLoginGuard::Admission::Wait);
        wait(i);
    }
    guard->endAttempt(peer, bob, CLoginGuard::Outcome::Untested);
    QCOMPARE(wakes, 1);
    QCOMPARE(got[0], CLoginGuard::Admission::Admitted);
    QCOMPARE(got[1], CLoginGuard::Admission::Wait);
    gone[1] = true;
    guard->endAttempt(peer, bob, CLoginGuard::Outcome::Untested);
    QCOMPARE(wakes, 3);
    QCOMPARE(got[2], CLoginGuard::Admission::Admitted);
    // Two wait again; a failure leaves no room, so each is tried once and waits again; the
    // second failure locks bob, which answers both.
    gone[1] = false;
    for (int i = 0; i < 2; ++i) {
        got[i] = CLoginGuard::Admission::Wait;
        wait(i);
    }
    guard->endAttempt(peer, bob, CLoginGuard::Outcome::Failed);
    QCOMPARE(wakes, 5);
    QCOMPARE(got[0], CLoginGuard::Admission::Wait);
    guard->endAttempt(peer, bob, CLoginGuard::Outcome::Failed);
    QCOMPARE(got[0], CLoginGuard::Admission::Refused);
    QCOMPARE(got[1], CLoginGuard::Admission::Refused);
}

QTEST_GUILESS_MAIN(tst_TolvernServerConn)
#include "tst_tolvernserverconn.moc"
