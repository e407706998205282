#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTest>

#include "cserverprocess.h"
#include "testwire.h"

using namespace testwire;

namespace {

QStringList words(std::initializer_list<const char *> list)
{
    QStringList out;
    for (const char *word : list)
        out << QLatin1String(word);
    return out;
}

} // namespace

// The admin commands of the real executable, on the database of a headless server that
// runs and serves clients all the while.
class tst_Admin : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void usersWhileServing();
    void purgeByLastLogin();
    void refusals_data();
    void refusals();

private:
    int admin(const QStringList &arguments, QByteArray *out = nullptr, QByteArray *err = nullptr);
    int admin(std::initializer_list<const char *> arguments, QByteArray *out = nullptr,
        QByteArray *err = nullptr);
    QByteArray login(const QByteArray &name, const QByteArray &password);
    QStringList names();
    QString folder(int id) const;
    void makeFolder(int id);

    std::unique_ptr<CServerProcess> server;
};

void tst_Admin::initTestCase()
{
    server = std::make_unique<CServerProcess>(QStringLiteral(TOLVERN_SERVER_PATH));
    server->setHeadless(true);
    server->setForwardOutput(false);
    QVERIFY2(server->isValid(), qPrintable(server->errorText()));
    QVERIFY2(server->start(), qPrintable(server->errorText()));
}

void tst_Admin::cleanupTestCase()
{
    QCOMPARE(server->stop(), 0);
    server.reset();
}

int tst_Admin::admin(const QStringList &arguments, QByteArray *out, QByteArray *err)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), server->path(QStringLiteral("run")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), server->path(QStringLiteral("config")));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(server->path(QStringLiteral("work")));
    p.start(server->path(QStringLiteral("bin/tolvern-server")), arguments);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    if (out)
        *out = p.readAllStandardOutput();
    if (err)
        *err = p.readAllStandardError();
    return p.exitCode();
}

int tst_Admin::admin(
    std::initializer_list<const char *> arguments, QByteArray *out, QByteArray *err)
{
    return admin(words(arguments), out, err);
}

QByteArray tst_Admin::login(const QByteArray &name, const QByteArray &password)
{
    QTcpSocket control;
    control.connectToHost(QHostAddress::LocalHost, server->mainPort());
    if (!control.waitForConnected(5000))
        return {};
    control.write(packet(9, str(name) + str(password)));
    return readPacket(control).body;
}

QStringList tst_Admin::names()
{
    QByteArray out;
    if (admin({ QStringLiteral("users"), QStringLiteral("list"), QStringLiteral("--json") }, &out)
        != 0)
        return { QStringLiteral("(list failed)") };
    QStringList result;
    const QJsonArray users = QJsonDocument::fromJson(out).array();
    for (const QJsonValue &user : users)
        result << user.toObject().value(QStringLiteral("name")).toString();
    result.sort();
    return result;
}

QString tst_Admin::folder(int id) const
{
    return server->storageDir() + QLatin1Char('/') + QString::number(id);
}

void tst_Admin::makeFolder(int id)
{
    QVERIFY(QDir().mkpath(folder(id) + QStringLiteral("/deep")));
    QFile save(folder(id) + QStringLiteral("/deep/slot.z"));
    QVERIFY(save.open(QIODevice::WriteOnly));
}

void tst_Admin::usersWhileServing()
{
    QByteArray out;
    QByteArray err;
    // The add-user dialog's rules: trimmed, no empty texts, no taken names.
    QCOMPARE(admin({ "users", "add", " alice ", "pw" }, &out), 0);
    QCOMPARE(out, QByteArray("1\n"));
    QCOMPARE(admin({ "users", "add", "alice", "other" }, nullptr, &err), 3);
    QVERIFY(err.contains("User name [alice] already exists"));
    QCOMPARE(admin({ "users", "add", "  ", "pw" }), 2);
    QCOMPARE(admin({ "users", "add", "bob", " " }), 2);
    QCOMPARE(login("alice", "pw"), QByteArray(1, '\0') + int32(1));

    QCOMPARE(admin({ "users", "passwd", "1", "n3w" }), 0);
    QCOMPARE(login("alice", "n3w"), QByteArray(1, '\0') + int32(1));
    QCOMPARE(login("alice", "pw").left(1), QByteArray(1, '\3'));
    QCOMPARE(admin({ "users", "passwd", "99", "x" }), 4);

    QCOMPARE(admin({ "users", "add", "bob", "pw" }, &out), 0);
    QCOMPARE(out, QByteArray("2\n"));
    makeFolder(2);
    // Unknown ids are named, the known ones deleted with their game data.
    QCOMPARE(admin({ "users", "delete", "99", "2" }, &out, &err), 4);
    QVERIFY(err.contains("no user with id 99"));
    QVERIFY(!QFileInfo::exists(folder(2)));
    QCOMPARE(names(), QStringList { QStringLiteral("alice") });
    QCOMPARE(login("bob", "pw").left(1), QByteArray(1, '\3'));
}

void tst_Admin::purgeByLastLogin()
{
    // carol 4 months ago, dave 7, erin never; alice logged in just now.
    QByteArray out;
    QList<int> ids;
    for (const char *name : { "carol", "dave", "erin" }) {
        QCOMPARE(admin({ "users", "add", name, "pw" }, &out), 0);
        ids << out.trimmed().toInt();
    }
    QCOMPARE(login("alice", "n3w").left(1), QByteArray(1, '\0'));
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("stamp"));
        db.setDatabaseName(server->databaseFile());
        QVERIFY(db.open());
        QSqlQuery stamp(db);
        const QDateTime now = QDateTime::currentDateTime();
        for (const auto &[name, months] : { std::pair { "carol", 4 }, std::pair { "dave", 7 } }) {
            stamp.prepare(QStringLiteral("update t_user set last_login = ? where name = ?"));
            stamp.addBindValue(now.addMonths(-months).toString(Qt::ISODate));
            stamp.addBindValue(QLatin1String(name));
            QVERIFY(stamp.exec());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("stamp"));
    const int alice = 1, carol = ids.at(0), dave = ids.at(1), erin = ids.at(2);
    for (const int id : { alice, carol, dave, erin })
        makeFolder(id);

    QCOMPARE(admin({ "users", "purge", "--inactive", "3m", "--data-only" }, &out), 0);
    QVERIFY2(out.startsWith("Cleared the game data of 3 users"), out.constData());
    QVERIFY(QFileInfo::exists(folder(alice)));
    for (const int id : { carol, dave, erin })
        QVERIFY(!QFileInfo::exists(folder(id)));
    QCOMPARE(names().size(), 4);

    for (const int id : { carol, dave, erin })
        makeFolder(id);
    QCOMPARE(admin({ "users", "purge", "--inactive=6m" }, &out), 0);
    QVERIFY2(out.startsWith("Deleted 2 users"), out.constData());
    QCOMPARE(names(), QStringList({ QStringLiteral("alice"), QStringLiteral("carol") }));
    QVERIFY(QFileInfo::exists(folder(carol)));
    QVERIFY(!QFileInfo::exists(folder(dave)));
    QVERIFY(!QFileInfo::exists(folder(erin)));
    QCOMPARE(login("carol", "pw").left(1), QByteArray(1, '\0'));
}

void tst_Admin::refusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    const QString empty = server->path(QStringLiteral("config"));
    QFile bare(server->path(QStringLiteral("config/bare.ini")));
    QVERIFY(bare.open(QIODevice::WriteOnly));
    bare.write("[General]\nMainPort=1\n");
    bare.close();
    QTest::newRow("help") << words({ "users", "--help" }) << 0;
    QTest::newRow("help of add") << words({ "users", "add", "--help" }) << 0;
    QTest::newRow("no command") << words({ "users" }) << 64;
    QTest::newRow("unknown command") << words({ "users", "remove", "1" }) << 64;
    QTest::newRow("add, one word") << words({ "users", "add", "x" }) << 64;
    QTest::newRow("passwd, id not a number") << words({ "users", "passwd", "a", "x" }) << 64;
    QTest::newRow("delete, nothing") << words({ "users", "delete" }) << 64;
    QTest::newRow("purge, other range") << words({ "users", "purge", "--inactive", "1m" }) << 64;
    QTest::newRow("purge, no range") << words({ "users", "purge", "--data-only" }) << 64;
    QTest::newRow("no database here") << (words({ "users", "list", "--workdir" }) << empty) << 1;
    QTest::newRow("no storage folder")
        << (words({ "users", "delete", "1", "--config" }) << bare.fileName()) << 5;
}

void tst_Admin::refusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QByteArray out;
    QByteArray err;
    QCOMPARE(admin(arguments, &out, &err), exitCode);
    QVERIFY(exitCode == 0 ? out.startsWith("Usage: ") : !err.isEmpty());
    // Nothing was created where there was no database.
    QVERIFY(!QFileInfo::exists(server->path(QStringLiteral("config/db"))));
    QVERIFY(names().contains(QStringLiteral("alice")));
}

QTEST_GUILESS_MAIN(tst_Admin)
#include "tst_admin.moc"
