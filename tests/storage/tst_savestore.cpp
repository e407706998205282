#include <algorithm>
#include <csignal>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

#include "csavestore.h"
#include "csavesum.h"
#include "csaveverifier.h"

namespace {

const QString SAVE = QStringLiteral("7/slot1");
const QString ARCHIVE = QStringLiteral("7/slot1.z");

QByteArray content(int n, int size = 100)
{
    return QByteArray(size, char('a' + n));
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The kind of sum the uploads keep: an earlier server's SHA-256 while a test sets it.
CSaveSum::Kind uploadKind = CSaveSum::CURRENT;

QString sumOf(const QByteArray &bytes)
{
    return CSaveSum::of(bytes.constData(), bytes.size(), uploadKind);
}

// The commit as the file connection's: the sum beside the archive first, then the archive.
bool commitWithSum(QSaveFile &file, const QByteArray &bytes, const QByteArray &stop = {})
{
    if (!CSaveSum::write(file.fileName(), sumOf(bytes)))
        return false;
    if (stop == "summed")
        ::raise(SIGKILL);
    return file.commit();
}

// What verify finds wrong with the save: nothing when every archive is good or unchecked.
QStringList damage(const CSaveStore &store, const QString &save)
{
    QStringList out;
    for (const CSaveVerifier::Item &item : CSaveVerifier(store).verify(save).items) {
        if (item.state == CSaveVerifier::State::Damaged)
            out << (item.version.isEmpty() ? QStringLiteral("current") : item.version)
                    + QLatin1Char(' ') + item.detail;
    }
    return out;
}

// One upload as the file connection makes it: bytes into a temporary file, checked, then
// committed through the store.
CSaveStore::Outcome upload(CSaveStore &store, const QString &archive, const QByteArray &bytes)
{
    const CSaveStore::Outcome check = store.checkUpload(archive, bytes.size(), bytes.size());
    if (!check.ok())
        return check;
    const QString path = store.storageDirectory() + archive;
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return { CSaveStore::Status::Failed, QStringLiteral("write"), {}, 0, {} };
    return store.commitUpload(archive, bytes.size(), [&] { return commitWithSum(file, bytes); });
}

QList<QByteArray> historyContents(const CSaveStore &store, const QString &save)
{
    QList<QByteArray> out;
    const QFileInfo archive(store.storageDirectory() + CSaveStore::archiveName(save));
    for (const CSaveStore::Entry &e : store.history(save))
        out << readAll(archive.path() + QStringLiteral("/.versions/") + archive.fileName()
            + QLatin1Char('/') + e.name);
    return out;
}

QStringList allFiles(const QString &dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(dir).relativeFilePath(it.next());
    out.sort();
    return out;
}

// The child of killAtEachStep: one upload or restore, ended by SIGKILL at the named step.
int runChild()
{
    const QString root = qEnvironmentVariable("SAVESTORE_ROOT");
    const QByteArray stop = qgetenv("SAVESTORE_STEP");
    CSaveStore::Limits limits;
    limits.keepVersions = 2;
    CSaveStore store(root, limits);
    store.setStepHook([&](const char *step) {
        if (stop == step)
            ::raise(SIGKILL);
    });
    if (qEnvironmentVariable("SAVESTORE_ACTION") == QLatin1String("restore"))
        return store.restore(SAVE, store.history(SAVE).last().name).ok() ? 0 : 1;
    QSaveFile file(root + QLatin1Char('/') + ARCHIVE);
    if (!file.open(QIODevice::WriteOnly) || file.write(content(4)) != 100)
        return 1;
    if (stop == "writing")
        ::raise(SIGKILL);
    return store.commitUpload(ARCHIVE, 100, [&] { return commitWithSum(file, content(4), stop); })
               .ok()
        ? 0
        : 1;
}

} // namespace

class tst_SaveStore : public QObject
{
    Q_OBJECT

private slots:
    void keepVersions_data();
    void keepVersions();
    void limits_data();
    void limits();
    void killAtEachStep_data();
    void killAtEachStep();
    void syncsFollowTheirChanges_data();
    void syncsFollowTheirChanges();
};

void tst_SaveStore::keepVersions_data()
{
    QTest::addColumn<int>("keep");
    QTest::addColumn<QList<QByteArray>>("kept"); // newest first
    QTest::newRow("none") << 0 << QList<QByteArray>();
    QTest::newRow("one") << 1 << QList<QByteArray> { content(2) };
    QTest::newRow("default") << 3 << QList<QByteArray> { content(2), content(1) };
}

void tst_SaveStore::keepVersions()
{
    QFETCH(int, keep);
    QFETCH(QList<QByteArray>, kept);
    QTemporaryDir dir;
    CSaveStore::Limits limits;
    limits.keepVersions = keep;
    CSaveStore store(dir.path(), limits);
    for (int n = 1; n <= 3; ++n)
        QVERIFY(upload(store, ARCHIVE, content(n)).ok());
    QCOMPARE(readAll(dir.filePath(ARCHIVE)), content(3));
    QCOMPARE(historyContents(store, SAVE), kept);
    // Each version keeps its own sum and goes with it; none is left of the versions given up.
    QCOMPARE(CSaveSum::read(dir.filePath(ARCHIVE)), sumOf(content(3)));
    const QList<CSaveStore::Entry> versions = store.history(SAVE);
    for (int i = 0; i < versions.size(); ++i)
        QCOMPARE(CSaveSum::read(store.versionPath(SAVE, versions.at(i).name)), sumOf(kept.at(i)));
    QCOMPARE(allFiles(dir.filePath(QStringLiteral("7/.versions"))).size(), 2 * kept.size());
    QVERIFY(damage(store, SAVE).isEmpty());
}

void tst_SaveStore::limits_data()
{
    QTest::addColumn<QString>("archive");
    QTest::addColumn<qint64>("maxSave");
    QTest::addColumn<qint64>("maxUser");
    QTest::addColumn<qint64>("free"); // of the fake volume of 1 MB, floor 1 %
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QList<QByteArray>>("history"); // of 7/slot1 after, newest first

    // 7/ holds slot1 (c, 100 bytes, versions b and a of 100) and slot2 (100 bytes): 400 bytes.
    const QList<QByteArray> before { content(2), content(1) };
    const QList<QByteArray> all { content(3), content(2), content(1) };
    QTest::newRow("save at limit") << ARCHIVE << 150LL << 0LL << -1LL << 150 << true << all;
    QTest::newRow("save over limit") << ARCHIVE << 150LL << 0LL << -1LL << 151 << false << before;
    QTest::newRow("user gives up oldest") << ARCHIVE << 0LL << 450LL << -1LL << 100 << true
                                          << QList<QByteArray> { content(3), content(2) };
    QTest::newRow("user gives up two oldest")
        << ARCHIVE << 0LL << 350LL << -1LL << 100 << true << QList<QByteArray> { content(3) };
    QTest::newRow("user gives up all")
        << ARCHIVE << 0LL << 300LL << -1LL << 200 << true << QList<QByteArray>();
    QTest::newRow("user over limit") << ARCHIVE << 0LL << 250LL << -1LL << 200 << false << before;
    QTest::newRow("user limit, no folder")
        << QStringLiteral("top.z") << 0LL << 50LL << -1LL << 200 << true << before;
    QTest::newRow("free above floor") << ARCHIVE << 0LL << 0LL << 10200LL << 200 << true << all;
    QTest::newRow("free below floor") << ARCHIVE << 0LL << 0LL << 10199LL << 200 << false << before;
}

void tst_SaveStore::limits()
{
    QFETCH(QString, archive);
    QFETCH(qint64, maxSave);
    QFETCH(qint64, maxUser);
    QFETCH(qint64, free);
    QFETCH(int, size);
    QFETCH(bool, stored);
    QFETCH(QList<QByteArray>, history);
    QTemporaryDir dir;
    {
        CSaveStore setup(dir.path());
        for (int n = 1; n <= 3; ++n)
            QVERIFY(upload(setup, ARCHIVE, content(n)).ok());
        QVERIFY(upload(setup, QStringLiteral("7/slot2.z"), content(9)).ok());
    }
    CSaveStore::Limits limits;
    limits.maxSaveBytes = maxSave;
    limits.maxUserBytes = maxUser;
    CSaveStore store(dir.path(), limits);
    store.setSpaceSource([&](const QString &) { return CSaveStore::DiskSpace { free, 1000000 }; });
    const QStringList before = allFiles(dir.path());

    const CSaveStore::Outcome outcome = upload(store, archive, content(5, size));
    QVERIFY2(outcome.ok() == stored, qPrintable(outcome.message));
    if (stored)
        QCOMPARE(readAll(dir.filePath(archive)), content(5, size));
    if (!stored) {
        QCOMPARE(outcome.status, CSaveStore::Status::Refused);
        QCOMPARE(allFiles(dir.path()), before);
        QCOMPARE(readAll(dir.filePath(ARCHIVE)), content(3));
    }
    // Versions go oldest first, of all the user's saves: which remain, not only how many.
    QCOMPARE(historyContents(store, SAVE), history);
    // The commit has the last word on a save's size, whatever was checked on the way.
    if (maxSave > 0 && size > maxSave) {
        bool committed = false;
        const CSaveStore::Outcome late = store.commitUpload(archive, size, [&committed] {
            committed = true;
            return true;
        });
        QCOMPARE(late.status, CSaveStore::Status::Refused);
        QVERIFY(!committed);
    }
}

void tst_SaveStore::killAtEachStep_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("step");
    QTest::addColumn<QByteArray>("current");
    QTest::addColumn<QList<QByteArray>>("history"); // newest first

    // Before: current c, versions b and a; the upload brings d, with two versions kept.
    const QList<QByteArray> old { content(2), content(1) };
    QTest::newRow("upload writing") << "upload"
                                    << "writing" << content(3) << old;
    QTest::newRow("upload linked") << "upload"
                                   << "linked" << content(3) << old;
    QTest::newRow("upload summed") << "upload"
                                   << "summed" << content(3) << old;
    QTest::newRow("upload committed")
        << "upload"
        << "committed" << content(4) << (QList<QByteArray> { content(3) } + old);
    QTest::newRow("upload pruned")
        << "upload"
        << "pruned" << content(4) << QList<QByteArray> { content(3), content(2) };
    // The restore brings back a; c becomes a version.
    QTest::newRow("restore linked") << "restore"
                                    << "restore-linked" << content(3) << old;
    QTest::newRow("restore summed") << "restore"
                                    << "restore-summed" << content(3) << old;
    QTest::newRow("restore done") << "restore"
                                  << "restored" << content(1)
                                  << QList<QByteArray> { content(3), content(2) };
}

void tst_SaveStore::killAtEachStep()
{
    QFETCH(QString, action);
    QFETCH(QString, step);
    QFETCH(QByteArray, current);
    QFETCH(QList<QByteArray>, history);
    QTemporaryDir dir;
    CSaveStore store(dir.path());
    // Stored by an earlier server; the killed upload keeps the current kind.
    uploadKind = CSaveSum::Kind::Sha256;
    for (int n = 1; n <= 3; ++n)
        QVERIFY(upload(store, ARCHIVE, content(n)).ok());
    uploadKind = CSaveSum::CURRENT;

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SAVESTORE_CHILD"), QStringLiteral("1"));
    env.insert(QStringLiteral("SAVESTORE_ROOT"), dir.path());
    env.insert(QStringLiteral("SAVESTORE_STEP"), step);
    env.insert(QStringLiteral("SAVESTORE_ACTION"), action);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForFinished(20000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    QCOMPARE(readAll(dir.filePath(ARCHIVE)), current);
    QCOMPARE(historyContents(store, SAVE), history);
    // Every archive still checks against its own sum, even when the kill came between the
    // sum and the archive it belongs to.
    QVERIFY2(damage(store, SAVE).isEmpty(), qPrintable(damage(store, SAVE).join(u'\n')));
    // Nothing but the archive and its versions, with their sums; a version linked just before
    // the kill may still share the current archive's file.
    for (const QString &file : allFiles(dir.path()))
        QVERIFY2(file == ARCHIVE || CSaveSum::sumOwner(file) == ARCHIVE
                || file.startsWith(QStringLiteral("7/.versions/slot1.z/")),
            qPrintable(file));

    // The next upload tidies up: two versions, the newest the archive it replaced.
    CSaveStore::Limits limits;
    limits.keepVersions = 2;
    CSaveStore next(dir.path(), limits);
    QVERIFY(upload(next, ARCHIVE, content(5)).ok());
    QCOMPARE(historyContents(next, SAVE).size(), 2);
    QCOMPARE(historyContents(next, SAVE).first(), current);
    QCOMPARE(allFiles(dir.filePath(QStringLiteral("7/.versions"))).size(), 4);
    QVERIFY2(damage(next, SAVE).isEmpty(), qPrintable(damage(next, SAVE).join(u'\n')));
}

void tst_SaveStore::syncsFollowTheirChanges_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("upload") << "upload";
    QTest::newRow("restore") << "restore";
}

// A change is durable only once the folder that holds it is synced after it: the version
// linked into the history folder before the archive is replaced, and a restored archive's
// rename before the restore returns.
void tst_SaveStore::syncsFollowTheirChanges()
{
    QFETCH(QString, action);
    QTemporaryDir dir;
    CSaveStore store(dir.path());
    // Stored by an earlier server; the killed upload keeps the current kind.
    uploadKind = CSaveSum::Kind::Sha256;
    for (int n = 1; n <= 3; ++n)
        QVERIFY(upload(store, ARCHIVE, content(n)).ok());
    uploadKind = CSaveSum::CURRENT;
    const QString archive = dir.filePath(ARCHIVE);
    const QString history = dir.filePath(QStringLiteral("7/.versions/slot1.z"));
    const QStringList versionsBefore = QDir(history).entryList(QDir::Files);
    struct Sync
    {
        QString folder;
        QByteArray archive;
        QStringList versions;
    };
    QList<Sync> syncs;
    store.setSyncHook([&](const QString &folder) {
        syncs << Sync { QDir::cleanPath(folder), readAll(archive),
            QDir(history).entryList(QDir::Files) };
    });

    CSaveStore::Outcome outcome;
    if (action == QLatin1String("upload")) {
        outcome = upload(store, ARCHIVE, content(4));
    } else {
        outcome = store.restore(SAVE, store.history(SAVE).last().name);
        QCOMPARE(readAll(archive), content(1));
    }
    QVERIFY2(outcome.ok(), qPrintable(outcome.message));
    QVERIFY(!outcome.keptVersion.isEmpty());
    const auto synced = [&](const QString &folder, auto condition) {
        return std::any_of(syncs.cbegin(), syncs.cend(), [&](const Sync &sync) {
            return sync.folder == QDir::cleanPath(folder) && condition(sync);
        });
    };
    QVERIFY2(synced(history,
                 [&](const Sync &sync) {
                     return sync.archive == content(3)
                         && sync.versions.contains(outcome.keptVersion);
                 }),
        "the history folder is not synced between the link and the replacement");
    if (action == QLatin1String("restore")) {
        QVERIFY2(synced(QFileInfo(archive).path(),
                     [](const Sync &sync) { return sync.archive == content(1); }),
            "the archive's folder is not synced after the restore's rename");
        QVERIFY2(synced(history,
                     [&](const Sync &sync) {
                         return sync.versions.size() == versionsBefore.size()
                             && !sync.versions.contains(versionsBefore.first());
                     }),
            "the history folder is not synced after the restored version left it");
    }
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet("SAVESTORE_CHILD"))
        return runChild();
    QCoreApplication app(argc, argv);
    tst_SaveStore test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_savestore.moc"
