#ifndef CTOLVERNSERVERCONN_H
#define CTOLVERNSERVERCONN_H

#include "cabstractprotoconn.h"
#include "controlcodes.h"

// A connection on the main control port: add user, login and change password.
class CTolvernServerConn : public libsock::CAbstractProtoConn
{
    Q_OBJECT

public:
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
