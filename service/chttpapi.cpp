#include "chttpapi.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>

#include "cadminbackend.h"
#include "cadmintoken.h"

namespace {

const QByteArray GET = QByteArrayLiteral("GET");

// Failures kept per address at most; beyond it the oldest records of unlocked addresses go.
constexpr int MAX_TRACKED_ADDRESSES = 4096;

CHttpApi::Response notFound()
{
    return CHttpApi::error(404, QStringLiteral("not found"));
}

CHttpApi::Response methodNotAllowed(const QByteArray &allow)
{
    CHttpApi::Response response = CHttpApi::error(405, QStringLiteral("method not allowed"));
    response.headers.append({ QByteArrayLiteral("Allow"), allow });
    return response;
}

// A positive decimal number of at most 9 digits, nothing else.
bool positiveNumber(const QString &text, int *value)
{
    if (text.isEmpty() || text.size() > 9)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    // Ids start at 1: "0" names nobody.
    *value = text.toInt();
    return *value > 0;
}

bool nonNegativeNumber(const QString &text, qint64 *value)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    *value = text.toLongLong();
    return true;
}

// Path steps, each percent-decoded on its own, so an encoded "/" stays inside its step.
bool splitPath(const QByteArray &path, QList<QString> *steps)
{
    if (!path.startsWith('/'))
        return false;
    const QList<QByteArray> raw = path.mid(1).split('/');
    for (const QByteArray &step : raw) {
        const QByteArray decoded = QByteArray::fromPercentEncoding(step);
        if (decoded.contains('\0'))
            return false;
        steps->append(QString::fromUtf8(decoded));
    }
    return true;
}

QHash<QString, QString> parseQuery(const QByteArray &query)
{
    QHash<QString, QString> out;
    for (const QByteArray &pair : query.split('&')) {
        if (pair.isEmpty())
            continue;
        const qsizetype eq = pair.indexOf('=');
        QByteArray key = eq < 0 ? pair : pair.left(eq);
        QByteArray value = eq < 0 ? QByteArray() : pair.mid(eq + 1);
        key.replace('+', ' ');
        value.replace('+', ' ');
        out.insert(QString::fromUtf8(QByteArray::fromPercentEncoding(key)),
            QString::fromUtf8(QByteArray::fromPercentEncoding(value)));
    }
    return out;
}

// The JSON object of a body, or false for anything else.
bool bodyObject(const QByteArray &body, QJsonObject *object)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    *object = document.object();
    return true;
}

// A save name inside a user's folder: no empty, "." or ".." steps, no backslash.
bool validSaveStep(const QString &save)
{
    if (save.isEmpty() || save.contains(QLatin1Char('\\')))
        return false;
    for (const QString &part : save.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

QByteArray contentTypeOf(const QString &file)
{
    static const QList<QPair<const char *, const char *>> types = {
        { ".html", "text/html; charset=utf-8" },
        { ".css", "text/css; charset=utf-8" },
        { ".js", "text/javascript; charset=utf-8" },
        { ".json", "application/json" },
        { ".svg", "image/svg+xml" },
        { ".png", "image/png" },
        { ".ico", "image/x-icon" },
    };
    for (const auto &type : types) {
        if (file.endsWith(QLatin1String(type.first)))
            return type.second;
    }
    return "application/octet-stream";
}

// One request on its way to its handler, with the steps its route's pattern named.
struct Call
{
    const CHttpApi::Request &request;
    const CHttpApi::Reply &reply;
    CAdminBackend *backend = nullptr;
    int id = 0; // {id}
    QString save; // {save}
    QString step; // {step}
};

struct Route
{
    const char *method;
    // The path's steps: literal, or {id} (a user's id), {save} (a save name that stays in
    // the user's folder) or {step} (any one step). A step that is no id or no such save name
    // matches nothing, so it is not found.
    const char *pattern;
    void (*handler)(Call &call);
};

bool matches(const char *pattern, const QList<QString> &steps, Call *call)
{
    const QList<QByteArray> parts = QByteArray(pattern).split('/');
    if (parts.size() != steps.size())
        return false;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QByteArray &part = parts.at(i);
        const QString &step = steps.at(i);
        if (part == "{id}") {
            if (!positiveNumber(step, &call->id))
                return false;
        } else if (part == "{save}") {
            if (!validSaveStep(step))
                return false;
            call->save = step;
        } else if (part == "{step}") {
            call->step = step;
        } else if (step != QLatin1String(part)) {
            return false;
        }
    }
    return true;
}

// Runs the route of the request's method and path; a path that only other methods have is
// refused with 405 and those methods, any other is not found.
template<size_t N>
void dispatch(const Route (&routes)[N], const QList<QString> &steps, const Call &call)
{
    QByteArray allow;
    for (const Route &route : routes) {
        Call matched = call;
        if (!matches(route.pattern, steps, &matched))
            continue;
        if (call.request.method == route.method) {
            route.handler(matched);
            return;
        }
        allow += (allow.isEmpty() ? "" : ", ") + QByteArray(route.method);
    }
    call.reply(allow.isEmpty() ? notFound() : methodNotAllowed(allow));
}

bool staticFile(const QString &name, CHttpApi::Response &response)
{
    // One plain file name: nothing above the console's own folder is reachable.
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')) || name.contains(QLatin1Char('/'))
        || name.contains(QLatin1Char('\\')))
        return false;
    QFile file(QStringLiteral(":/console/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    response.status = 200;
    response.contentType = contentTypeOf(name);
    response.body = file.readAll();
    return true;
}

void consoleFile(const Call &call, const QString &name)
{
    CHttpApi::Response response;
    call.reply(staticFile(name, response) ? response : notFound());
}

void healthz(Call &call)
{
    const bool healthy = call.backend->healthy();
    call.reply(CHttpApi::json(healthy ? 200 : 503,
        QJsonObject { { QStringLiteral("status"),
            healthy ? QStringLiteral("ok") : QStringLiteral("stalled") } }));
}

void readyz(Call &call)
{
    call.backend->ready(call.reply);
}

void metrics(Call &call)
{
    call.backend->metrics(call.reply);
}

void index(Call &call)
{
    consoleFile(call, QStringLiteral("index.html"));
}

void console(Call &call)
{
    consoleFile(call, call.step);
}

void status(Call &call)
{
    call.backend->status(call.reply);
}

void log(Call &call)
{
    const QHash<QString, QString> query = parseQuery(call.request.query);
    qint64 after = 0;
    if (query.contains(QStringLiteral("after"))
        && !nonNegativeNumber(query.value(QStringLiteral("after")), &after)) {
        call.reply(CHttpApi::error(400, QStringLiteral("after must be a number")));
        return;
    }
    call.backend->log(after, call.reply);
}

// Any other method on log/ is refused before the step is looked at.
void logStream(Call &call)
{
    if (call.step != QLatin1String("stream")) {
        call.reply(notFound());
        return;
    }
    // A reconnecting reader goes on where it stopped; a new one from now on.
    const QHash<QString, QString> query = parseQuery(call.request.query);
    CHttpApi::Response response;
    response.stream = true;
    response.contentType = "text/event-stream";
    qint64 after = 0;
    if (!nonNegativeNumber(QString::fromLatin1(call.request.lastEventId), &after)
        && !nonNegativeNumber(query.value(QStringLiteral("after")), &after))
        after = call.backend->lastLogSeq();
    response.streamAfter = after;
    call.reply(response);
}

// The user page's query; false with the refusal's text.
bool userQuery(const QByteArray &text, CHttpApi::UserQuery *users, QString *refusal)
{
    const QHash<QString, QString> query = parseQuery(text);
    users->filter = query.value(QStringLiteral("filter")).trimmed();
    QString sort = query.value(QStringLiteral("sort"), QStringLiteral("id"));
    if (sort.startsWith(QLatin1Char('-'))) {
        users->descending = true;
        sort.remove(0, 1);
    }
    if (sort != QLatin1String("id") && sort != QLatin1String("name")
        && sort != QLatin1String("lastLogin")) {
        *refusal = QStringLiteral("sort must be id, name or lastLogin");
        return false;
    }
    users->sort = sort;
    qint64 offset = 0;
    qint64 limit = CHttpApi::DEFAULT_PAGE;
    if ((query.contains(QStringLiteral("offset"))
            && (!nonNegativeNumber(query.value(QStringLiteral("offset")), &offset)
                || offset > 1000000000))
        || (query.contains(QStringLiteral("limit"))
            && (!nonNegativeNumber(query.value(QStringLiteral("limit")), &limit) || limit < 1
                || limit > CHttpApi::MAX_PAGE))) {
        *refusal = QStringLiteral("offset must be a number, limit one of 1 to 1000");
        return false;
    }
    users->offset = int(offset);
    users->limit = int(limit);
    if (users->filter.size() > CHttpApi::MAX_TEXT_LENGTH) {
        *refusal = QStringLiteral("the filter is too long");
        return false;
    }
    return true;
}

void listUsers(Call &call)
{
    CHttpApi::UserQuery users;
    QString refusal;
    if (!userQuery(call.request.query, &users, &refusal)) {
        call.reply(CHttpApi::error(400, refusal));
        return;
    }
    call.backend->listUsers(users, call.reply);
}

void addUser(Call &call)
{
    QJsonObject body;
    if (!bodyObject(call.request.body, &body) || !body.value(QStringLiteral("name")).isString()
        || !body.value(QStringLiteral("password")).isString()) {
        call.reply(CHttpApi::error(
            400, QStringLiteral("a JSON object with name and password is expected")));
        return;
    }
    // The add-user dialog's rules, in its order.
    const QString name = body.value(QStringLiteral("name")).toString().trimmed();
    const QString password = body.value(QStringLiteral("password")).toString().trimmed();
    QString refusal;
    if (name.isEmpty())
        refusal = QStringLiteral("User name is empty");
    else if (password.isEmpty())
        refusal = QStringLiteral("Password is empty");
    else if (name.size() > CHttpApi::MAX_TEXT_LENGTH || password.size() > CHttpApi::MAX_TEXT_LENGTH)
        refusal = QStringLiteral("Name and password take at most 255 characters");
    if (!refusal.isEmpty())
        call.reply(CHttpApi::error(400, refusal));
    else
        call.backend->addUser(name, password, call.reply);
}

void purge(Call &call)
{
    QJsonObject body;
    if (!bodyObject(call.request.body, &body)) {
        call.reply(CHttpApi::error(400, QStringLiteral("a JSON object is expected")));
        return;
    }
    const QString range = body.value(QStringLiteral("inactive")).toString();
    // The settings dialog's two ranges.
    const int months = range == QLatin1String("3m") ? 3 : range == QLatin1String("6m") ? 6 : 0;
    const QJsonValue dataOnly = body.value(QStringLiteral("dataOnly"));
    const QJsonValue dryRun = body.value(QStringLiteral("dryRun"));
    if (!months || !(dataOnly.isBool() || dataOnly.isUndefined())
        || !(dryRun.isBool() || dryRun.isUndefined())) {
        call.reply(CHttpApi::error(
            400, QStringLiteral("inactive must be 3m or 6m; dataOnly and dryRun true or false")));
        return;
    }
    call.backend->purge(months, dataOnly.toBool(), dryRun.toBool(), call.reply);
}

void deleteUser(Call &call)
{
    call.backend->deleteUser(call.id, call.reply);
}

void setPassword(Call &call)
{
    QJsonObject body;
    if (!bodyObject(call.request.body, &body)
        || !body.value(QStringLiteral("password")).isString()) {
        call.reply(CHttpApi::error(400, QStringLiteral("a JSON object with password is expected")));
        return;
    }
    // As the user page: taken as typed.
    const QString password = body.value(QStringLiteral("password")).toString();
    if (password.isEmpty())
        call.reply(CHttpApi::error(400, QStringLiteral("Password is empty")));
    else if (password.size() > CHttpApi::MAX_TEXT_LENGTH)
        call.reply(
            CHttpApi::error(400, QStringLiteral("Name and password take at most 255 characters")));
    else
        call.backend->setPassword(call.id, password, call.reply);
}

void exportUser(Call &call)
{
    call.backend->exportUser(call.id, call.reply);
}

void saves(Call &call)
{
    call.backend->saves(call.id, call.reply);
}

void history(Call &call)
{
    call.backend->history(call.id, call.save, call.reply);
}

void restore(Call &call)
{
    QJsonObject body;
    if (!bodyObject(call.request.body, &body) || !body.value(QStringLiteral("version")).isString()
        || body.value(QStringLiteral("version")).toString().isEmpty()) {
        call.reply(CHttpApi::error(400, QStringLiteral("a JSON object with version is expected")));
        return;
    }
    call.backend->restore(
        call.id, call.save, body.value(QStringLiteral("version")).toString(), call.reply);
}

// Only GET reaches these: the console's side is read-only.
const Route PUBLIC_ROUTES[] = {
    { "GET", "healthz", healthz },
    { "GET", "readyz", readyz },
    { "GET", "metrics", metrics },
    { "GET", "", index },
    { "GET", "console/{step}", console },
};

// Behind the token.
const Route API_ROUTES[] = {
    { "GET", "api/v1/status", status },
    { "GET", "api/v1/log", log },
    { "GET", "api/v1/log/{step}", logStream },
    { "GET", "api/v1/users", listUsers },
    { "POST", "api/v1/users", addUser },
    { "POST", "api/v1/users/purge", purge },
    { "DELETE", "api/v1/users/{id}", deleteUser },
    { "PUT", "api/v1/users/{id}/password", setPassword },
    { "GET", "api/v1/users/{id}/export", exportUser },
    { "GET", "api/v1/users/{id}/saves", saves },
    { "GET", "api/v1/users/{id}/saves/{save}/history", history },
    { "POST", "api/v1/users/{id}/saves/{save}/restore", restore },
};

} // namespace

CHttpApi::CHttpApi(CAdminBackend *adminBackend)
    : backend(adminBackend)
{
    auto monotonic = std::make_shared<QElapsedTimer>();
    monotonic->start();
    clock = [monotonic] { return monotonic->elapsed(); };
}

void CHttpApi::setTokenHash(const QString &hash)
{
    QMutexLocker locker(&mutex);
    tokenHash = hash;
}

void CHttpApi::setClock(Clock newClock)
{
    clock = std::move(newClock);
}

CHttpApi::Response CHttpApi::json(int status, const QJsonObject &object)
{
    Response response;
    response.status = status;
    response.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return response;
}

CHttpApi::Response CHttpApi::error(int status, const QString &text)
{
    return json(status, QJsonObject { { QStringLiteral("error"), text } });
}

qint64 CHttpApi::authorize(const Request &request)
{
    static const QByteArray bearer = QByteArrayLiteral("Bearer ");
    const qint64 now = clock();
    QMutexLocker locker(&mutex);
    // The right token always goes: a 256-bit token cannot be guessed, so the lock only
    // slows wrong ones (and keeps them from the log), never the operator.
    const QByteArray token = request.authorization.startsWith(bearer)
        ? request.authorization.mid(bearer.size()).trimmed()
        : QByteArray();
    if (!token.isEmpty() && CAdminToken::matches(token, tokenHash))
        return 0;
    auto found = failures.find(request.peer);
    if (found != failures.end() && found->lockedUntil > now)
        return (found->lockedUntil - now + 999) / 1000;
    if (!request.authorization.startsWith(bearer))
        return -1;
    // A wrong token is a guess: ten within a minute lock the address for a minute.
    if (found == failures.end()) {
        if (failures.size() >= MAX_TRACKED_ADDRESSES) {
            for (auto it = failures.begin(); it != failures.end();) {
                const bool stale = it->lockedUntil <= now
                    && (it->times.isEmpty() || it->times.last() <= now - LOCK_MS);
                it = stale ? failures.erase(it) : std::next(it);
            }
        }
        found = failures.insert(request.peer, Failures {});
    }
    Failures &record = *found;
    while (!record.times.isEmpty() && record.times.first() <= now - LOCK_MS)
        record.times.removeFirst();
    record.times.append(now);
    if (record.times.size() >= LOCK_FAILURES) {
        record.times.clear();
        record.lockedUntil = now + LOCK_MS;
    }
    return -1;
}

void CHttpApi::handle(const Request &request, const Reply &reply)
{
    QList<QString> steps;
    if (!splitPath(request.path, &steps)) {
        reply(error(400, QStringLiteral("bad path")));
        return;
    }
    const bool api = steps.value(0) == QLatin1String("api");
    // Before anything else: a locked address learns nothing, not even of its body.
    if (api && !authorized(request, reply))
        return;
    if (request.bodyTooLarge || request.body.size() > MAX_BODY_BYTES) {
        reply(error(413, QStringLiteral("the body is larger than 64 KiB")));
        return;
    }
    const Call call { request, reply, backend, 0, QString(), QString() };
    if (api) {
        dispatch(API_ROUTES, steps, call);
    } else if (request.method != GET) {
        // Whatever the path: the console's side is read-only.
        reply(methodNotAllowed("GET"));
    } else {
        dispatch(PUBLIC_ROUTES, steps, call);
    }
}

bool CHttpApi::authorized(const Request &request, const Reply &reply)
{
    const qint64 locked = authorize(request);
    if (locked > 0) {
        Response response = error(429, QStringLiteral("too many bad tokens; try again later"));
        response.headers.append({ QByteArrayLiteral("Retry-After"), QByteArray::number(locked) });
        reply(response);
        return false;
    }
    if (locked < 0) {
        Response response = error(401, QStringLiteral("a valid bearer token is required"));
        response.headers.append(
            { QByteArrayLiteral("WWW-Authenticate"), QByteArrayLiteral("Bearer") });
        reply(response);
        return false;
    }
    return true;
}
