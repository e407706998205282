#include <csignal>
#include <memory>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "cportreservation.h"
#include "testwire.h"

using namespace testwire;

// Starts copies of the real executable the way a user would: beside its own tolvern.ini, in a
// working directory of its own, on the offscreen platform.
class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void servesClientsAsUserStartsIt();
    void secondCopyRaisesFirstAndExits();
    void terminationSignalEndsWithZero_data();
    void terminationSignalEndsWithZero();
    void stopsBeforeServing_data();
    void stopsBeforeServing();

private:
    QString path(const QString &name) const { return dir->filePath(name); }
    void writeIni(const QString &saveDir);
    QProcess *start(QProcess::ProcessChannelMode errors = QProcess::ForwardedErrorChannel);
    bool waitListening(quint16 port);

    std::unique_ptr<QTemporaryDir> dir;
    QList<QProcess *> processes;
    // Kept until the test ends, so no other test takes the ports before the server does.
    std::unique_ptr<CPortReservation> mainReservation;
    std::unique_ptr<CPortReservation> fileReservation;
    quint16 mainPort = 0;
    quint16 filePort = 0;
};

void tst_Startup::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    for (const char *sub : { "bin", "work", "storage", "run", "config" })
        QVERIFY(QDir().mkpath(path(QLatin1String(sub))));
    QVERIFY(QFile::setPermissions(path(QStringLiteral("run")),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    QVERIFY(QFile::copy(
        QStringLiteral(TOLVERN_SERVER_PATH), path(QStringLiteral("bin/tolvern-server"))));
    mainReservation = std::make_unique<CPortReservation>();
    fileReservation = std::make_unique<CPortReservation>();
    mainPort = mainReservation->port();
    filePort = fileReservation->port();
    QVERIFY(mainPort && filePort && mainPort != filePort);
}

void tst_Startup::cleanup()
{
    for (QProcess *p : std::as_const(processes)) {
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(5000);
        }
        delete p;
    }
    processes.clear();
    mainReservation.reset();
    fileReservation.reset();
    dir.reset();
}

void tst_Startup::writeIni(const QString &saveDir)
{
    QFile ini(path(QStringLiteral("bin/tolvern.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(QStringLiteral(
        "[General]\nSaveDataDir=%1\nMainPort=%2\nFilePort=%3\nStartWhenOSStarts=false\n")
                  .arg(saveDir)
                  .arg(mainPort)
                  .arg(filePort)
                  .toUtf8());
}

QProcess *tst_Startup::start(QProcess::ProcessChannelMode errors)
{
    auto *p = new QProcess;
    processes << p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("run")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
    p->setProcessEnvironment(env);
    p->setWorkingDirectory(path(QStringLiteral("work")));
    p->setProcessChannelMode(errors);
    p->start(path(QStringLiteral("bin/tolvern-server")), {});
    return p;
}

bool tst_Startup::waitListening(quint16 port)
{
    return QTest::qWaitFor(
        [port] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            return probe.waitForConnected(200);
        },
        30000);
}

void tst_Startup::servesClientsAsUserStartsIt()
{
    writeIni(path(QStringLiteral("storage")));
    QProcess *server = start();
    QVERIFY(server->waitForStarted());
    QVERIFY(waitListening(mainPort));

    QTcpSocket control;
    control.connectToHost(QHostAddress::LocalHost, mainPort);
    QVERIFY(control.waitForConnected(5000));
    control.write(packet(1, str("carol") + str("secret")));
    Packet reply = readPacket(control);
    QVERIFY(reply.ok);
    QCOMPARE(reply.command, quint8(2));
    QCOMPARE(reply.body, QByteArray(1, '\0') + int32(1));
    control.write(packet(9, str("carol") + str("secret")));
    reply = readPacket(control);
    QCOMPARE(reply.command, quint8(10));
    QCOMPARE(reply.body, QByteArray(1, '\0') + int32(1));
    QVERIFY(QFile::exists(path(QStringLiteral("work/db/users.db"))));
    // Write-ahead logging: a login's stamp costs no full sync of the database file.
    QVERIFY(QFile::exists(path(QStringLiteral("work/db/users.db-wal"))));

    QVERIFY(waitListening(filePort));
    QTcpSocket upload;
    upload.connectToHost(QHostAddress::LocalHost, filePort);
    QVERIFY(upload.waitForConnected(5000));
    upload.write(frame(0, packet(3, str("carol") + str("") + str("slot"))));
    Frame f = readFrame(upload);
    QVERIFY(f.ok);
    QCOMPARE(f.payload.mid(22), QByteArray(1, '\0'));
    upload.write(frame(1, QByteArrayLiteral("level 9")));
    upload.write(frame(0, packet(6, {})));
    QTRY_COMPARE(upload.state(), QAbstractSocket::UnconnectedState);
    QFile archive(path(QStringLiteral("storage/slot.z")));
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.readAll(), QByteArrayLiteral("level 9"));

    // Many clients need many descriptors: the soft limit is raised to the hard one.
    QFile limits(QStringLiteral("/proc/%1/limits").arg(server->processId()));
    QVERIFY(limits.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = limits.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("Max open files")) {
            const QList<QByteArray> parts = line.simplified().split(' ');
            QCOMPARE(parts.at(3), parts.at(4));
        }
    }

    ::kill(pid_t(server->processId()), SIGTERM);
    QVERIFY(server->waitForFinished(15000));
    QCOMPARE(server->exitStatus(), QProcess::NormalExit);
    QCOMPARE(server->exitCode(), 0);
}

void tst_Startup::secondCopyRaisesFirstAndExits()
{
    writeIni(path(QStringLiteral("storage")));
    QProcess *first = start();
    QVERIFY(waitListening(mainPort));

    QProcess *second = start(QProcess::SeparateChannels);
    QVERIFY(second->waitForFinished(15000));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    // It says whom it met, and the first copy answered that its window is in front.
    QCOMPARE(QString::fromLocal8Bit(second->readAllStandardError()),
        QStringLiteral("Tolvern Data Server already runs (process %1); its window was brought "
                       "to the front.\n")
            .arg(first->processId()));

    QCOMPARE(first->state(), QProcess::Running);
    QVERIFY(waitListening(mainPort));
    ::kill(pid_t(first->processId()), SIGTERM);
    QVERIFY(first->waitForFinished(15000));
    QCOMPARE(first->exitCode(), 0);

    // A copy that ended releases the lock for the next start.
    QProcess *third = start();
    QVERIFY(waitListening(mainPort));
    ::kill(pid_t(third->processId()), SIGTERM);
    QVERIFY(third->waitForFinished(15000));
}

void tst_Startup::terminationSignalEndsWithZero_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_Startup::terminationSignalEndsWithZero()
{
    QFETCH(int, signal);
    writeIni(path(QStringLiteral("storage")));
    QProcess *server = start();
    QVERIFY(waitListening(mainPort));
    QTcpSocket idle;
    idle.connectToHost(QHostAddress::LocalHost, mainPort);
    QVERIFY(idle.waitForConnected(5000));

    ::kill(pid_t(server->processId()), signal);
    QVERIFY(server->waitForFinished(15000));
    QCOMPARE(server->exitStatus(), QProcess::NormalExit);
    QCOMPARE(server->exitCode(), 0);
    QTRY_COMPARE(idle.state(), QAbstractSocket::UnconnectedState);
}

void tst_Startup::stopsBeforeServing_data()
{
    QTest::addColumn<bool>("withIni");
    QTest::addColumn<bool>("dbCreated");
    // No ini: the setup dialog waits for the operator, who gives up.
    QTest::newRow("first start, setup closed") << false << false;
    // The storage directory was removed after setup: an error box, nothing served.
    QTest::newRow("storage directory missing") << true << true;
}

void tst_Startup::stopsBeforeServing()
{
    QFETCH(bool, withIni);
    QFETCH(bool, dbCreated);
    if (withIni)
        writeIni(path(QStringLiteral("gone")));
    QProcess *server = start();
    QVERIFY(server->waitForStarted());
    const QString db = path(QStringLiteral("work/db/users.db"));
    if (dbCreated)
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(db), 20000);
    else
        QTRY_VERIFY_WITH_TIMEOUT(
            QFile::exists(path(QStringLiteral("run/OMBRIVALE_TOLVERN.lock"))), 20000);

    // Nobody answers the modal window on this platform; the signal ends it as a close would.
    ::kill(pid_t(server->processId()), SIGTERM);
    QVERIFY(server->waitForFinished(15000));
    QCOMPARE(server->exitStatus(), QProcess::NormalExit);
    QCOMPARE(server->exitCode(), 0);
    QCOMPARE(QFile::exists(path(QStringLiteral("work/db"))), dbCreated);
    QCOMPARE(QFile::exists(path(QStringLiteral("bin/tolvern.ini"))), withIni);
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, mainPort);
    QVERIFY(!probe.waitForConnected(500));
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
