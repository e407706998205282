#include <atomic>
#include <thread>

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include "cs3bucket.h"
#include "cs3download.h"
#include "cs3faultproxy.h"
#include "cs3savestore.h"
#include "cs3testenv.h"
#include "cs3upload.h"
#include "csaveverifier.h"
#include "ctransferdigest.h"

namespace {

constexpr qint64 PART = CS3Bucket::PART_BYTES;

QString sumOf(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The digest of an upload, taken at once: it hands each piece on to the sink at once, and
// the store asks it for the result.
class TestDigest : public libsock::CTransferDigest
{
public:
    void add(const QByteArray &buffer, qsizetype offset, qsizetype length) override
    {
        hash.addData(QByteArrayView(buffer.constData() + offset, length));
        if (sink)
            sink(buffer.constData() + offset, length);
    }
    void setSink(const std::function<void(const char *, qint64)> &to) override { sink = to; }
    void settle() override { }
    qint64 backlog() const override { return 0; }
    void whenBelow(qint64, const std::function<void()> &ready) override { ready(); }
    void finish(const std::function<void(const QString &)> &done) override
    {
        done(QString::fromLatin1(hash.result().toHex()));
    }
    bool saveBeside(const QString &) override { return false; }
    void dropBeside(const QString &) override { }

private:
    QCryptographicHash hash { QCryptographicHash::Sha256 };
    std::function<void(const char *, qint64)> sink;
};

// Unique bytes of size, seeded.
QByteArray content(qint64 size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (qint64 i = 0; i < size; i += 4) {
        const quint32 word = random.generate();
        std::memcpy(out.data() + i, &word, size_t(qMin<qint64>(4, size - i)));
    }
    return out;
}

} // namespace

class tst_S3Store : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void retriesWithinTheBound_data();
    void retriesWithinTheBound();
    void refusalsAtStart_data();
    void refusalsAtStart();
    void listingsPageThrough();

    void uploadsKeepVersions_data();
    void uploadsKeepVersions();
    void maxSaveBytesAtTheLimit_data();
    void maxSaveBytesAtTheLimit();
    void maxUserBytesGivesUpOldestFirst();
    void storeDyingMidUploadLeavesOldSave();
    void failedPublishLeavesNoExtraVersion();
    void restoreSwapsVersions();
    void verifyFindsDamage();
    void userDataRemovedAndMovedAside();
    void concurrentCommitsKeepHistoryWhole();
    void staleLockIsTakenOver();
    void staleStagingIsCleaned();
    void downloadStreamsOneObject();

private:
    std::shared_ptr<CS3Bucket> bucketThroughProxy(const QString &prefix);
    CS3SaveStore::Outcome upload(CS3SaveStore &store, const QString &archive,
        const QByteArray &bytes);
    QByteArray read(CS3SaveStore &store, const QString &key);
    QString nextPrefix() { return QStringLiteral("t%1/").arg(++prefixes); }

    CS3TestEnv env;
    std::unique_ptr<CS3FaultProxy> proxy;
    QString bucket;
    int prefixes = 0;
};

void tst_S3Store::initTestCase()
{
    QString why;
    if (!env.load(&why))
        QSKIP(qPrintable(why));
    proxy = std::make_unique<CS3FaultProxy>(env.port);
    bucket = env.createBucket(QStringLiteral("s3store"));
    QVERIFY(!bucket.isEmpty());
}

std::shared_ptr<CS3Bucket> tst_S3Store::bucketThroughProxy(const QString &prefix)
{
    CS3Config config;
    config.endpoint = proxy->endpoint();
    config.bucket = bucket;
    config.prefix = prefix;
    config.accessKey = env.accessKey;
    config.secretKey = env.secretKey;
    auto made = std::make_shared<CS3Bucket>(config);
    CS3Client::Policy quick;
    quick.firstDelayMs = 5;
    quick.maxDelayMs = 20;
    quick.stallSeconds = 5;
    made->client().setPolicy(quick);
    return made;
}

CS3SaveStore::Outcome tst_S3Store::upload(
    CS3SaveStore &store, const QString &archive, const QByteArray &bytes)
{
    auto sink = std::make_shared<CS3Upload>(store.s3(), store.stagingKey(archive));
    auto digest = std::make_shared<TestDigest>();
    sink->setDigest(digest);
    for (qint64 at = 0; at < bytes.size(); at += 131072) {
        const QByteArray piece = bytes.mid(at, 131072);
        digest->add(piece, 0, piece.size());
        if (sink->failed())
            return { CS3SaveStore::Status::Failed, sink->errorText(), {}, 0, {} };
    }
    const CS3SaveStore::Outcome check = store.checkUpload(archive, bytes.size(), bytes.size());
    return check.ok() ? store.commitUpload(archive, bytes.size(), sink, false) : check;
}

QByteArray tst_S3Store::read(CS3SaveStore &store, const QString &key)
{
    CS3Bucket::Head head;
    QByteArray out;
    if (!store.s3()->head(key, &head, nullptr) || !head.found)
        return "<missing>";
    store.s3()->readAll(key, head, [&out](const QByteArray &part) {
        out += part;
        return true;
    }, nullptr);
    return out;
}

void tst_S3Store::retriesWithinTheBound_data()
{
    QTest::addColumn<int>("failures");
    QTest::addColumn<bool>("answered");
    // The policy's 5 retries: the sixth try still counts, a seventh is never made.
    QTest::newRow("none") << 0 << true;
    QTest::newRow("five") << 5 << true;
    QTest::newRow("six") << 6 << false;
}

void tst_S3Store::retriesWithinTheBound()
{
    QFETCH(int, failures);
    QFETCH(bool, answered);
    const auto s3 = bucketThroughProxy(nextPrefix());
    const QString key = s3->key(QStringLiteral("probe"));
    proxy->failNext(failures, "PUT /" + bucket.toLatin1() + "/" + key.toLatin1());
    const int before = proxy->requests(key.toLatin1());
    QString error;
    const bool put = s3->put(key, "x", {}, &error);
    QCOMPARE(put, answered);
    QCOMPARE(proxy->requests(key.toLatin1()) - before, qMin(failures, 5) + 1);
    if (!answered)
        QCOMPARE(error, QStringLiteral("HTTP 503 SlowDown"));
    proxy->failNext(0);
}

void tst_S3Store::refusalsAtStart_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("said");
    QTest::addColumn<bool>("unreachable");
    QTest::newRow("wrong secret") << "secret" << "refused the credentials" << false;
    QTest::newRow("missing bucket") << "bucket" << "no bucket" << false;
    QTest::newRow("nobody listening") << "endpoint" << "cannot be reached" << true;
}

void tst_S3Store::refusalsAtStart()
{
    QFETCH(QString, what);
    QFETCH(QString, said);
    QFETCH(bool, unreachable);
    CS3Config config;
    config.endpoint = what == QLatin1String("endpoint") ? QStringLiteral("http://127.0.0.1:1")
                                                        : env.endpoint;
    config.bucket = what == QLatin1String("bucket") ? QStringLiteral("never-made") : bucket;
    config.accessKey = env.accessKey;
    config.secretKey = what == QLatin1String("secret") ? QStringLiteral("wrong") : env.secretKey;
    CS3Bucket s3(config);
    CS3Client::Policy quick;
    quick.retries = 1;
    quick.firstDelayMs = 5;
    s3.client().setPolicy(quick);
    QString error;
    bool noAnswer = !unreachable;
    QVERIFY(!s3.probe(&error, &noAnswer));
    QVERIFY2(error.contains(said), qPrintable(error));
    QCOMPARE(noAnswer, unreachable);
}

void tst_S3Store::listingsPageThrough()
{
    const auto s3 = bucketThroughProxy(nextPrefix());
    s3->setPageSize(2);
    QStringList keys;
    for (int i = 0; i < 5; ++i) {
        keys << s3->key(QStringLiteral("k%1").arg(i));
        QVERIFY(s3->put(keys.last(), QByteArray::number(i), {}, nullptr));
    }
    QList<CS3Bucket::Object> objects;
    QVERIFY(s3->list(s3->key(QString()), &objects, nullptr));
    QCOMPARE(objects.size(), 5);
    QCOMPARE(objects.last().key, keys.last());
    QVERIFY(s3->remove(keys, nullptr));
    QVERIFY(s3->list(s3->key(QString()), &objects, nullptr));
    QCOMPARE(objects.size(), 0);
}

void tst_S3Store::uploadsKeepVersions_data()
{
    QTest::addColumn<int>("keep");
    QTest::addColumn<qint64>("size");
    QTest::newRow("keep 3, empty") << 3 << qint64(0);
    QTest::newRow("keep 3, one byte") << 3 << qint64(1);
    QTest::newRow("keep 1, one part") << 1 << PART;
    QTest::newRow("keep 0, one part and a byte") << 0 << PART + 1;
    QTest::newRow("keep 2, two parts and more") << 2 << 2 * PART + 5;
}

void tst_S3Store::uploadsKeepVersions()
{
    QFETCH(int, keep);
    QFETCH(qint64, size);
    CS3SaveStore::Limits limits;
    limits.keepVersions = keep;
    CS3SaveStore store(bucketThroughProxy(nextPrefix()), limits);
    QList<QByteArray> uploaded;
    for (int n = 0; n < keep + 2; ++n) {
        uploaded << content(size, quint32(n + 1)) + QByteArray::number(n);
        const CS3SaveStore::Outcome outcome = upload(store, QStringLiteral("7/slot1.z"), uploaded.last());
        QVERIFY2(outcome.ok(), qPrintable(outcome.message));
        QCOMPARE(outcome.keptVersion.isEmpty(), n == 0 || keep == 0);
    }
    QCOMPARE(read(store, store.objectKey(QStringLiteral("7/slot1.z"))), uploaded.last());
    const QList<CS3SaveStore::Entry> versions = store.history(QStringLiteral("7/slot1"));
    QCOMPARE(versions.size(), keep);
    // Newest first: the uploads before the last, in order.
    for (int i = 0; i < versions.size(); ++i) {
        const QString key = store.objectKey(QStringLiteral("7/.versions/slot1.z/") + versions.at(i).name);
        QCOMPARE(read(store, key), uploaded.at(uploaded.size() - 2 - i));
    }
    const CSaveVerifier::Report report = CSaveVerifier(store).verify(QStringLiteral("7/slot1"));
    QCOMPARE(report.items.size(), keep + 1);
    for (const CSaveVerifier::Item &item : report.items)
        QCOMPARE(int(item.state), int(CSaveVerifier::State::Good));
    QCOMPARE(store.saves(QStringLiteral("7")).size(), 1);
}

void tst_S3Store::maxSaveBytesAtTheLimit_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("stored");
    QTest::newRow("at the limit") << qint64(1000) << true;
    QTest::newRow("a byte over") << qint64(1001) << false;
}

void tst_S3Store::maxSaveBytesAtTheLimit()
{
    QFETCH(qint64, size);
    QFETCH(bool, stored);
    CS3SaveStore::Limits limits;
    limits.maxSaveBytes = 1000;
    CS3SaveStore store(bucketThroughProxy(nextPrefix()), limits);
    QVERIFY(upload(store, QStringLiteral("7/a.z"), "old").ok());
    const CS3SaveStore::Outcome outcome = upload(store, QStringLiteral("7/a.z"), content(size, 9));
    QCOMPARE(outcome.ok(), stored);
    QCOMPARE(read(store, store.objectKey(QStringLiteral("7/a.z"))),
        stored ? content(size, 9) : QByteArray("old"));
    if (!stored)
        QCOMPARE(outcome.message, QStringLiteral("larger than MaxSaveBytes (1000 bytes)"));
}

void tst_S3Store::maxUserBytesGivesUpOldestFirst()
{
    CS3SaveStore::Limits limits;
    limits.maxUserBytes = 1000;
    CS3SaveStore store(bucketThroughProxy(nextPrefix()), limits);
    // a: 300 with versions of 200 (older) and 250 (newer); b: 100. Total 850.
    QVERIFY(upload(store, QStringLiteral("7/a.z"), content(200, 1)).ok());
    QVERIFY(upload(store, QStringLiteral("7/a.z"), content(250, 2)).ok());
    QVERIFY(upload(store, QStringLiteral("7/a.z"), content(300, 3)).ok());
    QVERIFY(upload(store, QStringLiteral("7/b.z"), content(100, 4)).ok());
    QCOMPARE(store.history(QStringLiteral("7/a")).size(), 2);
    // b grows to 250: 1000 with b's own old version of 100 kept: over by 100, so the oldest
    // version of all (a's 200) goes, and b's 100 stays.
    const CS3SaveStore::Outcome grown = upload(store, QStringLiteral("7/b.z"), content(250, 5));
    QVERIFY2(grown.ok(), qPrintable(grown.message));
    QCOMPARE(grown.givenUp, 1);
    const QList<CS3SaveStore::Entry> left = store.history(QStringLiteral("7/a"));
    QCOMPARE(left.size(), 1);
    QCOMPARE(left.first().size, qint64(250));
    QCOMPARE(store.history(QStringLiteral("7/b")).size(), 1);
    // Past the limit with every version given up: refused, nothing touched.
    const CS3SaveStore::Outcome refused = upload(store, QStringLiteral("7/b.z"), content(701, 6));
    QCOMPARE(int(refused.status), int(CS3SaveStore::Status::Refused));
    QCOMPARE(read(store, store.objectKey(QStringLiteral("7/b.z"))), content(250, 5));
    QCOMPARE(store.history(QStringLiteral("7/a")).size(), 1);
    // At the limit exactly (a 300 + b 700, no versions): stored.
    QVERIFY(upload(store, QStringLiteral("7/b.z"), content(700, 7)).ok());
}

void tst_S3Store::storeDyingMidUploadLeavesOldSave()
{
    CS3SaveStore store(bucketThroughProxy(nextPrefix()), {});
    QVERIFY(upload(store, QStringLiteral("7/s.z"), "old").ok());
    proxy->dieAfter(PART + PART / 2);
    const CS3SaveStore::Outcome outcome = upload(store, QStringLiteral("7/s.z"), content(3 * PART, 3));
    proxy->up();
    QVERIFY(!outcome.ok());
    QCOMPARE(read(store, store.objectKey(QStringLiteral("7/s.z"))), QByteArray("old"));
    QCOMPARE(store.history(QStringLiteral("7/s")).size(), 0);
    QVERIFY(upload(store, QStringLiteral("7/s.z"), "new").ok());
    QCOMPARE(store.history(QStringLiteral("7/s")).size(), 1);
}

void tst_S3Store::failedPublishLeavesNoExtraVersion()
{
    const QString prefix = nextPrefix();
    CS3SaveStore store(bucketThroughProxy(prefix), {});
    QVERIFY(upload(store, QStringLiteral("7/p.z"), "old").ok());
    // Every try of the PUT onto the archive's key fails.
    proxy->failNext(6, "PUT /" + bucket.toLatin1() + "/" + prefix.toLatin1() + "7/p.z ", 500,
        "InternalError");
    const CS3SaveStore::Outcome outcome = upload(store, QStringLiteral("7/p.z"), "new");
    proxy->failNext(0);
    QCOMPARE(int(outcome.status), int(CS3SaveStore::Status::Failed));
    QCOMPARE(read(store, store.objectKey(QStringLiteral("7/p.z"))), QByteArray("old"));
    QCOMPARE(store.history(QStringLiteral("7/p")).size(), 0);
}

void tst_S3Store::restoreSwapsVersions()
{
    CS3SaveStore store(bucketThroughProxy(nextPrefix()), {});
    QVERIFY(upload(store, QStringLiteral("7/r.z"), "one").ok());
    QVERIFY(upload(store, QStringLiteral("7/r.z"), "two").ok());
    const QString one = store.history(QStringLiteral("7/r")).first().name;
    const CS3SaveStore::Outcome restored = store.restore(QStringLiteral("7/r"), one);
    QVERIFY2(restored.ok(), qPrintable(restored.message));
    QCOMPARE(read(store, store.objectKey(QStringLiteral("7/r.z"))), QByteArray("one"));
    const QList<CS3SaveStore::Entry> versions = store.history(QStringLiteral("7/r"));
    QCOMPARE(versions.size(), 1);
    QCOMPARE(versions.first().name, restored.keptVersion);
    QCOMPARE(int(store.restore(QStringLiteral("7/r"), one).status),
        int(CS3SaveStore::Status::NotFound));
    // The sums travelled with the bytes.
    for (const CSaveVerifier::Item &item : CSaveVerifier(store).verify(QStringLiteral("7/r")).items)
        QCOMPARE(int(item.state), int(CSaveVerifier::State::Good));
}

void tst_S3Store::verifyFindsDamage()
{
    CS3SaveStore store(bucketThroughProxy(nextPrefix()), {});
    QVERIFY(upload(store, QStringLiteral("7/d.z"), "good bytes").ok());
    QVERIFY(upload(store, QStringLiteral("7/d.z"), "newer bytes").ok());
    // The archive's bytes change behind the store's back; its metadata keeps the old sum.
    QVERIFY(store.s3()->put(store.objectKey(QStringLiteral("7/d.z")), "newer bytez",
        { CS3Bucket::sumHeader(sumOf("newer bytes")) }, nullptr));
    const CSaveVerifier::Report report = CSaveVerifier(store).verify(QStringLiteral("7/d"));
    QCOMPARE(report.items.size(), 2);
    QCOMPARE(int(report.items.at(0).state), int(CSaveVerifier::State::Damaged));
    QCOMPARE(report.items.at(0).detail,
        QStringLiteral("SHA-256 %1, recorded %2").arg(sumOf("newer bytez"), sumOf("newer bytes")));
    QCOMPARE(int(report.items.at(1).state), int(CSaveVerifier::State::Good));
    QCOMPARE(report.newestGood, report.items.at(1).version);
}

void tst_S3Store::userDataRemovedAndMovedAside()
{
    CS3SaveStore store(bucketThroughProxy(nextPrefix()), {});
    for (const char *archive : { "7/a.z", "7/sub/b.z", "8/a.z", "70/a.z" })
        QVERIFY(upload(store, QString::fromLatin1(archive), archive).ok());
    QVERIFY(upload(store, QStringLiteral("7/a.z"), "again").ok());
    QCOMPARE(store.userFolders(), (QStringList { QStringLiteral("7"), QStringLiteral("70"), QStringLiteral("8") }));
    bool existed = false;
    QVERIFY(store.removeUserData(7, &existed, nullptr));
    QVERIFY(existed);
    QCOMPARE(store.userFolders(), (QStringList { QStringLiteral("70"), QStringLiteral("8") }));
    QVERIFY(store.removeUserData(7, &existed, nullptr));
    QVERIFY(!existed);
    QString movedTo;
    QVERIFY(store.moveAside(8, QDateTime::currentDateTimeUtc(), &movedTo, nullptr));
    QVERIFY2(movedTo.contains(QLatin1String(".orphaned/8-")), qPrintable(movedTo));
    QCOMPARE(store.userFolders(), QStringList { QStringLiteral("70") });
    movedTo.clear();
    QVERIFY(store.moveAside(8, QDateTime::currentDateTimeUtc(), &movedTo, nullptr));
    QVERIFY(movedTo.isEmpty());
    QCOMPARE(store.saves(QStringLiteral("70")).size(), 1);
}

void tst_S3Store::concurrentCommitsKeepHistoryWhole()
{
    // Two writers, as two servers sharing the bucket: every upload ends up current or a
    // version, none twice.
    CS3SaveStore::Limits limits;
    limits.keepVersions = 1000;
    const QString prefix = nextPrefix();
    constexpr int EACH = 8;
    std::atomic<int> failed { 0 };
    const auto writer = [&](int who) {
        CS3SaveStore store(bucketThroughProxy(prefix), limits);
        for (int n = 0; n < EACH; ++n) {
            const QByteArray bytes = "writer " + QByteArray::number(who) + " upload "
                + QByteArray::number(n);
            if (!upload(store, QStringLiteral("7/shared.z"), bytes).ok())
                ++failed;
        }
    };
    std::thread first(writer, 1);
    std::thread second(writer, 2);
    first.join();
    second.join();
    QCOMPARE(failed.load(), 0);
    CS3SaveStore store(bucketThroughProxy(prefix), limits);
    QSet<QByteArray> seen { read(store, store.objectKey(QStringLiteral("7/shared.z"))) };
    const QList<CS3SaveStore::Entry> versions = store.history(QStringLiteral("7/shared"));
    QCOMPARE(versions.size(), 2 * EACH - 1);
    for (const CS3SaveStore::Entry &v : versions)
        seen << read(store, store.objectKey(QStringLiteral("7/.versions/shared.z/") + v.name));
    QCOMPARE(seen.size(), 2 * EACH);
    for (const CSaveVerifier::Item &item :
        CSaveVerifier(store).verify(QStringLiteral("7/shared")).items)
        QCOMPARE(int(item.state), int(CSaveVerifier::State::Good));
}

void tst_S3Store::staleLockIsTakenOver()
{
    CS3SaveStore store(bucketThroughProxy(nextPrefix()), {});
    const QString lock = store.objectKey(QStringLiteral("7/.versions/l.z/.lock"));
    QVERIFY(store.s3()->put(lock, "another server\n", {}, nullptr));
    // Held within its lease: the commit waits, then gives up without touching anything.
    store.setLockTiming(60000, 300);
    const CS3SaveStore::Outcome waited = upload(store, QStringLiteral("7/l.z"), "one");
    QCOMPARE(int(waited.status), int(CS3SaveStore::Status::Failed));
    QVERIFY2(waited.message.contains(QLatin1String("stayed locked")), qPrintable(waited.message));
    // Its lease run out by the store's clock (whole seconds): taken over.
    store.setLockTiming(1000, 5000);
    QTest::qWait(2100);
    const CS3SaveStore::Outcome taken = upload(store, QStringLiteral("7/l.z"), "one");
    QVERIFY2(taken.ok(), qPrintable(taken.message));
    CS3Bucket::Head head;
    QVERIFY(store.s3()->head(lock, &head, nullptr));
    QVERIFY(!head.found);
}

void tst_S3Store::staleStagingIsCleaned()
{
    CS3SaveStore store(bucketThroughProxy(nextPrefix()), {});
    auto sink = std::make_shared<CS3Upload>(store.s3(), store.stagingKey(QStringLiteral("7/x.z")));
    QVERIFY(sink->write(content(PART + 1, 1)) && !sink->failed());
    QTRY_COMPARE(sink->backlog(), qint64(0));
    const QString staged = store.objectKey(CS3SaveStore::stagingFolder() + QStringLiteral("7/y.z.left"));
    QVERIFY(store.s3()->put(staged, "left by a crash", {}, nullptr));
    QCOMPARE(store.cleanStaging(QDateTime::currentDateTimeUtc().addDays(-1)), 0);
    QCOMPARE(store.cleanStaging(QDateTime::currentDateTimeUtc().addSecs(60)), 2);
    CS3Bucket::Head head;
    QVERIFY(store.s3()->head(staged, &head, nullptr));
    QVERIFY(!head.found);
}

void tst_S3Store::downloadStreamsOneObject()
{
    CS3SaveStore store(bucketThroughProxy(nextPrefix()), {});
    const QByteArray bytes = content(4 * PART + 17, 4);
    QVERIFY(upload(store, QStringLiteral("7/big.z"), bytes).ok());
    const QString key = store.objectKey(QStringLiteral("7/big.z"));
    CS3Bucket::Head head;
    QVERIFY(store.s3()->head(key, &head, nullptr));
    QCOMPARE(head.sum, sumOf(bytes));
    const auto readWhole = [](CS3Download &device, QByteArray &got) {
        return QTest::qWaitFor([&] {
            if (device.isOpen())
                got += device.readAll();
            return !device.isOpen() || got.size() >= device.size();
        }, 30000);
    };

    // Read slowly: the GET waits for the reader, with a bounded buffer.
    CS3Download slow(store.s3(), key, head);
    QVERIFY(slow.open(QIODevice::ReadOnly));
    QTRY_VERIFY(slow.bytesAvailable() >= CS3Download::BUFFER_BYTES);
    QTest::qWait(300);
    QVERIFY(slow.bytesAvailable() < CS3Download::BUFFER_BYTES + 2 * 1024 * 1024);
    QByteArray got;
    QVERIFY(readWhole(slow, got));
    QVERIFY(got == bytes);

    // Cut on the way: asked again from the first byte not yet had.
    const int gets = proxy->requests("GET /" + bucket.toLatin1() + "/" + key.toLatin1());
    proxy->cutAfter(PART);
    CS3Download cut(store.s3(), key, head);
    QSignalSpy failed(&cut, &CS3Download::failed);
    QVERIFY(cut.open(QIODevice::ReadOnly));
    got.clear();
    QVERIFY(readWhole(cut, got));
    QVERIFY(got == bytes);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(proxy->requests("GET /" + bucket.toLatin1() + "/" + key.toLatin1()) - gets, 2);

    // Replaced while read, then cut: the rest is not that object's any more.
    CS3Download replaced(store.s3(), key, head);
    QSignalSpy gone(&replaced, &CS3Download::failed);
    QVERIFY(replaced.open(QIODevice::ReadOnly));
    QTRY_VERIFY(replaced.bytesAvailable() >= CS3Download::BUFFER_BYTES);
    QVERIFY(upload(store, QStringLiteral("7/big.z"), "other").ok());
    proxy->cutAfter(1);
    got.clear();
    QVERIFY(readWhole(replaced, got));
    proxy->cutAfter(0);
    QCOMPARE(gone.count(), 1);
    QVERIFY2(gone.first().first().toString().startsWith(QLatin1String("HTTP 412")),
        qPrintable(gone.first().first().toString()));
    QVERIFY(got.size() < bytes.size());
}

QTEST_GUILESS_MAIN(tst_S3Store)
#include "tst_s3store.moc"
