#include <cerrno>
#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

#include "cblockingsocket.h"
#include "cportreservation.h"
#include "csavesum.h"
#include "cserverprocess.h"
#include "testwire.h"

using testwire::frame;
using testwire::int64;
using testwire::packet;
using testwire::str;

namespace {

QByteArray request(quint8 command, const QString &save)
{
    QByteArray body = str("player") + str("detail") + str(save.toLatin1());
    if (command == 1)
        body += int64(0);
    return frame(0, packet(command, body));
}

// The reply's result byte, or -1.
int result(const QPair<int, QByteArray> &reply)
{
    return reply.first == 0 && reply.second.size() > 22 ? quint8(reply.second[22]) : -1;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// A sum file's text as the server writes it.
QByteArray sumLine(const QByteArray &bytes)
{
    return CSaveSum::of(bytes.constData(), bytes.size()).toLatin1() + '\n';
}

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex() + '\n';
}

// The temporary files of uploads under dir, relative to it ("a.z.z" is an archive).
QStringList uploadTemporaries(const QString &dir)
{
    static const QRegularExpression name(QStringLiteral("\\.z\\.[0-9a-z]{1,5}$"));
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (name.match(path).hasMatch() && !path.endsWith(QLatin1String(".z.z")))
            out << QDir(dir).relativeFilePath(path);
    }
    out.sort();
    return out;
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

void flipByte(const QString &path, qint64 at)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(at));
    char byte = 0;
    QVERIFY(file.getChar(&byte) && file.seek(at) && file.putChar(char(byte ^ 0x20)));
}

} // namespace

// The real server: every upload keeps the archive it replaces, the admin command lists and
// restores versions, history folders are never served, and refused uploads end in a reset.
class tst_Saves : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void historyAndRestore();
    void historyNamesRefused_data();
    void historyNamesRefused();
    void uploadSizeLimit_data();
    void uploadSizeLimit();
    void adminErrors_data();
    void adminErrors();
    void checksums();
    void archivesWithoutSum();
    void sumFiles_data();
    void sumFiles();
    void earlierSumUntilNextUpload();
    void downloadDuringReplacement();
    void replacementSyncsHistoryFolder();
    void cutUploadsRemovedAtStart();
    void listOfUserWithoutUploads();
    void storageBytesMetric();

private:
    QString probeLog() const { return server->path(QStringLiteral("probe.log")); }
    // The folders and files synced since the last call, in order.
    QStringList syncedPaths();
    QString upload(const QString &save, const QByteArray &bytes);
    // ending: "end" after the end frame, otherwise how the connection ended.
    QByteArray download(const QString &save, QString *ending = nullptr);
    int admin(const QStringList &args, QString *out = nullptr);
    QStringList versions(const QString &save) const;

    std::unique_ptr<CServerProcess> server;
    std::unique_ptr<CPortReservation> httpReservation;
};

void tst_Saves::initTestCase()
{
    server = std::make_unique<CServerProcess>(QStringLiteral(TOLVERN_SERVER_PATH));
    QVERIFY2(server->isValid(), qPrintable(server->errorText()));
    httpReservation = std::make_unique<CPortReservation>();
    server->setExtraIni(QStringLiteral("[Storage]\nMaxSaveBytes=100000\n[Admin]\nHttpPort=%1\n")
                            .arg(httpReservation->port()));
    // Its log, for the line of a damaged download.
    server->setHeadless(true);
    server->setCaptureOutput(true);
    // Its syncs, with what they synced.
    server->setEnvironment(QStringLiteral("LD_PRELOAD"), QStringLiteral(TOLVERN_SYNCPROBE_PATH));
    server->setEnvironment(QStringLiteral("TOLVERN_PROBE_FILE"), probeLog());
    server->setEnvironment(QStringLiteral("TOLVERN_PROBE_PATHS"), QStringLiteral("1"));
    // A sanitized server wants its runtime first; the probe only wraps system calls.
    QString asan = qEnvironmentVariable("ASAN_OPTIONS");
    if (!asan.isEmpty())
        asan += QLatin1Char(':');
    server->setEnvironment(
        QStringLiteral("ASAN_OPTIONS"), asan + QStringLiteral("verify_asan_link_order=0"));
    QVERIFY2(server->start(), qPrintable(server->errorText()));
}

void tst_Saves::cleanupTestCase()
{
    QCOMPARE(server->stop(), 0);
}

// "close" when stored, "reset" when refused, "refused N" when the request was.
QString tst_Saves::upload(const QString &save, const QByteArray &bytes)
{
    CBlockingSocket conn(server->filePort());
    if (!conn.send(request(3, save)))
        return QStringLiteral("no connection");
    const int code = result(conn.frame());
    if (code != 0)
        return QStringLiteral("refused %1").arg(code);
    for (qsizetype pos = 0; pos < bytes.size(); pos += 60000)
        conn.send(frame(1, bytes.mid(pos, 60000)));
    conn.send(frame(0, packet(6, {})));
    return conn.ending();
}

QByteArray tst_Saves::download(const QString &save, QString *ending)
{
    CBlockingSocket conn(server->filePort());
    conn.send(request(1, save));
    if (result(conn.frame()) != 0)
        return "<refused>";
    conn.send(frame(0, packet(5, {})));
    QByteArray out;
    auto f = conn.frame();
    for (; f.first == 1; f = conn.frame())
        out += f.second;
    if (ending)
        *ending = f.first == 0 && f.second.size() >= 22 && f.second[19] == 6 ? QStringLiteral("end")
                                                                             : conn.ending();
    return out;
}

int tst_Saves::admin(const QStringList &args, QString *out)
{
    QProcess process;
    // Where the server runs: its database is db/users.db there.
    process.setWorkingDirectory(server->path(QStringLiteral("work")));
    process.start(server->path(QStringLiteral("bin/tolvern-server")),
        QStringList { QStringLiteral("saves") } + args);
    if (!process.waitForFinished(30000))
        return -1;
    if (out)
        *out = QString::fromLocal8Bit(process.readAllStandardOutput());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QStringList tst_Saves::versions(const QString &save) const
{
    const QFileInfo archive(server->storageDir() + QLatin1Char('/') + save + QStringLiteral(".z"));
    QStringList out = QDir(archive.path() + QStringLiteral("/.versions/") + archive.fileName())
                          .entryList(QDir::Files | QDir::Hidden, QDir::Name);
    // Their sums are no versions.
    out.removeIf([](const QString &name) { return CSaveSum::isSumFile(name); });
    return out;
}

void tst_Saves::historyAndRestore()
{
    const QByteArray first(1000, 'a'), second(2000, 'b'), third(3000, 'c');
    for (const QByteArray &content : { first, second, third })
        QCOMPARE(upload(QStringLiteral("7/slot1"), content), QStringLiteral("close"));
    const QString current = server->storageDir() + QStringLiteral("/7/slot1.z");
    QCOMPARE(readAll(current), third);
    QCOMPARE(download(QStringLiteral("7/slot1")), third);
    const QStringList kept = versions(QStringLiteral("7/slot1"));
    QCOMPARE(kept.size(), 2);

    QString out;
    QCOMPARE(admin({ QStringLiteral("list"), QStringLiteral("7") }, &out), 0);
    QVERIFY2(out.startsWith(QStringLiteral("slot1\t3000\t")), qPrintable(out));
    QCOMPARE(
        admin({ QStringLiteral("history"), QStringLiteral("7"), QStringLiteral("slot1") }, &out),
        0);
    const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.at(0).startsWith(kept.at(1) + QStringLiteral("\t2000\t")), qPrintable(out));
    QVERIFY2(lines.at(1).startsWith(kept.at(0) + QStringLiteral("\t1000\t")), qPrintable(out));

    // Only a version is restored: never its sum file, of this kind or the earlier one.
    const QString history = server->storageDir() + QStringLiteral("/7/.versions/slot1.z/");
    QFile earlier(history + kept.at(0) + QStringLiteral(".sha256"));
    QVERIFY(!earlier.exists());
    QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write(sha256Hex(first)) == 65);
    earlier.close();
    for (const QString &notVersion :
        { kept.at(0) + QStringLiteral(".xxh128"), kept.at(0) + QStringLiteral(".sha256") }) {
        QVERIFY(QFile::exists(history + notVersion));
        QCOMPARE(admin({ QStringLiteral("restore"), QStringLiteral("7"), QStringLiteral("slot1"),
                     notVersion }),
            1);
        QCOMPARE(readAll(current), third);
        QVERIFY(QFile::exists(history + notVersion));
    }
    QVERIFY(earlier.remove());

    // Restore the oldest; the archive it replaces becomes a version, so undo restores it.
    QCOMPARE(admin({ QStringLiteral("restore"), QStringLiteral("7"), QStringLiteral("slot1"),
                       kept.at(0) },
                 &out),
        0);
    QCOMPARE(readAll(current), first);
    QCOMPARE(download(QStringLiteral("7/slot1")), first);
    const QStringList afterRestore = versions(QStringLiteral("7/slot1"));
    QCOMPARE(afterRestore.size(), 2);
    QVERIFY(!afterRestore.contains(kept.at(0)));
    const QString undo = afterRestore.last();
    QVERIFY2(out.contains(undo), qPrintable(out));
    QCOMPARE(readAll(server->storageDir() + QStringLiteral("/7/.versions/slot1.z/") + undo), third);
    QCOMPARE(
        admin({ QStringLiteral("restore"), QStringLiteral("7"), QStringLiteral("slot1"), undo }),
        0);
    QCOMPARE(readAll(current), third);
}

void tst_Saves::historyNamesRefused_data()
{
    QTest::addColumn<quint8>("command");
    QTest::addColumn<QString>("save");
    for (quint8 command : { quint8(1), quint8(3) }) {
        const char *kind = command == 1 ? "download" : "upload";
        QTest::addRow("%s version", kind) << command << QStringLiteral("8/.versions/slot1.z/v");
        QTest::addRow("%s dot step", kind) << command << QStringLiteral("8/./.versions/slot1.z/v");
        QTest::addRow("%s other case", kind) << command << QStringLiteral("8/.Versions/slot1.z/v");
    }
}

void tst_Saves::historyNamesRefused()
{
    QFETCH(quint8, command);
    QFETCH(QString, save);
    QVERIFY(QDir().mkpath(server->storageDir() + QStringLiteral("/8/.versions/slot1.z")));
    QFile version(server->storageDir() + QStringLiteral("/8/.versions/slot1.z/v.z"));
    QVERIFY(version.open(QIODevice::WriteOnly) && version.write("old") == 3);
    version.close();

    CBlockingSocket conn(server->filePort());
    QVERIFY(conn.send(request(command, save)));
    QCOMPARE(result(conn.frame()), 3);
    QCOMPARE(readAll(version.fileName()), QByteArray("old"));
}

void tst_Saves::uploadSizeLimit_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("ending");
    QTest::newRow("below") << 99999 << QStringLiteral("close");
    QTest::newRow("at") << 100000 << QStringLiteral("close");
    QTest::newRow("above") << 100001 << QStringLiteral("reset");
    QTest::newRow("far above") << 3000000 << QStringLiteral("reset");
}

void tst_Saves::uploadSizeLimit()
{
    QFETCH(int, size);
    QFETCH(QString, ending);
    const QString save = QStringLiteral("9/limit");
    QCOMPARE(upload(save, QByteArray(10, 'o')), QStringLiteral("close"));
    // Versions past the bound go just after the client has its answer.
    QTRY_VERIFY(versions(save).size() <= 3);
    const QStringList before = versions(save);
    QCOMPARE(upload(save, QByteArray(size, 'n')), ending);
    const QString current = server->storageDir() + QStringLiteral("/9/limit.z");
    if (ending == QLatin1String("close")) {
        QCOMPARE(readAll(current).size(), size);
    } else {
        QCOMPARE(readAll(current), QByteArray(10, 'o'));
        QCOMPARE(versions(save), before);
    }
    // Nothing is left of the refused upload beside the archive.
    QCOMPARE(
        QDir(server->storageDir() + QStringLiteral("/9")).entryList(QDir::Files | QDir::Hidden),
        (QStringList { QStringLiteral("limit.z"), QStringLiteral("limit.z.xxh128") }));
    QCOMPARE(readAll(current + QStringLiteral(".xxh128")), sumLine(readAll(current)));
}

void tst_Saves::adminErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::newRow("no words") << QStringList() << 64;
    QTest::newRow("bad id") << QStringList { QStringLiteral("list"), QStringLiteral("x7") } << 64;
    QTest::newRow("no folder, no user")
        << QStringList { QStringLiteral("list"), QStringLiteral("4242") } << 4;
    QTest::newRow("parent step") << QStringList { QStringLiteral("history"), QStringLiteral("7"),
        QStringLiteral("../7/slot1") }
                                 << 64;
    QTest::newRow("no version") << QStringList { QStringLiteral("restore"), QStringLiteral("7"),
        QStringLiteral("slot1"), QStringLiteral("2000-01-01T00-00-00.000Z") }
                                << 1;
    QTest::newRow("verify no id") << QStringList { QStringLiteral("verify") } << 64;
    QTest::newRow("verify bad id")
        << QStringList { QStringLiteral("verify"), QStringLiteral("all") } << 64;
    QTest::newRow("verify no folder")
        << QStringList { QStringLiteral("verify"), QStringLiteral("4242") } << 1;
    QTest::newRow("version path") << QStringList { QStringLiteral("restore"), QStringLiteral("7"),
        QStringLiteral("slot1"), QStringLiteral("../slot1.z") }
                                  << 64;
}

void tst_Saves::adminErrors()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QCOMPARE(admin(args), code);
}

// Each upload keeps the SHA-256 of what it stored beside the archive, and each version keeps
// its own. A flipped byte in an archive never reaches a client as a complete download, and
// verify names it with the newest good version; that restored, verify is clean.
void tst_Saves::checksums()
{
    const QString save = QStringLiteral("11/slot1");
    const QString dir = server->storageDir() + QStringLiteral("/11/");
    const QString current = dir + QStringLiteral("slot1.z");
    QList<QByteArray> contents;
    for (char c : { 'a', 'b', 'c' }) {
        contents << QByteArray(90000 + c, c);
        QCOMPARE(upload(save, contents.last()), QStringLiteral("close"));
        QCOMPARE(readAll(current + QStringLiteral(".xxh128")), sumLine(contents.last()));
    }
    const QStringList kept = versions(save); // oldest first: a, b
    QCOMPARE(kept.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QString version = dir + QStringLiteral(".versions/slot1.z/") + kept.at(i);
        QCOMPARE(readAll(version + QStringLiteral(".xxh128")), sumLine(contents.at(i)));
    }
    QString out;
    QCOMPARE(admin({ QStringLiteral("verify"), QStringLiteral("11") }, &out), 0);
    QCOMPARE(out.count(QStringLiteral("\tgood")), 3);

    // Damage in the current archive and in the oldest version.
    flipByte(current, 70000);
    flipByte(dir + QStringLiteral(".versions/slot1.z/") + kept.at(0), 5);
    QString ending;
    download(save, &ending);
    QCOMPARE(ending, QStringLiteral("reset"));
    QByteArray log;
    const QByteArray line = "Download 11/slot1.z for player ended with a reset: the archive is "
                            "damaged (XXH3-128 ";
    QTRY_VERIFY2((log += server->readOutput()).contains(line), log.constData());
    QCOMPARE(log.count(line), 1);
    QCOMPARE(admin({ QStringLiteral("verify"), QStringLiteral("11") }, &out), 1);
    QVERIFY2(out.contains(QStringLiteral("11/slot1\tcurrent\tDAMAGED")), qPrintable(out));
    QVERIFY2(
        out.contains(QStringLiteral("11/slot1\t%1\tDAMAGED").arg(kept.at(0))), qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("11/slot1\t%1\tgood").arg(kept.at(1))), qPrintable(out));
    QVERIFY2(
        out.contains(QStringLiteral("newest good version %1").arg(kept.at(1))), qPrintable(out));

    // The good version back, with its sum: the damaged archive is a version now.
    QCOMPARE(admin({ QStringLiteral("restore"), QStringLiteral("11"), QStringLiteral("slot1"),
                 kept.at(1) }),
        0);
    QCOMPARE(download(save, &ending), contents.at(1));
    QCOMPARE(ending, QStringLiteral("end"));
    QCOMPARE(readAll(current + QStringLiteral(".xxh128")), sumLine(contents.at(1)));
    // Only the damaged versions remain damaged; verify --all sees every user.
    QCOMPARE(admin({ QStringLiteral("verify"), QStringLiteral("--all") }, &out), 1);
    QVERIFY2(out.contains(QStringLiteral("11/slot1\tcurrent\tgood")), qPrintable(out));
    for (const QString &version : versions(save)) {
        QFile::remove(dir + QStringLiteral(".versions/slot1.z/") + version);
        CSaveSum::remove(dir + QStringLiteral(".versions/slot1.z/") + version);
    }
    QCOMPARE(admin({ QStringLiteral("verify"), QStringLiteral("11") }, &out), 0);
}

// Archives stored before sums were kept: sent as before, unchecked by verify, and summed by
// their next upload.
void tst_Saves::archivesWithoutSum()
{
    const QString save = QStringLiteral("12/old");
    const QString path = server->storageDir() + QStringLiteral("/12/old.z");
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(5000, 'o')) == 5000);
    file.close();
    QString ending;
    QCOMPARE(download(save, &ending), QByteArray(5000, 'o'));
    QCOMPARE(ending, QStringLiteral("end"));
    QString out;
    QCOMPARE(admin({ QStringLiteral("verify"), QStringLiteral("12") }, &out), 0);
    QVERIFY2(out.contains(QStringLiteral("12/old\tcurrent\tunchecked")), qPrintable(out));

    QCOMPARE(upload(save, QByteArray(6000, 'n')), QStringLiteral("close"));
    QCOMPARE(readAll(path + QStringLiteral(".xxh128")), sumLine(QByteArray(6000, 'n')));
    QCOMPARE(admin({ QStringLiteral("verify"), QStringLiteral("12") }, &out), 0);
    QVERIFY2(out.contains(QStringLiteral("12/old\tcurrent\tgood")), qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("\tunchecked")), qPrintable(out)); // the old version
    // Sums show nowhere as saves or versions.
    QCOMPARE(admin({ QStringLiteral("list"), QStringLiteral("12") }, &out), 0);
    QCOMPARE(out.count(QLatin1Char('\n')), 1);
    QCOMPARE(
        admin({ QStringLiteral("history"), QStringLiteral("12"), QStringLiteral("old") }, &out), 0);
    QCOMPARE(out.count(QLatin1Char('\n')), 1);
}

void tst_Saves::sumFiles_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("content"); // right, flipped (a byte of the archive), empty, cut
    QTest::addColumn<QString>("state"); // what verify says
    for (const char *suffix : { ".xxh128", ".sha256" }) {
        QTest::addRow("%s right", suffix) << suffix << "right"
                                          << "good";
        QTest::addRow("%s, archive flipped", suffix) << suffix << "flipped"
                                                     << "DAMAGED";
        // Cut by a crash or a full disk: no sum to go by, but never "no sum".
        QTest::addRow("%s empty", suffix) << suffix << "empty"
                                          << "DAMAGED";
        QTest::addRow("%s cut short", suffix) << suffix << "cut"
                                              << "DAMAGED";
    }
    // The newer kind is the one read; a stale older one beside it does not count.
    QTest::newRow("both, .xxh128 right") << "both"
                                         << "right"
                                         << "good";
}

// Each kind of sum file checks its archive on a download and in verify; a damaged sum file
// stops a download and counts as damage, never as an archive without a sum.
void tst_Saves::sumFiles()
{
    QFETCH(QString, suffix);
    QFETCH(QString, content);
    QFETCH(QString, state);
    static int nextUser = 300; // a folder of its own for each row
    const QString user = QString::number(nextUser++);
    const QString save = user + QStringLiteral("/slot1");
    const QString path = server->storageDir() + QLatin1Char('/') + save + QStringLiteral(".z");
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    const QByteArray bytes(70000, 's');
    QVERIFY(writeBytes(path, bytes));
    const bool sha = suffix == QLatin1String(".sha256");
    QByteArray line = sha ? sha256Hex(bytes) : sumLine(bytes);
    if (content == QLatin1String("empty"))
        line.clear();
    else if (content == QLatin1String("cut"))
        line.truncate(line.size() / 2);
    if (suffix == QLatin1String("both")) {
        QVERIFY(writeBytes(path + QStringLiteral(".sha256"), sha256Hex("other")));
        suffix = QStringLiteral(".xxh128");
    }
    QVERIFY(writeBytes(path + suffix, line));
    if (content == QLatin1String("flipped"))
        flipByte(path, 4000);

    QString ending;
    download(save, &ending);
    QCOMPARE(
        ending, state == QLatin1String("good") ? QStringLiteral("end") : QStringLiteral("reset"));
    QString out;
    QCOMPARE(
        admin({ QStringLiteral("verify"), user }, &out), state == QLatin1String("good") ? 0 : 1);
    QVERIFY2(out.contains(save + QStringLiteral("\tcurrent\t") + state), qPrintable(out));
    if (content == QLatin1String("flipped"))
        QVERIFY2(out.contains(sha ? QStringLiteral("SHA-256") : QStringLiteral("XXH3-128")),
            qPrintable(out));
}

// A save summed by an earlier server (".sha256") is checked against it until its next upload,
// which leaves the new kind alone beside the archive; the version keeps the old sum.
void tst_Saves::earlierSumUntilNextUpload()
{
    const QString save = QStringLiteral("15/slot1");
    const QString dir = server->storageDir() + QStringLiteral("/15/");
    QVERIFY(QDir().mkpath(dir));
    const QByteArray old(50000, 'e');
    QVERIFY(writeBytes(dir + QStringLiteral("slot1.z"), old));
    QVERIFY(writeBytes(dir + QStringLiteral("slot1.z.sha256"), sha256Hex(old)));
    QCOMPARE(upload(save, QByteArray(40000, 'n')), QStringLiteral("close"));
    QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden),
        (QStringList { QStringLiteral("slot1.z"), QStringLiteral("slot1.z.xxh128") }));
    const QStringList kept = versions(save);
    QCOMPARE(kept.size(), 1);
    QCOMPARE(readAll(dir + QStringLiteral(".versions/slot1.z/") + kept.first()
                 + QStringLiteral(".sha256")),
        sha256Hex(old));
    QString out;
    QCOMPARE(admin({ QStringLiteral("verify"), QStringLiteral("15") }, &out), 0);
    QCOMPARE(out.count(QStringLiteral("\tgood")), 2);
    // Restored, the old archive brings its old sum back, and the new kind goes.
    QCOMPARE(admin({ QStringLiteral("restore"), QStringLiteral("15"), QStringLiteral("slot1"),
                 kept.first() }),
        0);
    QCOMPARE(readAll(dir + QStringLiteral("slot1.z.sha256")), sha256Hex(old));
    QVERIFY(!QFileInfo::exists(dir + QStringLiteral("slot1.z.xxh128")));
    QString ending;
    QCOMPARE(download(save, &ending), old);
    QCOMPARE(ending, QStringLiteral("end"));
    QCOMPARE(admin({ QStringLiteral("verify"), QStringLiteral("15") }, &out), 0);
}

// An upload that replaces the archive while a download of it runs: the download still sends
// the old archive whole, checked against its own sum.
void tst_Saves::downloadDuringReplacement()
{
    const QString save = QStringLiteral("13/slot1");
    const QByteArray old(80000, 'o');
    QCOMPARE(upload(save, old), QStringLiteral("close"));
    CBlockingSocket reader(server->filePort());
    QVERIFY(reader.send(request(1, save)));
    QCOMPARE(result(reader.frame()), 0);
    QCOMPARE(upload(save, QByteArray(70000, 'n')), QStringLiteral("close"));
    QVERIFY(reader.send(frame(0, packet(5, {}))));
    QByteArray bytes;
    auto f = reader.frame();
    for (; f.first == 1; f = reader.frame())
        bytes += f.second;
    QCOMPARE(bytes, old);
    QCOMPARE(f.first, 0);
    QCOMPARE(int(f.second.at(19)), 6);

    // An upload cut short between its sum and its archive: the old archive, already kept as
    // a version with its own sum, beside the new sum. It is still served whole, and verify
    // finds nothing wrong.
    const QString dir = server->storageDir() + QStringLiteral("/13/");
    const QString version = dir + QStringLiteral(".versions/slot1.z/2000-01-01T00-00-00.000Z");
    QVERIFY(::link(QFile::encodeName(dir + QStringLiteral("slot1.z")).constData(),
                QFile::encodeName(version).constData())
        == 0);
    QVERIFY(
        QFile::copy(dir + QStringLiteral("slot1.z.xxh128"), version + QStringLiteral(".xxh128")));
    QVERIFY(QFile::remove(dir + QStringLiteral("slot1.z.xxh128")));
    QVERIFY(QFile::copy(dir + QStringLiteral(".versions/slot1.z/") + versions(save).last()
            + QStringLiteral(".xxh128"),
        dir + QStringLiteral("slot1.z.xxh128")));
    QString ending;
    QCOMPARE(download(save, &ending), QByteArray(70000, 'n'));
    QCOMPARE(ending, QStringLiteral("end"));
    QCOMPARE(admin({ QStringLiteral("verify"), QStringLiteral("13") }), 0);
}

QStringList tst_Saves::syncedPaths()
{
    QFile log(probeLog());
    QStringList out;
    if (!log.open(QIODevice::ReadWrite))
        return out;
    // Sequence, kind, descriptor, bytes, path.
    for (const QByteArray &line : log.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() >= 5 && fields.at(1) == "S")
            out << QString::fromLocal8Bit(line.mid(line.indexOf('/')));
    }
    log.resize(0);
    return out;
}

// An upload that replaces an archive syncs the history folder after linking the old archive
// there and before the new archive's rename is synced: otherwise a power cut can lose the
// version (ext4 without a journal) while the new archive stays.
void tst_Saves::replacementSyncsHistoryFolder()
{
    const QString save = QStringLiteral("14/slot1");
    QCOMPARE(upload(save, QByteArray(3000, '1')), QStringLiteral("close"));
    syncedPaths();
    QCOMPARE(upload(save, QByteArray(3000, '2')), QStringLiteral("close"));
    const QString folder = QDir(server->storageDir() + QStringLiteral("/14")).canonicalPath();
    const QStringList synced = syncedPaths();
    const qsizetype history = synced.indexOf(folder + QStringLiteral("/.versions/slot1.z"));
    const qsizetype archive = synced.lastIndexOf(folder);
    QVERIFY2(history >= 0 && archive > history, qPrintable(synced.join(u'\n')));
}

// A server that ends mid-upload leaves the upload's temporary file: the next start removes it
// and every other one no upload holds, in one line counting them, and so does verify --all.
// An upload in flight on another server sharing the storage folder keeps its file.
void tst_Saves::cutUploadsRemovedAtStart()
{
    const QString folder = server->storageDir() + QStringLiteral("/12/");
    CBlockingSocket inFlight(server->filePort());
    QVERIFY(inFlight.send(request(3, QStringLiteral("12/flight"))));
    QCOMPARE(result(inFlight.frame()), 0);
    QVERIFY(inFlight.send(frame(1, QByteArray(1000, 'f'))));
    QTRY_COMPARE(uploadTemporaries(folder).size(), 1);
    const QStringList held = uploadTemporaries(folder);

    CServerProcess other(QStringLiteral(TOLVERN_SERVER_PATH));
    QVERIFY2(other.isValid(), qPrintable(other.errorText()));
    other.setStorageDir(server->storageDir());
    other.setHeadless(true);
    other.setCaptureOutput(true);
    QVERIFY2(other.start(), qPrintable(other.errorText()));
    {
        CBlockingSocket cut(other.filePort());
        QVERIFY(cut.send(request(3, QStringLiteral("12/cut"))));
        QCOMPARE(result(cut.frame()), 0);
        QVERIFY(cut.send(frame(1, QByteArray(1000, 'c'))));
        QTRY_COMPARE(uploadTemporaries(folder).size(), 2);
        QVERIFY(other.kill());
    }
    // One more in a deeper folder, and the archive of the save "a.z", which only looks like one.
    QVERIFY(QDir().mkpath(folder + QStringLiteral("deep")));
    for (const QString &name : { QStringLiteral("deep/b.z.q1"), QStringLiteral("a.z.z") }) {
        QFile file(folder + name);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("x") == 1);
    }
    QCOMPARE(uploadTemporaries(folder).size(), 3);
    QVERIFY2(other.start(), qPrintable(other.errorText()));
    QByteArray log;
    QTRY_VERIFY2_WITH_TIMEOUT(
        (log += other.readOutput()).contains("Removed 2 temporary files of uploads cut short"),
        log.constData(), 20000);
    QCOMPARE(uploadTemporaries(folder), held);
    QCOMPARE(readAll(folder + QStringLiteral("a.z.z")), QByteArray("x"));
    QCOMPARE(other.stop(), 0);

    QVERIFY(inFlight.send(frame(1, QByteArray(1000, 'g'))));
    QVERIFY(inFlight.send(frame(0, packet(6, {}))));
    QCOMPARE(inFlight.ending(), QStringLiteral("close"));
    QCOMPARE(readAll(folder + QStringLiteral("flight.z")),
        QByteArray(1000, 'f') + QByteArray(1000, 'g'));

    QFile planted(folder + QStringLiteral("c.z.9"));
    QVERIFY(planted.open(QIODevice::WriteOnly));
    planted.close();
    QProcess verify;
    verify.start(server->path(QStringLiteral("bin/tolvern-server")),
        { QStringLiteral("saves"), QStringLiteral("verify"), QStringLiteral("--all") });
    QVERIFY(verify.waitForFinished(30000));
    const QByteArray said = verify.readAllStandardError();
    QVERIFY2(said.contains("Removed 1 temporary files of uploads cut short"), said.constData());
    QVERIFY(uploadTemporaries(folder).isEmpty());
}

void tst_Saves::listOfUserWithoutUploads()
{
    // A user who never uploaded has no folder: no saves, and no error.
    QProcess add;
    add.setWorkingDirectory(server->path(QStringLiteral("work")));
    add.start(server->path(QStringLiteral("bin/tolvern-server")),
        { QStringLiteral("users"), QStringLiteral("add"), QStringLiteral("newcomer"),
            QStringLiteral("pw") });
    QVERIFY(add.waitForFinished(30000));
    QCOMPARE(add.exitCode(), 0);
    const QString id = QString::fromLatin1(add.readAllStandardOutput().trimmed());
    QVERIFY(!QFileInfo::exists(server->storageDir() + QLatin1Char('/') + id));
    QString out;
    QCOMPARE(admin({ QStringLiteral("list"), id }, &out), 0);
    QCOMPARE(out, QString());
}

namespace {

// Bytes of the regular files under dir, as a walk that follows no link counts them.
qint64 folderBytes(const QString &dir)
{
    qint64 total = 0;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

// tolvern_storage_bytes as /metrics reads it now.
qint64 storageMetric(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return -2;
    socket.write("GET /metrics HTTP/1.0\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(10000) || socket.bytesAvailable())
        answer += socket.readAll();
    const qsizetype at = answer.indexOf("\ntolvern_storage_bytes ");
    if (at < 0)
        return -3;
    const qsizetype from = at + int(sizeof("\ntolvern_storage_bytes ")) - 1;
    return answer.mid(from, answer.indexOf('\n', from) - from).toLongLong();
}

} // namespace

void tst_Saves::storageBytesMetric()
{
    // The size Prometheus reads is the storage's as it is, uploads of a moment ago included
    // (it read the size at the server's start until a minute had passed).
    const quint16 port = httpReservation->port();
    QVERIFY(QTest::qWaitFor([port] { return CServerProcess::portAccepts(port, 200); }, 30000));
    const qint64 before = folderBytes(server->storageDir());
    QVERIFY(before > 0);
    QTRY_COMPARE_WITH_TIMEOUT(storageMetric(port), before, 15000);
    QCOMPARE(upload(QStringLiteral("8/metric"), QByteArray(30000, 'm')), QStringLiteral("close"));
    const qint64 after = folderBytes(server->storageDir());
    QVERIFY(after >= before + 30000);
    // Measured again at most a few seconds after the last walk.
    QTRY_COMPARE_WITH_TIMEOUT(storageMetric(port), after, 15000);
}

QTEST_GUILESS_MAIN(tst_Saves)
#include "tst_saves.moc"
