#include <algorithm>
#include <csignal>
#include <cstring>
#include <memory>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include "cconfigcheck.h"
#include "cconsolelog.h"
#include "cjournal.h"
#include "cportreservation.h"
#include "testini.h"
#include "testtls.h"

// The operator's tools: the lines the journal gets, the ini check, and what systemd hears from
// the real executable (started headless beside its own ini, in a working folder of its own).
class tst_Operator : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void priorityFromText_data();
    void priorityFromText();
    void journalLines();
    void iniProblems_data();
    void iniProblems();
    void notifiesSystemdAndJournal();
    void checkConfig_data();
    void checkConfig();

private:
    QString path(const QString &name) const { return dir->filePath(name); }
    void writeIni(const QString &extra = QString());
    // The server's copy, headless; output: a file that takes its stdout and stderr, or none.
    QProcess *start(const QStringList &arguments, const QString &output = QString());
    bool waitListening(quint16 port);

    // JOURNAL_STREAM naming the file behind fd, as systemd sets it.
    static void pretendJournal(int fd);

    std::unique_ptr<QTemporaryDir> dir;
    std::vector<std::unique_ptr<QProcess>> processes;
    // Variables set for the next start(), beside the usual ones.
    QStringList extraEnvironment;
    // Kept until the test ends, so no other test takes the ports before the server does.
    std::unique_ptr<CPortReservation> mainReservation;
    std::unique_ptr<CPortReservation> fileReservation;
    quint16 mainPort = 0;
    quint16 filePort = 0;
};

void tst_Operator::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    qunsetenv("JOURNAL_STREAM");
    extraEnvironment.clear();
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

void tst_Operator::cleanup()
{
    qunsetenv("JOURNAL_STREAM");
    for (const std::unique_ptr<QProcess> &p : processes) {
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished(5000);
        }
    }
    processes.clear();
    mainReservation.reset();
    fileReservation.reset();
    dir.reset();
}

void tst_Operator::writeIni(const QString &extra)
{
    QVERIFY(writeTestIni(path(QStringLiteral("bin/tolvern.ini")), path(QStringLiteral("storage")),
        mainPort, filePort, false, extra));
}

QProcess *tst_Operator::start(const QStringList &arguments, const QString &output)
{
    processes.push_back(std::make_unique<QProcess>());
    QProcess *p = processes.back().get();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : { "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "NOTIFY_SOCKET",
             "WATCHDOG_USEC", "WATCHDOG_PID", "JOURNAL_STREAM" })
        env.remove(QLatin1String(name));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("run")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), path(QStringLiteral("data")));
    for (const QString &pair : std::as_const(extraEnvironment))
        env.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    p->setProcessEnvironment(env);
    if (!output.isEmpty()) {
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->setStandardOutputFile(output, QIODevice::Append);
    }
    p->setWorkingDirectory(path(QStringLiteral("work")));
    p->start(path(QStringLiteral("bin/tolvern-server")),
        QStringList { QStringLiteral("--headless") } + arguments);
    return p;
}

bool tst_Operator::waitListening(quint16 port)
{
    return QTest::qWaitFor(
        [port] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            return probe.waitForConnected(200);
        },
        30000);
}

void tst_Operator::pretendJournal(int fd)
{
    struct stat info
    {
    };
    QCOMPARE(::fstat(fd, &info), 0);
    qputenv("JOURNAL_STREAM",
        QByteArray::number(qulonglong(info.st_dev)) + ':'
            + QByteArray::number(qulonglong(info.st_ino)));
}

void tst_Operator::priorityFromText_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("priority");
    QTest::newRow("login") << QByteArray("[LOGIN] name=bob, result=0") << int(CJournal::Info);
    QTest::newRow("failed login") << QByteArray("[LOGIN] name=bob, result=3")
                                  << int(CJournal::Notice);
    // The name is the client's text: it cannot make a line look worse than it is.
    QTest::newRow("name that reads alarming")
        << QByteArray("[LOGIN] name=listen failed refused, result=0") << int(CJournal::Info);
    QTest::newRow("name taken") << QByteArray("[ADD_USER] name=bob, result=2")
                                << int(CJournal::Info);
    QTest::newRow("wrong old password")
        << QByteArray("[CHANGE_PASS] userId=7, result=4") << int(CJournal::Notice);
    QTest::newRow("connected") << QByteArray("Control client connected from 127.0.0.1")
                               << int(CJournal::Info);
    QTest::newRow("save named failed") << QByteArray("Download failed.z") << int(CJournal::Info);
    QTest::newRow("transfer request")
        << QByteArray("refused request transfer savedat") << int(CJournal::Info);
    QTest::newRow("upload refused")
        << QByteArray("Upload 7/slot1.z refused: larger than MaxSaveBytes (1048576 bytes)")
        << int(CJournal::Warning);
    QTest::newRow("lockout") << QByteArray(
        "Logins from 10.0.0.1 locked for 60 s after 5 failed attempts")
                             << int(CJournal::Warning);
    QTest::newRow("port taken") << QByteArray("Main control server listen failed => address in use")
                                << int(CJournal::Error);
    QTest::newRow("database gone")
        << QByteArray("User database unreachable: no route") << int(CJournal::Error);
}

void tst_Operator::priorityFromText()
{
    QFETCH(QByteArray, line);
    QFETCH(int, priority);
    QCOMPARE(CJournal::priorityOf(QString::fromUtf8(line)), priority);
}

void tst_Operator::journalLines()
{
    QFile out(dir->filePath(QStringLiteral("stdout")));
    QVERIFY(out.open(QIODevice::ReadWrite));
    const int fd = out.handle();

    // Not the journal: the time-stamped line.
    {
        CConsoleLog console(fd);
        QVERIFY(!console.writesToJournal());
        console.writeEntry(QStringLiteral("[LOGIN] name=bob, result=3"), QStringLiteral("::1"));
    }
    QVERIFY(out.seek(0));
    QVERIFY2(out.readAll().endsWith(" [LOGIN] name=bob, result=3\n"), "a plain line");
    QVERIFY(out.resize(0));

    pretendJournal(fd);
    CConsoleLog console(fd);
    QVERIFY(console.writesToJournal());
    QList<QList<QByteArray>> sent;
    bool accept = true;
    console.setJournalSender([&](const QList<QByteArray> &fields) {
        sent << fields;
        return accept;
    });
    // Over the native socket: the text as it is, its priority and the client apart.
    console.writeEntry(QStringLiteral("[LOGIN] name=bob\nx, result=3"), QStringLiteral("::1"));
    console.writeLine(QStringLiteral("Main control server listen succeed"));
    QCOMPARE(sent.size(), 2);
    QCOMPARE(sent.at(0),
        QList<QByteArray>({ "MESSAGE=[LOGIN] name=bob\\nx, result=3", "PRIORITY=5",
            "SYSLOG_IDENTIFIER=tolvern-server", "CLIENT_ADDRESS=::1" }));
    QCOMPARE(sent.at(1).size(), 3);
    QCOMPARE(sent.at(1).at(1), QByteArray("PRIORITY=6"));
    QCOMPARE(out.size(), qint64(0));

    // journald refused: the stream with the prefix, for this line and the next.
    accept = false;
    console.writeLine(QStringLiteral("User database unreachable: gone"));
    console.writeEntry(QStringLiteral("[LOGIN] name=bob, result=0"), QStringLiteral("::1"));
    QCOMPARE(sent.size(), 3);
    QVERIFY(out.seek(0));
    QCOMPARE(out.readAll(),
        QByteArray("<3>User database unreachable: gone\n<6>[LOGIN] name=bob, result=0\n"));

    // Another stream than the one systemd named is no journal.
    QFile other(dir->filePath(QStringLiteral("other")));
    QVERIFY(other.open(QIODevice::WriteOnly));
    QVERIFY(!CJournal::isJournalStream(other.handle()));
    qputenv("JOURNAL_STREAM", "garbage");
    QVERIFY(!CJournal::isJournalStream(fd));
}

void tst_Operator::iniProblems_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QByteArrayList>("said");
    QTest::newRow("sound") << QByteArray(
        "[General]\nSaveDataDir=DIR\nMainPort=3888\n; comment\n"
        "[Storage]\nKeepVersions=0\n"
        "[Admin]\nHttpPort=8080\nTokenHash=abc\n"
        "HttpAddress=::1\n"
        "[Tls]\nCertificate=DIR/tls.pem\nPrivateKey=DIR/tls-key.pem\n")
                           << QByteArrayList();
    // What the start refuses or misreads, said before it starts.
    QTest::newRow("misspelt section")
        << QByteArray("[General]\nMainPort=3888\n[Databse]\nDriver=postgresql\nUrl=x\n")
        << QByteArrayList { ":3: unknown section [Databse], ignored" };
    QTest::newRow("key before any section") << QByteArray(
        "MainPort=1\n[General]\n") << QByteArrayList { ":1: MainPort before any [Section]" };
    QTest::newRow("both ports one")
        << QByteArray("[General]\nMainPort=4000\nFilePort=4000\n")
        << QByteArrayList { ":3: FilePort=4000: MainPort is that port too" };
    QTest::newRow("file port on the default main port")
        << QByteArray("[General]\nFilePort=3888\n")
        << QByteArrayList { ":2: FilePort=3888: MainPort is that port too" };
    QTest::newRow("HTTP port on the file port")
        << QByteArray("[Admin]\nHttpPort=3889\n")
        << QByteArrayList { ":2: HttpPort=3889: FilePort is that port too" };
    QTest::newRow("ports apart by one, at the top")
        << QByteArray("[General]\nMainPort=65535\nFilePort=65534\n[Admin]\nHttpPort=65533\n")
        << QByteArrayList();
    QTest::newRow("port 65536") << QByteArray("[General]\nMainPort=65536\n")
                                << QByteArrayList {
                                       ":2: MainPort=65536: a port is a number from 1 to 65535"
                                   };
    QTest::newRow("HTTP port 65536")
        << QByteArray("[Admin]\nHttpPort=65536\n")
        << QByteArrayList { ":2: HttpPort=65536: a port is a number from 0 to 65535" };
    QTest::newRow("main port 0") << QByteArray("[General]\nMainPort=0\n")
                                 << QByteArrayList { ":2: MainPort=0: a port is a number from 1" };
    QTest::newRow("HTTP address not an address")
        << QByteArray("[Admin]\nHttpAddress=not-an-address\n")
        << QByteArrayList { ":2: HttpAddress=not-an-address: an IP address is expected" };
    QTest::newRow("certificate without its key")
        << QByteArray("[Tls]\nCertificate=DIR/tls.pem\n")
        << QByteArrayList { ":2: [Tls]: [Tls] Certificate is set but PrivateKey is not" };
    QTest::newRow("another certificate's key")
        << QByteArray("[Tls]\nCertificate=DIR/tls.pem\nPrivateKey=DIR/other-key.pem\n")
        << QByteArrayList { ":2: [Tls]: the private key DIR/other-key.pem does not belong" };
    QTest::newRow("TLS required without a certificate")
        << QByteArray("[Tls]\nRequireTls=true\n")
        << QByteArrayList { ":2: [Tls]: [Tls] RequireTls=true needs a Certificate" };
    QTest::newRow("misspelt key") << QByteArray("[Storage]\nKeepVersion=1\n")
                                  << QByteArrayList { ":2: unknown key KeepVersion in [Storage]" };
    QTest::newRow("port out of range")
        << QByteArray("[general]\nmainport=99999\nFilePort=x\n")
        << QByteArrayList { ":2: mainport=99999: a port is a number from 1 to 65535",
               ":3: FilePort=x: a port" };
    QTest::newRow("no folder") << QByteArray("[General]\nSaveDataDir=DIR/gone\n")
                               << QByteArrayList { ":2: SaveDataDir=DIR/gone: the folder" };
    QTest::newRow("not a line") << QByteArray("[Security]\nLoginLockSeconds 60\n")
                                << QByteArrayList { ":2: neither [Section] nor Key=value" };
    QTest::newRow("flag and negative count")
        << QByteArray("[Security]\nTransferRequiresLogin=yes\nLoginLockFailures=-1\n")
        << QByteArrayList { ":2: TransferRequiresLogin=yes: true or false",
               ":3: LoginLockFailures=-1: a number from 0" };
    QTest::newRow("second section, repeated key")
        << QByteArray("[General]\nMainPort=1\nMainPort=2\n[General]\nFilePort=3\n")
        << QByteArrayList { ":3: MainPort repeated; line 2 holds",
               ":5: [General] again (first at line 1)" };
    QTest::newRow("TLS file missing") << QByteArray("[Tls]\nCertificate=cert.pem\n")
                                      << QByteArrayList { ":2: Certificate=cert.pem: the file" };
    QTest::newRow("database URL") << QByteArray(
        "[Database]\nDriver=postgresql\nUrl=postgresql://u@h/\n")
                                  << QByteArrayList { ":3: [Database] Url: " };
}

void tst_Operator::iniProblems()
{
    QFETCH(QByteArray, ini);
    QFETCH(QByteArrayList, said);
    // Two certificates with their keys, made once.
    if (!QFile::exists(dir->filePath(QStringLiteral("other-key.pem")))) {
        QVERIFY(testtls::makeIdentity(dir->path(), QStringLiteral("tls")).ok);
        QVERIFY(testtls::makeIdentity(dir->path(), QStringLiteral("other")).ok);
    }
    const QString path = dir->filePath(QStringLiteral("tolvern.ini"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(ini.replace("DIR", dir->path().toUtf8()));
    file.close();
    const QStringList problems = CConfigCheck::problems(path);
    QVERIFY2(problems.size() == said.size(), qPrintable(problems.join(u'\n')));
    for (int i = 0; i < said.size(); ++i) {
        const QByteArray expected
            = path.toUtf8() + QByteArray(said.at(i)).replace("DIR", dir->path().toUtf8());
        QVERIFY2(problems.at(i).toUtf8().startsWith(expected), qPrintable(problems.at(i)));
    }
}

void tst_Operator::notifiesSystemdAndJournal()
{
    // systemd's notification socket, played by the test.
    const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    QVERIFY(notify >= 0);
    const auto closeNotify = qScopeGuard([notify] { ::close(notify); });
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray socketPath = QFile::encodeName(path(QStringLiteral("notify")));
    QVERIFY(socketPath.size() < qsizetype(sizeof(address.sun_path)));
    std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
    QCOMPARE(::bind(notify, reinterpret_cast<const sockaddr *>(&address), sizeof(address)), 0);
    QList<QByteArray> received;
    const auto drain = [&] {
        char buffer[4096];
        for (ssize_t got; (got = ::recv(notify, buffer, sizeof(buffer), 0)) > 0;)
            received << QByteArray(buffer, got);
    };
    const auto countOf = [&](const QByteArray &state) {
        drain();
        return std::count_if(received.cbegin(), received.cend(),
            [&](const QByteArray &message) { return message.split('\n').contains(state); });
    };
    extraEnvironment << QStringLiteral("NOTIFY_SOCKET=") + path(QStringLiteral("notify"))
                     << QStringLiteral("WATCHDOG_USEC=100000");

    // A port that cannot be opened: the server ends without ever saying it is ready.
    writeIni();
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::AnyIPv4, mainPort));
        QProcess *failed = start({});
        QVERIFY(failed->waitForFinished(15000));
        QCOMPARE(failed->exitCode(), 1);
        QCOMPARE(countOf("READY=1"), 0);
    }

    // stdout and stderr on the journal's stream, as systemd connects them.
    const QString outputFile = path(QStringLiteral("journal-stream"));
    QFile stream(outputFile);
    QVERIFY(stream.open(QIODevice::WriteOnly));
    struct stat info
    {
    };
    QCOMPARE(::fstat(stream.handle(), &info), 0);
    extraEnvironment << QStringLiteral("JOURNAL_STREAM=%1:%2")
                            .arg(qulonglong(info.st_dev))
                            .arg(qulonglong(info.st_ino));
    writeIni(QStringLiteral("[Storage]\nKeepVersion=1\n"));
    QProcess *server = start({}, outputFile);
    QVERIFY(QTest::qWaitFor([&] { return countOf("READY=1") > 0; }, 30000));
    // Ready means serving: both ports answer at once.
    for (const quint16 port : { mainPort, filePort }) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY2(probe.waitForConnected(5000), "READY=1 before the port listened");
    }
    QVERIFY(QTest::qWaitFor([&] { return countOf("WATCHDOG=1") > 0; }, 10000));

    // SIGHUP reloads; the server runs on, its loop still feeding the watchdog.
    ::kill(pid_t(server->processId()), SIGHUP);
    const qsizetype fed = countOf("WATCHDOG=1");
    QVERIFY(QTest::qWaitFor([&] { return countOf("WATCHDOG=1") >= fed + 3; }, 10000));
    QCOMPARE(server->state(), QProcess::Running);
    QVERIFY(waitListening(mainPort));

    ::kill(pid_t(server->processId()), SIGTERM);
    QVERIFY(server->waitForFinished(15000));
    QCOMPARE(server->exitCode(), 0);
    QCOMPARE(countOf("STOPPING=1"), 1);
    QCOMPARE(countOf("READY=1"), 1);

    // Each line with its priority; the unknown key said at start, the limits listed.
    stream.close();
    QVERIFY(stream.open(QIODevice::ReadOnly));
    const QByteArray journal = stream.readAll();
    QVERIFY2(journal.contains(
                 "<4>tolvern-server: warning: " + path(QStringLiteral("bin/tolvern.ini")).toUtf8()
                 + ":7: unknown key KeepVersion in [Storage], ignored\n"),
        journal.constData());
    // Where journald itself runs, the log lines went to its socket instead.
    if (!QFileInfo::exists(QStringLiteral("/run/systemd/journal/socket"))) {
        QVERIFY(journal.contains("\n<6>Main control server listen succeed\n"));
        QVERIFY(journal.contains("\n<6>Limits in effect (0: off): [Storage] KeepVersions=3 "));
    }
}

void tst_Operator::checkConfig_data()
{
    QTest::addColumn<QString>("extra");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    const QString ini = QStringLiteral("INI");
    QTest::newRow("sound, the ini beside the program")
        << QString() << QStringList() << 0 << QStringLiteral("INI: no problems found\n");
    QTest::newRow("unknown key") << QStringLiteral("[Storage]\nKeepVersion=1\n")
                                 << QStringList { ini } << 2
                                 << QStringLiteral("INI:7: unknown key KeepVersion in [Storage], "
                                                   "ignored\n");
    QTest::newRow("unknown backend") << QStringLiteral("[Storage]\nBackend=disk\n")
                                     << QStringList { ini } << 2
                                     << QStringLiteral("INI:7: Backend=disk: files or s3 is "
                                                       "expected\n");
    QTest::newRow("a bucket without its name")
        << QStringLiteral("[Storage]\nBackend=s3\nS3Endpoint=http://127.0.0.1:9\n"
                          "S3AccessKey=a\nS3SecretKey=b\n")
        << QStringList { ini } << 2
        << QStringLiteral("INI:7: [Storage] Backend=s3: S3Bucket is not set\n");
    QTest::newRow("a bucket without its endpoint")
        << QStringLiteral("[Storage]\nBackend=S3\nS3Bucket=saves\nS3AccessKey=a\nS3SecretKey=b\n")
        << QStringList { ini } << 2
        << QStringLiteral("INI:7: [Storage] Backend=s3: S3Endpoint is not set\n");
    QTest::newRow("no such file") << QString() << QStringList { QStringLiteral("gone.ini") } << 2
                                  << QStringLiteral("gone.ini: no such file\n");
    // Ports at and past their ends (MAIN stands for the main port's line).
    QTest::newRow("port at the top") << QStringLiteral("MAIN=65535") << QStringList { ini } << 0
                                     << QStringLiteral("INI: no problems found\n");
    QTest::newRow("port past the top")
        << QStringLiteral("MAIN=65536") << QStringList { ini } << 2
        << QStringLiteral("INI:3: MainPort=65536: a port is a number from 1 to 65535\n");
    QTest::newRow("port zero") << QStringLiteral("MAIN=0") << QStringList { ini } << 2
                               << QStringLiteral("INI:3: MainPort=0: a port is a number from 1 to "
                                                 "65535\n");
    QTest::newRow("HTTP port off") << QStringLiteral("[Admin]\nHttpPort=0\n") << QStringList { ini }
                                   << 0 << QStringLiteral("INI: no problems found\n");
    QTest::newRow("HTTP port past the top")
        << QStringLiteral("[Admin]\nHttpPort=65536\n") << QStringList { ini } << 2
        << QStringLiteral("INI:7: HttpPort=65536: a port is a number from 0 to 65535\n");
}

void tst_Operator::checkConfig()
{
    QFETCH(QString, extra);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    const QString ini = path(QStringLiteral("bin/tolvern.ini"));
    const bool mainPortRow = extra.startsWith(QLatin1String("MAIN="));
    writeIni(mainPortRow ? QString() : extra);
    if (mainPortRow) {
        QFile file(ini);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray text = file.readAll();
        file.close();
        text.replace(
            "MainPort=" + QByteArray::number(mainPort), "MainPort=" + extra.mid(5).toLatin1());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(text) == text.size());
    }
    arguments.replaceInStrings(QStringLiteral("INI"), ini);
    QProcess *check = start(QStringList { QStringLiteral("--check-config") } + arguments);
    QVERIFY(check->waitForFinished(15000));
    QCOMPARE(check->exitCode(), exitCode);
    const QString out = QString::fromLocal8Bit(check->readAllStandardOutput());
    QVERIFY2(out.endsWith(QString(said).replace(QStringLiteral("INI"), ini)), qPrintable(out));
    // Nothing started: no database, no lock.
    QVERIFY(!QFile::exists(path(QStringLiteral("work/db"))));
}

QTEST_GUILESS_MAIN(tst_Operator)
#include "tst_operator.moc"
