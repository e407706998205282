#ifndef CTOLVERNSERVERCONN_H
#define CTOLVERNSERVERCONN_H

#include <deque>

#include <QHostAddress>
#include <QString>

#include "cabstractprotoconn.h"
#include "controlcodes.h"

class CLoginGuard;
class CUserDbCommitter;

// A connection on the main control port: add user, login and change password.
class CTolvernServerConn : public libsock::CAbstractProtoConn
{
    Q_OBJECT

public:
    explicit CTolvernServerConn(QObject *parent);
    ~CTolvernServerConn() override;

    // Logins go through guard, which may refuse them before the database is asked.
    void setLoginGuard(CLoginGuard *guard);
    // Changes go through committer's group commits and are answered after its sync; without
    // one each runs on its own, as it arrives.
    void setCommitter(CUserDbCommitter *committer);

    // Requests taken whose replies have not been written yet.
    int owedReplies() const { return int(owed.size()); }

signals:
    void log(QString msg);

protected:
    bool processPacket() override;
    qint64 owedReplyBytes() const override;
    bool readyForRequest() const override;

private:
    // A request taken, in the order of arrival, until its reply is written.
    struct Owed
    {
        quint8 command = 0;
        QString name;
        // A login or a password change held back until the requests before it are settled.
        QString password;
        qint32 objectId = 0;
        quint8 result = 0;
        bool ready = false;
        bool held = false;
        QString newPassword;
    };

    void handleAddUser();
    void handleLogin();
    void handleChangePass();

    void takeAddUser();
    void takeLogin();
    void takeChangePass();
    void startLogin(Owed &entry);
    void startChangePass(Owed &entry);
    bool mayStart(const Owed &entry) const;
    void settle(Owed &entry, quint8 result, int objectId);
    void writeReady();
    void writeReply(const Owed &entry);

    CLoginGuard *loginGuard = nullptr;
    CUserDbCommitter *committer = nullptr;
    // Stable addresses: the committer's outcomes point into it.
    std::deque<Owed> owed;
    bool loginInFlight = false;
    // Kept from the first login: the outcome may come after the socket forgot it.
    QHostAddress peer;
};

#endif // CTOLVERNSERVERCONN_H
