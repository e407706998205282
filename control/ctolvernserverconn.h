#ifndef CTOLVERNSERVERCONN_H
#define CTOLVERNSERVERCONN_H

#include <deque>

#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QString>

#include "cabstractprotoconn.h"
#include "cloginguard.h"
#include "controlcodes.h"
#include "cuserdbcommitter.h"

class CHashGate;

// A connection on the main control port: add user, login and change password. Changes go
// through the committer's group commits and are answered after its sync; logins and password
// changes go through the guard, which may refuse them before the database is asked. Where
// passwords are hashed, the hash gate lets requests in, a few at a time: past its bounds the
// connection reads no more, and its peer is held back by TCP.
// A command taken is logged when its outcome comes, also after the client hung up: the
// object outlives its socket until nothing is owed any more, and says so by finished().
class CTolvernServerConn : public libsock::CAbstractProtoConn
{
    Q_OBJECT

public:
    // Hashes in flight for one connection at most.
    static constexpr int HASHES_PER_CONNECTION = 2;

    // hashGate: null lets every request in at once.
    CTolvernServerConn(CUserDbCommitter *committer, CLoginGuard *guard, QObject *parent,
        CHashGate *hashGate = nullptr);
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
        bool attemptBegun = false; // counted by the guard
    };

    void takeAddUser();
    void takeLogin();
    void takeChangePass();
    void take(Owed &&entry);
    // Submits the held requests in order, up to one that must wait.
    void pump();
    // For a login or a password change: whether the guard lets it go on; false when it must
    // wait (or was answered as locked, with entry ready).
    bool admitGuess(Owed &entry);
    // Whether a hash may start now; otherwise the gate wakes this connection later.
    bool takeHashPlace();
    void submit(Owed &entry);
    void submitGuess(Owed &entry, CUserDb::Request &request);
    static CLoginGuard::Outcome guessOutcome(const CUserDb::Request &done);
    // Gives the hash gate its place back once a request's password work is over.
    CUserDbCommitter::Outcome hashDone();
    // The gate, where requests are hashed.
    CHashGate *hashedGate() const { return committer->checksPasswordsFirst() ? hashGate : nullptr; }
    // After another attempt from this address ended, or the gate let a hash in.
    void resume();
    void settle(Owed &entry, quint8 result, int objectId);
    // Writes the replies due, then reads on (or, once the peer has gone, finishes).
    void moveOn();
    void writeReady();
    void writeReply(const Owed &entry);
    void onDisconnected();
    void finishIfDone();

    CUserDbCommitter *committer = nullptr;
    CLoginGuard *loginGuard = nullptr;
    CHashGate *hashGate = nullptr;
    // Stable addresses: the committer's outcomes point into it.
    std::deque<Owed> owed;
    // One guess at a time: its outcome is counted before the next is tested.
    bool guessInFlight = false;
    bool waitingForGuard = false;
    bool waitingForHash = false;
    // Places the gate let in while this connection waited, not yet used.
    int hashGrants = 0;
    int hashesInFlight = 0;
    bool gone = false;
    bool finishSignalled = false;
    QHostAddress peer;
};

#endif // CTOLVERNSERVERCONN_H
