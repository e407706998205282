// The operators' HTTP API without a socket: routing, the bearer token and its lock, the body
// limit and the checks of every parameter and JSON body. Input: a request line ("POST
// /api/v1/users?x=1"), a token line, a peer byte, then the body. Every request is answered
// exactly once, with a status the API uses, and only a right token reaches the backend.

#include <cstdint>
#include <cstdio>

#include <QByteArray>
#include <QCoreApplication>
#include <QHostAddress>

#include "cadminbackend.h"
#include "cadmintoken.h"
#include "chttpapi.h"

namespace {

void check(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "fuzz_httpapi: %s\n", what);
        __builtin_trap();
    }
}

const QByteArray RIGHT = QByteArrayLiteral("right-token");

// Answers at once; counts what reached it.
class CFuzzBackend : public CAdminBackend
{
public:
    int reached = 0;
    bool healthy() override { return true; }
    void ready(Reply reply) override { answer(reply); }
    void metrics(Reply reply) override { answer(reply); }
    void status(Reply reply) override { api(reply); }
    void listUsers(const CHttpApi::UserQuery &query, Reply reply) override
    {
        check(query.limit >= 1 && query.limit <= CHttpApi::MAX_PAGE && query.offset >= 0,
            "page out of bounds");
        api(reply);
    }
    void addUser(const QString &name, const QString &password, Reply reply) override
    {
        check(!name.isEmpty() && !password.isEmpty() && name == name.trimmed(), "bad name");
        check(name.size() <= CHttpApi::MAX_TEXT_LENGTH, "long name");
        api(reply);
    }
    void setPassword(int id, const QString &password, Reply reply) override
    {
        check(id > 0 && !password.isEmpty(), "bad password change");
        api(reply);
    }
    void deleteUser(int id, Reply reply) override
    {
        check(id > 0, "bad id");
        api(reply);
    }
    void purge(int months, bool, bool, Reply reply) override
    {
        check(months == 3 || months == 6, "bad range");
        api(reply);
    }
    void saves(int id, Reply reply) override
    {
        check(id > 0, "bad id");
        api(reply);
    }
    void history(int id, const QString &save, Reply reply) override
    {
        checkSave(id, save);
        api(reply);
    }
    void restore(int id, const QString &save, const QString &version, Reply reply) override
    {
        checkSave(id, save);
        check(!version.isEmpty(), "empty version");
        api(reply);
    }
    void exportUser(int id, Reply reply) override
    {
        check(id > 0, "bad id");
        api(reply);
    }
    void log(qint64 after, Reply reply) override
    {
        check(after >= 0, "negative after");
        api(reply);
    }
    qint64 lastLogSeq() override { return 0; }

private:
    static void checkSave(int id, const QString &save)
    {
        check(id > 0 && !save.isEmpty(), "bad save");
        for (const QString &step : save.split(QLatin1Char('/')))
            check(step != QLatin1String("..") && !step.isEmpty(), "save leaves its folder");
    }
    void answer(const Reply &reply) { reply(Response()); }
    void api(const Reply &reply)
    {
        ++reached;
        reply(Response());
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_httpapi";
    static char *argv[] = { name, nullptr };
    static QCoreApplication *app = new QCoreApplication(argc, argv);
    Q_UNUSED(app);

    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<QByteArray> lines = input.split('\n');
    CHttpApi::Request request;
    const QByteArray first = lines.value(0);
    const qsizetype space = first.indexOf(' ');
    request.method = space < 0 ? first : first.left(space);
    QByteArray target = space < 0 ? QByteArray("/") : first.mid(space + 1);
    const qsizetype question = target.indexOf('?');
    request.path = question < 0 ? target : target.left(question);
    request.query = question < 0 ? QByteArray() : target.mid(question + 1);
    request.authorization = lines.value(1);
    request.lastEventId = lines.value(2);
    request.peer = QHostAddress(quint32(0x0a000000u | quint8(lines.value(3).size())));
    request.body = lines.mid(4).join('\n');
    request.bodyTooLarge = request.body.size() > CHttpApi::MAX_BODY_BYTES;

    CFuzzBackend backend;
    CHttpApi api(&backend);
    api.setTokenHash(CAdminToken::hash(RIGHT));
    int answers = 0;
    int status = 0;
    api.handle(request, [&](const CHttpApi::Response &response) {
        ++answers;
        status = response.status;
    });
    check(answers == 1, "not answered exactly once");
    check(status == 200 || status == 400 || status == 401 || status == 404 || status == 405
            || status == 413 || status == 429,
        "unexpected status");
    // Blanks around the token are no part of it.
    const bool rightToken = request.authorization.startsWith("Bearer ")
        && request.authorization.mid(7).trimmed() == RIGHT;
    check(backend.reached == 0 || rightToken, "the backend reached without the token");
    check(!request.path.startsWith("/api/") || rightToken || status == 401 || status == 429
            || status == 400,
        "an API answer without the token");
    return 0;
}
