#ifndef CTOLVERNSERVERCONN_H
#define CTOLVERNSERVERCONN_H

#include "cabstractprotoconn.h"

// A connection on the main control port: add user, login and change password.
class CTolvernServerConn : public libsock::CAbstractProtoConn
{
    Q_OBJECT

public:
    // Command codes of the control port; every reply carries its request's code plus one.
    enum Command : quint8 {
        CMD_ADD_USER = 1,
        CMD_ADD_USER_REPLY = 2,
        CMD_CHANGE_PASS = 3,
        CMD_CHANGE_PASS_REPLY = 4,
        CMD_LOGIN = 9,
        CMD_LOGIN_REPLY = 10,
    };

    // One value space shared by the three replies.
    enum Result : quint8 {
        RESULT_OK = 0,
        RESULT_FAILED = 1,
        RESULT_USER_EXISTS = 2,
        RESULT_LOGIN_FAILED = 3,
        RESULT_WRONG_PASSWORD = 4,
    };

    explicit CTolvernServerConn(QObject *parent);

signals:
    void log(QString msg);

protected:
    bool processPacket() override;

private:
    void handleAddUser();
    void handleLogin();
    void handleChangePass();
};

#endif // CTOLVERNSERVERCONN_H
