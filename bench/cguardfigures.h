#ifndef CGUARDFIGURES_H
#define CGUARDFIGURES_H

#include <QByteArray>

class CBenchRunner;

// Figures 5 and 6: password guessing against the lockout, and a flood of pipelined logins
// against the server's memory.
class CGuardFigures
{
public:
    explicit CGuardFigures(CBenchRunner &runner);

    bool measureGuesses();
    bool measureFlood();

private:
    bool guessPasswords(qint64 &tested, double &perSecond);
    bool fillServerLog(const QByteArray &request);

private:
    CBenchRunner &bench;
};

#endif // CGUARDFIGURES_H
