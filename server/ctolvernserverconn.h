#ifndef CTOLVERNSERVERCONN_H
#define CTOLVERNSERVERCONN_H

#include "cabstractprotoconn.h"
#include "controlcodes.h"

class CLoginGuard;

// A connection on the main control port: add user, login and change password.
class CTolvernServerConn : public libsock::CAbstractProtoConn
{
    Q_OBJECT

public:
    explicit CTolvernServerConn(QObject *parent);

    // Logins go through guard, which may refuse them before the database is asked.
    void setLoginGuard(CLoginGuard *guard);

signals:
    void log(QString msg);

protected:
    bool processPacket() override;

private:
    void handleAddUser();
    void handleLogin();
    void handleChangePass();

    CLoginGuard *loginGuard = nullptr;
};

#endif // CTOLVERNSERVERCONN_H
