#ifndef CLOGINFIGURES_H
#define CLOGINFIGURES_H

#include <QString>

class CBenchRunner;

// Figures 1, 9 and 14: logins per second through the server next to the same statements run
// straight on the database, in the window and headless, on one or two servers, and against
// Argon2id hashes.
class CLoginFigures
{
public:
    explicit CLoginFigures(CBenchRunner &runner);

    bool measureLogins();
    // Figure 9: logins against Argon2id hashes, next to libsodium's own rate of checks.
    bool measureHashedLogins();
    // Figure 14: whether a wrong login takes as long for a name nobody has as for a known one.
    bool measureNameTiming();

private:
    bool measureLoginsIn(bool headless);
    // Figure 1 with two headless servers on the one PostgreSQL database.
    bool measureTwoServerLogins();
    bool loginRow(const QString &mode, bool ok, double rate, double direct, double minRatio);
    // Sets every user's password to the value of expression, with value bound to "?".
    bool setPasswords(const QString &expression, const QString &value);

private:
    CBenchRunner &bench;
};

#endif // CLOGINFIGURES_H
