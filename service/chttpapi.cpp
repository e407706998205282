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
const QByteArray POST = QByteArrayLiteral("POST");
const QByteArray PUT = QByteArrayLiteral("PUT");
const QByteArray DELETE = QByteArrayLiteral("DELETE");

// Failures kept per address at most; beyond it the oldest records of unlocked addresses go.
constexpr int MAX_TRACKED_ADDRESSES = 4096;

CHttpApi::Response notFound()
{
    return CHttpApi::error(404, QStringLiteral("not found"));
}

CHttpApi::Response methodNotAllowed(const char *allow)
{
    CHttpApi::Response response = CHttpApi::error(405, QStringLiteral("method not allowed"));
    response.headers.append({ QByteArrayLiteral("Allow"), QByteArray(allow) });
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
    const QString first = steps.value(0);
    if (first == QLatin1String("api")) {
        // Before anything else: a locked address learns nothing, not even of its body.
        const qint64 locked = authorize(request);
        if (locked > 0) {
            Response response = error(429, QStringLiteral("too many bad tokens; try again later"));
            response.headers.append(
                { QByteArrayLiteral("Retry-After"), QByteArray::number(locked) });
            reply(response);
            return;
        }
        if (locked < 0) {
            Response response = error(401, QStringLiteral("a valid bearer token is required"));
            response.headers.append(
                { QByteArrayLiteral("WWW-Authenticate"), QByteArrayLiteral("Bearer") });
            reply(response);
            return;
        }
        if (request.bodyTooLarge || request.body.size() > MAX_BODY_BYTES) {
            reply(error(413, QStringLiteral("the body is larger than 64 KiB")));
            return;
        }
        handleApi(request, steps, reply);
        return;
    }
    if (request.bodyTooLarge || request.body.size() > MAX_BODY_BYTES) {
        reply(error(413, QStringLiteral("the body is larger than 64 KiB")));
        return;
    }
    if (request.method != GET) {
        reply(methodNotAllowed("GET"));
        return;
    }
    if (steps.size() == 1 && first == QLatin1String("healthz")) {
        reply(backend->healthy()
                ? json(200, QJsonObject { { QStringLiteral("status"), QStringLiteral("ok") } })
                : json(
                    503, QJsonObject { { QStringLiteral("status"), QStringLiteral("stalled") } }));
        return;
    }
    if (steps.size() == 1 && first == QLatin1String("readyz")) {
        backend->ready(reply);
        return;
    }
    if (steps.size() == 1 && first == QLatin1String("metrics")) {
        backend->metrics(reply);
        return;
    }
    Response response;
    if (steps.size() == 1 && first.isEmpty()
        && staticFile(QStringLiteral("index.html"), response)) {
        reply(response);
        return;
    }
    if (steps.size() == 2 && first == QLatin1String("console")
        && staticFile(steps.at(1), response)) {
        reply(response);
        return;
    }
    reply(notFound());
}

bool CHttpApi::staticFile(const QString &name, Response &response)
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

void CHttpApi::handleApi(const Request &request, const QList<QString> &steps, const Reply &reply)
{
    if (steps.size() < 3 || steps.at(1) != QLatin1String("v1")) {
        reply(notFound());
        return;
    }
    const QString &area = steps.at(2);
    if (area == QLatin1String("status") && steps.size() == 3) {
        if (request.method != GET)
            reply(methodNotAllowed("GET"));
        else
            backend->status(reply);
        return;
    }
    if (area == QLatin1String("log") && (steps.size() == 3 || steps.size() == 4)) {
        if (request.method != GET) {
            reply(methodNotAllowed("GET"));
            return;
        }
        const QHash<QString, QString> query = parseQuery(request.query);
        qint64 after = 0;
        if (steps.size() == 4) {
            if (steps.at(3) != QLatin1String("stream")) {
                reply(notFound());
                return;
            }
            // A reconnecting reader goes on where it stopped; a new one from now on.
            Response response;
            response.stream = true;
            response.contentType = "text/event-stream";
            if (!nonNegativeNumber(QString::fromLatin1(request.lastEventId), &after)
                && !nonNegativeNumber(query.value(QStringLiteral("after")), &after))
                after = backend->lastLogSeq();
            response.streamAfter = after;
            reply(response);
            return;
        }
        if (query.contains(QStringLiteral("after"))
            && !nonNegativeNumber(query.value(QStringLiteral("after")), &after)) {
            reply(error(400, QStringLiteral("after must be a number")));
            return;
        }
        backend->log(after, reply);
        return;
    }
    if (area == QLatin1String("users")) {
        handleUsers(request, steps, reply);
        return;
    }
    reply(notFound());
}

void CHttpApi::handleUsers(const Request &request, const QList<QString> &steps, const Reply &reply)
{
    const QByteArray &method = request.method;
    if (steps.size() == 3) {
        if (method == GET) {
            const QHash<QString, QString> query = parseQuery(request.query);
            UserQuery users;
            users.filter = query.value(QStringLiteral("filter")).trimmed();
            QString sort = query.value(QStringLiteral("sort"), QStringLiteral("id"));
            if (sort.startsWith(QLatin1Char('-'))) {
                users.descending = true;
                sort.remove(0, 1);
            }
            if (sort != QLatin1String("id") && sort != QLatin1String("name")
                && sort != QLatin1String("lastLogin")) {
                reply(error(400, QStringLiteral("sort must be id, name or lastLogin")));
                return;
            }
            users.sort = sort;
            qint64 offset = 0;
            qint64 limit = DEFAULT_PAGE;
            if ((query.contains(QStringLiteral("offset"))
                    && (!nonNegativeNumber(query.value(QStringLiteral("offset")), &offset)
                        || offset > 1000000000))
                || (query.contains(QStringLiteral("limit"))
                    && (!nonNegativeNumber(query.value(QStringLiteral("limit")), &limit)
                        || limit < 1 || limit > MAX_PAGE))) {
                reply(
                    error(400, QStringLiteral("offset must be a number, limit one of 1 to 1000")));
                return;
            }
            users.offset = int(offset);
            users.limit = int(limit);
            if (users.filter.size() > MAX_TEXT_LENGTH) {
                reply(error(400, QStringLiteral("the filter is too long")));
                return;
            }
            backend->listUsers(users, reply);
            return;
        }
        if (method == POST) {
            QJsonObject body;
            if (!bodyObject(request.body, &body) || !body.value(QStringLiteral("name")).isString()
                || !body.value(QStringLiteral("password")).isString()) {
                reply(
                    error(400, QStringLiteral("a JSON object with name and password is expected")));
                return;
            }
            // The add-user dialog's rules, in its order.
            const QString name = body.value(QStringLiteral("name")).toString().trimmed();
            const QString password = body.value(QStringLiteral("password")).toString().trimmed();
            if (name.isEmpty()) {
                reply(error(400, QStringLiteral("User name is empty")));
                return;
            }
            if (password.isEmpty()) {
                reply(error(400, QStringLiteral("Password is empty")));
                return;
            }
            if (name.size() > MAX_TEXT_LENGTH || password.size() > MAX_TEXT_LENGTH) {
                reply(error(400, QStringLiteral("Name and password take at most 255 characters")));
                return;
            }
            backend->addUser(name, password, reply);
            return;
        }
        reply(methodNotAllowed("GET, POST"));
        return;
    }
    if (steps.size() == 4 && steps.at(3) == QLatin1String("purge")) {
        if (method != POST) {
            reply(methodNotAllowed("POST"));
            return;
        }
        QJsonObject body;
        if (!bodyObject(request.body, &body)) {
            reply(error(400, QStringLiteral("a JSON object is expected")));
            return;
        }
        const QString range = body.value(QStringLiteral("inactive")).toString();
        // The settings dialog's two ranges.
        const int months = range == QLatin1String("3m") ? 3 : range == QLatin1String("6m") ? 6 : 0;
        const QJsonValue dataOnly = body.value(QStringLiteral("dataOnly"));
        const QJsonValue dryRun = body.value(QStringLiteral("dryRun"));
        if (!months || !(dataOnly.isBool() || dataOnly.isUndefined())
            || !(dryRun.isBool() || dryRun.isUndefined())) {
            reply(error(400,
                QStringLiteral("inactive must be 3m or 6m; dataOnly and dryRun true or false")));
            return;
        }
        backend->purge(months, dataOnly.toBool(), dryRun.toBool(), reply);
        return;
    }
    int id = 0;
    if (!positiveNumber(steps.at(3), &id)) {
        reply(notFound());
        return;
    }
    if (steps.size() == 4) {
        if (method == DELETE)
            backend->deleteUser(id, reply);
        else
            reply(methodNotAllowed("DELETE"));
        return;
    }
    const QString &what = steps.at(4);
    if (steps.size() == 5 && what == QLatin1String("password")) {
        if (method != PUT) {
            reply(methodNotAllowed("PUT"));
            return;
        }
        QJsonObject body;
        if (!bodyObject(request.body, &body)
            || !body.value(QStringLiteral("password")).isString()) {
            reply(error(400, QStringLiteral("a JSON object with password is expected")));
            return;
        }
        // As the user page: taken as typed.
        const QString password = body.value(QStringLiteral("password")).toString();
        if (password.isEmpty()) {
            reply(error(400, QStringLiteral("Password is empty")));
            return;
        }
        if (password.size() > MAX_TEXT_LENGTH) {
            reply(error(400, QStringLiteral("Name and password take at most 255 characters")));
            return;
        }
        backend->setPassword(id, password, reply);
        return;
    }
    if (steps.size() == 5 && what == QLatin1String("export")) {
        if (method == GET)
            backend->exportUser(id, reply);
        else
            reply(methodNotAllowed("GET"));
        return;
    }
    if (what != QLatin1String("saves")) {
        reply(notFound());
        return;
    }
    if (steps.size() == 5) {
        if (method == GET)
            backend->saves(id, reply);
        else
            reply(methodNotAllowed("GET"));
        return;
    }
    if (steps.size() != 7 || !validSaveStep(steps.at(5))) {
        reply(notFound());
        return;
    }
    const QString &save = steps.at(5);
    if (steps.at(6) == QLatin1String("history")) {
        if (method == GET)
            backend->history(id, save, reply);
        else
            reply(methodNotAllowed("GET"));
        return;
    }
    if (steps.at(6) == QLatin1String("restore")) {
        if (method != POST) {
            reply(methodNotAllowed("POST"));
            return;
        }
        QJsonObject body;
        if (!bodyObject(request.body, &body) || !body.value(QStringLiteral("version")).isString()
            || body.value(QStringLiteral("version")).toString().isEmpty()) {
            reply(error(400, QStringLiteral("a JSON object with version is expected")));
            return;
        }
        backend->restore(id, save, body.value(QStringLiteral("version")).toString(), reply);
        return;
    }
    reply(notFound());
}
