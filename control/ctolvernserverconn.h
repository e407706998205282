#ifndef CTOLVERNSERVERCONN_H
#define CTOLVERNSERVERCONN_H

#include <deque>

#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QString>

#include "cabstractprotoconn.h"
#include "controlcodes.h"

class CLoginGuard;
class CUserDbCommitter;

// A connection on the main control port: add user, login and change password. Changes go
// through the committer's group commits and are answered after its sync; logins go through
// the guard, which may refuse them before the database is asked.
// A command taken is logged when its outcome comes, also after the client hung up: the
// object outlives its socket until nothing is owed any more, and says so by finished().
class CTolvernServerConn : public libsock::CAbstractProtoConn
{
    Q_OBJECT

public:
    CTolvernServerConn(CUserDbCommitter *committer, CLoginGuard *guard, QObject *parent);
    ~CTolvernServerConn() override;

    bool setSocketDescriptor(qintptr socketDescriptor, SocketState state = ConnectedState,
        OpenMode openMode = ReadWrite) override;

    // Requests taken whose replies have not been written yet.
    int owedReplies() const { return int(owed.size()); }
    // The peer's address, kept after the socket has forgotten it.
    QHostAddress clientAddress() const { return peer; }

    // For the committer's outcomesHandedOut(): the replies of a slice of outcomes leave in
    // one write per connection, right after the slice, rather than one per reply.
    static void flushReplies(const QList<QPointer<QObject>> &owners);

signals:
    void log(QString msg);
    // A command's reply is written: its request code and result, for the server's counters.
    void answered(quint8 command, quint8 result);
    // Once the socket has disconnected and every command taken has been logged; the owner
    // may delete the connection then.
    void finished();

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
        QString password; // until submitted
        QString newPassword;
        qint32 objectId = 0;
        quint8 result = 0;
        bool ready = false;
        bool held = false; // taken, not yet submitted
    };

    void takeAddUser();
    void takeLogin();
    void takeChangePass();
    void take(Owed &&entry);
    // Submits the held requests in order, up to a login that must wait.
    void pump();
    void submit(Owed &entry);
    // After another connection's attempt ended: a login waiting for the guard may go.
    void retryHeldLogin();
    void settle(Owed &entry, quint8 result, int objectId);
    // Writes the replies due, then reads on (or, once the peer has gone, finishes).
    void moveOn();
    void writeReady();
    void writeReply(const Owed &entry);
    void onDisconnected();
    void finishIfDone();

    CUserDbCommitter *committer = nullptr;
    CLoginGuard *loginGuard = nullptr;
    // Stable addresses: the committer's outcomes point into it.
    std::deque<Owed> owed;
    bool loginInFlight = false;
    bool gone = false;
    bool finishSignalled = false;
    QHostAddress peer;
};

#endif // CTOLVERNSERVERCONN_H
