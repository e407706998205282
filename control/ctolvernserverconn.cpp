#include "ctolvernserverconn.h"

#include <QHostAddress>
#include <QPointer>
#include <QString>

#include "cloginguard.h"
#include "cuserdb.h"
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

CTolvernServerConn::CTolvernServerConn(QObject *parent)
    : libsock::CAbstractProtoConn(parent)
{
}

CTolvernServerConn::~CTolvernServerConn() = default;

void CTolvernServerConn::setLoginGuard(CLoginGuard *guard)
{
    loginGuard = guard;
}

void CTolvernServerConn::setCommitter(CUserDbCommitter *userDbCommitter)
{
    committer = userDbCommitter;
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
    if (committer) {
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
            break;
        }
        return true;
    }
    switch (packet.command()) {
    case CMD_ADD_USER:
        handleAddUser();
        break;
    case CMD_CHANGE_PASS:
        handleChangePass();
        break;
    case CMD_LOGIN:
        handleLogin();
        break;
    default:
        // Unknown codes and stray replies get no answer; the connection stays.
        break;
    }
    return true;
}

void CTolvernServerConn::handleAddUser()
{
    QString name;
    QString password;
    packet.readString(name).readString(password);

    quint8 result = RESULT_OK;
    int objectId = 0;
    CUserDb *db = CUserDb::instance();
    bool taken = false;
    // A lookup that failed is a failure for the client, not a name taken: it would pick
    // another name for nothing while the database is down.
    if (!db->lookUpName(name, &taken))
        result = RESULT_FAILED;
    else if (taken)
        result = RESULT_USER_EXISTS;
    else if (!db->addUser(name, password, &objectId, &taken))
        result = taken ? RESULT_USER_EXISTS : RESULT_FAILED;

    CProtoPacket reply;
    reply.reset()
        .setAuxByte(0)
        .setCommand(CMD_ADD_USER_REPLY)
        .writeByte(result)
        .writeInt32(objectId);
    // One arg() call: a name holding "%2" must not be substituted again.
    emit log(tr("[ADD_USER] name=%1, result=%2").arg(printableText(name), QString::number(result)));
    libsock::writePacket(*this, reply);
}

void CTolvernServerConn::handleLogin()
{
    QString name;
    QString password;
    packet.readString(name).readString(password);

    quint8 result = RESULT_OK;
    int objectId = 0;
    const QHostAddress peer = peerAddress();
    if (loginGuard && loginGuard->isLocked(peer, name)) {
        // Locked: the same answer as a wrong password, and the guess is never tested.
        result = RESULT_LOGIN_FAILED;
    } else if (!CUserDb::instance()->login(name, password, &objectId)) {
        result = RESULT_LOGIN_FAILED;
        objectId = 0;
        if (loginGuard)
            loginGuard->loginFailed(peer, name);
    } else if (loginGuard) {
        loginGuard->loginSucceeded(peer, name, objectId);
    }

    CProtoPacket reply;
    reply.reset().setAuxByte(0).setCommand(CMD_LOGIN_REPLY).writeByte(result).writeInt32(objectId);
    emit log(tr("[LOGIN] name=%1, result=%2").arg(printableText(name), QString::number(result)));
    libsock::writePacket(*this, reply);
}

void CTolvernServerConn::handleChangePass()
{
    qint32 objectId = 0;
    QString oldPassword;
    QString newPassword;
    packet.readInt32(objectId).readString(oldPassword).readString(newPassword);

    const quint8 result = CUserDb::instance()->changePassword(objectId, oldPassword, newPassword);

    CProtoPacket reply;
    reply.reset().setAuxByte(0).setCommand(CMD_CHANGE_PASS_REPLY).writeByte(result);
    emit log(tr("[CHANGE_PASS] userId=%1, result=%2")
                 .arg(QString::number(objectId), QString::number(result)));
    libsock::writePacket(*this, reply);
}

void CTolvernServerConn::takeAddUser()
{
    CUserDb::Request request;
    request.kind = CUserDb::Request::AddUser;
    packet.readString(request.name).readString(request.password);
    owed.push_back(Owed { CMD_ADD_USER, request.name, QString(), 0, 0, false, false, QString() });
    Owed *entry = &owed.back();
    const QPointer<CTolvernServerConn> self(this);
    committer->submit(this, request, [self, entry](const CUserDb::Request &done) {
        if (self)
            self->settle(
                *entry, wireResult(done.result), done.result == CUserDb::Ok ? done.objectId : 0);
    });
}

void CTolvernServerConn::takeChangePass()
{
    qint32 objectId = 0;
    QString oldPassword;
    QString newPassword;
    packet.readInt32(objectId).readString(oldPassword).readString(newPassword);
    owed.push_back(
        Owed { CMD_CHANGE_PASS, QString(), oldPassword, objectId, 0, false, true, newPassword });
    if (!committer->checksPasswordsFirst() || mayStart(owed.back()))
        startChangePass(owed.back());
}

bool CTolvernServerConn::mayStart(const Owed &entry) const
{
    // Where passwords are checked before their batch, the check reads the stored password:
    // a login or a password change waits for every earlier request of its connection (the
    // user added, the password changed or hashed anew just before it). Otherwise a login
    // waits only for the login before it, for the lockout's count.
    return !loginInFlight && (!committer->checksPasswordsFirst() || &owed.front() == &entry);
}

void CTolvernServerConn::startChangePass(Owed &entry)
{
    entry.held = false;
    CUserDb::Request request;
    request.kind = CUserDb::Request::ChangePassword;
    request.objectId = entry.objectId;
    request.password = entry.password;
    request.newPassword = entry.newPassword;
    entry.password.clear();
    entry.newPassword.clear();
    Owed *pending = &entry;
    const QPointer<CTolvernServerConn> self(this);
    committer->submit(this, request, [self, pending](const CUserDb::Request &done) {
        if (self)
            self->settle(*pending, wireResult(done.result), pending->objectId);
    });
}

void CTolvernServerConn::takeLogin()
{
    QString name;
    QString password;
    packet.readString(name).readString(password);
    if (peer.isNull())
        peer = peerAddress();
    owed.push_back(Owed { CMD_LOGIN, name, password, 0, 0, false, true, QString() });
    if (mayStart(owed.back()))
        startLogin(owed.back());
}

void CTolvernServerConn::startLogin(Owed &entry)
{
    entry.held = false;
    if (loginGuard && loginGuard->isLocked(peer, entry.name)) {
        // Locked: the same answer as a wrong password, and the guess is never tested.
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
    // Counted even when the client hung up before the outcome: a guess tested is a guess.
    const QPointer<CLoginGuard> guard(loginGuard);
    committer->submit(
        this, request, [self, guard, peer = peer, pending](const CUserDb::Request &done) {
            const QString name = done.name;
            if (guard && done.result != CUserDb::Ok)
                guard->loginFailed(peer, name);
            else if (guard)
                guard->loginSucceeded(peer, name, done.objectId);
            if (!self)
                return;
            self->loginInFlight = false;
            self->settle(
                *pending, wireResult(done.result), done.result == CUserDb::Ok ? done.objectId : 0);
        });
}

void CTolvernServerConn::settle(Owed &entry, quint8 result, int objectId)
{
    entry.result = result;
    entry.objectId = objectId;
    entry.ready = true;
    writeReady();
    // The request held behind settled ones may go now (reading stops at the first one held,
    // so there is one at most).
    for (Owed &next : owed) {
        if (!next.held)
            continue;
        if (mayStart(next)) {
            if (next.command == CMD_LOGIN)
                startLogin(next);
            else
                startChangePass(next);
        }
        break;
    }
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
