#include <csignal>
#include <memory>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "testini.h"
#include "cportreservation.h"
#include "testtls.h"
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

    // headless
    void servesWithoutDisplay();
    void firstHeadlessStartTakesDefaultStorage();
    void headlessRefusals_data();
    void headlessRefusals();
    void readOnlyDatabaseSaidAtStart();
    void iniFilesOfTheirOwnRunSideBySide();
    void badTlsFilesRefusedAtStart_data();
    void badTlsFilesRefusedAtStart();
    void hangupReloadsCertificate();

private:
    QString path(const QString &name) const { return dir->filePath(name); }
    void writeIni(const QString &saveDir);
    // display false: no display variables, no platform, output kept for the test.
    QProcess *start(const QStringList &arguments = {}, bool display = true,
        QProcess::ProcessChannelMode errors = QProcess::ForwardedErrorChannel);
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
    for (const char *sub : { "bin", "work", "storage", "run", "config", "data" })
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
    QVERIFY(writeTestIni(path(QStringLiteral("bin/tolvern.ini")), saveDir, mainPort, filePort));
}

QProcess *tst_Startup::start(
    const QStringList &arguments, bool display, QProcess::ProcessChannelMode errors)
{
    auto *p = new QProcess;
    processes << p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (display) {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        p->setProcessChannelMode(errors);
    } else {
        for (const char *name : { "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY" })
            env.remove(QLatin1String(name));
    }
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("run")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
    p->setProcessEnvironment(env);
    p->setWorkingDirectory(path(QStringLiteral("work")));
    p->start(path(QStringLiteral("bin/tolvern-server")), arguments);
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

    QProcess *second = start({}, true, QProcess::SeparateChannels);
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

void tst_Startup::servesWithoutDisplay()
{
    writeIni(path(QStringLiteral("storage")));
    // No --headless: without a display the server says so and serves all the same.
    QProcess *server = start({}, false);
    QVERIFY(waitListening(mainPort));
    QVERIFY(waitListening(filePort));

    // Names and save names come from clients: a line break or an escape sequence in them
    // must not make a log line of its own.
    const QByteArray forged = "eve\n2026-01-01T00:00:00.000+00:00 [LOGIN] name=root\x1b[2J";
    QTcpSocket control;
    control.connectToHost(QHostAddress::LocalHost, mainPort);
    QVERIFY(control.waitForConnected(5000));
    control.write(packet(1, str(forged) + str("pw")));
    Packet reply = readPacket(control);
    QCOMPARE(reply.body, QByteArray(1, '\0') + int32(1));
    control.write(packet(9, str(forged) + str("pw")));
    reply = readPacket(control);
    QCOMPARE(reply.body, QByteArray(1, '\0') + int32(1));

    QTcpSocket upload;
    upload.connectToHost(QHostAddress::LocalHost, filePort);
    QVERIFY(upload.waitForConnected(5000));
    upload.write(frame(0, packet(3, str("eve") + str("") + str("slot\r1"))));
    QCOMPARE(readFrame(upload).payload.mid(22), QByteArray(1, '\0'));
    upload.write(frame(1, QByteArrayLiteral("level 9")));
    upload.write(frame(0, packet(6, {})));
    QTRY_COMPARE(upload.state(), QAbstractSocket::UnconnectedState);
    QTcpSocket download;
    download.connectToHost(QHostAddress::LocalHost, filePort);
    QVERIFY(download.waitForConnected(5000));
    download.write(frame(0, packet(1, str("eve") + str("") + str("slot\r1"))));
    QCOMPARE(readFrame(download).payload.mid(22), QByteArray(1, '\0') + int64(7));
    download.write(frame(0, packet(5, {})));
    QCOMPARE(readFrame(download).payload, QByteArrayLiteral("level 9"));

    // A second copy ends at once and says why.
    QProcess *second = start({ QStringLiteral("--headless") }, false);
    QVERIFY(second->waitForFinished(15000));
    QCOMPARE(second->exitCode(), 0);
    QVERIFY(second->readAllStandardError().contains("already runs (process"));

    ::kill(pid_t(server->processId()), SIGTERM);
    QVERIFY(server->waitForFinished(15000));
    QCOMPARE(server->exitStatus(), QProcess::NormalExit);
    QCOMPARE(server->exitCode(), 0);
    QVERIFY(server->readAllStandardError().contains("no display found"));

    const QList<QByteArray> lines = server->readAllStandardOutput().split('\n');
    const QRegularExpression stamped(
        QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d\d\d[+-]\d\d:\d\d \S.*$)"));
    QCOMPARE(lines.last(), QByteArray());
    for (const QByteArray &line : lines.mid(0, lines.size() - 1))
        QVERIFY2(stamped.match(QString::fromUtf8(line)).hasMatch(), line.constData());
    const QByteArray escaped = "eve\\n2026-01-01T00:00:00.000+00:00 [LOGIN] name=root\\x1b[2J";
    const QByteArray all = lines.join('\n');
    QVERIFY2(all.contains(" [ADD_USER] name=" + escaped + ", result=0\n"), all.constData());
    QVERIFY(all.contains(" [LOGIN] name=" + escaped + ", result=0\n"));
    QVERIFY(all.contains(" Upload slot\\r1.z\n"));
    QVERIFY(all.contains(" Download slot\\r1.z\n"));
    QVERIFY(all.contains(" Main control server listen succeed\n"));
}

void tst_Startup::firstHeadlessStartTakesDefaultStorage()
{
    QProcess *server = start(
        { QStringLiteral("--headless"), QStringLiteral("--main-port"), QString::number(mainPort),
            QStringLiteral("--file-port"), QString::number(filePort) },
        false);
    QVERIFY(waitListening(mainPort));
    QVERIFY(waitListening(filePort));
    const QString saves = path(QStringLiteral("data/tolvern/saves"));
    QVERIFY(QFileInfo(saves).isDir());
    QFile ini(path(QStringLiteral("bin/tolvern.ini")));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QVERIFY(ini.readAll().contains("SaveDataDir=" + saves.toUtf8() + "\n"));
    ::kill(pid_t(server->processId()), SIGTERM);
    QVERIFY(server->waitForFinished(15000));
    QCOMPARE(server->exitCode(), 0);
    QVERIFY(server->readAllStandardOutput().contains(
        "Storage directory " + saves.toUtf8() + " created and saved"));
}

void tst_Startup::headlessRefusals_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("withIni");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    const QString file = QStringLiteral("../storage/a-file");
    QTest::newRow("storage onto a file") << QStringList { QStringLiteral("--storage"), file }
                                         << false << 2 << QStringLiteral("is not a folder");
    QTest::newRow("storage below a file")
        << QStringList { QStringLiteral("--storage"), file + QStringLiteral("/saves") } << false
        << 2 << QStringLiteral("cannot create the storage folder");
    QTest::newRow("port 0") << QStringList { QStringLiteral("--main-port"), QStringLiteral("0") }
                            << false << 2 << QStringLiteral("from 1 to 65535");
    QTest::newRow("port 65536") << QStringList { QStringLiteral("--file-port=65536") } << false << 2
                                << QStringLiteral("from 1 to 65535");
    QTest::newRow("unknown option") << QStringList { QStringLiteral("--storrage") } << false << 2
                                    << QStringLiteral("unknown option --storrage");
    QTest::newRow("port taken") << QStringList {} << true << 1
                                << QStringLiteral("cannot listen on the main control port");
    QTest::newRow("database URL without a name")
        << QStringList { QStringLiteral("--database"), QStringLiteral("postgresql://u@h:1/") }
        << false << 2 << QStringLiteral("--database: No database name");
    // FILE_PORT: a port bound by the test but not listening, so nothing answers there.
    QTest::newRow("database server unreachable")
        << QStringList { QStringLiteral("--database"),
               QStringLiteral("postgresql://tolvern@127.0.0.1:FILE_PORT/users") }
        << true << 7 << QStringLiteral("Cannot open the user database postgresql://");
}

void tst_Startup::headlessRefusals()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, withIni);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    arguments.replaceInStrings(QStringLiteral("FILE_PORT"), QString::number(filePort));
    QFile file(path(QStringLiteral("storage/a-file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::AnyIPv4, mainPort));
    if (withIni)
        writeIni(path(QStringLiteral("storage")));

    QProcess *server = start(QStringList { QStringLiteral("--headless") } + arguments, false);
    QVERIFY(server->waitForFinished(15000));
    QCOMPARE(server->exitCode(), exitCode);
    const QList<QByteArray> errors = server->readAllStandardError().trimmed().split('\n');
    QVERIFY2(errors.first().contains(said.toUtf8()), errors.first().constData());
    // One line, and refused values change nothing on disk.
    if (exitCode == 2) {
        QCOMPARE(errors.size(), 1);
        QVERIFY(!QFile::exists(path(QStringLiteral("work/db"))));
        if (!withIni)
            QVERIFY(!QFile::exists(path(QStringLiteral("bin/tolvern.ini"))));
        QVERIFY(QDir(path(QStringLiteral("data"))).isEmpty());
    }
}

namespace {
constexpr uid_t OTHER_ID = 65534;
int giveToOther(const char *path, const struct stat *, int, struct FTW *)
{
    return lchown(path, OTHER_ID, OTHER_ID);
}
} // namespace

void tst_Startup::readOnlyDatabaseSaidAtStart()
{
    // Clients would take every refused write for a wrong password or a taken name.
    writeIni(path(QStringLiteral("storage")));
    QVERIFY(QDir().mkpath(path(QStringLiteral("work/db"))));
    QFile db(path(QStringLiteral("work/db/users.db")));
    QVERIFY(db.open(QIODevice::WriteOnly));
    db.close();
    QVERIFY(db.setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadOther));
    auto *server = new QProcess;
    processes << server;
    // Root writes read-only files all the same: the server runs as another user then.
    if (geteuid() == 0) {
        QVERIFY(nftw(QFile::encodeName(dir->path()).constData(), giveToOther, 16, FTW_PHYS) == 0);
        QVERIFY(QFile::setPermissions(dir->path(),
            QFile::permissions(dir->path()) | QFileDevice::ExeOther | QFileDevice::ReadOther));
        server->setChildProcessModifier([] {
            if (setgid(OTHER_ID) != 0 || setuid(OTHER_ID) != 0)
                _exit(99);
        });
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("run")));
    server->setProcessEnvironment(env);
    server->setWorkingDirectory(path(QStringLiteral("work")));
    server->start(path(QStringLiteral("bin/tolvern-server")), { QStringLiteral("--headless") });
    QVERIFY(server->waitForFinished(15000));
    QCOMPARE(server->exitCode(), 1);
    const QByteArray errors = server->readAllStandardError();
    QVERIFY2(errors.contains(" the user database ") && errors.contains("readonly database"),
        errors.constData());
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, mainPort);
    QVERIFY(!probe.waitForConnected(500));
}

void tst_Startup::iniFilesOfTheirOwnRunSideBySide()
{
    // Two servers, each with an ini and ports of its own, in one session.
    const CPortReservation otherMain;
    const CPortReservation otherFile;
    const auto writeOwnIni = [this](const QString &name, quint16 control, quint16 transfer) {
        return writeTestIni(path(name), path(QStringLiteral("storage")), control, transfer);
    };
    QVERIFY(writeOwnIni(QStringLiteral("a.ini"), mainPort, filePort));
    QVERIFY(writeOwnIni(QStringLiteral("b.ini"), otherMain.port(), otherFile.port()));
    start(
        { QStringLiteral("--headless"), QStringLiteral("--config"), path(QStringLiteral("a.ini")) },
        false);
    start(
        { QStringLiteral("--headless"), QStringLiteral("--config"), path(QStringLiteral("b.ini")) },
        false);
    QVERIFY(waitListening(mainPort));
    QVERIFY(waitListening(otherMain.port()));

    // The same ini again, however it is spelled, is the same server: refused as ever.
    QProcess *again = start({ QStringLiteral("--headless"), QStringLiteral("--config"),
                                QStringLiteral("../work/../a.ini") },
        false);
    QVERIFY(again->waitForFinished(15000));
    QCOMPARE(again->exitCode(), 0);
    QVERIFY(again->readAllStandardError().contains("already runs (process"));
    for (QProcess *server : processes.mid(0, 2))
        QCOMPARE(server->state(), QProcess::Running);

    // The default ini, even named with --config, keeps the lock name an installed server has
    // always had.
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("run/OMBRIVALE_TOLVERN.lock"))));
    writeIni(path(QStringLiteral("storage")));
    const CPortReservation thirdMain;
    const CPortReservation thirdFile;
    QProcess *plain = start({ QStringLiteral("--headless"), QStringLiteral("--config"),
                                QStringLiteral("../bin/tolvern.ini"), QStringLiteral("--main-port"),
                                QString::number(thirdMain.port()), QStringLiteral("--file-port"),
                                QString::number(thirdFile.port()) },
        false);
    QVERIFY(waitListening(thirdMain.port()));
    QCOMPARE(plain->state(), QProcess::Running);
    QVERIFY(QFileInfo::exists(path(QStringLiteral("run/OMBRIVALE_TOLVERN.lock"))));
    QCOMPARE(QDir(path(QStringLiteral("run"))).entryList({ QStringLiteral("*.lock") }).size(), 3);
}

void tst_Startup::badTlsFilesRefusedAtStart_data()
{
    QTest::addColumn<QString>("tls");
    QTest::addColumn<QString>("said");
    QTest::addColumn<bool>("window");
    const QString otherKey = QStringLiteral("Certificate=a.pem\nPrivateKey=b-key.pem");
    QTest::newRow("missing certificate") << "Certificate=none.pem\nPrivateKey=a-key.pem"
                                         << "cannot read the TLS certificate" << false;
    QTest::newRow("key that cannot be read") << "Certificate=a.pem\nPrivateKey=secret"
                                             << "cannot read the TLS private key" << false;
    QTest::newRow("not a certificate") << "Certificate=a-key.pem\nPrivateKey=a-key.pem"
                                       << "no PEM certificate" << false;
    QTest::newRow("key of another certificate")
        << otherKey << "does not belong to the certificate" << false;
    QTest::newRow("TLS required, none configured") << "RequireTls=true"
                                                   << "RequireTls=true" << false;
    // The window shows the line in a box too; nobody answers it here but the signal.
    QTest::newRow("key of another certificate, window")
        << otherKey << "does not belong to the certificate" << true;
}

void tst_Startup::badTlsFilesRefusedAtStart()
{
    QFETCH(QString, tls);
    QFETCH(QString, said);
    QFETCH(bool, window);
    const QString bin = path(QStringLiteral("bin"));
    QVERIFY(testtls::makeIdentity(bin, QStringLiteral("a")).ok);
    QVERIFY(testtls::makeIdentity(bin, QStringLiteral("b")).ok);
    // A folder: unreadable as a file even for root.
    QVERIFY(QDir(bin).mkdir(QStringLiteral("secret")));
    writeIni(path(QStringLiteral("storage")));
    QFile ini(path(QStringLiteral("bin/tolvern.ini")));
    QVERIFY(ini.open(QIODevice::Append));
    ini.write("[Tls]\n" + tls.toUtf8() + '\n');
    ini.close();

    QProcess *server = window ? start({}, true, QProcess::SeparateChannels)
                              : start({ QStringLiteral("--headless") }, false);
    if (window) {
        server->setReadChannel(QProcess::StandardError);
        QVERIFY(server->waitForReadyRead(15000));
        ::kill(pid_t(server->processId()), SIGTERM);
    }
    QVERIFY(server->waitForFinished(15000));
    QCOMPARE(server->exitCode(), 2);
    QList<QByteArray> errors = server->readAllStandardError().trimmed().split('\n');
    // The offscreen platform's own warnings are not ours.
    errors.removeIf([](const QByteArray &line) { return !line.startsWith("tolvern-server:"); });
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors.first().contains(said.toUtf8()), errors.first().constData());
    QVERIFY(!QFile::exists(path(QStringLiteral("work/db"))));
}

void tst_Startup::hangupReloadsCertificate()
{
    const QString bin = path(QStringLiteral("bin"));
    const testtls::Identity first = testtls::makeIdentity(bin, QStringLiteral("first"), true);
    const testtls::Identity second = testtls::makeIdentity(bin, QStringLiteral("second"));
    QVERIFY(first.ok && second.ok);
    const QString served = path(QStringLiteral("bin/served.pem"));
    const QString servedKey = path(QStringLiteral("bin/served-key.pem"));
    const auto serve = [&](const testtls::Identity &identity) {
        QFile::remove(served);
        QFile::remove(servedKey);
        return QFile::copy(identity.certificate, served) && QFile::copy(identity.key, servedKey);
    };
    QVERIFY(serve(first));
    writeIni(path(QStringLiteral("storage")));
    QFile ini(path(QStringLiteral("bin/tolvern.ini")));
    QVERIFY(ini.open(QIODevice::Append));
    ini.write("[Tls]\nCertificate=served.pem\nPrivateKey=served-key.pem\n");
    ini.close();
    QProcess *server = start({ QStringLiteral("--headless") }, false);
    QVERIFY(waitListening(filePort));
    const auto peerCertificate = [this] {
        QSslSocket client;
        client.setPeerVerifyMode(QSslSocket::VerifyNone);
        client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), mainPort);
        return client.waitForEncrypted(10000) ? client.peerCertificate() : QSslCertificate();
    };
    QCOMPARE(peerCertificate(), testtls::certificateOf(first));

    // Renewed files: served to connections made after the signal.
    QVERIFY(serve(second));
    ::kill(pid_t(server->processId()), SIGHUP);
    QTRY_COMPARE(peerCertificate(), testtls::certificateOf(second));

    // Files that do not fit: the last good pair stays, the server runs on.
    QVERIFY(QFile::remove(servedKey) && QFile::copy(first.key, servedKey));
    ::kill(pid_t(server->processId()), SIGHUP);
    QVERIFY(QTest::qWaitFor(
        [&] { return server->readAllStandardOutput().contains("TLS reload failed"); }, 10000));
    QCOMPARE(server->state(), QProcess::Running);
    QCOMPARE(peerCertificate(), testtls::certificateOf(second));
    ::kill(pid_t(server->processId()), SIGTERM);
    QVERIFY(server->waitForFinished(15000));
    QVERIFY2(server->exitStatus() == QProcess::NormalExit && server->exitCode() == 0,
        server->readAllStandardError().right(4000).constData());
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
