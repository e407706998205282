#ifndef CMASSFIGURES_H
#define CMASSFIGURES_H

#include <QString>

class CBenchRunner;

// Figures 3, 15 and 16: what many idle connections cost, mass connects and hang-ups, and a
// flood of pipelined work for the password hashes from many hosts, each beside the same
// login on a quiet server (or one hash checked in the benchmark) in the same run.
class CMassFigures
{
public:
    explicit CMassFigures(CBenchRunner &runner);

    bool measureIdleConnections();
    bool measureMassEvents();
    bool measureHashFlood();

private:
    bool startHeadless(const QString &security);
    // A new connection's login, from connect to reply, in nanoseconds; -1 on failure.
    qint64 newLogin(int index) const;
    // The median of a few newLogin()s.
    qint64 quietLogin(int index) const;
    // Connections of both ports the limits let the bench and a server hold; with why not
    // more when fewer than wanted.
    int reachableConnections(int wanted, bool filePortToo, QString *why) const;
    // One mass connect and hang-up of n connections; false when it could not be measured.
    bool massEvents(int n, qint64 &connect, qint64 &hangUp, qint64 &quiet);
    // Sets the password of the users the flood names to hash; an empty hash gives them their
    // plain passwords back.
    bool setFloodPasswords(const QString &hash);

    CBenchRunner &bench;
};

#endif // CMASSFIGURES_H
