#ifndef CHTTPAPI_H
#define CHTTPAPI_H

#include <functional>

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QString>

class CAdminBackend;
class QJsonObject;

// The operators' HTTP API without any socket: a request in, a response out. Routing, the
// bearer token and the lock on bad ones, the body limit and the checks of every parameter
// and JSON body live here; the work itself is the backend's. The listener (CHttpAdmin)
// feeds it from the network, the fuzzer from bytes. Any thread may call handle().
class CHttpApi
{
public:
    static constexpr qint64 MAX_BODY_BYTES = 64 * 1024;
    static constexpr int LOCK_FAILURES = 10;
    static constexpr qint64 LOCK_MS = 60000;
    static constexpr int MAX_PAGE = 1000;
    static constexpr int DEFAULT_PAGE = 100;
    static constexpr int MAX_TEXT_LENGTH = 255;

    struct Request
    {
        QByteArray method;
        QByteArray path; // as sent, without the query, still percent-encoded
        QByteArray query; // after "?", still percent-encoded
        QByteArray authorization;
        QByteArray lastEventId;
        QByteArray body;
        bool bodyTooLarge = false; // the listener stopped taking it at MAX_BODY_BYTES
        QHostAddress peer;
    };

    struct Response
    {
        int status = 200;
        QByteArray contentType = "application/json";
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        // text/event-stream of the log from the line after streamAfter on; the listener
        // feeds it.
        bool stream = false;
        qint64 streamAfter = 0;
        // When set, the body is this file's content (a large download); the listener removes
        // the file once it has it open.
        QString file;
    };
    using Reply = std::function<void(Response)>;

    struct UserQuery
    {
        QString filter;
        QString sort = QStringLiteral("id"); // id, name or lastLogin
        bool descending = false;
        int offset = 0;
        int limit = DEFAULT_PAGE;
    };

    using Clock = std::function<qint64()>;

    explicit CHttpApi(CAdminBackend *backend);

    // The hex SHA-256 of the token (empty: every /api/ request is refused).
    void setTokenHash(const QString &hash);
    // Milliseconds, never going back; tests advance one by hand.
    void setClock(Clock clock);

    void handle(const Request &request, const Reply &reply);

    static Response json(int status, const QJsonObject &object);
    static Response error(int status, const QString &text);

private:
    struct Failures
    {
        QList<qint64> times; // within the last LOCK_MS, oldest first
        qint64 lockedUntil = 0;
    };

    // 0 when the request may go on, else the seconds the address stays locked (refused
    // with 429) or -1 for a missing or bad token (401).
    qint64 authorize(const Request &request);
    // authorize(), with the refusal answered: false when the request goes no further.
    bool authorized(const Request &request, const Reply &reply);

    CAdminBackend *backend = nullptr;
    QMutex mutex;
    QString tokenHash; // guarded by mutex
    QHash<QHostAddress, Failures> failures; // guarded by mutex
    Clock clock;
};

#endif // CHTTPAPI_H
