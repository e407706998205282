#ifndef CUSERDBBATCH_H
#define CUSERDBBATCH_H

#include <QString>
#include <QStringList>
#include <QVector>

#include "cuserdb.h"

class CUserDbConnection;
class QSqlQuery;

// The steps of one batch of changes on one connection: one transaction, each add-user in a
// savepoint of its own so that it fails alone, one commit. Knows the statements of the
// changes; CUserDb runs it again after a lost connection or a conflict, and tells of the
// outcomes.
class CAbstractSaveStore;

class CUserDbBatch
{
public:
    using Request = CUserDb::Request;

    // Logins that one statement checks and stamps at most.
    static constexpr int MAX_LOGINS_PER_STATEMENT = 64;

    // store: where a new user's saves must be free (null: no storage set up).
    CUserDbBatch(CUserDbConnection &conn, QVector<Request> &requests, CAbstractSaveStore *store);

    // One attempt. False when the transaction was lost (then every request carries its
    // failure result), or, with busy given, when another connection holds SQLite's write lock
    // (*busy set, nothing run).
    bool run(bool *busy);

    // Why the transaction was lost; whether running it again may succeed.
    QString failure() const { return failureText; }
    bool lostToConflict() const { return conflict; }
    // Lines for the operator's log, also when the batch was lost: folders found in the way
    // of new users and moved aside.
    QStringList notes() const { return noteLines; }

    static CUserDb::Result failureResult(Request::Kind kind);
    static void failAll(QVector<Request> &requests);

private:
    enum class Step { Keep, Undo, Failed };

    bool lost();
    // False when the batch's transaction is lost. undoAlone: for a request alone in its
    // batch, the statement that begins the transaction again after the request was undone by
    // rolling the whole transaction back.
    bool runRequest(Request &request, const QString &undoAlone);
    Step failed(const QSqlQuery &query);
    Step addUserStep(Request &request);
    // A folder already at the new id's place goes aside, so the new user starts empty.
    bool clearWayFor(int objectId);
    Step changePasswordStep(Request &request);
    Step setPasswordStep(Request &request);
    Step loginStep(Request &request);
    Step checkedLoginStep(Request &request);
    // Checks and stamps count logins in a row; false when the database failed.
    bool loginsStep(Request *first, qsizetype count);

    CUserDbConnection &conn;
    QVector<Request> &requests;
    CAbstractSaveStore *storage = nullptr;
    QString now;
    QString failureText;
    bool conflict = false;
    QStringList noteLines;
};

#endif // CUSERDBBATCH_H
