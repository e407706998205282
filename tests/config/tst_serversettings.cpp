#include <limits>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "cinstallpaths.h"
#include "cserversettings.h"

class tst_ServerSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    // happy flows
    void fileBesideTheExecutable();
    void installedCopyPlaces_data();
    void installedCopyPlaces();
    void defaultsWithoutFile();
    void handWrittenFileLoads();
    void saveTouchesOnlyOurKeys();
    void saveWritesAllFourKeys();
    void roundTrip_data();
    void roundTrip();
    void startWhenOSStarts_data();
    void startWhenOSStarts();
    void ports_data();
    void ports();
    void storageLimits_data();
    void storageLimits();
    void securitySection_data();
    void securitySection();
    void saveWritesTransferRightsOnceSet();

    // rainy-day flows
    void lineBreakInPathInjectsNoKey();

private:
    void writeFile(const QByteArray &bytes);
    QByteArray readFile() const;
    void scramble();

    QTemporaryDir dir;
    QString path;
    CServerSettings *settings = nullptr;
};

void tst_ServerSettings::initTestCase()
{
    QVERIFY(dir.isValid());
    path = dir.filePath(QStringLiteral("tolvern.ini"));
    settings = CServerSettings::instance();
    QCOMPARE(CServerSettings::instance(), settings);
    settings->setIniFilePath(path);
}

void tst_ServerSettings::init()
{
    QFile::remove(path);
}

void tst_ServerSettings::cleanupTestCase()
{
    settings->setIniFilePath(QString());
}

void tst_ServerSettings::writeFile(const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray tst_ServerSettings::readFile() const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

// Values no load() would produce, so a field load() forgets shows up.
void tst_ServerSettings::scramble()
{
    settings->saveDataDir = QStringLiteral("scrambled");
    settings->mainPort = -12345;
    settings->filePort = -54321;
    settings->startWhenOSStarts = false;
}

void tst_ServerSettings::fileBesideTheExecutable()
{
    settings->setIniFilePath(QString());
    QCOMPARE(settings->iniFilePath(),
        QCoreApplication::applicationDirPath() + QStringLiteral("/tolvern.ini"));
    settings->setIniFilePath(path);
    QCOMPARE(settings->iniFilePath(), path);
}

void tst_ServerSettings::installedCopyPlaces_data()
{
    QTest::addColumn<QString>("programDir");
    QTest::addColumn<bool>("systemIni");
    QTest::addColumn<bool>("serviceDefaults");
    QTest::addColumn<bool>("besideProgram");
    const QString build = QCoreApplication::applicationDirPath();
    QTest::newRow("build tree") << build << true << false << true;
    QTest::newRow("package") << QStringLiteral("/usr/bin") << true << true << false;
    QTest::newRow("package, ini removed") << QStringLiteral("/usr/bin") << false << false << false;
    QTest::newRow("/usr/local") << QStringLiteral("/usr/local/bin") << true << true << false;
    QTest::newRow("/opt") << QStringLiteral("/opt/tolvern/bin") << true << true << false;
    QTest::newRow("/usrx is no system folder")
        << QStringLiteral("/usrx/bin") << true << false << false;
}

void tst_ServerSettings::installedCopyPlaces()
{
    QFETCH(QString, programDir);
    QFETCH(bool, systemIni);
    QFETCH(bool, serviceDefaults);
    QFETCH(bool, besideProgram);
    const CInstallPaths::Places places = CInstallPaths::serviceDefaults(programDir, systemIni);
    QCOMPARE(
        places.config, serviceDefaults ? QStringLiteral("/etc/tolvern/tolvern.ini") : QString());
    QCOMPARE(places.workDir, serviceDefaults ? QStringLiteral("/var/lib/tolvern") : QString());
    // Even root, who may write there, gets no ini beside an installed program.
    QCOMPARE(CServerSettings::defaultIniFilePath(programDir),
        besideProgram ? programDir + QStringLiteral("/tolvern.ini")
                      : CServerSettings::userIniFilePath());
}

void tst_ServerSettings::defaultsWithoutFile()
{
    scramble();
    settings->load();
    QCOMPARE(settings->saveDataDir, QString());
    QCOMPARE(settings->mainPort, 3888);
    QCOMPARE(settings->filePort, 3889);
    QCOMPARE(settings->startWhenOSStarts, true);
    QCOMPARE(settings->databaseDriver, QStringLiteral("sqlite"));
    QCOMPARE(settings->databaseUrl, QString());
    // Reading never creates the file.
    QVERIFY(!QFile::exists(path));
}

void tst_ServerSettings::handWrittenFileLoads()
{
    writeFile("; Tolvern settings, edited with Notepad\r\n"
              "[Other]\r\n"
              "SaveDataDir=/wrong\r\n"
              "MainPort=1\r\n"
              "\r\n"
              "[general]\r\n"
              "savedatadir = D:\\saves\\\r\n"
              "MAINPORT=4000\r\n"
              "# not a key\r\n"
              "FilePort=  4001\r\n"
              "startwhenosstarts=False\r\n"
              "[Extra]\r\n"
              "FilePort=2\r\n"
              "[database]\r\n"
              "Driver = postgresql\r\n"
              "URL=postgresql://tolvern@db:5432/users \r\n");
    scramble();
    settings->load();
    QCOMPARE(settings->saveDataDir, QStringLiteral("D:\\saves\\"));
    QCOMPARE(settings->mainPort, 4000);
    QCOMPARE(settings->filePort, 4001);
    QCOMPARE(settings->startWhenOSStarts, false);
    QCOMPARE(settings->databaseDriver, QStringLiteral("postgresql"));
    QCOMPARE(settings->databaseUrl, QStringLiteral("postgresql://tolvern@db:5432/users"));
}

void tst_ServerSettings::saveTouchesOnlyOurKeys()
{
    writeFile("; Tolvern settings\r\n"
              "[general]\r\n"
              "savedatadir = D:\\saves\r\n"
              "; the control port\r\n"
              "MAINPORT=4000\r\n"
              "Language=de\r\n"
              "\r\n"
              "[Extra]\r\n"
              "MainPort=2\r\n");
    settings->load();
    settings->saveDataDir = QStringLiteral("E:\\new saves");
    settings->mainPort = 5000;
    // The [Database] section is the operator's: never written.
    settings->databaseDriver = QStringLiteral("postgresql");
    settings->save();
    QCOMPARE(readFile(),
        QByteArray("; Tolvern settings\r\n"
                   "[general]\r\n"
                   "savedatadir = E:\\new saves\r\n"
                   "; the control port\r\n"
                   "MAINPORT=5000\r\n"
                   "Language=de\r\n"
                   "FilePort=3889\r\n"
                   "StartWhenOSStarts=true\r\n"
                   "\r\n"
                   "[Extra]\r\n"
                   "MainPort=2\r\n"));
}

void tst_ServerSettings::saveWritesAllFourKeys()
{
    settings->load();
    settings->saveDataDir = QStringLiteral("C:\\saves");
    settings->startWhenOSStarts = false;
    settings->save();
    QCOMPARE(readFile(),
        QByteArray("[General]\n"
                   "SaveDataDir=C:\\saves\n"
                   "MainPort=3888\n"
                   "FilePort=3889\n"
                   "StartWhenOSStarts=false\n"));
}

void tst_ServerSettings::roundTrip_data()
{
    QTest::addColumn<QString>("saveDataDir");
    QTest::addColumn<int>("mainPort");
    QTest::addColumn<int>("filePort");
    QTest::addColumn<bool>("start");

    QTest::newRow("empty dir") << QString() << 3888 << 3889 << true;
    QTest::newRow("windows path") << QStringLiteral("D:\\game data\\saves\\") << 80 << 65535
                                  << false;
    QTest::newRow("posix path") << QStringLiteral("/srv/tolvern/sp\u00e4ter") << 1 << 0 << true;
    QTest::newRow("negative port") << QStringLiteral("x") << -1 << 70000 << false;
    QTest::newRow("blanks kept inside") << QStringLiteral("a  b") << 3888 << 3889 << true;
    QTest::newRow("long path") << QStringLiteral("/p").repeated(300) << 3888 << 3889 << true;
}

void tst_ServerSettings::roundTrip()
{
    QFETCH(QString, saveDataDir);
    QFETCH(int, mainPort);
    QFETCH(int, filePort);
    QFETCH(bool, start);

    settings->saveDataDir = saveDataDir;
    settings->mainPort = mainPort;
    settings->filePort = filePort;
    settings->startWhenOSStarts = start;
    settings->save();
    scramble();
    settings->load();
    QCOMPARE(settings->saveDataDir, saveDataDir);
    QCOMPARE(settings->mainPort, mainPort);
    QCOMPARE(settings->filePort, filePort);
    QCOMPARE(settings->startWhenOSStarts, start);
}

void tst_ServerSettings::startWhenOSStarts_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("expected");

    QTest::newRow("missing") << QByteArray() << true;
    QTest::newRow("true") << QByteArray("StartWhenOSStarts=true") << true;
    QTest::newRow("TRUE") << QByteArray("StartWhenOSStarts=TRUE") << true;
    QTest::newRow("True") << QByteArray("StartWhenOSStarts=True") << true;
    QTest::newRow("blanks") << QByteArray("StartWhenOSStarts =  true ") << true;
    QTest::newRow("false") << QByteArray("StartWhenOSStarts=false") << false;
    QTest::newRow("1") << QByteArray("StartWhenOSStarts=1") << false;
    QTest::newRow("yes") << QByteArray("StartWhenOSStarts=yes") << false;
    QTest::newRow("empty") << QByteArray("StartWhenOSStarts=") << false;
    QTest::newRow("truex") << QByteArray("StartWhenOSStarts=truex") << false;
}

void tst_ServerSettings::startWhenOSStarts()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, expected);

    writeFile("[General]\nMainPort=3888\n" + line + "\n");
    settings->startWhenOSStarts = !expected;
    settings->load();
    QCOMPARE(settings->startWhenOSStarts, expected);
}

void tst_ServerSettings::ports_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("expected");

    QTest::newRow("3888abc") << QByteArray("3888abc") << 3888;
    QTest::newRow(" 3890") << QByteArray(" 3890") << 3890;
    QTest::newRow("abc") << QByteArray("abc") << 0;
    QTest::newRow("-1") << QByteArray("-1") << -1;
    QTest::newRow("empty") << QByteArray("") << 0;
    QTest::newRow("65536") << QByteArray("65536") << 65536;
}

void tst_ServerSettings::ports()
{
    QFETCH(QByteArray, value);
    QFETCH(int, expected);

    writeFile("[General]\r\nMainPort=" + value + "\r\nFilePort=" + value + "\r\n");
    scramble();
    settings->load();
    QCOMPARE(settings->mainPort, expected);
    QCOMPARE(settings->filePort, expected);
}

void tst_ServerSettings::storageLimits_data()
{
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<int>("keep");
    QTest::addColumn<qint64>("maxSave");
    QTest::addColumn<qint64>("maxUser");
    QTest::addColumn<qint64>("minFree");

    QTest::newRow("defaults") << QByteArray() << 3 << 0LL << 0LL << -1LL;
    QTest::newRow("all set") << QByteArray("[storage]\nKeepVersions=0\nMaxSaveBytes=1048576\n"
                                           "maxuserbytes = 5368709120\nMinFreeBytes=0\n")
                             << 0 << 1048576LL << 5368709120LL << 0LL;
    QTest::newRow("beyond 64 bits") << QByteArray("[Storage]\nMaxUserBytes=99999999999999999999\n")
                                    << 3 << 0LL << std::numeric_limits<qint64>::max() << -1LL;
    QTest::newRow("negative means none or automatic")
        << QByteArray("[Storage]\nKeepVersions=-2\nMaxSaveBytes=-5\nMinFreeBytes=-7\n") << 0 << 0LL
        << 0LL << -1LL;
    QTest::newRow("in [General] does not count")
        << QByteArray("[General]\nKeepVersions=9\n") << 3 << 0LL << 0LL << -1LL;
}

void tst_ServerSettings::storageLimits()
{
    QFETCH(QByteArray, section);
    QFETCH(int, keep);
    QFETCH(qint64, maxSave);
    QFETCH(qint64, maxUser);
    QFETCH(qint64, minFree);

    writeFile("[General]\nMainPort=3888\n" + section);
    settings->keepVersions = 77;
    settings->maxSaveBytes = settings->maxUserBytes = settings->minFreeBytes = 77;
    settings->load();
    QCOMPARE(settings->keepVersions, keep);
    QCOMPARE(settings->maxSaveBytes, maxSave);
    QCOMPARE(settings->maxUserBytes, maxUser);
    QCOMPARE(settings->minFreeBytes, minFree);
    // save() leaves the operator's [Storage] lines as they are.
    settings->save();
    QVERIFY(readFile().endsWith(section));
}

void tst_ServerSettings::lineBreakInPathInjectsNoKey()
{
    writeFile("[General]\nSaveDataDir=/old\n");
    settings->load();
    settings->saveDataDir = QStringLiteral("/new\nMainPort=1");
    settings->mainPort = 4000;
    settings->save();
    scramble();
    settings->load();
    QCOMPARE(settings->mainPort, 4000);
    QCOMPARE(settings->saveDataDir, QStringLiteral("/old"));
}

void tst_ServerSettings::securitySection_data()
{
    QTest::addColumn<QByteArray>("section");
    // per address, idle s, transfer login, window min, name lock, s, address lock, s,
    // hashing, KiB, iterations
    QTest::addColumn<QList<int>>("expected");
    const QList<int> defaults { 64, 0, 0, 30, 5, 60, 20, 600, 1, 19456, 2 };
    QTest::newRow("absent") << QByteArray() << defaults;
    QTest::newRow("empty section") << QByteArray("[Security]\n") << defaults;
    QTest::newRow("keys in [General] do not count")
        << QByteArray("[General]\nMaxConnectionsPerAddress=3\nTransferRequiresLogin=true\n")
        << defaults;
    QTest::newRow("all set") << QByteArray(
        "[security]\nmaxconnectionsperaddress=8\nIdleTimeoutSeconds=300\n"
        "TransferRequiresLogin=TRUE\nTransferLoginWindowMinutes=5\n"
        "LoginLockFailures=3\nLoginLockSeconds=1\nAddressLockFailures=0\n"
        "AddressLockSeconds=2\nPasswordHashing= Plain \nHashMemoryKiB=65536\n"
        "HashIterations=3\n") << QList<int> { 8, 300, 1, 5, 3, 1, 0, 2, 0, 65536, 3 };
    QTest::newRow("negative is none, 1 is not true") << QByteArray(
        "[Security]\nMaxConnectionsPerAddress=-1\nIdleTimeoutSeconds=-5\n"
        "TransferRequiresLogin=1\n") << QList<int> { 0, 0, 0, 30, 5, 60, 20, 600, 1, 19456, 2 };
    // Anything but "plain" hashes: a typo never stores passwords readable.
    QTest::newRow("unknown hashing is argon2id")
        << QByteArray("[Security]\nPasswordHashing=md5\nHashMemoryKiB=-1\n")
        << QList<int> { 64, 0, 0, 30, 5, 60, 20, 600, 1, 0, 2 };
}

void tst_ServerSettings::securitySection()
{
    QFETCH(QByteArray, section);
    QFETCH(QList<int>, expected);
    writeFile(section);
    settings->maxConnectionsPerAddress = -7;
    settings->idleTimeoutSeconds = -7;
    settings->transferRequiresLogin = true;
    settings->transferLoginWindowMinutes = -7;
    settings->loginLockFailures = -7;
    settings->loginLockSeconds = -7;
    settings->addressLockFailures = -7;
    settings->addressLockSeconds = -7;
    settings->hashPasswords = false;
    settings->hashMemoryKiB = -7;
    settings->hashIterations = -7;
    settings->load();
    const QList<int> loaded { settings->maxConnectionsPerAddress, settings->idleTimeoutSeconds,
        int(settings->transferRequiresLogin), settings->transferLoginWindowMinutes,
        settings->loginLockFailures, settings->loginLockSeconds, settings->addressLockFailures,
        settings->addressLockSeconds, int(settings->hashPasswords), settings->hashMemoryKiB,
        settings->hashIterations };
    QCOMPARE(loaded, expected);
}

void tst_ServerSettings::saveWritesTransferRightsOnceSet()
{
    writeFile("[General]\nMainPort=3888\n[Security]\nIdleTimeoutSeconds=60\n");
    settings->load();
    settings->transferRequiresLogin = true;
    settings->save();
    QVERIFY(readFile().endsWith("[Security]\nIdleTimeoutSeconds=60\nTransferRequiresLogin=true\n"));
    settings->load();
    QVERIFY(settings->transferRequiresLogin);
    QCOMPARE(settings->idleTimeoutSeconds, 60);

    // Switched off again it stays in the file, as false; the other keys are never written.
    settings->transferRequiresLogin = false;
    settings->save();
    QVERIFY(
        readFile().endsWith("[Security]\nIdleTimeoutSeconds=60\nTransferRequiresLogin=false\n"));
    QVERIFY(!readFile().contains("MaxConnectionsPerAddress"));
}

QTEST_GUILESS_MAIN(tst_ServerSettings)
#include "tst_serversettings.moc"
