#include <QCoreApplication>
#include <QDir>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "cservercore.h"
#include "cserversettings.h"
#include "testwire.h"

using namespace testwire;

// The network services on a plain QCoreApplication: no widget, no display.
class tst_ServerCore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void servesWithoutWidgets();
    void portOverridesWin();
    void listenFailureIsReported();

private:
    QTemporaryDir dir;
    QString storage;
};

void tst_ServerCore::initTestCase()
{
    QVERIFY(dir.isValid());
    storage = dir.filePath(QStringLiteral("storage"));
    QVERIFY(QDir().mkpath(storage));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(dir.filePath(QStringLiteral("users.db")));
    QVERIFY(db.open());
    CServerSettings::instance()->setIniFilePath(dir.filePath(QStringLiteral("tolvern.ini")));
}

void tst_ServerCore::init()
{
    CServerSettings *s = CServerSettings::instance();
    s->saveDataDir = storage;
    s->mainPort = 0;
    s->filePort = 0;
}

void tst_ServerCore::servesWithoutWidgets()
{
    QVERIFY(!QCoreApplication::instance()->inherits("QGuiApplication"));
    CServerCore core;
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    QVERIFY(core.start());
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0).at(0).toString(), QStringLiteral("Main control server listen succeed"));
    QCOMPARE(lines.at(1).at(0).toString(), QStringLiteral("File transfer server listen succeed"));

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, core.controlPort());
    QVERIFY(client.waitForConnected(5000));
    client.write(packet(1, str("core-ann") + str("pw")));
    const Packet reply = readPacket(client);
    QVERIFY(reply.ok);
    QCOMPARE(reply.command, quint8(2));
    QCOMPARE(quint8(reply.body[0]), quint8(0));
    QTRY_VERIFY(lines.size() >= 4);
    QCOMPARE(
        lines.at(2).at(0).toString(), QStringLiteral("Control client connected from 127.0.0.1"));
    QCOMPARE(lines.at(3).at(0).toString(), QStringLiteral("[ADD_USER] name=core-ann, result=0"));

    QCOMPARE(core.uploadFileName(QStringLiteral("7/slot1")), QStringLiteral("7/slot1.z"));
    QCOMPARE(lines.last().at(0).toString(), QStringLiteral("Upload 7/slot1.z"));
}

void tst_ServerCore::portOverridesWin()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::AnyIPv4, 0));

    // The settings ask for any free port; the override names a taken one and wins.
    CServerCore core;
    core.setPortOverrides(0, probe.serverPort());
    QVERIFY(!core.start());
    QVERIFY(core.controlListening());
    QVERIFY(!core.fileListening());
}

void tst_ServerCore::listenFailureIsReported()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::AnyIPv4, 0));
    CServerSettings::instance()->mainPort = probe.serverPort();

    CServerCore core;
    QSignalSpy lines(&core, &CServerCore::lineLogged);
    QVERIFY(!core.start());
    QVERIFY(!core.controlListening());
    QVERIFY(core.fileListening());
    QVERIFY(!core.controlError().isEmpty());
    QCOMPARE(lines.at(0).at(0).toString(),
        QStringLiteral("Main control server listen failed => %1").arg(core.controlError()));
}

QTEST_GUILESS_MAIN(tst_ServerCore)
#include "tst_servercore.moc"
