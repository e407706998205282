#ifndef CADMINBACKEND_H
#define CADMINBACKEND_H

#include <QString>

#include "chttpapi.h"

// What the HTTP API asks of the server, its requests already checked: every operation
// answers through reply, at once or later from any thread, exactly once. The server's own
// (CAdminService) does the work on a thread of its own; the fuzzer's answers at once.
class CAdminBackend
{
public:
    using Reply = CHttpApi::Reply;
    using Response = CHttpApi::Response;

    virtual ~CAdminBackend() = default;

    // Whether the core's event loop has turned lately.
    virtual bool healthy() = 0;
    virtual void ready(Reply reply) = 0;
    virtual void metrics(Reply reply) = 0;
    virtual void status(Reply reply) = 0;
    virtual void listUsers(const CHttpApi::UserQuery &query, Reply reply) = 0;
    // name and password trimmed and not empty.
    virtual void addUser(const QString &name, const QString &password, Reply reply) = 0;
    virtual void setPassword(int objectId, const QString &password, Reply reply) = 0;
    virtual void deleteUser(int objectId, Reply reply) = 0;
    virtual void purge(int months, bool dataOnly, bool dryRun, Reply reply) = 0;
    virtual void saves(int objectId, Reply reply) = 0;
    // save: relative to the user's folder, without ".z".
    virtual void history(int objectId, const QString &save, Reply reply) = 0;
    virtual void restore(int objectId, const QString &save, const QString &version, Reply reply)
        = 0;
    // A player's data in one tar, as "users export" writes it.
    virtual void exportUser(int objectId, Reply reply) = 0;
    virtual void log(qint64 after, Reply reply) = 0;
    // The number of the newest log line, where a stream without Last-Event-ID starts.
    virtual qint64 lastLogSeq() = 0;
};

#endif // CADMINBACKEND_H
