#include "ctolvernserverconn.h"

#include <QHostAddress>
#include <QPointer>
#include <QString>

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
    CUserDbCommitter *userDbCommitter, CLoginGuard *guard, QObject *parent)
    : libsock::CAbstractProtoConn(parent)
    , committer(userDbCommitter)
    , loginGuard(guard)
{
    Q_ASSERT(committer && loginGuard);
    // Connected before any owner's slot: with nothing owed, finished() comes at once.
    connect(this, &QAbstractSocket::disconnected, this, &CTolvernServerConn::onDisconnected);
    connect(loginGuard, &CLoginGuard::attemptEnded, this, &CTolvernServerConn::retryHeldLogin);
}

CTolvernServerConn::~CTolvernServerConn() = default;

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
    // A login waiting for the outcome of the one before it stops the reading, so that the
    // lockout has counted every earlier guess before the next is tested.
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
    // In the order taken: a login waits for the outcome of the one before it (so the lock
    // has counted every earlier guess), or for the guard; whatever came after it waits too,
    // so that no change overtakes it. Where passwords are checked before their batch, the
    // check reads the stored password: a login or a password change waits for every earlier
    // request of its connection (the user added or the password changed just before it).
    bool earlierUnsettled = false;
    for (Owed &entry : owed) {
        if (!entry.held) {
            earlierUnsettled = earlierUnsettled || !entry.ready;
            continue;
        }
        if (entry.command != CMD_ADD_USER && earlierUnsettled && committer->checksPasswordsFirst())
            return;
        if (entry.command == CMD_LOGIN) {
            if (loginInFlight)
                return;
            const CLoginGuard::Admission admission = loginGuard->beginAttempt(peer, entry.name);
            if (admission == CLoginGuard::Admission::Wait)
                return;
            if (admission == CLoginGuard::Admission::Refused) {
                // Locked: the same answer as a wrong password, and the guess is never tested.
                entry.held = false;
                entry.password.clear();
                entry.result = RESULT_LOGIN_FAILED;
                entry.ready = true;
                continue;
            }
        }
        submit(entry);
        earlierUnsettled = true;
    }
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
    Owed *pending = &entry;
    // The connection waits for its outcomes; only a forced delete (shutdown) leaves one
    // without its connection.
    const QPointer<CTolvernServerConn> self(this);
    if (entry.command == CMD_ADD_USER) {
        request.kind = CUserDb::Request::AddUser;
        committer->submit(this, request, [self, pending](const CUserDb::Request &done) {
            if (self)
                self->settle(*pending, wireResult(done.result),
                    done.result == CUserDb::Ok ? done.objectId : 0);
        });
        return;
    }
    if (entry.command == CMD_CHANGE_PASS) {
        request.kind = CUserDb::Request::ChangePassword;
        committer->submit(this, request, [self, pending](const CUserDb::Request &done) {
            if (self)
                self->settle(*pending, wireResult(done.result), pending->objectId);
        });
        return;
    }
    request.kind = CUserDb::Request::Login;
    loginInFlight = true;
    // The guard hears of every attempt it let through, whatever became of the connection.
    const QPointer<CLoginGuard> guard(loginGuard);
    committer->submit(
        this, request, [self, guard, peer = peer, pending](const CUserDb::Request &done) {
            if (guard) {
                // Only a judged password is a failure: a database that could not tell is no
                // fault of the client's.
                const CLoginGuard::Outcome outcome = done.result == CUserDb::Ok
                    ? CLoginGuard::Outcome::Succeeded
                    : (done.databaseFailed ? CLoginGuard::Outcome::Untested
                                           : CLoginGuard::Outcome::Failed);
                guard->endAttempt(peer, done.name, outcome, done.objectId);
            }
            if (!self)
                return;
            self->loginInFlight = false;
            // A login is answered 0 or 3, whatever kept it from succeeding.
            const bool ok = done.result == CUserDb::Ok;
            self->settle(*pending, ok ? RESULT_OK : RESULT_LOGIN_FAILED, ok ? done.objectId : 0);
        });
}

void CTolvernServerConn::retryHeldLogin()
{
    if (owed.empty() || loginInFlight)
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
    if (gone)
        finishIfDone();
    else
        resumeRequests();
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
    // logged. With nobody to answer, nothing is held back.
    takeBuffered();
    finishIfDone();
}

void CTolvernServerConn::finishIfDone()
{
    if (!owed.empty() || finishSignalled)
        return;
    finishSignalled = true;
    emit finished();
}
