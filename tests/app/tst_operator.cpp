#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "cconfigcheck.h"
#include "cconsolelog.h"
#include "cjournal.h"

// The operator's tools inside the program: the lines the journal gets, and the ini check.
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

private:
    // JOURNAL_STREAM naming the file behind fd, as systemd sets it.
    static void pretendJournal(int fd);

    std::unique_ptr<QTemporaryDir> dir;
};

void tst_Operator::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    qunsetenv("JOURNAL_STREAM");
}

void tst_Operator::cleanup()
{
    qunsetenv("JOURNAL_STREAM");
    dir.reset();
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
    QTest::newRow("sound") << QByteArray("[General]\nSaveDataDir=DIR\nMainPort=3888\n; comment\n"
                                         "[Storage]\nKeepVersions=0\n[Other]\nAnything=1\n"
                                         "[Admin]\nHttpPort=8080\nTokenHash=abc\n")
                           << QByteArrayList();
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

QTEST_GUILESS_MAIN(tst_Operator)
#include "tst_operator.moc"
