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
    CUserDb::Request request;
    request.kind = CUserDb::Request::AddUser;
    packet.readString(request.name).readString(request.password);
    owed.push_back(Owed { CMD_ADD_USER, request.name, QString(), 0, 0, false, false });
    Owed *entry = &owed.back();
    // The connection waits for its outcomes; only a forced delete (shutdown) leaves one
    // without its connection.
    const QPointer<CTolvernServerConn> self(this);
    committer->submit(this, request, [self, entry](const CUserDb::Request &done) {
        if (self)
            self->settle(*entry, done.result, done.result == RESULT_OK ? done.objectId : 0);
    });
}

void CTolvernServerConn::takeChangePass()
{
    CUserDb::Request request;
    request.kind = CUserDb::Request::ChangePassword;
    packet.readInt32(request.objectId).readString(request.password).readString(request.newPassword);
    owed.push_back(
        Owed { CMD_CHANGE_PASS, QString(), QString(), request.objectId, 0, false, false });
    Owed *entry = &owed.back();
    const QPointer<CTolvernServerConn> self(this);
    committer->submit(this, request, [self, entry](const CUserDb::Request &done) {
        if (self)
            self->settle(*entry, done.result, entry->objectId);
    });
}

void CTolvernServerConn::takeLogin()
{
    QString name;
    QString password;
    packet.readString(name).readString(password);
    owed.push_back(Owed { CMD_LOGIN, name, password, 0, 0, false, true });
    if (!loginInFlight)
        startLogin(owed.back());
}

void CTolvernServerConn::startLogin(Owed &entry)
{
    entry.held = false;
    if (!loginGuard->beginAttempt(peer, entry.name)) {
        // Locked, or as many guesses in flight as the lock allows: the same answer as a wrong
        // password, and the guess is never tested.
        entry.password.clear();
        entry.result = RESULT_LOGIN_FAILED;
        entry.ready = true;
        writeReady();
        return;
    }
    CUserDb::Request request;
    request.kind = CUserDb::Request::Login;
    request.name = entry.name;
    request.password = entry.password;
    entry.password.clear();
    loginInFlight = true;
    Owed *pending = &entry;
    const QPointer<CTolvernServerConn> self(this);
    // The guard hears of every attempt it let through, whatever became of the connection.
    const QPointer<CLoginGuard> guard(loginGuard);
    committer->submit(
        this, request, [self, guard, peer = peer, pending](const CUserDb::Request &done) {
            if (guard) {
                // Only a judged password is a failure: a database that could not tell is no
                // fault of the client's.
                const CLoginGuard::Outcome outcome = done.result == RESULT_OK
                    ? CLoginGuard::Outcome::Succeeded
                    : (done.databaseFailed ? CLoginGuard::Outcome::Untested
                                           : CLoginGuard::Outcome::Failed);
                guard->endAttempt(peer, done.name, outcome, done.objectId);
            }
            if (!self)
                return;
            self->loginInFlight = false;
            self->settle(*pending, done.result, done.result == RESULT_OK ? done.objectId : 0);
        });
}

void CTolvernServerConn::settle(Owed &entry, quint8 result, int objectId)
{
    entry.result = result;
    entry.objectId = objectId;
    entry.ready = true;
    writeReady();
    // The login held behind a settled one may go now, also when the client has gone: it
    // was taken, so it is tested, counted and logged like any other.
    if (!loginInFlight) {
        for (Owed &next : owed) {
            if (next.held) {
                startLogin(next);
                break;
            }
        }
    }
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
    // A peer that hung up still has its change made and logged; there is nobody to tell.
    if (state() == QAbstractSocket::ConnectedState)
        libsock::writePacket(*this, reply);
}

void CTolvernServerConn::onDisconnected()
{
    gone = true;
    finishIfDone();
}

void CTolvernServerConn::finishIfDone()
{
    if (!owed.empty() || finishSignalled)
        return;
    finishSignalled = true;
    emit finished();
}
