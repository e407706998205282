#ifndef CCLIENTCOMMAND_H
#define CCLIENTCOMMAND_H

#include <cstdio>

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include "cprotoclient.h"

// The tolvern-client command line: parses the arguments, runs one command against the server
// and turns its outcome into words and an exit code.
class CClientCommand
{
public:
    // One status per outcome, so scripts can tell failures apart.
    enum ExitCode : int {
        EXIT_OK = 0,
        EXIT_RESULT_FAILED = 1,
        EXIT_USER_EXISTS = 2,
        EXIT_LOGIN_FAILED = 3,
        EXIT_WRONG_PASSWORD = 4,
        EXIT_UNKNOWN_RESULT = 5,
        EXIT_SAVE_NOT_FOUND = 11,
        EXIT_SAVE_OPEN_FAILED = 12,
        EXIT_TRANSFER_REFUSED = 13,
        EXIT_CONNECTION_REFUSED = 20,
        EXIT_HOST_NOT_FOUND = 21,
        EXIT_TIMEOUT = 22,
        EXIT_CONNECTION_CLOSED = 23,
        EXIT_PROTOCOL_ERROR = 24,
        EXIT_NETWORK_ERROR = 25,
        EXIT_NOT_STORED = 26,
        EXIT_TLS_HANDSHAKE = 27,
        EXIT_LOCAL_FILE_ERROR = 30,
        EXIT_USAGE = 64,
    };

    static constexpr quint16 DEFAULT_PORT = 3888;
    static constexpr quint16 DEFAULT_FILE_PORT = 3889;

    CClientCommand();

    // arguments: the command line without the program name.
    int run(const QStringList &arguments);

    static QString usage();

private:
    int parse(const QStringList &arguments);
    int addUser();
    int login();
    // add-user and login: NAME PASS sent with request, done printed with the name and id.
    int nameCommand(bool (libsock::CProtoClient::*request)(const QString &, const QString &),
        const QString &command, const QString &done);
    int changePassword();
    int upload();
    int download();

    int usageError(const QString &message) const;
    int networkFailure(const QString &what, libsock::ClientError error) const;
    int connectFailure(
        const QString &where, libsock::ClientError error, const QString &tlsText) const;
    int controlResult(quint8 result, const QString &failedWhat) const;
    int fileResult(quint8 result) const;
    bool checkText(const QString &text, const QString &what) const;

    void showProgress(qint64 done, qint64 total);
    void endProgress();

    void printOut(const QString &line) const;
    void printErr(const QString &line) const;

    QString host = QStringLiteral("127.0.0.1");
    quint16 port = DEFAULT_PORT;
    quint16 filePort = DEFAULT_FILE_PORT;
    QString user;
    bool userGiven = false;
    int timeoutMs = libsock::CProtoClient::DEFAULT_TIMEOUT_MS;
    libsock::CClientTls tls;
    QStringList words;

    // Where the bar goes: a terminal on stderr or stdout, else nowhere.
    FILE *progressStream = nullptr;
    bool progressChecked = false;
    bool progressShown = false;
    int progressPermille = -1;
    QElapsedTimer progressClock;
};

#endif // CCLIENTCOMMAND_H
