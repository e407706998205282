#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include "cblockingsocket.h"
#include "cpgcluster.h"
#include "csavesum.h"
#include "cserverprocess.h"
#include "testwire.h"

using namespace testwire;

namespace {

// The object id of the added user, or 0.
qint32 addUser(quint16 port, const QByteArray &name, const QByteArray &password)
{
    CBlockingSocket wire(port, 20);
    if (!wire.send(packet(1, str(name) + str(password))))
        return 0;
    const QByteArray body = wire.reply();
    return body.size() >= 5 && body[0] == 0 ? qFromBigEndian<qint32>(body.constData() + 1) : 0;
}

int login(quint16 port, const QByteArray &name, const QByteArray &password)
{
    CBlockingSocket wire(port, 20);
    if (!wire.send(packet(9, str(name) + str(password))))
        return -1;
    const QByteArray body = wire.reply();
    return body.isEmpty() ? -1 : quint8(body[0]);
}

bool upload(quint16 port, const QString &save, const QByteArray &bytes)
{
    CBlockingSocket wire(port, 20);
    if (!wire.send(frame(0, packet(3, str("player") + str("detail") + str(save.toLatin1())))))
        return false;
    const QByteArray header = wire.receive(6);
    if (header.size() != 6)
        return false;
    const QByteArray reply = wire.receive(qFromBigEndian<quint32>(header.constData() + 2));
    if (reply.size() <= 22 || reply[22] != 0)
        return false;
    for (qsizetype pos = 0; pos < bytes.size(); pos += 50000) {
        if (!wire.send(frame(1, bytes.mid(pos, 50000))))
            return false;
    }
    return wire.send(frame(0, packet(6, {}))) && wire.ending() == QLatin1String("close");
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

// Replaces a file by a new one, so a hard link to the old one (the storage's) is untouched.
bool replaceFile(const QString &path, const QByteArray &bytes)
{
    return writeFile(path + QStringLiteral(".new"), bytes)
        && ::rename(QFile::encodeName(path + QStringLiteral(".new")).constData(),
               QFile::encodeName(path).constData())
        == 0;
}

int modeOf(const QString &path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

bool emptyFolder(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty();
}

struct User
{
    QByteArray name;
    QByteArray password;
    qint32 id = 0;
};

} // namespace

// Backups of the real server while clients work on it, their checks and their restores into
// the folders of a second real server; a player's data export.
class tst_Backup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void backupWhileServingRestoresEverythingAcknowledged();
    void restoreRefuses_data();
    void restoreRefuses();
    void backupIntoKeepsTheNewest();
    void backupKeepsDamageKnown();
    void manifestSyncedBeforeItsName();
    void userExport();
    void postgresqlSnapshotGoesBackWithDbCopy();

private:
    int admin(CServerProcess &target, const QStringList &arguments, QByteArray *out = nullptr,
        QByteArray *err = nullptr);
    int admin(const QStringList &arguments, QByteArray *out = nullptr, QByteArray *err = nullptr)
    {
        return admin(*server, arguments, out, err);
    }

    std::unique_ptr<CServerProcess> server;
    QTemporaryDir scratch;
    // Added to the admin commands' environment.
    QProcessEnvironment extraEnv;
};

void tst_Backup::initTestCase()
{
    QVERIFY(scratch.isValid());
    server = std::make_unique<CServerProcess>(QStringLiteral(TOLVERN_SERVER_PATH));
    QVERIFY2(server->isValid(), qPrintable(server->errorText()));
    server->setHeadless(true);
    server->setForwardOutput(false);
    QVERIFY2(server->start(), qPrintable(server->errorText()));
}

void tst_Backup::cleanupTestCase()
{
    if (server)
        QCOMPARE(server->stop(), 0);
}

int tst_Backup::admin(
    CServerProcess &target, const QStringList &arguments, QByteArray *out, QByteArray *err)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), target.path(QStringLiteral("run")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), target.path(QStringLiteral("config")));
    env.insert(extraEnv);
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(scratch.path());
    p.start(target.path(QStringLiteral("bin/tolvern-server")),
        arguments
            + QStringList { QStringLiteral("--workdir"), target.path(QStringLiteral("work")),
                QStringLiteral("--config"), target.iniPath() });
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit) {
        qWarning("admin command %s did not end normally", qPrintable(arguments.join(u' ')));
        return -1;
    }
    const QByteArray said = p.readAllStandardError();
    if (err)
        *err = said;
    else if (p.exitCode() != 0)
        qWarning("%s: %s", qPrintable(arguments.join(u' ')), said.constData());
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitCode();
}

void tst_Backup::backupWhileServingRestoresEverythingAcknowledged()
{
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("seed %u", seed);
    std::mutex lock;
    std::vector<User> acknowledged;
    // Every content ever sent for a save, acknowledged or not: a backup may catch an upload
    // whose acknowledgement was still on its way.
    QHash<QString, QSet<QByteArray>> sent;
    QHash<QString, QByteArray> acknowledgedSaves;
    std::atomic<bool> stop { false };
    std::atomic<int> failures { 0 };

    std::vector<std::thread> clients;
    for (int c = 0; c < 3; ++c) {
        clients.emplace_back([&, c] {
            QRandomGenerator random(seed + quint32(c));
            for (int k = 0; !stop; ++k) {
                const User user { QStringLiteral("c%1u%2").arg(c).arg(k).toLatin1(),
                    QByteArray::number(random.generate()) };
                const qint32 id = addUser(server->mainPort(), user.name, user.password);
                if (id <= 0) {
                    ++failures;
                    return;
                }
                {
                    std::lock_guard<std::mutex> guard(lock);
                    acknowledged.push_back({ user.name, user.password, id });
                }
                for (int round = 0; round < 3 && !stop; ++round) {
                    const QString save = QStringLiteral("%1/slot%2").arg(id).arg(round % 2);
                    QByteArray content(int(random.bounded(1000, 300000)), '\0');
                    random.fillRange(reinterpret_cast<quint32 *>(content.data()),
                        content.size() / int(sizeof(quint32)));
                    {
                        std::lock_guard<std::mutex> guard(lock);
                        sent[save].insert(content);
                    }
                    if (!upload(server->filePort(), save, content)) {
                        ++failures;
                        return;
                    }
                    std::lock_guard<std::mutex> guard(lock);
                    acknowledgedSaves[save] = content;
                }
            }
        });
    }
    const auto ackCount = [&] {
        std::lock_guard<std::mutex> guard(lock);
        return acknowledged.size();
    };
    QTRY_VERIFY_WITH_TIMEOUT(ackCount() >= 12 || failures > 0, 60000);
    std::vector<User> before;
    QHash<QString, QByteArray> savesBefore;
    {
        std::lock_guard<std::mutex> guard(lock);
        before = acknowledged;
        savesBefore = acknowledgedSaves;
    }
    // An upload half sent while the backup runs: its file is written to, it is no save yet.
    CBlockingSocket held(server->filePort(), 20);
    QVERIFY(held.send(frame(0, packet(3, str("player") + str("detail") + str("1/held")))));
    QVERIFY(held.receive(6 + 23).size() == 29);
    QVERIFY(held.send(frame(1, QByteArray(50000, 'h'))));
    QTRY_VERIFY(!QDir(server->storageDir() + QStringLiteral("/1"))
                     .entryList({ QStringLiteral("held.z.*") }, QDir::Files)
                     .isEmpty());
    const QString backupDir = scratch.filePath(QStringLiteral("live"));
    QByteArray out;
    const int code = admin({ QStringLiteral("backup"), QStringLiteral("--to"), backupDir }, &out);
    const size_t during = ackCount() - before.size();
    stop = true;
    for (std::thread &client : clients)
        client.join();
    QCOMPARE(failures.load(), 0);
    QVERIFY2(code == 0, out.constData());
    // Password hashes and the token's hash, whatever the umask: the owner's only.
    for (const char *secret : { "/users.db", "/tolvern.ini" })
        QCOMPARE(modeOf(backupDir + QLatin1String(secret)), 0600);
    qInfo("%zu users before the backup, %zu added while it ran: %s", before.size(), during,
        out.trimmed().constData());

    CServerProcess restored(QStringLiteral(TOLVERN_SERVER_PATH));
    QVERIFY2(restored.isValid(), qPrintable(restored.errorText()));
    restored.setHeadless(true);
    restored.setForwardOutput(false);
    // Into the second server's empty folders; the restored ini names its storage folder.
    QCOMPARE(admin(restored,
                 { QStringLiteral("restore"), QStringLiteral("--from"), backupDir,
                     QStringLiteral("--storage"), restored.storageDir() },
                 &out),
        0);
    QVERIFY2(readAll(restored.iniPath())
                 .contains("SaveDataDir=" + QFile::encodeName(restored.storageDir())),
        out.constData());
    // Password hashes and the token's hash: the owner's only.
    for (const QString &secret : { restored.iniPath(), restored.databaseFile() })
        QCOMPARE(modeOf(secret), 0600);
    QVERIFY2(restored.start(), qPrintable(restored.errorText()));

    for (const User &user : before)
        QVERIFY2(login(restored.mainPort(), user.name, user.password) == 0, user.name.constData());
    // Every file restored is a whole upload of that save, current or kept as a version.
    int checked = 0;
    QDirIterator it(
        restored.storageDir(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    const QDir root(restored.storageDir());
    while (it.hasNext()) {
        const QString relative = root.relativeFilePath(it.next());
        // A sum file comes along with its archive and still matches it.
        if (CSaveSum::isSumFile(relative)) {
            QString archive = it.filePath();
            archive = CSaveSum::sumOwner(archive);
            QCOMPARE(CSaveSum::read(archive), CSaveSum::compute(archive));
            continue;
        }
        QString save = relative;
        save.replace(QRegularExpression(QStringLiteral("/\\.versions/([^/]+)/[^/]+$")),
            QStringLiteral("/\\1"));
        QVERIFY2(save.endsWith(QLatin1String(".z")), qPrintable(relative));
        save.chop(2);
        QVERIFY2(sent.value(save).contains(readAll(it.filePath())), qPrintable(relative));
        ++checked;
    }
    // A save acknowledged before the backup is there, as it was then or newer.
    for (auto save = savesBefore.cbegin(); save != savesBefore.cend(); ++save)
        QVERIFY2(QFileInfo::exists(root.filePath(save.key() + QStringLiteral(".z"))),
            qPrintable(save.key()));
    QVERIFY(checked >= savesBefore.size());
    QCOMPARE(restored.stop(), 0);
}

void tst_Backup::restoreRefuses_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("code");
    QTest::newRow("a save's byte changed") << "flip" << 8;
    QTest::newRow("a save missing") << "remove" << 8;
    QTest::newRow("a file not in the manifest") << "extra" << 8;
    QTest::newRow("manifest names a path outside") << "escape" << 8;
    // A real file with its true size and sum, named through "..": restore would write it
    // beside the storage folder.
    QTest::newRow("manifest names a real file through ..") << "dotdot" << 8;
    QTest::newRow("no manifest") << "unfinished" << 8;
    QTest::newRow("work folder not empty") << "work" << 6;
    QTest::newRow("storage folder not empty") << "storage" << 6;
}

void tst_Backup::restoreRefuses()
{
    QFETCH(QString, damage);
    QFETCH(int, code);
    QVERIFY(addUser(server->mainPort(), "refusal-" + damage.toLatin1(), "pw") > 0);
    QVERIFY(upload(server->filePort(), QStringLiteral("1/refusal"), "first"));
    QVERIFY(upload(server->filePort(), QStringLiteral("1/refusal"), "second"));
    const QString backupDir = scratch.filePath(QStringLiteral("refuse-") + damage);
    QCOMPARE(admin({ QStringLiteral("backup"), QStringLiteral("--to"), backupDir }), 0);
    const QString save = backupDir + QStringLiteral("/saves/1/refusal.z");
    QCOMPARE(readAll(save), QByteArray("second"));
    QCOMPARE(admin({ QStringLiteral("backup"), QStringLiteral("verify"), backupDir }), 0);

    const QString target = scratch.filePath(QStringLiteral("target-") + damage);
    const QString work = target + QStringLiteral("/work");
    const QString storage = target + QStringLiteral("/storage");
    QVERIFY(QDir().mkpath(work));
    const QString manifestPath = backupDir + QStringLiteral("/MANIFEST.json");
    if (damage == QLatin1String("flip")) {
        QVERIFY(replaceFile(save, "sEcond"));
    } else if (damage == QLatin1String("remove")) {
        QVERIFY(QFile::remove(save));
    } else if (damage == QLatin1String("extra")) {
        QVERIFY(writeFile(backupDir + QStringLiteral("/saves/1/planted.z"), "planted"));
    } else if (damage == QLatin1String("escape")) {
        QVERIFY(replaceFile(manifestPath,
            readAll(manifestPath).replace("\"saves/1/refusal.z\"", "\"saves/../../escaped.z\"")));
    } else if (damage == QLatin1String("dotdot")) {
        QJsonObject root = QJsonDocument::fromJson(readAll(manifestPath)).object();
        QJsonArray files = root.value(QStringLiteral("files")).toArray();
        QJsonObject ini;
        for (const QJsonValue &file : std::as_const(files)) {
            if (file.toObject().value(QStringLiteral("path")) == QLatin1String("tolvern.ini"))
                ini = file.toObject();
        }
        QVERIFY(!ini.isEmpty());
        ini.insert(QStringLiteral("path"), QStringLiteral("saves/1/../../tolvern.ini"));
        files.append(ini);
        root.insert(QStringLiteral("files"), files);
        QVERIFY(replaceFile(manifestPath, QJsonDocument(root).toJson()));
    } else if (damage == QLatin1String("unfinished")) {
        QVERIFY(QFile::remove(manifestPath));
    } else if (damage == QLatin1String("work")) {
        QVERIFY(writeFile(work + QStringLiteral("/keep.txt"), "mine"));
    } else if (damage == QLatin1String("storage")) {
        QVERIFY(writeFile(storage + QStringLiteral("/keep.txt"), "mine"));
    }
    QByteArray said;
    if (code == 8)
        QCOMPARE(admin({ QStringLiteral("backup"), QStringLiteral("verify"), backupDir }, nullptr,
                     &said),
            8);

    QProcess p;
    p.setWorkingDirectory(work);
    p.start(server->path(QStringLiteral("bin/tolvern-server")),
        { QStringLiteral("restore"), QStringLiteral("--from"), backupDir,
            QStringLiteral("--storage"), storage });
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), code);
    // Nothing was written, and what was there stays.
    QCOMPARE(QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        damage == QLatin1String("work") ? QStringList { QStringLiteral("keep.txt") }
                                        : QStringList());
    QVERIFY(damage == QLatin1String("storage")
            ? readAll(storage + QStringLiteral("/keep.txt")) == "mine"
            : !QFileInfo::exists(storage) || emptyFolder(storage));
    QVERIFY(!QFileInfo::exists(scratch.filePath(QStringLiteral("escaped.z"))));
    QVERIFY(!QFileInfo::exists(target + QStringLiteral("/tolvern.ini")));
    // The live save behind the backup's hard link is untouched.
    QCOMPARE(readAll(server->storageDir() + QStringLiteral("/1/refusal.z")), QByteArray("second"));
}

void tst_Backup::backupIntoKeepsTheNewest()
{
    QVERIFY(upload(server->filePort(), QStringLiteral("1/daily"), QByteArray(100000, 'd')));
    const QString parent = scratch.filePath(QStringLiteral("daily"));
    // What runs cut short left goes; one still being written (locked), or of another name,
    // stays.
    const QString cut = parent + QStringLiteral("/.tolvern-backup-2001-01-01T00-00-00Z.partial");
    const QString running
        = parent + QStringLiteral("/.tolvern-backup-2002-01-01T00-00-00Z.partial");
    const QString foreign = parent + QStringLiteral("/.tolvern-backup-x.partial");
    for (const QString &folder : { cut, running, foreign })
        QVERIFY(writeFile(folder + QStringLiteral("/users.db"), "half"));
    const int held = ::open(QFile::encodeName(running).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(held >= 0 && ::flock(held, LOCK_EX) == 0);
    QStringList made;
    for (int i = 0; i < 3; ++i) {
        if (i == 2) {
            // Written in place by some other program: the same file, a new time and new bytes.
            QFile save(server->storageDir() + QStringLiteral("/1/daily.z"));
            QVERIFY(save.open(QIODevice::ReadWrite));
            QVERIFY(save.write("changed") == 7);
            save.close();
        }
        QByteArray out;
        QByteArray err;
        QCOMPARE(admin({ QStringLiteral("backup"), QStringLiteral("--into"), parent,
                           QStringLiteral("--keep"), QStringLiteral("2") },
                     &out, &err),
            0);
        if (i == 0) {
            QVERIFY2(err.contains("removed " + cut.toUtf8() + ", left by a backup cut short"),
                err.constData());
            QVERIFY(!QFileInfo::exists(cut));
            QVERIFY(QFileInfo::exists(running + QStringLiteral("/users.db")));
            QVERIFY(QFileInfo::exists(foreign + QStringLiteral("/users.db")));
            ::close(held);
        }
        // The second takes the sums of unchanged saves from the first.
        if (i == 1)
            QVERIFY2(!out.contains(" 0 sums taken"), out.constData());
        made << QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name).last();
    }
    // An unfinished one (no manifest) neither counts nor is removed.
    QVERIFY(QDir().mkpath(parent + QStringLiteral("/tolvern-backup-2000-01-01T00-00-00Z")));
    QCOMPARE(QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name),
        (QStringList {
            QStringLiteral("tolvern-backup-2000-01-01T00-00-00Z"), made.at(1), made.at(2) }));
    // The save changed in place was read again, not taken from the one before.
    QCOMPARE(admin({ QStringLiteral("backup"), QStringLiteral("verify"),
                 parent + QLatin1Char('/') + made.at(2) }),
        0);
}

// A save rotted in place keeps the sum the store recorded for it through a backup and a
// restore: the restored server still knows it as damaged, though the backup itself is whole.
void tst_Backup::backupKeepsDamageKnown()
{
    const QByteArray content(60000, 'r');
    QVERIFY(upload(server->filePort(), QStringLiteral("1/rot"), content));
    const QString live = server->storageDir() + QStringLiteral("/1/rot.z");
    {
        QFile file(live);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(1234) && file.putChar('R'));
    }
    const QString backupDir = scratch.filePath(QStringLiteral("rotted"));
    QCOMPARE(admin({ QStringLiteral("backup"), QStringLiteral("--to"), backupDir }), 0);
    QCOMPARE(admin({ QStringLiteral("backup"), QStringLiteral("verify"), backupDir }), 0);

    CServerProcess restored(QStringLiteral(TOLVERN_SERVER_PATH));
    QVERIFY2(restored.isValid(), qPrintable(restored.errorText()));
    QByteArray out;
    QCOMPARE(admin(restored,
                 { QStringLiteral("restore"), QStringLiteral("--from"), backupDir,
                     QStringLiteral("--storage"), restored.storageDir() },
                 &out),
        0);
    QCOMPARE(readAll(restored.storageDir() + QStringLiteral("/1/rot.z")), readAll(live));
    QCOMPARE(admin(restored,
                 { QStringLiteral("saves"), QStringLiteral("verify"), QStringLiteral("1") }, &out),
        1);
    QVERIFY2(out.contains("1/rot\tcurrent\tDAMAGED"), out.constData());
    QFile::remove(live);
    CSaveSum::remove(live);
}

// The manifest says a backup is whole: its bytes are on disk before its name is.
void tst_Backup::manifestSyncedBeforeItsName()
{
    const QString probe = scratch.filePath(QStringLiteral("probe.log"));
    extraEnv.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(TOLVERN_SYNCPROBE_PATH));
    extraEnv.insert(QStringLiteral("TOLVERN_PROBE_FILE"), probe);
    extraEnv.insert(QStringLiteral("TOLVERN_PROBE_PATHS"), QStringLiteral("1"));
    QString asan = qEnvironmentVariable("ASAN_OPTIONS");
    if (!asan.isEmpty())
        asan += QLatin1Char(':');
    extraEnv.insert(
        QStringLiteral("ASAN_OPTIONS"), asan + QStringLiteral("verify_asan_link_order=0"));
    const QString backupDir = scratch.filePath(QStringLiteral("synced"));
    const int code = admin({ QStringLiteral("backup"), QStringLiteral("--to"), backupDir });
    extraEnv = QProcessEnvironment();
    QCOMPARE(code, 0);
    QStringList synced;
    for (const QByteArray &line : readAll(probe).split('\n')) {
        if (line.contains(" S "))
            synced << QString::fromLocal8Bit(line.mid(line.indexOf('/')));
    }
    // Synced while it still had its temporary name, then its folder.
    const QString folder = QDir(backupDir).canonicalPath();
    const qsizetype manifest = synced.indexOf(folder + QStringLiteral("/MANIFEST.json.partial"));
    QVERIFY2(manifest >= 0, qPrintable(synced.join(u'\n')));
    QVERIFY2(synced.indexOf(folder, manifest) > manifest, qPrintable(synced.join(u'\n')));
}

void tst_Backup::userExport()
{
    const qint32 id = addUser(server->mainPort(), "exported", "secret-password");
    QVERIFY(id > 0);
    QVERIFY(login(server->mainPort(), "exported", "secret-password") == 0);
    const QString save = QStringLiteral("%1/hero").arg(id);
    QVERIFY(upload(server->filePort(), save, "level 1"));
    QVERIFY(upload(server->filePort(), save, "level 2"));
    const QString archive = scratch.filePath(QStringLiteral("export.tar"));
    QCOMPARE(admin({ QStringLiteral("users"), QStringLiteral("export"), QString::number(id),
                 QStringLiteral("--to"), archive }),
        0);

    const QString unpacked = scratch.filePath(QStringLiteral("unpacked"));
    QVERIFY(QDir().mkpath(unpacked));
    QProcess tar;
    tar.start(
        QStringLiteral("tar"), { QStringLiteral("-xf"), archive, QStringLiteral("-C"), unpacked });
    QVERIFY(tar.waitForFinished(30000));
    QCOMPARE(tar.exitCode(), 0);
    const QString top = unpacked + QStringLiteral("/user-%1/").arg(id);
    const QByteArray accountText = readAll(top + QStringLiteral("account.json"));
    const QJsonObject account = QJsonDocument::fromJson(accountText).object();
    QCOMPARE(account.value(QStringLiteral("id")).toInt(), id);
    QCOMPARE(account.value(QStringLiteral("name")).toString(), QStringLiteral("exported"));
    QVERIFY(!account.value(QStringLiteral("lastLogin")).toString().isEmpty());
    QVERIFY(!accountText.contains("password") && !accountText.contains("argon2"));
    QCOMPARE(readAll(top + QStringLiteral("saves/hero.z")), QByteArray("level 2"));
    const QStringList versions
        = QDir(top + QStringLiteral("saves/.versions/hero.z")).entryList(QDir::Files);
    QCOMPARE(versions.size(), 1);
    QCOMPARE(readAll(top + QStringLiteral("saves/.versions/hero.z/") + versions.first()),
        QByteArray("level 1"));
    // The manifest lists every other file of the archive with its sum.
    const QJsonArray files = QJsonDocument::fromJson(readAll(top + QStringLiteral("MANIFEST.json")))
                                 .object()
                                 .value(QStringLiteral("files"))
                                 .toArray();
    QCOMPARE(files.size(), 3);
    for (const QJsonValue &value : files) {
        const QJsonObject file = value.toObject();
        const QByteArray bytes
            = readAll(unpacked + QLatin1Char('/') + file.value(QStringLiteral("path")).toString());
        QCOMPARE(QString::fromLatin1(
                     QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()),
            file.value(QStringLiteral("sha256")).toString());
    }

    // A link planted at the name is replaced, and what it points to left alone.
    const QString victim = scratch.filePath(QStringLiteral("victim"));
    const QString planted = scratch.filePath(QStringLiteral("planted.tar"));
    QVERIFY(writeFile(victim, "precious"));
    QVERIFY(QFile::link(victim, planted));
    QCOMPARE(admin({ QStringLiteral("users"), QStringLiteral("export"), QString::number(id),
                 QStringLiteral("--to"), planted }),
        0);
    QCOMPARE(readAll(victim), QByteArray("precious"));
    QVERIFY(!QFileInfo(planted).isSymLink());
    QVERIFY(readAll(planted).startsWith(QStringLiteral("user-%1/account.json").arg(id).toUtf8()));
    QCOMPARE(modeOf(planted), 0600);

    QByteArray refusal;
    QCOMPARE(admin({ QStringLiteral("users"), QStringLiteral("export"), QStringLiteral("99999"),
                       QStringLiteral("--to"), scratch.filePath(QStringLiteral("nobody.tar")) },
                 nullptr, &refusal),
        4);
    QVERIFY(!QFileInfo::exists(scratch.filePath(QStringLiteral("nobody.tar"))));
}

void tst_Backup::postgresqlSnapshotGoesBackWithDbCopy()
{
    if (!CPgCluster::installed())
        QSKIP("skipped: PostgreSQL not installed");
    CPgCluster cluster;
    QVERIFY2(cluster.start(), qPrintable(cluster.errorText()));
    QVERIFY2(cluster.createDatabase(QStringLiteral("live")), qPrintable(cluster.errorText()));
    QVERIFY2(cluster.createDatabase(QStringLiteral("rebuilt")), qPrintable(cluster.errorText()));
    CServerProcess pgServer(QStringLiteral(TOLVERN_SERVER_PATH));
    QVERIFY2(pgServer.isValid(), qPrintable(pgServer.errorText()));
    pgServer.setHeadless(true);
    pgServer.setForwardOutput(false);
    pgServer.setExtraIni(QStringLiteral("[Database]\nDriver=postgresql\nUrl=%1\n")
                             .arg(cluster.url(QStringLiteral("live"))));
    QVERIFY2(pgServer.start(), qPrintable(pgServer.errorText()));
    for (int i = 0; i < 5; ++i)
        QVERIFY(
            addUser(pgServer.mainPort(), "pg" + QByteArray::number(i), "pw" + QByteArray::number(i))
            > 0);
    QVERIFY(upload(pgServer.filePort(), QStringLiteral("3/slot"), "pg save"));

    const QString backupDir = scratch.filePath(QStringLiteral("pg"));
    QCOMPARE(admin(pgServer, { QStringLiteral("backup"), QStringLiteral("--to"), backupDir }), 0);
    QCOMPARE(pgServer.stop(), 0);
    const QJsonObject manifest
        = QJsonDocument::fromJson(readAll(backupDir + QStringLiteral("/MANIFEST.json"))).object();
    QCOMPARE(manifest.value(QStringLiteral("database")).toString(), QStringLiteral("postgresql"));
    QCOMPARE(manifest.value(QStringLiteral("users")).toInt(), 5);

    CServerProcess rebuilt(QStringLiteral(TOLVERN_SERVER_PATH));
    QVERIFY2(rebuilt.isValid(), qPrintable(rebuilt.errorText()));
    rebuilt.setHeadless(true);
    rebuilt.setForwardOutput(false);
    QCOMPARE(admin(rebuilt,
                 { QStringLiteral("restore"), QStringLiteral("--from"), backupDir,
                     QStringLiteral("--storage"), rebuilt.storageDir() }),
        0);
    QCOMPARE(admin(rebuilt,
                 { QStringLiteral("db"), QStringLiteral("copy"), QStringLiteral("--from"),
                     rebuilt.databaseFile(), QStringLiteral("--to"),
                     cluster.url(QStringLiteral("rebuilt")) }),
        0);
    rebuilt.setExtraIni(QStringLiteral("[Database]\nDriver=postgresql\nUrl=%1\n")
                            .arg(cluster.url(QStringLiteral("rebuilt"))));
    QVERIFY2(rebuilt.start(), qPrintable(rebuilt.errorText()));
    for (int i = 0; i < 5; ++i)
        QCOMPARE(
            login(rebuilt.mainPort(), "pg" + QByteArray::number(i), "pw" + QByteArray::number(i)),
            0);
    QCOMPARE(readAll(rebuilt.storageDir() + QStringLiteral("/3/slot.z")), QByteArray("pg save"));
    // Ids go on after the highest one, as on the original.
    QCOMPARE(addUser(rebuilt.mainPort(), "after", "pw"), 6);
    QCOMPARE(rebuilt.stop(), 0);
}

QTEST_GUILESS_MAIN(tst_Backup)
#include "tst_backup.moc"
