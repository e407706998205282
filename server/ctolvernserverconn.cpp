#include "ctolvernserverconn.h"

#include <QString>

#include "cloginguard.h"
#include "cuserdb.h"
#include "printabletext.h"

using namespace libsock;

CTolvernServerConn::CTolvernServerConn(QObject *parent)
    : libsock::CAbstractProtoConn(parent)
{
}

void CTolvernServerConn::setLoginGuard(CLoginGuard *guard)
{
    loginGuard = guard;
}

bool CTolvernServerConn::processPacket()
{
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
