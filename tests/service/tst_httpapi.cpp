// The operators' HTTP API against the real executable: every endpoint and its errors, the
// body limit, the lock on bad tokens, the token command and its reload at SIGHUP, and a real
// Prometheus scraping /metrics.
#include <csignal>
#include <memory>

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "cadminbackend.h"
#include "cblockingsocket.h"
#include "cadmintoken.h"
#include "chttpapi.h"
#include "clogevents.h"
#include "clogring.h"
#include "cportreservation.h"
#include "cserverprocess.h"
#include "testwire.h"

namespace {

constexpr int WAIT_MS = 10000;

struct Answer
{
    int status = 0;
    QByteArray body;
    QHash<QByteArray, QByteArray> headers;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// Answers every operation at once with 200, and counts the save operations it is asked.
class CStubBackend : public CAdminBackend
{
public:
    bool healthy() override { return true; }
    void ready(Reply reply) override { reply(Response()); }
    void metrics(Reply reply) override { reply(Response()); }
    void status(Reply reply) override { reply(Response()); }
    void listUsers(const CHttpApi::UserQuery &, Reply reply) override { reply(Response()); }
    void addUser(const QString &, const QString &, Reply reply) override { reply(Response()); }
    void setPassword(int, const QString &, Reply reply) override { reply(Response()); }
    void deleteUser(int, Reply reply) override { reply(Response()); }
    void purge(int, bool, bool, Reply reply) override { reply(Response()); }
    void saves(int, Reply reply) override { reply(Response()); }
    void history(int, const QString &, Reply reply) override
    {
        ++saveCalls;
        reply(Response());
    }
    void restore(int, const QString &, const QString &, Reply reply) override
    {
        ++saveCalls;
        reply(Response());
    }
    void exportUser(int, Reply reply) override { reply(Response()); }
    void log(qint64, Reply reply) override { reply(Response()); }
    qint64 lastLogSeq() override { return 0; }
    int saveCalls = 0;
};

// The status the API answers a request with, on the API alone.
int statusOf(CHttpApi &api, const QByteArray &method, const QByteArray &path,
    const QByteArray &bearer, const QByteArray &body = QByteArray())
{
    CHttpApi::Request request;
    request.method = method;
    request.path = path;
    request.authorization = "Bearer " + bearer;
    request.body = body;
    request.peer = QHostAddress(QStringLiteral("10.0.0.1"));
    int answered = 0;
    api.handle(
        request, [&answered](const CHttpApi::Response &response) { answered = response.status; });
    return answered;
}

// The API's whole answer to a request, on the API alone.
CHttpApi::Response answerOf(CHttpApi &api, const QByteArray &method, const QByteArray &path)
{
    CHttpApi::Request request;
    request.method = method;
    request.path = path;
    request.authorization = "Bearer right";
    request.peer = QHostAddress(QStringLiteral("10.0.0.1"));
    CHttpApi::Response answer;
    answer.status = 0;
    api.handle(request, [&answer](const CHttpApi::Response &response) { answer = response; });
    return answer;
}

} // namespace

class tst_HttpApi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void endpoints_data();
    void endpoints();
    void bodyLimit_data();
    void bodyLimit();
    void savesHistoryRestore();
    void purgeDryRunThenReal();
    void logStream();
    void logEventsMatchRing();
    void prometheusScrapes();
    void tokenCommandAndReload();
    // Last: it locks this address out.
    void lockAfterTenBadTokens();
    void lockCountsTenWithinAMinute();
    void tokenComparedWhole_data();
    void tokenComparedWhole();
    void saveStepsLeadNowhereElse_data();
    void saveStepsLeadNowhereElse();
    void routes_data();
    void routes();

private:
    Answer call(const QByteArray &method, const QString &path,
        const QByteArray &body = QByteArray(), const QByteArray &token = QByteArray(),
        quint16 port = 0);
    QByteArray get(quint16 port, const QString &path);
    // Nothing secret in any answer: no password sent, no hash, no token.
    void checkNoSecrets(const Answer &answer);

    std::unique_ptr<CServerProcess> server;
    std::unique_ptr<CPortReservation> httpReservation;
    QNetworkAccessManager network;
    QByteArray token;
    quint16 httpPort = 0;
    QStringList secrets;
};

Answer tst_HttpApi::call(const QByteArray &method, const QString &path, const QByteArray &body,
    const QByteArray &bearer, quint16 port)
{
    QNetworkRequest request(
        QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port ? port : httpPort).arg(path)));
    request.setTransferTimeout(WAIT_MS);
    if (!bearer.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + bearer);
    if (!body.isEmpty())
        request.setHeader(
            QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply *reply = network.sendCustomRequest(request, method, body);
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(WAIT_MS + 1000, &loop, &QEventLoop::quit);
    loop.exec();
    Answer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    for (const auto &pair : reply->rawHeaderPairs())
        answer.headers.insert(pair.first.toLower(), pair.second);
    reply->deleteLater();
    return answer;
}

QByteArray tst_HttpApi::get(quint16 port, const QString &path)
{
    return call("GET", path, QByteArray(), QByteArray(), port).body;
}

void tst_HttpApi::checkNoSecrets(const Answer &answer)
{
    for (const QString &secret : std::as_const(secrets))
        QVERIFY2(!answer.body.contains(secret.toUtf8()), qPrintable(secret));
    QVERIFY(!answer.body.contains("$argon2"));
    QVERIFY(!answer.headers.contains("set-cookie"));
    QVERIFY(!answer.headers.contains("access-control-allow-origin"));
}

void tst_HttpApi::initTestCase()
{
    token = CAdminToken::generate();
    httpReservation = std::make_unique<CPortReservation>();
    httpPort = httpReservation->port();
    QVERIFY(httpPort);
    secrets = { QString::fromLatin1(token), CAdminToken::hash(token), QStringLiteral("s3cret-one"),
        QStringLiteral("s3cret-two") };
    server = std::make_unique<CServerProcess>(QStringLiteral(TOLVERN_SERVER_PATH));
    QVERIFY2(server->isValid(), qPrintable(server->errorText()));
    server->setHeadless(true);
    server->setExtraIni(QStringLiteral("[Admin]\nHttpPort=%1\nTokenHash=%2\n")
                            .arg(httpPort)
                            .arg(CAdminToken::hash(token)));
    QVERIFY2(server->start(), qPrintable(server->errorText()));
    QTRY_COMPARE_WITH_TIMEOUT(call("GET", QStringLiteral("/healthz")).status, 200, WAIT_MS);
}

void tst_HttpApi::cleanupTestCase()
{
    if (server)
        QCOMPARE(server->stop(), 0);
}

void tst_HttpApi::endpoints_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("auth"); // good, bad or none
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expected"); // a key of the JSON answer, or a text in it
    // A line the server's log then holds: the trail the admin commands leave for the change.
    QTest::addColumn<QString>("logged");

    // Happy flows, in order: user 1 is added, changed and deleted.
    QTest::newRow("healthz") << QByteArray("GET") << "/healthz" << QByteArray()
                             << QByteArray("none") << 200 << "status" << QString();
    QTest::newRow("readyz") << QByteArray("GET") << "/readyz" << QByteArray() << QByteArray("none")
                            << 200 << "ready" << QString();
    QTest::newRow("metrics") << QByteArray("GET") << "/metrics" << QByteArray()
                             << QByteArray("none") << 200 << "tolvern_commands_total" << QString();
    QTest::newRow("status") << QByteArray("GET") << "/api/v1/status" << QByteArray()
                            << QByteArray("good") << 200 << "uptimeSeconds" << QString();
    QTest::newRow("add") << QByteArray("POST") << "/api/v1/users"
                         << QByteArray(R"({"name":" alice ","password":"s3cret-one"})")
                         << QByteArray("good") << 201 << "id"
                         << "Added user 1 (alice)";
    QTest::newRow("add second") << QByteArray("POST") << "/api/v1/users"
                                << QByteArray(R"({"name":"bob","password":"s3cret-two"})")
                                << QByteArray("good") << 201 << "id" << QString();
    QTest::newRow("list filtered")
        << QByteArray("GET") << "/api/v1/users?filter=ALI&sort=-name" << QByteArray()
        << QByteArray("good") << 200 << "alice" << QString();
    QTest::newRow("password") << QByteArray("PUT") << "/api/v1/users/1/password"
                              << QByteArray(R"({"password":"s3cret-two"})") << QByteArray("good")
                              << 204 << ""
                              << "Changed the password of user 1";
    QTest::newRow("saves of a user without any")
        << QByteArray("GET") << "/api/v1/users/1/saves" << QByteArray() << QByteArray("good") << 200
        << "saves" << QString();
    QTest::newRow("log") << QByteArray("GET") << "/api/v1/log?after=0" << QByteArray()
                         << QByteArray("good") << 200 << "listen succeed" << QString();
    QTest::newRow("delete") << QByteArray("DELETE") << "/api/v1/users/1" << QByteArray()
                            << QByteArray("good") << 204 << ""
                            << "Deleted user 1 and the game data";
    QTest::newRow("purge data only")
        << QByteArray("POST") << "/api/v1/users/purge"
        << QByteArray(R"({"inactive":"3m","dataOnly":true})") << QByteArray("good") << 200 << "bob"
        << "Cleared the game data of user 2 (bob), last login never";

    // Rainy-day flows.
    QTest::newRow("taken name") << QByteArray("POST") << "/api/v1/users"
                                << QByteArray(R"({"name":"bob","password":"x"})")
                                << QByteArray("good") << 409 << "User name [bob] already exists"
                                << QString();
    QTest::newRow("empty name") << QByteArray("POST") << "/api/v1/users"
                                << QByteArray(R"({"name":"  ","password":"x"})")
                                << QByteArray("good") << 400 << "User name is empty" << QString();
    QTest::newRow("empty password")
        << QByteArray("POST") << "/api/v1/users" << QByteArray(R"({"name":"carol","password":" "})")
        << QByteArray("good") << 400 << "Password is empty" << QString();
    QTest::newRow("long name") << QByteArray("POST") << "/api/v1/users"
                               << QByteArray(R"({"name":")" + QByteArray(256, 'n')
                                      + R"(","password":"x"})")
                               << QByteArray("good") << 400 << "at most 255" << QString();
    QTest::newRow("not JSON") << QByteArray("POST") << "/api/v1/users" << QByteArray("{name")
                              << QByteArray("good") << 400 << "error" << QString();
    QTest::newRow("password of nobody")
        << QByteArray("PUT") << "/api/v1/users/99/password" << QByteArray(R"({"password":"x"})")
        << QByteArray("good") << 404 << "no user with id 99" << QString();
    QTest::newRow("export of nobody")
        << QByteArray("GET") << "/api/v1/users/99/export" << QByteArray() << QByteArray("good")
        << 404 << "no user" << QString();
    QTest::newRow("delete nobody") << QByteArray("DELETE") << "/api/v1/users/99" << QByteArray()
                                   << QByteArray("good") << 404 << "no user" << QString();
    QTest::newRow("bad id") << QByteArray("DELETE") << "/api/v1/users/-3" << QByteArray()
                            << QByteArray("good") << 404 << "not found" << QString();
    QTest::newRow("id zero") << QByteArray("DELETE") << "/api/v1/users/0" << QByteArray()
                             << QByteArray("good") << 404 << "not found" << QString();
    QTest::newRow("bad limit") << QByteArray("GET") << "/api/v1/users?limit=1001" << QByteArray()
                               << QByteArray("good") << 400 << "limit" << QString();
    QTest::newRow("bad sort") << QByteArray("GET") << "/api/v1/users?sort=password" << QByteArray()
                              << QByteArray("good") << 400 << "sort" << QString();
    QTest::newRow("bad purge") << QByteArray("POST") << "/api/v1/users/purge"
                               << QByteArray(R"({"inactive":"1y"})") << QByteArray("good") << 400
                               << "3m or 6m" << QString();
    QTest::newRow("unknown") << QByteArray("GET") << "/api/v1/nothing" << QByteArray()
                             << QByteArray("good") << 404 << "not found" << QString();
    QTest::newRow("wrong method") << QByteArray("DELETE") << "/api/v1/status" << QByteArray()
                                  << QByteArray("good") << 405 << "method" << QString();
    QTest::newRow("escape from the console")
        << QByteArray("GET") << "/console/..%2Fmetrics" << QByteArray() << QByteArray("none") << 404
        << "" << QString();
    QTest::newRow("no token") << QByteArray("GET") << "/api/v1/status" << QByteArray()
                              << QByteArray("none") << 401 << "bearer token" << QString();
    QTest::newRow("bad token") << QByteArray("GET") << "/api/v1/users" << QByteArray()
                               << QByteArray("bad") << 401 << "bearer token" << QString();
}

void tst_HttpApi::endpoints()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, auth);
    QFETCH(int, status);
    QFETCH(QString, expected);
    QFETCH(QString, logged);
    const QByteArray bearer = auth == "good" ? token
        : auth == "bad"                      ? QByteArray("wrong-token")
                                             : QByteArray();
    const Answer answer = call(method, path, body, bearer);
    QVERIFY2(answer.status == status, answer.body.constData());
    QVERIFY2(answer.body.contains(expected.toUtf8()), answer.body.constData());
    checkNoSecrets(answer);
    if (!logged.isEmpty())
        QTRY_VERIFY2_WITH_TIMEOUT(
            call("GET", QStringLiteral("/api/v1/log?after=0"), QByteArray(), token)
                .body.contains(logged.toUtf8()),
            qPrintable(logged), WAIT_MS);
}

void tst_HttpApi::bodyLimit_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("status");
    QTest::newRow("64 KiB") << 64 * 1024 << 400; // read whole: not JSON
    QTest::newRow("64 KiB + 1") << 64 * 1024 + 1 << 413;
    QTest::newRow("1 MiB") << 1024 * 1024 << 413;
}

void tst_HttpApi::bodyLimit()
{
    QFETCH(int, size);
    QFETCH(int, status);
    const Answer answer
        = call("POST", QStringLiteral("/api/v1/users"), QByteArray(size, 'x'), token);
    QCOMPARE(answer.status, status);
}

void tst_HttpApi::savesHistoryRestore()
{
    const Answer added = call("POST", QStringLiteral("/api/v1/users"),
        R"({"name":"dora","password":"s3cret-one"})", token);
    QCOMPARE(added.status, 201);
    const int id = added.json().value(QStringLiteral("id")).toInt();
    // An archive with one version beside it, as an upload that replaced it leaves them.
    const QString folder = server->storageDir() + QStringLiteral("/%1").arg(id);
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/.versions/slot1.z")));
    for (const auto &[file, text] : { std::pair { QStringLiteral("/slot1.z"), "current" },
             std::pair {
                 QStringLiteral("/.versions/slot1.z/2026-12-07T10-40-02.517Z"), "older" } }) {
        QFile out(folder + file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(text);
    }
    const QString base = QStringLiteral("/api/v1/users/%1/saves").arg(id);
    const Answer saves = call("GET", base, QByteArray(), token);
    QCOMPARE(saves.status, 200);
    QCOMPARE(saves.json().value(QStringLiteral("saves")).toArray().first()[QStringLiteral("name")],
        QStringLiteral("slot1"));
    const Answer history
        = call("GET", base + QStringLiteral("/slot1/history"), QByteArray(), token);
    QCOMPARE(history.status, 200);
    QCOMPARE(history.json().value(QStringLiteral("versions")).toArray().size(), 1);
    QCOMPARE(call("GET", base + QStringLiteral("/nope/history"), QByteArray(), token).status, 404);
    QCOMPARE(call("POST", base + QStringLiteral("/slot1/restore"), R"({"version":"nope"})", token)
                 .status,
        404);
    // A version's sum file is no version, whatever its kind.
    for (const char *sum : { ".sha256", ".xxh128" }) {
        QFile file(folder + QStringLiteral("/.versions/slot1.z/2026-12-07T10-40-02.517Z")
            + QLatin1String(sum));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("0123abcd\n") == 9);
        file.close();
        QCOMPARE(call("POST", base + QStringLiteral("/slot1/restore"),
                     R"({"version":"2026-12-07T10-40-02.517Z)" + QByteArray(sum) + "\"}", token)
                     .status,
            404);
        QVERIFY(file.remove());
    }
    {
        QFile unchanged(folder + QStringLiteral("/slot1.z"));
        QVERIFY(unchanged.open(QIODevice::ReadOnly));
        QCOMPARE(unchanged.readAll(), QByteArray("current"));
    }
    const Answer restored = call("POST", base + QStringLiteral("/slot1/restore"),
        R"({"version":"2026-12-07T10-40-02.517Z"})", token);
    QVERIFY2(restored.status == 200, restored.body.constData());
    QFile current(folder + QStringLiteral("/slot1.z"));
    QVERIFY(current.open(QIODevice::ReadOnly));
    QCOMPARE(current.readAll(), QByteArray("older"));
    // The window's log line.
    QTRY_VERIFY_WITH_TIMEOUT(call("GET", QStringLiteral("/api/v1/log"), QByteArray(), token)
                                 .body.contains("Restored save " + QByteArray::number(id)),
        WAIT_MS);

    // The player's export: one tar with the account and both files, never the password; the
    // file it was made in is gone once sent.
    const Answer exported
        = call("GET", QStringLiteral("/api/v1/users/%1/export").arg(id), QByteArray(), token);
    QCOMPARE(exported.status, 200);
    QCOMPARE(exported.headers.value("content-type"), QByteArray("application/x-tar"));
    QVERIFY(exported.headers.value("content-disposition").contains("attachment"));
    QVERIFY(exported.body.contains("account.json"));
    QVERIFY(exported.body.contains("\"dora\""));
    QVERIFY(exported.body.contains("current") && exported.body.contains("older"));
    QVERIFY(!exported.body.contains("s3cret-one"));
    QVERIFY(QDir::temp().entryList({ QStringLiteral("tolvern-export-*") }).isEmpty());
}

void tst_HttpApi::purgeDryRunThenReal()
{
    QCOMPARE(
        call("POST", QStringLiteral("/api/v1/users"), R"({"name":"idle","password":"p"})", token)
            .status,
        201);
    // Who logged in just now is active: neither listed nor taken.
    QCOMPARE(
        call("POST", QStringLiteral("/api/v1/users"), R"({"name":"busy","password":"p"})", token)
            .status,
        201);
    {
        CBlockingSocket control(server->mainPort(), 30);
        QVERIFY(control.send(testwire::packet(9, testwire::str("busy") + testwire::str("p"))));
        const QByteArray reply = control.reply();
        QVERIFY(!reply.isEmpty());
        QCOMPARE(int(reply[0]), 0);
    }
    const Answer dry = call(
        "POST", QStringLiteral("/api/v1/users/purge"), R"({"inactive":"3m","dryRun":true})", token);
    QCOMPARE(dry.status, 200);
    QCOMPARE(dry.json().value(QStringLiteral("deleted")).toInt(), 0);
    const int inactive = int(dry.json().value(QStringLiteral("users")).toArray().size());
    QVERIFY(dry.body.contains("\"idle\""));
    QVERIFY2(!dry.body.contains("\"busy\""), dry.body.constData());
    QVERIFY(call("GET", QStringLiteral("/api/v1/users?filter=idle"), QByteArray(), token)
                .body.contains("\"total\":1"));
    const Answer real = call("POST", QStringLiteral("/api/v1/users/purge"),
        R"({"inactive":"3m","dataOnly":false})", token);
    QVERIFY2(real.status == 200, real.body.constData());
    QCOMPARE(real.json().value(QStringLiteral("deleted")).toInt(), inactive);
    QVERIFY(real.body.contains("\"idle\""));
    QVERIFY(call("GET", QStringLiteral("/api/v1/users?filter=idle"), QByteArray(), token)
                .body.contains("\"total\":0"));
    QVERIFY(!real.body.contains("\"busy\""));
    QVERIFY(call("GET", QStringLiteral("/api/v1/users?filter=busy"), QByteArray(), token)
                .body.contains("\"total\":1"));
}

void tst_HttpApi::logStream()
{
    QNetworkRequest request(
        QUrl(QStringLiteral("http://127.0.0.1:%1/api/v1/log/stream").arg(httpPort)));
    request.setRawHeader("Authorization", "Bearer " + token);
    request.setRawHeader("Last-Event-ID", "0");
    std::unique_ptr<QNetworkReply> reply(network.get(request));
    QByteArray seen;
    connect(reply.get(), &QNetworkReply::readyRead, this, [&] { seen += reply->readAll(); });
    // The lines so far, then a new one as it is logged.
    QTRY_VERIFY_WITH_TIMEOUT(seen.contains("id: 1\ndata: {"), WAIT_MS);
    QCOMPARE(reply->header(QNetworkRequest::ContentTypeHeader).toString(),
        QStringLiteral("text/event-stream"));
    // A name with characters JSON escapes, in the line its adding leaves.
    const Answer added = call("POST", QStringLiteral("/api/v1/users"),
        R"({"name":"e\"v\\e\u00e9","password":"p"})", token);
    QCOMPARE(added.status, 201);
    QCOMPARE(call("DELETE",
                 QStringLiteral("/api/v1/users/%1")
                     .arg(added.json().value(QStringLiteral("id")).toInt()),
                 QByteArray(), token)
                 .status,
        204);
    QTRY_VERIFY_WITH_TIMEOUT(
        seen.contains(QStringLiteral("Deleted user %1 and the game data")
                          .arg(added.json().value(QStringLiteral("id")).toInt())
                          .toUtf8()),
        WAIT_MS);
    reply->abort();
    // Every event's data is the line as JSON, numbered as its id.
    int events = 0;
    bool named = false;
    for (const QByteArray &event : seen.split('\n')) {
        if (!event.startsWith("data: "))
            continue;
        QJsonParseError error;
        const QJsonObject line = QJsonDocument::fromJson(event.mid(6), &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, event.constData());
        QVERIFY2(line.value(QStringLiteral("seq")).toInteger() > 0
                && QDateTime::fromString(line.value(QStringLiteral("time")).toString(), Qt::ISODate)
                       .isValid(),
            event.constData());
        named = named
            || line.value(QStringLiteral("text"))
                   .toString()
                   .contains(QStringLiteral("(e\"v\\e\u00e9)"));
        ++events;
    }
    QVERIFY(events > 1);
    QVERIFY2(named, seen.constData());
}

void tst_HttpApi::logEventsMatchRing()
{
    // Readers of one formatting of the log, each at its own pace and with its own buffer
    // size, against the ring itself: every line each reader gets is the ring's, as JSON, in
    // order, none missed unless it fell out of the ring first.
    QRandomGenerator random(1313);
    // Few kept, so that readers fall behind what is kept and lines fall out of the ring.
    CLogRing ring(64);
    CLogEvents events(&ring, 16);
    struct Reader
    {
        qint64 after = 0;
        qint64 oldestMissed = 0; // lines before this may have fallen out unread
    };
    std::vector<Reader> readers(4);
    const QStringList pieces = { QStringLiteral("[LOGIN] name=user"), QStringLiteral("\"q\""),
        QStringLiteral("back\\slash"), QStringLiteral("\u00e9t\u00e9"), QStringLiteral("\t"),
        QStringLiteral("\x01"), QString(300, QLatin1Char('x')) };
    QHash<qint64, QString> texts;
    for (int round = 0; round < 2000; ++round) {
        for (int n = int(random.bounded(4)); n > 0; --n) {
            const QString text = pieces.at(int(random.bounded(pieces.size())))
                + QString::number(ring.lastSeq() + 1);
            ring.append(text);
            texts.insert(ring.lastSeq(), text);
        }
        Reader &reader = readers[size_t(random.bounded(int(readers.size())))];
        const qint64 oldest = qMax<qint64>(1, ring.lastSeq() - 63);
        QByteArray got;
        qint64 last = reader.after;
        QByteArray buffer(int(random.bounded(40, 2000)), '\0');
        const qsizetype copied = events.copy(reader.after, buffer.data(), buffer.size(), &last);
        if (copied > 0)
            got = buffer.left(copied);
        else if (copied < 0)
            got = events.after(reader.after, &last);
        QVERIFY(copied <= buffer.size());
        qint64 seen = reader.after;
        for (const QByteArray &event : got.split('\n')) {
            if (!event.startsWith("data: "))
                continue;
            const QJsonObject line = QJsonDocument::fromJson(event.mid(6)).object();
            const qint64 seq = line.value(QStringLiteral("seq")).toInteger();
            QVERIFY2(seq > seen && (seq == seen + 1 || seen + 1 < oldest), event.constData());
            QCOMPARE(line.value(QStringLiteral("text")).toString(), texts.value(seq));
            QVERIFY(line.value(QStringLiteral("time")).toString().endsWith(QLatin1Char('Z')));
            seen = seq;
        }
        QCOMPARE(seen, got.isEmpty() ? reader.after : last);
        QVERIFY(got.isEmpty() || got.endsWith("\n\n"));
        reader.after = seen;
    }
}

void tst_HttpApi::prometheusScrapes()
{
    // The process figures by the names every client library gives them.
    const QByteArray metrics = get(httpPort, QStringLiteral("/metrics"));
    for (const char *series : { "\nprocess_resident_memory_bytes ", "\nprocess_open_fds ",
             "\nprocess_cpu_seconds_total ", "\nprocess_start_time_seconds ", "\nprocess_max_fds ",
             "\nprocess_virtual_memory_bytes " })
        QVERIFY2(metrics.contains(series), series);
    QVERIFY(!metrics.contains("tolvern_process_"));
    const qsizetype start = metrics.indexOf("\nprocess_start_time_seconds ") + 28;
    const double started = metrics.mid(start, metrics.indexOf('\n', start) - start).toDouble();
    QVERIFY2(qAbs(started - QDateTime::currentSecsSinceEpoch()) < 3600, metrics.constData());

    const QString prometheus = QStandardPaths::findExecutable(QStringLiteral("prometheus"));
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (prometheus.isEmpty() || promtool.isEmpty())
        QSKIP("Debian's prometheus package is not installed (no prometheus or promtool)");

    QProcess check;
    check.start(promtool, { QStringLiteral("check"), QStringLiteral("metrics") });
    QVERIFY(check.waitForStarted(WAIT_MS));
    check.write(metrics);
    check.closeWriteChannel();
    QVERIFY(check.waitForFinished(WAIT_MS));
    QVERIFY2(check.exitCode() == 0, check.readAll().constData());

    QTemporaryDir dir;
    CPortReservation webReservation;
    QFile config(dir.filePath(QStringLiteral("prometheus.yml")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(
        QStringLiteral("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: tolvern\n"
                       "    static_configs:\n      - targets: ['127.0.0.1:%1']\n")
            .arg(httpPort)
            .toUtf8());
    config.close();
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(prometheus,
        { QStringLiteral("--config.file=") + config.fileName(),
            QStringLiteral("--storage.tsdb.path=") + dir.filePath(QStringLiteral("data")),
            QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(webReservation.port()) });
    QVERIFY(process.waitForStarted(WAIT_MS));
    auto stop = qScopeGuard([&] {
        process.terminate();
        if (!process.waitForFinished(WAIT_MS))
            process.kill();
    });
    const quint16 web = webReservation.port();
    QTRY_VERIFY2_WITH_TIMEOUT(
        get(web, QStringLiteral("/api/v1/targets")).contains("\"health\":\"up\""),
        process.readAll().constData(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(get(web, QStringLiteral("/api/v1/query?query=tolvern_commands_total"))
                                 .contains("\"command\":\"login\""),
        30000);
}

void tst_HttpApi::tokenCommandAndReload()
{
    QProcess command;
    command.start(QStringLiteral(TOLVERN_SERVER_PATH),
        { QStringLiteral("admin"), QStringLiteral("token"), QStringLiteral("--config"),
            server->iniPath() });
    QVERIFY(command.waitForFinished(WAIT_MS));
    QCOMPARE(command.exitCode(), 0);
    const QByteArray fresh = command.readAllStandardOutput().trimmed();
    QVERIFY(QByteArray::fromBase64(fresh, QByteArray::Base64UrlEncoding).size() >= 32);
    QFile ini(server->iniPath());
    QVERIFY(ini.open(QIODevice::ReadOnly));
    const QByteArray text = ini.readAll();
    QVERIFY(text.contains("TokenHash=" + CAdminToken::hash(fresh).toLatin1()));
    QVERIFY(!text.contains(fresh));
    // Taken at SIGHUP; until then the old token holds.
    QCOMPARE(call("GET", QStringLiteral("/api/v1/status"), QByteArray(), token).status, 200);
    ::kill(pid_t(server->processId()), SIGHUP);
    QTRY_COMPARE_WITH_TIMEOUT(
        call("GET", QStringLiteral("/api/v1/status"), QByteArray(), fresh).status, 200, WAIT_MS);
    QCOMPARE(call("GET", QStringLiteral("/api/v1/status"), QByteArray(), token).status, 401);
    token = fresh;
}

void tst_HttpApi::lockAfterTenBadTokens()
{
    // Bad tokens of the earlier cases count too: at most ten in all before the lock.
    int attempts = 0;
    Answer answer;
    while ((answer = call("GET", QStringLiteral("/api/v1/status"), QByteArray(), "guess")).status
            == 401
        && attempts < CHttpApi::LOCK_FAILURES)
        ++attempts;
    QCOMPARE(answer.status, 429);
    QVERIFY(answer.headers.value("retry-after").toInt() > 0);
    // The lock slows guesses only: the right token always goes.
    QCOMPARE(call("GET", QStringLiteral("/api/v1/status"), QByteArray(), token).status, 200);
    QCOMPARE(call("GET", QStringLiteral("/api/v1/status"), QByteArray(), "guess").status, 429);
    // What needs no token stays open.
    QCOMPARE(call("GET", QStringLiteral("/healthz")).status, 200);
}

void tst_HttpApi::lockCountsTenWithinAMinute()
{
    // The count exactly, on the API alone with a clock of the test's.
    CStubBackend backend;
    CHttpApi api(&backend);
    api.setTokenHash(CAdminToken::hash("right"));
    qint64 now = 1000;
    api.setClock([&now] { return now; });
    const auto status = [&api](const QByteArray &bearer, const char *address) {
        CHttpApi::Request request;
        request.method = "GET";
        request.path = "/api/v1/status";
        request.authorization = "Bearer " + bearer;
        request.peer = QHostAddress(QLatin1String(address));
        int answered = 0;
        api.handle(request,
            [&answered](const CHttpApi::Response &response) { answered = response.status; });
        return answered;
    };
    for (int i = 0; i < CHttpApi::LOCK_FAILURES - 1; ++i)
        QCOMPARE(status("wrong", "10.0.0.1"), 401);
    // Guesses older than a minute no longer count.
    now += CHttpApi::LOCK_MS;
    QCOMPARE(status("wrong", "10.0.0.1"), 401);
    QCOMPARE(status("right", "10.0.0.1"), 200);
    for (int i = 0; i < CHttpApi::LOCK_FAILURES - 1; ++i)
        QCOMPARE(status("wrong", "10.0.0.1"), 401);
    QCOMPARE(status("wrong", "10.0.0.1"), 429);
    QCOMPARE(status("", "10.0.0.1"), 429);
    // The right token is never locked out.
    QCOMPARE(status("right", "10.0.0.1"), 200);
    // One address only; and the lock ends after a minute.
    QCOMPARE(status("wrong", "10.0.0.2"), 401);
    now += CHttpApi::LOCK_MS - 1;
    QCOMPARE(status("wrong", "10.0.0.1"), 429);
    now += 1;
    QCOMPARE(status("wrong", "10.0.0.1"), 401);
}

void tst_HttpApi::tokenComparedWhole_data()
{
    QTest::addColumn<int>("byte"); // of the 32 of the stored hash that differs; -1: none
    QTest::addColumn<int>("status");
    QTest::newRow("same") << -1 << 200;
    for (const int byte : { 0, 15, 23, 24, 30, 31 })
        QTest::addRow("byte %d differs", byte) << byte << 401;
}

// Every byte of the token's hash counts.
void tst_HttpApi::tokenComparedWhole()
{
    QFETCH(int, byte);
    QFETCH(int, status);
    CStubBackend backend;
    CHttpApi api(&backend);
    QByteArray hash = QByteArray::fromHex(CAdminToken::hash("right").toLatin1());
    QCOMPARE(hash.size(), 32);
    if (byte >= 0)
        hash[byte] = char(hash[byte] ^ 0x01);
    api.setTokenHash(QString::fromLatin1(hash.toHex()));
    QCOMPARE(statusOf(api, "GET", "/api/v1/status", "right"), status);
}

void tst_HttpApi::saveStepsLeadNowhereElse_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("status");
    const QByteArray base = "/api/v1/users/7/saves/";
    QTest::newRow("plain") << QByteArray("GET") << base + "slot1/history" << 200;
    QTest::newRow("deeper") << QByteArray("GET") << base + "a%2Fslot1/history" << 200;
    QTest::newRow("parent step") << QByteArray("GET") << base + "..%2F8%2Fslot1/history" << 404;
    QTest::newRow("parent step inside")
        << QByteArray("POST") << base + "a%2F..%2F..%2F8%2Fslot1/restore" << 404;
    QTest::newRow("parent step alone") << QByteArray("GET") << base + "%2E%2E/history" << 404;
    QTest::newRow("dot step") << QByteArray("GET") << base + ".%2Fslot1/history" << 404;
    QTest::newRow("empty step") << QByteArray("GET") << base + "a%2F%2Fb/history" << 404;
    QTest::newRow("backslash") << QByteArray("GET") << base + "..%5Cslot1/history" << 404;
}

// A save step that would lead out of the user's folder is no route at all: not found, and
// the store (which would refuse it and log the failure) is never asked.
void tst_HttpApi::saveStepsLeadNowhereElse()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(int, status);
    CStubBackend backend;
    CHttpApi api(&backend);
    api.setTokenHash(CAdminToken::hash("right"));
    QCOMPARE(statusOf(api, method, path, "right", R"({"version":"v"})"), status);
    QCOMPARE(backend.saveCalls, status == 200 ? 1 : 0);
}

void tst_HttpApi::routes_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("allow"); // the Allow header of a 405
    const QByteArray user = "/api/v1/users/7";
    QTest::newRow("status") << QByteArray("GET") << QByteArray("/api/v1/status") << 200
                            << QByteArray();
    QTest::newRow("log stream") << QByteArray("GET") << QByteArray("/api/v1/log/stream") << 200
                                << QByteArray();
    QTest::newRow("saves") << QByteArray("GET") << user + "/saves" << 200 << QByteArray();
    QTest::newRow("healthz") << QByteArray("GET") << QByteArray("/healthz") << 200 << QByteArray();
    // A path known to other methods only.
    QTest::newRow("status by DELETE")
        << QByteArray("DELETE") << QByteArray("/api/v1/status") << 405 << QByteArray("GET");
    QTest::newRow("users by PATCH")
        << QByteArray("PATCH") << QByteArray("/api/v1/users") << 405 << QByteArray("GET, POST");
    QTest::newRow("purge by GET") << QByteArray("GET") << QByteArray("/api/v1/users/purge") << 405
                                  << QByteArray("POST");
    QTest::newRow("user by GET") << QByteArray("GET") << user << 405 << QByteArray("DELETE");
    QTest::newRow("password by GET")
        << QByteArray("GET") << user + "/password" << 405 << QByteArray("PUT");
    QTest::newRow("export by POST")
        << QByteArray("POST") << user + "/export" << 405 << QByteArray("GET");
    QTest::newRow("saves by PUT") << QByteArray("PUT") << user + "/saves" << 405
                                  << QByteArray("GET");
    QTest::newRow("history by POST")
        << QByteArray("POST") << user + "/saves/a/history" << 405 << QByteArray("GET");
    QTest::newRow("restore by GET")
        << QByteArray("GET") << user + "/saves/a/restore" << 405 << QByteArray("POST");
    QTest::newRow("log step by DELETE")
        << QByteArray("DELETE") << QByteArray("/api/v1/log/other") << 405 << QByteArray("GET");
    QTest::newRow("unknown method") << QByteArray("BREW") << user << 405 << QByteArray("DELETE");
    QTest::newRow("console side by POST")
        << QByteArray("POST") << QByteArray("/nothing") << 405 << QByteArray("GET");
    // No route at all.
    QTest::newRow("log step") << QByteArray("GET") << QByteArray("/api/v1/log/other") << 404
                              << QByteArray();
    QTest::newRow("api alone") << QByteArray("GET") << QByteArray("/api") << 404 << QByteArray();
    QTest::newRow("v1 alone") << QByteArray("GET") << QByteArray("/api/v1") << 404 << QByteArray();
    QTest::newRow("v2") << QByteArray("GET") << QByteArray("/api/v2/status") << 404 << QByteArray();
    QTest::newRow("trailing slash")
        << QByteArray("GET") << QByteArray("/api/v1/status/") << 404 << QByteArray();
    QTest::newRow("id not a number")
        << QByteArray("DELETE") << QByteArray("/api/v1/users/abc") << 404 << QByteArray();
    QTest::newRow("below purge") << QByteArray("POST") << QByteArray("/api/v1/users/purge/x") << 404
                                 << QByteArray();
    QTest::newRow("unknown below a user")
        << QByteArray("GET") << user + "/other" << 404 << QByteArray();
    QTest::newRow("below password")
        << QByteArray("PUT") << user + "/password/x" << 404 << QByteArray();
    QTest::newRow("save without action")
        << QByteArray("GET") << user + "/saves/a" << 404 << QByteArray();
    QTest::newRow("unknown save action")
        << QByteArray("GET") << user + "/saves/a/other" << 404 << QByteArray();
    QTest::newRow("unknown by a strange method")
        << QByteArray("BREW") << QByteArray("/api/v1/nothing") << 404 << QByteArray();
    QTest::newRow("console side") << QByteArray("GET") << QByteArray("/nothing") << 404
                                  << QByteArray();
}

// The route table: a path that only other methods know is refused with them, anything else
// is not found, before the backend is asked.
void tst_HttpApi::routes()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(int, status);
    QFETCH(QByteArray, allow);
    CStubBackend backend;
    CHttpApi api(&backend);
    api.setTokenHash(CAdminToken::hash("right"));
    const CHttpApi::Response answer = answerOf(api, method, path);
    QCOMPARE(answer.status, status);
    QByteArray allowed;
    for (const auto &header : answer.headers) {
        if (header.first == "Allow")
            allowed = header.second;
    }
    QCOMPARE(allowed, allow);
}

QTEST_GUILESS_MAIN(tst_HttpApi)
#include "tst_httpapi.moc"
