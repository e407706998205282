#include "ctolvernserverconn.h"

#include <QHostAddress>
#include <QPointer>
#include <QString>

#include "chashgate.h"
#include "cloginguard.h"
#include "cuserdbcommitter.h"
#include "printabletext.h"

using namespace libsock;

namespace {
// The largest reply: result byte and object id.
constexpr qint64 REPLY_SIZE = PACKET_HEADER_SIZE + 5;

// The user store's outcome as the reply's result byte.
quint8 wireResult(CUserDb::Result result)
{
    switch (result) {
    case CUserDb::Ok:
        return RESULT_OK;
    case CUserDb::NameTaken:
        return RESULT_USER_EXISTS;
    case CUserDb::WrongPassword:
        return RESULT_WRONG_PASSWORD;
    case CUserDb::LoginRefused:
        return RESULT_LOGIN_FAILED;
    case CUserDb::Failed:
        break;
    }
    return RESULT_FAILED;
}
} // namespace

CTolvernServerConn::CTolvernServerConn(
    CUserDbCommitter *userDbCommitter, CLoginGuard *guard, QObject *parent, CHashGate *gate)
    : libsock::CAbstractProtoConn(parent)
    , committer(userDbCommitter)
    , loginGuard(guard)
    , hashGate(gate)
{
    Q_ASSERT(committer && loginGuard);
    // Connected before any owner's slot: with nothing owed, finished() comes at once.
    connect(this, &QAbstractSocket::disconnected, this, &CTolvernServerConn::onDisconnected);
}

CTolvernServerConn::~CTolvernServerConn()
{
    // Only a forced delete (shutdown) leaves requests behind: what they hold goes back.
    for (const Owed &entry : owed) {
        if (!entry.held || !entry.attemptBegun)
            continue;
        // Begun, never submitted: no test, so no failure of the guesser's.
        if (entry.command == CMD_LOGIN)
            loginGuard->endAttempt(peer, entry.name, CLoginGuard::Outcome::Untested);
        else
            loginGuard->endChange(peer, entry.objectId, CLoginGuard::Outcome::Untested, {});
    }
    for (; hashGate && hashGrants > 0; --hashGrants)
        hashGate->done(peer, false);
}

bool CTolvernServerConn::setSocketDescriptor(
    qintptr socketDescriptor, SocketState state, OpenMode openMode)
{
    if (!CAbstractProtoConn::setSocketDescriptor(socketDescriptor, state, openMode))
        return false;
    peer = peerAddress();
    return true;
}

void CTolvernServerConn::flushReplies(const QList<QPointer<QObject>> &owners)
{
    for (const QPointer<QObject> &owner : owners) {
        auto *socket = qobject_cast<QAbstractSocket *>(owner.data());
        if (socket && socket->state() == QAbstractSocket::ConnectedState)
            socket->flush();
    }
}

qint64 CTolvernServerConn::owedReplyBytes() const
{
    return qint64(owed.size()) * REPLY_SIZE;
}

bool CTolvernServerConn::readyForRequest() const
{
    // A request that cannot go on yet stops the reading: a login waiting for the outcome of
    // the one before it (so that the lockout has counted every earlier guess before the next
    // is tested), or a request waiting for the hash gate.
    return owed.empty() || !owed.back().held;
}

bool CTolvernServerConn::processPacket()
{
    switch (packet.command()) {
    case CMD_ADD_USER:
        takeAddUser();
        break;
    case CMD_CHANGE_PASS:
        takeChangePass();
        break;
    case CMD_LOGIN:
        takeLogin();
        break;
    default:
        // Unknown codes and stray replies get no answer; the connection stays.
        break;
    }
    return true;
}

void CTolvernServerConn::takeAddUser()
{
    Owed entry;
    entry.command = CMD_ADD_USER;
    packet.readString(entry.name).readString(entry.password);
    take(std::move(entry));
}

void CTolvernServerConn::takeChangePass()
{
    Owed entry;
    entry.command = CMD_CHANGE_PASS;
    packet.readInt32(entry.objectId).readString(entry.password).readString(entry.newPassword);
    take(std::move(entry));
}

void CTolvernServerConn::takeLogin()
{
    Owed entry;
    entry.command = CMD_LOGIN;
    packet.readString(entry.name).readString(entry.password);
    take(std::move(entry));
}

void CTolvernServerConn::take(Owed &&entry)
{
    entry.held = true;
    owed.push_back(std::move(entry));
    pump();
    writeReady();
}

void CTolvernServerConn::pump()
{
    // In the order taken: a guess waits for the outcome of the one before it (so the lock
    // has counted every earlier guess), or for the guard; whatever came after it waits too,
    // so that no change overtakes it. Where passwords are checked before their batch, the
    // check reads the stored password: a login or a password change waits for every earlier
    // request of its connection (the user added or the password changed just before it).
    const bool hashed = committer->checksPasswordsFirst();
    bool earlierUnsettled = false;
    for (Owed &entry : owed) {
        if (!entry.held) {
            earlierUnsettled = earlierUnsettled || !entry.ready;
            continue;
        }
        const bool guess = entry.command != CMD_ADD_USER;
        if (guess && earlierUnsettled && hashed)
            return;
        if (guess && !admitGuess(entry)) {
            if (entry.ready)
                continue; // locked: answered without a test
            return;
        }
        if (hashed && !takeHashPlace())
            return;
        submit(entry);
        earlierUnsettled = true;
    }
    // A place let in that no request needs any more goes back.
    for (; hashGate && hashGrants > 0; --hashGrants)
        hashGate->done(peer, false);
}

bool CTolvernServerConn::admitGuess(Owed &entry)
{
    if (guessInFlight || waitingForGuard)
        return false;
    if (entry.attemptBegun)
        return true;
    const CLoginGuard::Admission admission = entry.command == CMD_LOGIN
        ? loginGuard->beginAttempt(peer, entry.name)
        : loginGuard->beginChange(peer, entry.objectId);
    switch (admission) {
    case CLoginGuard::Admission::Admitted:
        entry.attemptBegun = true;
        return true;
    case CLoginGuard::Admission::Wait: {
        waitingForGuard = true;
        const QPointer<CTolvernServerConn> self(this);
        loginGuard->waitForRoom(peer, [self] {
            if (!self)
                return;
            self->waitingForGuard = false;
            self->resume();
        });
        return false;
    }
    case CLoginGuard::Admission::Refused:
        break;
    }
    // Locked: the same answer as a wrong password, and the guess is never tested.
    entry.held = false;
    entry.password.clear();
    entry.newPassword.clear();
    entry.result = entry.command == CMD_LOGIN ? RESULT_LOGIN_FAILED : RESULT_WRONG_PASSWORD;
    entry.ready = true;
    return false;
}

bool CTolvernServerConn::takeHashPlace()
{
    if (!hashGate)
        return true;
    if (hashGrants > 0) {
        --hashGrants;
        return true;
    }
    if (waitingForHash || hashesInFlight >= HASHES_PER_CONNECTION)
        return false;
    const QPointer<CTolvernServerConn> self(this);
    if (hashGate->enter(peer, [self] {
            if (!self)
                return false;
            self->waitingForHash = false;
            ++self->hashGrants;
            self->resume();
            return true;
        }))
        return true;
    waitingForHash = true;
    return false;
}

void CTolvernServerConn::submit(Owed &entry)
{
    entry.held = false;
    CUserDb::Request request;
    request.name = entry.name;
    request.password = entry.password;
    request.newPassword = entry.newPassword;
    request.objectId = entry.objectId;
    entry.password.clear();
    entry.newPassword.clear();
    if (hashedGate())
        ++hashesInFlight;
    if (entry.command != CMD_ADD_USER) {
        submitGuess(entry, request);
        return;
    }
    Owed *pending = &entry;
    // The connection waits for its outcomes; only a forced delete (shutdown) leaves one
    // without its connection.
    const QPointer<CTolvernServerConn> self(this);
    request.kind = CUserDb::Request::AddUser;
    committer->submit(
        this, request,
        [self, pending](const CUserDb::Request &done) {
            if (self)
                self->settle(*pending, wireResult(done.result),
                    done.result == CUserDb::Ok ? done.objectId : 0);
        },
        hashDone());
}

CUserDbCommitter::Outcome CTolvernServerConn::hashDone()
{
    CHashGate *gate = hashedGate();
    if (!gate)
        return {};
    // The place goes back as soon as the hash is made, before the batch: a wasted one (a wrong
    // password, a name taken, a user unknown) counts against the address.
    const QPointer<CTolvernServerConn> self(this);
    return [self, gate, peer = peer](const CUserDb::Request &checked) {
        gate->done(peer,
            checked.check == CUserDb::Request::Check::Refused && !checked.databaseFailed
                && checked.refusal != CUserDb::Failed);
        if (self) {
            --self->hashesInFlight;
            self->resume();
        }
    };
}

CLoginGuard::Outcome CTolvernServerConn::guessOutcome(const CUserDb::Request &done)
{
    if (done.result == CUserDb::Ok)
        return CLoginGuard::Outcome::Succeeded;
    // Only a judged password is a failure: a database that could not tell is no fault of the
    // client's, nor is a new password too long to store.
    if (done.databaseFailed
        || (done.kind == CUserDb::Request::ChangePassword && done.result == CUserDb::Failed
            && done.newPassword.size() > CUserDb::MAX_TEXT_LENGTH))
        return CLoginGuard::Outcome::Untested;
    return CLoginGuard::Outcome::Failed;
}

void CTolvernServerConn::submitGuess(Owed &entry, CUserDb::Request &request)
{
    const bool login = entry.command == CMD_LOGIN;
    request.kind = login ? CUserDb::Request::Login : CUserDb::Request::ChangePassword;
    guessInFlight = true;
    Owed *pending = &entry;
    const QPointer<CTolvernServerConn> self(this);
    // The guard hears of every attempt it let through, whatever became of the connection.
    const QPointer<CLoginGuard> guard(loginGuard);
    committer->submit(
        this, request,
        [self, guard, login, peer = peer, pending](const CUserDb::Request &done) {
            const CLoginGuard::Outcome outcome = guessOutcome(done);
            if (guard && login)
                guard->endAttempt(peer, done.name, outcome,
                    done.result == CUserDb::Ok ? done.objectId : done.userId);
            else if (guard)
                guard->endChange(peer, done.objectId, outcome, done.userName);
            if (!self)
                return;
            self->guessInFlight = false;
            if (!login) {
                self->settle(*pending, wireResult(done.result), pending->objectId);
                return;
            }
            // A login is answered 0 or 3, whatever kept it from succeeding.
            const bool ok = done.result == CUserDb::Ok;
            self->settle(*pending, ok ? RESULT_OK : RESULT_LOGIN_FAILED, ok ? done.objectId : 0);
        },
        hashDone());
}

void CTolvernServerConn::resume()
{
    if (owed.empty())
        return;
    pump();
    moveOn();
}

void CTolvernServerConn::settle(Owed &entry, quint8 result, int objectId)
{
    entry.result = result;
    entry.objectId = objectId;
    entry.ready = true;
    // What waited behind it may go now, also when the client has gone: it was taken, so it
    // is run, counted and logged like any other.
    pump();
    moveOn();
}

void CTolvernServerConn::moveOn()
{
    writeReady();
    if (gone) {
        // Buffered requests of a peer that hung up are taken as room is made for them.
        takeBuffered();
        writeReady();
        finishIfDone();
    } else {
        resumeRequests();
    }
}

void CTolvernServerConn::writeReady()
{
    while (!owed.empty() && owed.front().ready) {
        writeReply(owed.front());
        owed.pop_front();
    }
}

void CTolvernServerConn::writeReply(const Owed &entry)
{
    CProtoPacket reply;
    reply.reset().setAuxByte(0);
    switch (entry.command) {
    case CMD_ADD_USER:
        reply.setCommand(CMD_ADD_USER_REPLY).writeByte(entry.result).writeInt32(entry.objectId);
        // One arg() call: a name holding "%2" must not be substituted again.
        emit log(tr("[ADD_USER] name=%1, result=%2")
                     .arg(printableText(entry.name), QString::number(entry.result)));
        break;
    case CMD_LOGIN:
        reply.setCommand(CMD_LOGIN_REPLY).writeByte(entry.result).writeInt32(entry.objectId);
        emit log(tr("[LOGIN] name=%1, result=%2")
                     .arg(printableText(entry.name), QString::number(entry.result)));
        break;
    default:
        reply.setCommand(CMD_CHANGE_PASS_REPLY).writeByte(entry.result);
        emit log(tr("[CHANGE_PASS] userId=%1, result=%2")
                     .arg(QString::number(entry.objectId), QString::number(entry.result)));
        break;
    }
    emit answered(entry.command, entry.result);
    // A peer that hung up still has its change made and logged; there is nobody to tell.
    if (state() == QAbstractSocket::ConnectedState)
        libsock::writePacket(*this, reply);
}

void CTolvernServerConn::onDisconnected()
{
    gone = true;
    // What the peer sent before it hung up is taken like the rest: its changes are made and
    // logged, under the same bounds as while it was there.
    takeBuffered();
    writeReady();
    finishIfDone();
}

void CTolvernServerConn::finishIfDone()
{
    if (!owed.empty() || finishSignalled)
        return;
    finishSignalled = true;
    emit finished();
}
