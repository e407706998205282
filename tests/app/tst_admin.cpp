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
#include <QUrl>

#include "cpgcluster.h"
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
    void purgeCommitsInLargeTransactions();
    void refusals_data();
    void refusals();
    void deleteBeforeStorageIsSet();
    void dbCopyIntoPostgresql();

private:
    int admin(const QStringList &arguments, QByteArray *out = nullptr, QByteArray *err = nullptr);
    int admin(std::initializer_list<const char *> arguments, QByteArray *out = nullptr,
        QByteArray *err = nullptr);
    QByteArray login(const QByteArray &name, const QByteArray &password);
    QStringList names();
    QString folder(int id) const;
    void makeFolder(int id);

    std::unique_ptr<CServerProcess> server;
    // name=value pairs for the next admin commands.
    QStringList environment;
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
    for (const QString &pair : std::as_const(environment))
        env.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(server->path(QStringLiteral("work")));
    p.start(server->path(QStringLiteral("bin/tolvern-server")), arguments);
    // Copying 100,000 users under the sanitizers on a busy machine takes most of a minute.
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit) {
        qWarning("admin command %s: %s", qPrintable(arguments.join(u' ')),
            p.state() == QProcess::NotRunning ? "crashed" : "still running after 120 s");
        return -1;
    }
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

    // Passwords are stored hashed. A row of an older database, in plain text, is counted on
    // stderr (the list itself stays as it is) until the user's next login hashes it.
    const auto storedPassword = [this] {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peek"));
        db.setDatabaseName(server->databaseFile());
        QString stored;
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("select password from t_user where object_id = 1"))
                && query.next())
                stored = query.value(0).toString();
        }
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("peek"));
        return stored;
    };
    QVERIFY2(
        storedPassword().startsWith(QLatin1String("$argon2id$")), qPrintable(storedPassword()));
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
        db.setDatabaseName(server->databaseFile());
        QVERIFY(db.open());
        QVERIFY(QSqlQuery(db).exec(
            QStringLiteral("update t_user set password = 'plain' where object_id = 1")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("old"));
    QCOMPARE(admin({ "users", "list", "--json" }, &out, &err), 0);
    QVERIFY2(err.contains("1 user(s) with a password stored as plain text"), err.constData());
    QVERIFY(QJsonDocument::fromJson(out).isArray());
    QCOMPARE(login("alice", "plain"), QByteArray(1, '\0') + int32(1));
    QVERIFY(storedPassword().startsWith(QLatin1String("$argon2id$")));
    QCOMPARE(admin({ "users", "list" }, &out, &err), 0);
    QVERIFY2(!err.contains("plain text"), err.constData());
    QCOMPARE(admin({ "users", "passwd", "1", "n3w" }), 0);

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
    // A dry run names whom the purge would take, erin too though she was added just now.
    QCOMPARE(admin({ "users", "purge", "--inactive=6m", "--dry-run" }, &out), 0);
    const QByteArray who = QByteArray("  ") + QByteArray::number(dave) + "  dave  last login "
        + QDateTime::currentDateTime().addMonths(-7).toString(Qt::ISODate).left(10).toUtf8();
    const QByteArray never = "  " + QByteArray::number(erin) + "  erin  last login never\n";
    QVERIFY2(out.startsWith("Would delete 2 users not logged in since ") && out.contains(who)
            && out.endsWith(never),
        out.constData());
    QCOMPARE(names().size(), 4);
    QVERIFY(QFileInfo::exists(folder(dave)));

    QCOMPARE(admin({ "users", "purge", "--inactive=6m" }, &out), 0);
    QVERIFY2(out.startsWith("Deleted 2 users") && out.contains(who) && out.endsWith(never),
        out.constData());
    QCOMPARE(names(), QStringList({ QStringLiteral("alice"), QStringLiteral("carol") }));
    QVERIFY(QFileInfo::exists(folder(carol)));
    QVERIFY(!QFileInfo::exists(folder(dave)));
    QVERIFY(!QFileInfo::exists(folder(erin)));
    QCOMPARE(login("carol", "pw").left(1), QByteArray(1, '\0'));
}

void tst_Admin::purgeCommitsInLargeTransactions()
{
    // 12,000 users who never logged in, beside the active ones of the tests before; the
    // database refuses to delete the 10,001st.
    const int first = 1000;
    const int count = 12000;
    const int refused = first + 10000;
    const QString connection = QStringLiteral("bulk");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(server->databaseFile());
        QVERIFY(db.open());
        QVERIFY(db.transaction());
        QSqlQuery insert(db);
        QVERIFY(insert.prepare(QStringLiteral("insert into t_user (object_id, name, password, "
                                              "is_enabled) values (?, ?, 'pw', 'Y')")));
        for (int id = first; id < first + count; ++id) {
            insert.bindValue(0, id);
            insert.bindValue(1, QStringLiteral("bulk%1").arg(id));
            QVERIFY(insert.exec());
        }
        QVERIFY(db.commit());
        QVERIFY(QSqlQuery(db).exec(
            QStringLiteral("create trigger refuse before delete on t_user when old.object_id = "
                           "%1 begin select raise(abort, 'disk on fire'); end")
                .arg(refused)));
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    for (const int id : { first, refused - 1, refused, first + count - 1 })
        makeFolder(id);

    // Every file sync of the command is counted.
    const QString probe = server->path(QStringLiteral("purge-syncs.log"));
    QString asan = qEnvironmentVariable("ASAN_OPTIONS");
    environment = QStringList { QStringLiteral("LD_PRELOAD=")
            + QStringLiteral(TOLVERN_SYNCPROBE_PATH),
        QStringLiteral("TOLVERN_PROBE_FILE=") + probe,
        // A sanitized executable wants its runtime first; the probe only wraps system calls.
        QStringLiteral("ASAN_OPTIONS=") + asan + (asan.isEmpty() ? QString() : QStringLiteral(":"))
            + QStringLiteral("verify_asan_link_order=0") };
    QByteArray out;
    QByteArray err;
    const int code = admin({ "users", "purge", "--inactive", "6m" }, &out, &err);
    environment.clear();
    QCOMPARE(code, 1);
    QVERIFY2(err.contains("stopped after deleting 10000 of 12000 inactive users: ")
            && err.contains("disk on fire"),
        err.constData());
    QVERIFY2(!out.contains("Deleted"), out.constData());
    QFile syncs(probe);
    QVERIFY(syncs.open(QIODevice::ReadOnly));
    const int syncCount = int(syncs.readAll().count(" S "));
    // Ten commits of 1,000 rows; one each would be 10,000 syncs.
    QVERIFY2(syncCount >= 10 && syncCount <= 30, qPrintable(QString::number(syncCount)));
    QVERIFY(!QFileInfo::exists(folder(first)));
    QVERIFY(!QFileInfo::exists(folder(refused - 1)));
    QVERIFY(QFileInfo::exists(folder(refused) + QStringLiteral("/deep/slot.z")));
    QVERIFY(QFileInfo::exists(folder(first + count - 1) + QStringLiteral("/deep/slot.z")));
    QCOMPARE(names().size(), 2 + count - 10000);
    QCOMPARE(login("alice", "n3w").left(1), QByteArray(1, '\0'));
}

void tst_Admin::refusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    const QString empty = server->path(QStringLiteral("config"));
    QFile gone(server->path(QStringLiteral("config/gone.ini")));
    QVERIFY(gone.open(QIODevice::WriteOnly));
    gone.write(
        "[General]\nSaveDataDir=" + server->path(QStringLiteral("unmounted")).toUtf8() + '\n');
    gone.close();
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
    // Set but not there (an unmounted share): the folders would stay behind.
    QTest::newRow("storage folder gone")
        << (words({ "users", "delete", "1", "--config" }) << gone.fileName()) << 5;
    QTest::newRow("db help") << words({ "db", "--help" }) << 0;
    QTest::newRow("db help of copy") << words({ "db", "copy", "--help" }) << 0;
    QTest::newRow("db, no command") << words({ "db" }) << 64;
    QTest::newRow("db, unknown command") << words({ "db", "move" }) << 64;
    QTest::newRow("db copy, no target") << words({ "db", "copy" }) << 64;
    QTest::newRow("db copy, stray word") << words({ "db", "copy", "--to", "x.db", "y" }) << 64;
    QTest::newRow("db copy, no database name")
        << words({ "db", "copy", "--to", "postgresql://u@127.0.0.1:1/" }) << 64;
    QTest::newRow("db copy, no source here")
        << (words({ "db", "copy", "--to", "copy.db", "--workdir" }) << empty) << 1;
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

void tst_Admin::deleteBeforeStorageIsSet()
{
    // Before any storage folder is set there are no game-data folders: delete, like add,
    // needs none.
    QFile bare(server->path(QStringLiteral("config/bare.ini")));
    QVERIFY(bare.open(QIODevice::WriteOnly));
    bare.write("[General]\nMainPort=1\n");
    bare.close();
    QByteArray out;
    QCOMPARE(
        admin(words({ "users", "add", "early", "pw", "--config" }) << bare.fileName(), &out), 0);
    const QByteArray id = out.trimmed().split(' ').last();
    QVERIFY(names().contains(QStringLiteral("early")));
    QCOMPARE(admin(words({ "users", "delete" })
                 << QString::fromLatin1(id) << QStringLiteral("--config") << bare.fileName()),
        0);
    QVERIFY(!names().contains(QStringLiteral("early")));
    QVERIFY(names().contains(QStringLiteral("alice")));
}

void tst_Admin::dbCopyIntoPostgresql()
{
    if (!CPgCluster::installed())
        QSKIP("skipped: PostgreSQL not installed");
    CPgCluster cluster;
    QVERIFY2(cluster.start(), qPrintable(cluster.errorText()));
    QVERIFY2(cluster.createDatabase(QStringLiteral("big")), qPrintable(cluster.errorText()));
    QVERIFY2(cluster.createDatabase(QStringLiteral("live")), qPrintable(cluster.errorText()));

    // An old SQLite file: 100,000 users, every tenth never logged in, the last ids deleted.
    constexpr int COUNT = 100000;
    const QString file = server->path(QStringLiteral("big.db"));
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("big"));
        db.setDatabaseName(file);
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec(QStringLiteral(
            "CREATE TABLE [t_user] ([object_id] INT NOT NULL, [name] VARCHAR(20) NOT NULL, "
            "[password] VARCHAR(20) NOT NULL, [is_enabled] CHAR(1) NOT NULL DEFAULT Y, "
            "[last_login] DATETIME)")));
        QVERIFY(query.exec(QStringLiteral("CREATE TABLE t_user_seq (last_id INTEGER NOT NULL)")));
        QVERIFY(query.exec(QStringLiteral("INSERT INTO t_user_seq VALUES (%1)").arg(COUNT + 5)));
        QVERIFY(db.transaction());
        QVERIFY(query.prepare(QStringLiteral("INSERT INTO t_user VALUES (?, ?, ?, 'Y', ?)")));
        for (int id = 1; id <= COUNT; ++id) {
            query.addBindValue(id);
            query.addBindValue(QStringLiteral("user%1").arg(id));
            // A hash goes over as it is, as any text.
            query.addBindValue(id == 4711
                    ? QStringLiteral("$argon2id$v=19$m=8,t=1,p=1$c2FsdHNhbHRzYWx0c2FsdA$"
                                     "aGFzaGhhc2hoYXNoaGFzaGhhc2hoYXNoaGFzaGhhc2g")
                    : QStringLiteral("pw %1 ä").arg(id * 7));
            query.addBindValue(id % 10 == 0
                    ? QVariant(QMetaType::fromType<QString>())
                    : QVariant(QStringLiteral("2026-%1-%2T10:%3:00")
                                   .arg(1 + id % 12, 2, 10, QLatin1Char('0'))
                                   .arg(1 + id % 28, 2, 10, QLatin1Char('0'))
                                   .arg(id % 60, 2, 10, QLatin1Char('0'))));
            QVERIFY(query.exec());
        }
        QVERIFY(db.commit());
    }
    QSqlDatabase::removeDatabase(QStringLiteral("big"));

    QByteArray out;
    QByteArray err;
    const QString url = cluster.url(QStringLiteral("big"));
    QCOMPARE(admin(QStringList { QStringLiteral("db"), QStringLiteral("copy"),
                       QStringLiteral("--from"), file, QStringLiteral("--to"), url },
                 &out, &err),
        0);
    QVERIFY2(out.startsWith("Copied 100000 users from "), out.constData());

    // The same rows, compared in aggregate and by sample.
    const auto summary = [](const QString &connection, const QString &table) {
        QSqlQuery query(QSqlDatabase::database(connection));
        if (!query.exec(QStringLiteral("select count(*), sum(object_id), count(last_login), "
                                       "max(last_login), min(name) from %1")
                            .arg(table))
            || !query.next())
            return QStringList { QStringLiteral("(failed)") };
        QStringList values;
        for (int i = 0; i < 5; ++i)
            values << query.value(i).toString();
        return values;
    };
    QSqlDatabase source
        = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("src"));
    source.setDatabaseName(file);
    QVERIFY(source.open());
    QSqlDatabase target = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("dst"));
    target.setHostName(QStringLiteral("127.0.0.1"));
    target.setPort(cluster.port());
    target.setUserName(QUrl(url).userName());
    target.setDatabaseName(QStringLiteral("big"));
    QVERIFY(target.open());
    QCOMPARE(summary(QStringLiteral("dst"), QStringLiteral("t_user")),
        summary(QStringLiteral("src"), QStringLiteral("t_user")));
    for (const int id : { 1, 10, 4711, COUNT }) {
        const QString row = QStringLiteral(
            "select name, password, is_enabled, last_login from t_user where object_id = %1")
                                .arg(id);
        QSqlQuery from(source);
        QSqlQuery to(target);
        QVERIFY(from.exec(row) && from.next());
        QVERIFY(to.exec(row) && to.next());
        for (int i = 0; i < 4; ++i)
            QCOMPARE(to.value(i).toString(), from.value(i).toString());
        QCOMPARE(to.value(3).isNull(), id % 10 == 0);
    }
    // Ids of deleted users stay used.
    QSqlQuery seq(target);
    QVERIFY(seq.exec(QStringLiteral("select last_id from t_user_seq")) && seq.next());
    QCOMPARE(seq.value(0).toLongLong(), qint64(COUNT + 5));
    source.close();
    target.close();
    source = target = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("src"));
    QSqlDatabase::removeDatabase(QStringLiteral("dst"));

    // A target that holds users is never written again.
    QCOMPARE(admin(QStringList { QStringLiteral("db"), QStringLiteral("copy"),
                       QStringLiteral("--from"), file, QStringLiteral("--to"), url },
                 &out, &err),
        6);
    QVERIFY2(err.contains("already holds 100000 users"), err.constData());

    // Without --from: the running server's own database.
    const int before = names().size();
    QCOMPARE(admin(QStringList { QStringLiteral("db"), QStringLiteral("copy"),
                       QStringLiteral("--to"), cluster.url(QStringLiteral("live")) },
                 &out, &err),
        0);
    QVERIFY2(out.startsWith(QStringLiteral("Copied %1 users from %2")
                                .arg(before)
                                .arg(server->databaseFile())
                                .toUtf8()),
        out.constData());
}

QTEST_GUILESS_MAIN(tst_Admin)
#include "tst_admin.moc"
