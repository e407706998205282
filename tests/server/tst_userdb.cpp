#include <limits>

#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "cserversettings.h"
#include "cuserdb.h"

class tst_UserDb : public QObject
{
    Q_OBJECT

public slots:
    // Stands in for the desktop's file browser.
    void openFolder(const QUrl &url) { openedUrls.append(url); }

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    // happy flows
    void tableAndIndexesAsDesigned();
    void idsStartAtOneAndGrow();
    void highestIdIsReused();
    void namesCompareExactly();
    void loginStampsLastLogin();
    void disabledUserCanLogIn();
    void inactiveUsers_data();
    void inactiveUsers();
    void clearInactiveUserData();
    void clearWithNoInactiveUsers();
    void deleteInactiveUsers();
    void userDataPath_data();
    void userDataPath();
    void clearAndDeleteUser();
    void openUserData();

    // rainy-day flows
    void failedLoginChangesNothing_data();
    void failedLoginChangesNothing();
    void highestPossibleIdRefusesNewUsers();
    void missingStorageDirectoryTouchesNothing();

private:
    int addUser(const QString &name, const QString &password = QStringLiteral("pw"));
    QVariant lastLogin(int objectId);
    void setLastLogin(int objectId, const QVariant &value);
    QString makeUserFolder(int objectId);
    int rowCount();

    QTemporaryDir temp;
    QString storage;
    QList<QUrl> openedUrls;
    CUserDb *db = nullptr;
};

void tst_UserDb::initTestCase()
{
    QVERIFY(temp.isValid());
    QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    database.setDatabaseName(temp.filePath(QStringLiteral("users.db")));
    QVERIFY(database.open());
    storage = temp.filePath(QStringLiteral("store"));
    CServerSettings::instance()->saveDataDir = storage;
    db = CUserDb::instance();
    QVERIFY(db);
    QCOMPARE(CUserDb::instance(), db);
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openFolder");
}

void tst_UserDb::init()
{
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("delete from t_user")));
    CServerSettings::instance()->saveDataDir = storage;
    QDir(storage).removeRecursively();
    QVERIFY(QDir().mkpath(storage));
    openedUrls.clear();
}

void tst_UserDb::cleanup()
{
    QDir(storage).removeRecursively();
}

void tst_UserDb::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    {
        QSqlDatabase database = QSqlDatabase::database();
        database.close();
    }
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
}

int tst_UserDb::addUser(const QString &name, const QString &password)
{
    int id = -1;
    if (!db->addUser(name, password, &id))
        return -1;
    return id;
}

QVariant tst_UserDb::lastLogin(int objectId)
{
    QSqlQuery query;
    query.prepare(QStringLiteral("select last_login from t_user where object_id = ?"));
    query.addBindValue(objectId);
    if (!query.exec() || !query.next())
        return QStringLiteral("no such row");
    return query.value(0);
}

void tst_UserDb::setLastLogin(int objectId, const QVariant &value)
{
    QSqlQuery query;
    query.prepare(QStringLiteral("update t_user set last_login = ? where object_id = ?"));
    query.addBindValue(value);
    query.addBindValue(objectId);
    QVERIFY(query.exec());
    QCOMPARE(query.numRowsAffected(), 1);
}

QString tst_UserDb::makeUserFolder(int objectId)
{
    const QString folder = storage + QLatin1Char('/') + QString::number(objectId);
    QDir().mkpath(folder + QStringLiteral("/sub"));
    QFile file(folder + QStringLiteral("/sub/save.z"));
    if (file.open(QIODevice::WriteOnly))
        file.write("data");
    return folder;
}

int tst_UserDb::rowCount()
{
    QSqlQuery query;
    if (!query.exec(QStringLiteral("select count(*) from t_user")) || !query.next())
        return -1;
    return query.value(0).toInt();
}

void tst_UserDb::tableAndIndexesAsDesigned()
{
    QSqlQuery query;
    QVERIFY(query.exec(
        QStringLiteral("select sql from sqlite_master where type='table' and name='t_user'")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString(),
        QStringLiteral("CREATE TABLE [t_user] (   [object_id] INT NOT NULL,    [name] "
                       "VARCHAR(20) NOT NULL,    [password] VARCHAR(20) NOT NULL,    "
                       "[is_enabled] CHAR(1) NOT NULL DEFAULT Y,   [last_login] DATETIME)"));

    QVERIFY(query.exec(QStringLiteral(
        "select group_concat(name, ',') from pragma_index_list('t_user') order by name")));
    QVERIFY(query.next());
    const QStringList indexes = query.value(0).toString().split(QLatin1Char(','));
    QCOMPARE(indexes.size(), 2);

    QStringList columns;
    for (const QString &index : indexes) {
        QSqlQuery info;
        QVERIFY(info.exec(QStringLiteral("select name from pragma_index_info('%1')").arg(index)));
        while (info.next())
            columns.append(info.value(0).toString());
    }
    columns.sort();
    QCOMPARE(columns, QStringList({ QStringLiteral("name"), QStringLiteral("object_id") }));

    // Logins find the row through the index rather than by scanning the table.
    QVERIFY(query.exec(QStringLiteral(
        "explain query plan select object_id, password from t_user where name= 'x'")));
    QVERIFY(query.next());
    QVERIFY2(query.value(3).toString().contains(QLatin1String("USING INDEX")),
        qPrintable(query.value(3).toString()));
}

void tst_UserDb::idsStartAtOneAndGrow()
{
    QSignalSpy added(db, &CUserDb::userAdd);
    QCOMPARE(addUser(QStringLiteral("anna")), 1);
    QCOMPARE(addUser(QStringLiteral("bert")), 2);
    QCOMPARE(addUser(QStringLiteral("carl")), 3);
    QCOMPARE(added.size(), 3);
    QCOMPARE(added.at(0), QVariantList({ 1, QStringLiteral("anna") }));
    QCOMPARE(added.at(2), QVariantList({ 3, QStringLiteral("carl") }));

    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("select object_id, name, password, is_enabled, last_login "
                                      "from t_user where object_id = 2")));
    QVERIFY(query.next());
    QCOMPARE(query.value(1).toString(), QStringLiteral("bert"));
    QCOMPARE(query.value(2).toString(), QStringLiteral("pw"));
    QCOMPARE(query.value(3).toString(), QStringLiteral("Y"));
    QVERIFY(query.value(4).isNull());
}

void tst_UserDb::highestIdIsReused()
{
    QCOMPARE(addUser(QStringLiteral("anna")), 1);
    QCOMPARE(addUser(QStringLiteral("bert")), 2);
    QCOMPARE(addUser(QStringLiteral("carl")), 3);
    makeUserFolder(3);

    db->deleteUser(3);
    QVERIFY(!QFileInfo::exists(storage + QStringLiteral("/3")));
    QCOMPARE(addUser(QStringLiteral("dora")), 3);

    // Deleting one in the middle leaves a gap that is not filled.
    db->deleteUser(2);
    QCOMPARE(addUser(QStringLiteral("emil")), 4);
}

void tst_UserDb::namesCompareExactly()
{
    QSignalSpy added(db, &CUserDb::userAdd);
    QCOMPARE(addUser(QStringLiteral("anna")), 1);
    QCOMPARE(addUser(QStringLiteral("Anna")), 2);
    QCOMPARE(addUser(QStringLiteral("anna ")), 3);
    QCOMPARE(addUser(QString()), 4);
    QCOMPARE(added.size(), 4);

    int id = -7;
    QVERIFY(!db->addUser(QStringLiteral("anna"), QStringLiteral("other"), &id));
    QCOMPARE(id, -7);
    QCOMPARE(added.size(), 4);
    QCOMPARE(rowCount(), 4);

    QVERIFY(db->userExists(QStringLiteral("anna")));
    QVERIFY(db->userExists(QStringLiteral("Anna")));
    QVERIFY(db->userExists(QString()));
    QVERIFY(!db->userExists(QStringLiteral("ANNA")));
    QVERIFY(!db->userExists(QStringLiteral(" anna")));
}

void tst_UserDb::loginStampsLastLogin()
{
    const int id = addUser(QStringLiteral("anna"), QStringLiteral("Secret"));
    QSignalSpy loggedIn(db, &CUserDb::userLogin);

    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    int got = -1;
    QVERIFY(db->login(QStringLiteral("anna"), QStringLiteral("Secret"), &got));
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);
    QCOMPARE(got, id);
    QCOMPARE(loggedIn.size(), 1);
    QCOMPARE(loggedIn.at(0).at(0).toInt(), id);

    // Stored as text, local time, to the second.
    const QVariant stamp = lastLogin(id);
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("select typeof(last_login) from t_user")));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toString(), QStringLiteral("text"));
    const QString text = stamp.toString();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d$"))
                 .match(text)
                 .hasMatch(),
        qPrintable(text));
    const QDateTime stored = QDateTime::fromString(text, Qt::ISODate);
    QVERIFY(stored >= before && stored <= after);
    QCOMPARE(CUserDb::dateTimeText(stored), text);
}

void tst_UserDb::disabledUserCanLogIn()
{
    const int id = addUser(QStringLiteral("anna"));
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("update t_user set is_enabled = 'N'")));
    int got = 0;
    QVERIFY(db->login(QStringLiteral("anna"), QStringLiteral("pw"), &got));
    QCOMPARE(got, id);
}

void tst_UserDb::failedLoginChangesNothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");

    QTest::newRow("wrong password") << "anna"
                                    << "wrong";
    QTest::newRow("password case") << "anna"
                                   << "secret";
    QTest::newRow("empty password") << "anna" << QString();
    QTest::newRow("unknown name") << "nobody"
                                  << "Secret";
    QTest::newRow("name case") << "Anna"
                               << "Secret";
}

void tst_UserDb::failedLoginChangesNothing()
{
    QFETCH(QString, name);
    QFETCH(QString, password);

    const int id = addUser(QStringLiteral("anna"), QStringLiteral("Secret"));
    const int other = addUser(QStringLiteral("bert"), QStringLiteral("Secret"));
    setLastLogin(other, QStringLiteral("2020-01-01T00:00:00"));
    QSignalSpy loggedIn(db, &CUserDb::userLogin);

    int got = -7;
    QVERIFY(!db->login(name, password, &got));
    QCOMPARE(got, -7);
    QCOMPARE(loggedIn.size(), 0);
    QVERIFY(lastLogin(id).isNull());
    QCOMPARE(lastLogin(other).toString(), QStringLiteral("2020-01-01T00:00:00"));
}

void tst_UserDb::inactiveUsers_data()
{
    QTest::addColumn<int>("months");
    QTest::addColumn<QList<int>>("expected");

    // Users 1..6: never logged in; 7 months ago; 4 months ago (stored with milliseconds
    // as Qt 6 would have written it); yesterday; exactly at the 3-month cut-off; one second
    // before the 6-month cut-off.
    QTest::newRow("3 months") << 3 << QList<int>({ 1, 2, 3, 6 });
    QTest::newRow("6 months") << 6 << QList<int>({ 1, 2, 6 });
}

void tst_UserDb::inactiveUsers()
{
    QFETCH(int, months);
    QFETCH(QList<int>, expected);

    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 1; i <= 6; ++i)
        QCOMPARE(addUser(QStringLiteral("user%1").arg(i)), i);
    setLastLogin(2, CUserDb::dateTimeText(now.addMonths(-7)));
    setLastLogin(3, CUserDb::dateTimeText(now.addMonths(-4)) + QStringLiteral(".134"));
    setLastLogin(4, CUserDb::dateTimeText(now.addDays(-1)));
    setLastLogin(5, CUserDb::dateTimeText(now.addMonths(-3)));
    setLastLogin(6, CUserDb::dateTimeText(now.addMonths(-6).addSecs(-1)));

    QVector<int> ids = { 99 };
    db->inactiveUserIds(now.addMonths(-months), ids);
    QCOMPARE(ids.takeFirst(), 99); // appended to, not replaced
    std::sort(ids.begin(), ids.end());
    QCOMPARE(QList<int>(ids.begin(), ids.end()), expected);
}

void tst_UserDb::clearInactiveUserData()
{
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 1; i <= 4; ++i)
        addUser(QStringLiteral("user%1").arg(i));
    // 1 never logged in, 2 long ago: inactive. 3 and 4 are active.
    setLastLogin(2, CUserDb::dateTimeText(now.addMonths(-8)));
    setLastLogin(3, CUserDb::dateTimeText(now.addDays(-2)));
    setLastLogin(4, CUserDb::dateTimeText(now));
    makeUserFolder(2);
    makeUserFolder(3);
    makeUserFolder(4);

    int users = -1;
    int missing = -1;
    db->clearInactiveUserData(now.addMonths(-3), &users, &missing);
    QCOMPARE(users, 2);
    QCOMPARE(missing, 1); // user 1 has no folder
    QVERIFY(!QFileInfo::exists(storage + QStringLiteral("/2")));
    QVERIFY(QFileInfo::exists(storage + QStringLiteral("/3/sub/save.z")));
    QVERIFY(QFileInfo::exists(storage + QStringLiteral("/4/sub/save.z")));
    QCOMPARE(rowCount(), 4);

    // Null counters are allowed.
    makeUserFolder(1);
    db->clearInactiveUserData(now.addMonths(-3), nullptr, nullptr);
    QVERIFY(!QFileInfo::exists(storage + QStringLiteral("/1")));
}

void tst_UserDb::clearWithNoInactiveUsers()
{
    const QDateTime now = QDateTime::currentDateTime();
    addUser(QStringLiteral("anna"));
    setLastLogin(1, CUserDb::dateTimeText(now));
    makeUserFolder(1);

    int users = -1;
    int missing = -1;
    db->clearInactiveUserData(now.addMonths(-6), &users, &missing);
    QCOMPARE(users, 0);
    QCOMPARE(missing, 0);
    QVERIFY(QFileInfo::exists(storage + QStringLiteral("/1/sub/save.z")));
}

void tst_UserDb::deleteInactiveUsers()
{
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 1; i <= 4; ++i)
        addUser(QStringLiteral("user%1").arg(i));
    setLastLogin(2, CUserDb::dateTimeText(now.addMonths(-7)));
    setLastLogin(4, CUserDb::dateTimeText(now.addMonths(-1)));
    for (int i = 1; i <= 4; ++i)
        makeUserFolder(i);
    QSignalSpy added(db, &CUserDb::userAdd);
    QSignalSpy loggedIn(db, &CUserDb::userLogin);

    int deleted = -1;
    db->deleteInactiveUsers(now.addMonths(-6), &deleted);
    QCOMPARE(deleted, 3);
    QCOMPARE(rowCount(), 1);
    QVERIFY(!lastLogin(4).toString().isEmpty());
    for (int i = 1; i <= 3; ++i)
        QVERIFY(!QFileInfo::exists(storage + QLatin1Char('/') + QString::number(i)));
    QVERIFY(QFileInfo::exists(storage + QStringLiteral("/4/sub/save.z")));
    QCOMPARE(added.size() + loggedIn.size(), 0);

    db->deleteInactiveUsers(now.addMonths(-6), &deleted);
    QCOMPARE(deleted, 0);
    db->deleteInactiveUsers(now.addMonths(-6), nullptr);
}

void tst_UserDb::userDataPath_data()
{
    QTest::addColumn<QString>("storageDir");
    QTest::addColumn<QString>("expected");

    const QString base = temp.path();
    QString windowsStyle = base;
    windowsStyle.replace(QLatin1Char('/'), QLatin1Char('\\'));

    QTest::newRow("plain") << base + QStringLiteral("/saves") << base + QStringLiteral("/saves/7");
    QTest::newRow("trailing slash")
        << base + QStringLiteral("/saves/") << base + QStringLiteral("/saves/7");
    QTest::newRow("backslashes") << windowsStyle + QStringLiteral("\\saves")
                                 << base + QStringLiteral("/saves/7");
    QTest::newRow("trailing backslash")
        << windowsStyle + QStringLiteral("\\saves\\") << base + QStringLiteral("/saves/7");
    QTest::newRow("relative") << QStringLiteral("rel\\saves")
                              << QDir::currentPath() + QStringLiteral("/rel/saves/7");
}

void tst_UserDb::userDataPath()
{
    QFETCH(QString, storageDir);
    QFETCH(QString, expected);

    CServerSettings::instance()->saveDataDir = storageDir;
    QCOMPARE(db->userDataPath(7), expected);
    QCOMPARE(db->userDataPath(12345), expected.chopped(1) + QStringLiteral("12345"));
}

void tst_UserDb::clearAndDeleteUser()
{
    addUser(QStringLiteral("anna"));
    addUser(QStringLiteral("bert"));
    makeUserFolder(1);
    makeUserFolder(2);

    QVERIFY(db->clearUserData(1));
    QVERIFY(!QFileInfo::exists(storage + QStringLiteral("/1")));
    QCOMPARE(rowCount(), 2);
    QVERIFY(!db->clearUserData(1));

    QSignalSpy added(db, &CUserDb::userAdd);
    db->deleteUser(2);
    QVERIFY(!QFileInfo::exists(storage + QStringLiteral("/2")));
    QCOMPARE(rowCount(), 1);
    QVERIFY(!db->userExists(QStringLiteral("bert")));
    // A user without a folder goes all the same.
    db->deleteUser(1);
    QCOMPARE(rowCount(), 0);
    QCOMPARE(added.size(), 0);
}

void tst_UserDb::openUserData()
{
    addUser(QStringLiteral("anna"));
    QVERIFY(!db->openUserData(1));
    QVERIFY(openedUrls.isEmpty());

    const QString folder = makeUserFolder(1);
    QVERIFY(db->openUserData(1));
    QCOMPARE(openedUrls, QList<QUrl>({ QUrl::fromLocalFile(folder) }));
}

void tst_UserDb::highestPossibleIdRefusesNewUsers()
{
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("insert into t_user (object_id, name, password, is_enabled) "
                                      "values (2147483647, 'top', 'pw', 'Y')")));
    QSignalSpy added(db, &CUserDb::userAdd);
    int id = -7;
    QVERIFY(!db->addUser(QStringLiteral("next"), QStringLiteral("pw"), &id));
    QCOMPARE(id, -7);
    QCOMPARE(added.size(), 0);
    QCOMPARE(rowCount(), 1);
}

void tst_UserDb::missingStorageDirectoryTouchesNothing()
{
    // Without a storage directory a user's folder must not be looked for in the root.
    CServerSettings::instance()->saveDataDir.clear();
    addUser(QStringLiteral("anna"));
    QCOMPARE(db->userDataPath(1), QString());
    QVERIFY(!db->clearUserData(1));
    QVERIFY(!db->openUserData(1));
    QVERIFY(openedUrls.isEmpty());
    int users = -1;
    int missing = -1;
    db->clearInactiveUserData(QDateTime::currentDateTime(), &users, &missing);
    QCOMPARE(users, 1);
    QCOMPARE(missing, 1);
    db->deleteUser(1);
    QCOMPARE(rowCount(), 0);
}

QTEST_GUILESS_MAIN(tst_UserDb)
#include "tst_userdb.moc"
