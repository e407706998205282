#include "cclientcommand.h"

#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "cfileclient.h"
#include "cserverfileconn.h"
#include "tolvernversion.h"

using libsock::CFileClient;
using libsock::ClientError;
using libsock::CProtoClient;

namespace {

const QString DETAIL = QStringLiteral("tolvern-client");
constexpr int PROGRESS_WIDTH = 30;
constexpr int PROGRESS_INTERVAL_MS = 100;
// A string field carries at most this many bytes; longer texts would arrive empty.
constexpr int MAX_TEXT_BYTES = 0x7FFF;

bool parsePort(const QString &text, quint16 &port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value == 0 || value > 65535)
        return false;
    port = quint16(value);
    return true;
}

QString sizeText(qint64 bytes)
{
    return QStringLiteral("%1 MiB").arg(double(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}

} // namespace

CClientCommand::CClientCommand()
{
    const QString login = qEnvironmentVariable("USER");
    if (login == QString::fromLatin1(login.toLatin1()))
        user = login;
}

QString CClientCommand::usage()
{
    return QStringLiteral(
        "Usage: tolvern-client [--host H] [--port P] [--file-port F] [--timeout S]\n"
        "                     [--tls [--ca FILE] [--insecure]] COMMAND\n"
        "Commands:\n"
        "  add-user NAME PASS            add a user; prints its object id\n"
        "  login NAME PASS               log a user in; prints its object id\n"
        "  change-pass ID OLD NEW        change the password of the user with object id ID\n"
        "  upload SAVE FILE [--user U]   store FILE on the server as save SAVE\n"
        "  download SAVE OUT [--user U]  fetch save SAVE into the file OUT\n"
        "Options:\n"
        "  --host H        server address (default 127.0.0.1)\n"
        "  --port P        main control port (default 3888)\n"
        "  --file-port F   game data transfer port (default 3889)\n"
        "  --timeout S     give up after S seconds without progress (default 30)\n"
        "  --user U        user named in transfer requests (default: $USER)\n"
        "  --tls           speak TLS; the server's certificate and name are checked against\n"
        "                  the system's trust store\n"
        "  --ca FILE       with --tls: trust only the CA certificates in FILE (PEM)\n"
        "  --insecure      with --tls: check nothing (self-signed test set-ups only)\n"
        "  --              end of options: later words starting with -- are arguments\n"
        "  --help          show this help\n"
        "  --version       show the program's version\n");
}

int CClientCommand::run(const QStringList &arguments)
{
    const int parsed = parse(arguments);
    if (parsed >= 0)
        return parsed;

    struct Command
    {
        const char *name;
        int argumentCount;
        int (CClientCommand::*handler)();
        bool transfer;
    };
    static const Command commands[] = {
        { "add-user", 2, &CClientCommand::addUser, false },
        { "login", 2, &CClientCommand::login, false },
        { "change-pass", 3, &CClientCommand::changePassword, false },
        { "upload", 2, &CClientCommand::upload, true },
        { "download", 2, &CClientCommand::download, true },
    };
    if (words.isEmpty())
        return usageError(QStringLiteral("no command given"));
    for (const Command &command : commands) {
        if (words.first() != QLatin1String(command.name))
            continue;
        if (words.size() - 1 != command.argumentCount)
            return usageError(QStringLiteral("%1 takes %2 arguments")
                                  .arg(words.first(), QString::number(command.argumentCount)));
        if (userGiven && !command.transfer)
            return usageError(QStringLiteral("--user applies to upload and download only"));
        return (this->*command.handler)();
    }
    return usageError(QStringLiteral("unknown command '%1'").arg(words.first()));
}

int CClientCommand::parse(const QStringList &arguments)
{
    bool optionsEnded = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (optionsEnded || !argument.startsWith(QLatin1String("--"))) {
            words << argument;
            continue;
        }
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (argument == QLatin1String("--help")) {
            printOut(usage());
            return EXIT_OK;
        }
        if (argument == QLatin1String("--version")) {
            printOut(QStringLiteral("tolvern-client " TOLVERN_VERSION "\n"));
            return EXIT_OK;
        }
        if (argument == QLatin1String("--tls")) {
            tls.enabled = true;
            continue;
        }
        if (argument == QLatin1String("--insecure")) {
            tls.insecure = true;
            continue;
        }
        QString name = argument.mid(2);
        QString value;
        const qsizetype equals = name.indexOf(QLatin1Char('='));
        if (equals >= 0) {
            value = name.mid(equals + 1);
            name.truncate(equals);
        } else if (i + 1 < arguments.size()) {
            value = arguments.at(++i);
        } else {
            return usageError(QStringLiteral("option --%1 needs a value").arg(name));
        }
        if (name == QLatin1String("host")) {
            if (value.isEmpty())
                return usageError(QStringLiteral("--host needs a host name or address"));
            host = value;
        } else if (name == QLatin1String("port")) {
            if (!parsePort(value, port))
                return usageError(QStringLiteral("--port needs a port number from 1 to 65535"));
        } else if (name == QLatin1String("file-port")) {
            if (!parsePort(value, filePort))
                return usageError(
                    QStringLiteral("--file-port needs a port number from 1 to 65535"));
        } else if (name == QLatin1String("timeout")) {
            bool ok = false;
            const double seconds = value.toDouble(&ok);
            if (!ok || !(seconds > 0) || seconds > 86400)
                return usageError(QStringLiteral("--timeout needs a number of seconds"));
            timeoutMs = qMax(1, int(seconds * 1000));
        } else if (name == QLatin1String("ca")) {
            if (value.isEmpty())
                return usageError(QStringLiteral("--ca needs a PEM file of CA certificates"));
            tls.caFile = value;
        } else if (name == QLatin1String("user")) {
            user = value;
            userGiven = true;
        } else {
            return usageError(QStringLiteral("unknown option --%1").arg(name));
        }
    }
    if ((tls.insecure || !tls.caFile.isEmpty()) && !tls.enabled)
        return usageError(QStringLiteral("--ca and --insecure apply with --tls only"));
    if (tls.insecure)
        printErr(QStringLiteral("tolvern-client: warning: --insecure: the server's certificate "
                                "and name are not checked; for a test set-up only\n"));
    return -1;
}

int CClientCommand::addUser()
{
    return nameCommand(&CProtoClient::addUser, QStringLiteral("add-user"),
        QStringLiteral("User %1 added, object id %2\n"));
}

int CClientCommand::login()
{
    return nameCommand(&CProtoClient::login, QStringLiteral("login"),
        QStringLiteral("User %1 logged in, object id %2\n"));
}

int CClientCommand::nameCommand(bool (CProtoClient::*request)(const QString &, const QString &),
    const QString &command, const QString &done)
{
    const QString &name = words.at(1);
    const QString &password = words.at(2);
    if (!checkText(name, QStringLiteral("NAME")) || !checkText(password, QStringLiteral("PASS")))
        return EXIT_USAGE;
    CProtoClient client;
    client.setTimeout(timeoutMs);
    client.setTls(tls);
    const QString where = QStringLiteral("%1:%2").arg(host, QString::number(port));
    if (!client.connectToServer(host, port))
        return connectFailure(where, client.clientError(), client.tlsErrorText());
    if (!(client.*request)(name, password))
        return networkFailure(QStringLiteral("%1 failed").arg(command), client.clientError());
    if (client.result() == libsock::RESULT_OK) {
        printOut(done.arg(name, QString::number(client.objectId())));
        return EXIT_OK;
    }
    return controlResult(client.result(), command);
}

int CClientCommand::changePassword()
{
    bool ok = false;
    const qint32 objectId = words.at(1).toInt(&ok);
    if (!ok)
        return usageError(QStringLiteral("ID must be an object id (a whole number)"));
    const QString &oldPassword = words.at(2);
    const QString &newPassword = words.at(3);
    if (!checkText(oldPassword, QStringLiteral("OLD"))
        || !checkText(newPassword, QStringLiteral("NEW")))
        return EXIT_USAGE;
    CProtoClient client;
    client.setTimeout(timeoutMs);
    client.setTls(tls);
    const QString where = QStringLiteral("%1:%2").arg(host, QString::number(port));
    if (!client.connectToServer(host, port))
        return connectFailure(where, client.clientError(), client.tlsErrorText());
    if (!client.changePassword(objectId, oldPassword, newPassword))
        return networkFailure(QStringLiteral("change-pass failed"), client.clientError());
    if (client.result() == libsock::RESULT_OK) {
        printOut(QStringLiteral("Password changed, object id %1\n").arg(objectId));
        return EXIT_OK;
    }
    return controlResult(client.result(), QStringLiteral("change-pass"));
}

int CClientCommand::upload()
{
    const QString &saveName = words.at(1);
    const QString &path = words.at(2);
    if (!checkText(saveName, QStringLiteral("SAVE")) || !checkText(user, QStringLiteral("--user")))
        return EXIT_USAGE;
    // The transfer ends at the first short read, which a pipe could give at any time.
    if (!QFileInfo(path).isFile()) {
        printErr(QStringLiteral("tolvern-client: %1 is not a regular file\n").arg(path));
        return EXIT_LOCAL_FILE_ERROR;
    }
    QFile source(path);
    if (!source.open(QIODevice::ReadOnly)) {
        printErr(
            QStringLiteral("tolvern-client: cannot read %1: %2\n").arg(path, source.errorString()));
        return EXIT_LOCAL_FILE_ERROR;
    }

    CFileClient client;
    client.setTimeout(timeoutMs);
    client.setTls(tls);
    QObject::connect(&client, &CFileClient::progress,
        [this](qint64 done, qint64 total) { showProgress(done, total); });
    const QString where = QStringLiteral("%1:%2").arg(host, QString::number(filePort));
    if (!client.connectToServer(host, filePort))
        return connectFailure(where, client.clientError(), client.tlsErrorText());
    const bool ok = client.upload(user, DETAIL, saveName, source);
    endProgress();
    if (ok) {
        printOut(QStringLiteral("Uploaded %1 as save %2 (%3 bytes)\n")
                     .arg(path, saveName, QString::number(client.transferred())));
        return EXIT_OK;
    }
    if (client.clientError() == ClientError::LocalFile) {
        printErr(QStringLiteral("tolvern-client: upload failed: cannot read %1: %2\n")
                     .arg(path, source.errorString()));
        return EXIT_LOCAL_FILE_ERROR;
    }
    if (client.clientError() != ClientError::None)
        return networkFailure(QStringLiteral("upload failed"), client.clientError());
    return fileResult(client.result());
}

int CClientCommand::download()
{
    const QString &saveName = words.at(1);
    const QString &path = words.at(2);
    if (!checkText(saveName, QStringLiteral("SAVE")) || !checkText(user, QStringLiteral("--user")))
        return EXIT_USAGE;
    // The bytes go to a temporary file beside OUT that takes its name only when complete.
    QSaveFile sink(path);
    if (!sink.open(QIODevice::WriteOnly)) {
        printErr(
            QStringLiteral("tolvern-client: cannot write %1: %2\n").arg(path, sink.errorString()));
        return EXIT_LOCAL_FILE_ERROR;
    }

    CFileClient client;
    client.setTimeout(timeoutMs);
    client.setTls(tls);
    QObject::connect(&client, &CFileClient::progress,
        [this](qint64 done, qint64 total) { showProgress(done, total); });
    const QString where = QStringLiteral("%1:%2").arg(host, QString::number(filePort));
    if (!client.connectToServer(host, filePort)) {
        sink.cancelWriting();
        return connectFailure(where, client.clientError(), client.tlsErrorText());
    }
    const bool ok = client.download(user, DETAIL, saveName, sink);
    endProgress();
    if (!ok) {
        sink.cancelWriting();
        if (client.clientError() == ClientError::LocalFile) {
            printErr(QStringLiteral("tolvern-client: download failed: cannot write %1: %2\n")
                         .arg(path, sink.errorString()));
            return EXIT_LOCAL_FILE_ERROR;
        }
        if (client.clientError() != ClientError::None)
            return networkFailure(QStringLiteral("download failed"), client.clientError());
        return fileResult(client.result());
    }
    if (!sink.commit()) {
        printErr(
            QStringLiteral("tolvern-client: cannot write %1: %2\n").arg(path, sink.errorString()));
        return EXIT_LOCAL_FILE_ERROR;
    }
    // The server leaves the connection to us once the file is complete.
    client.disconnectFromHost();
    printOut(QStringLiteral("Downloaded save %1 to %2 (%3 bytes)\n")
                 .arg(saveName, path, QString::number(client.transferred())));
    return EXIT_OK;
}

int CClientCommand::usageError(const QString &message) const
{
    printErr(QStringLiteral("tolvern-client: %1\n").arg(message));
    printErr(usage());
    return EXIT_USAGE;
}

int CClientCommand::connectFailure(
    const QString &where, ClientError error, const QString &tlsText) const
{
    QString what = QStringLiteral("cannot connect to %1").arg(where);
    if (error == ClientError::TlsHandshake && !tlsText.isEmpty())
        what = QStringLiteral("%1 (%2)").arg(what, tlsText);
    return networkFailure(what, error);
}

int CClientCommand::networkFailure(const QString &what, ClientError error) const
{
    printErr(QStringLiteral("tolvern-client: %1: %2\n").arg(what, libsock::clientErrorText(error)));
    switch (error) {
    case ClientError::ConnectionRefused:
        return EXIT_CONNECTION_REFUSED;
    case ClientError::HostNotFound:
        return EXIT_HOST_NOT_FOUND;
    case ClientError::Timeout:
        return EXIT_TIMEOUT;
    case ClientError::ConnectionClosed:
        return EXIT_CONNECTION_CLOSED;
    case ClientError::Protocol:
        return EXIT_PROTOCOL_ERROR;
    case ClientError::LocalFile:
        return EXIT_LOCAL_FILE_ERROR;
    case ClientError::NotStored:
        return EXIT_NOT_STORED;
    case ClientError::TlsHandshake:
        return EXIT_TLS_HANDSHAKE;
    case ClientError::None:
    case ClientError::Network:
        break;
    }
    return EXIT_NETWORK_ERROR;
}

int CClientCommand::controlResult(quint8 result, const QString &failedWhat) const
{
    QString reason;
    int code = EXIT_UNKNOWN_RESULT;
    switch (result) {
    case libsock::RESULT_FAILED:
        reason = QStringLiteral("the server could not do it (no such user, or a database error)");
        code = EXIT_RESULT_FAILED;
        break;
    case libsock::RESULT_USER_EXISTS:
        reason = QStringLiteral("the user name is already taken");
        code = EXIT_USER_EXISTS;
        break;
    case libsock::RESULT_LOGIN_FAILED:
        reason = QStringLiteral("unknown user name or wrong password");
        code = EXIT_LOGIN_FAILED;
        break;
    case libsock::RESULT_WRONG_PASSWORD:
        reason = QStringLiteral("the old password is wrong");
        code = EXIT_WRONG_PASSWORD;
        break;
    default:
        reason = QStringLiteral("unknown result");
        break;
    }
    printErr(QStringLiteral("tolvern-client: %1 failed: %2 (result %3)\n")
                 .arg(failedWhat, reason)
                 .arg(result));
    return code;
}

int CClientCommand::fileResult(quint8 result) const
{
    QString reason;
    int code = EXIT_UNKNOWN_RESULT;
    switch (result) {
    case libsock::FILE_NOT_FOUND:
        reason = QStringLiteral("no such save on the server");
        code = EXIT_SAVE_NOT_FOUND;
        break;
    case libsock::FILE_OPEN_FAILED:
        reason = QStringLiteral("the server could not open the save");
        code = EXIT_SAVE_OPEN_FAILED;
        break;
    case libsock::FILE_REFUSED:
        reason = QStringLiteral("refused by the server (transfer not allowed, or the save name "
                                "reaches outside the storage directory)");
        code = EXIT_TRANSFER_REFUSED;
        break;
    default:
        reason = QStringLiteral("unknown result");
        break;
    }
    printErr(QStringLiteral("tolvern-client: %1 failed: %2 (result %3)\n")
                 .arg(words.first(), reason)
                 .arg(result));
    return code;
}

bool CClientCommand::checkText(const QString &text, const QString &what) const
{
    // The protocol carries Latin-1; anything else would arrive as different text.
    if (text != QString::fromLatin1(text.toLatin1())) {
        usageError(QStringLiteral("%1 must be Latin-1 text").arg(what));
        return false;
    }
    if (text.size() > MAX_TEXT_BYTES) {
        usageError(QStringLiteral("%1 is longer than %2 characters")
                       .arg(what, QString::number(MAX_TEXT_BYTES)));
        return false;
    }
    return true;
}

void CClientCommand::showProgress(qint64 done, qint64 total)
{
    if (!progressChecked) {
        progressChecked = true;
        if (isatty(STDERR_FILENO))
            progressStream = stderr;
        else if (isatty(STDOUT_FILENO))
            progressStream = stdout;
        progressClock.start();
    }
    if (!progressStream)
        return;
    const int permille = total > 0 ? int(qMin<qint64>(1000, done * 1000 / total)) : 1000;
    const bool last = done >= total;
    if (progressShown
        && (permille == progressPermille
            || (!last && progressClock.elapsed() < PROGRESS_INTERVAL_MS)))
        return;
    progressClock.restart();
    progressPermille = permille;
    progressShown = true;
    const int filled = permille * PROGRESS_WIDTH / 1000;
    const QString bar
        = QString(filled, QLatin1Char('#')) + QString(PROGRESS_WIDTH - filled, QLatin1Char('-'));
    const QString line = QStringLiteral("\r[%1] %2% %3 / %4 ")
                             .arg(bar)
                             .arg(permille / 10, 3)
                             .arg(sizeText(done), sizeText(total));
    const QByteArray bytes = line.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), progressStream);
    std::fflush(progressStream);
}

void CClientCommand::endProgress()
{
    if (!progressShown)
        return;
    std::fputc('\n', progressStream);
    std::fflush(progressStream);
    progressShown = false;
}

void CClientCommand::printOut(const QString &line) const
{
    const QByteArray bytes = line.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void CClientCommand::printErr(const QString &line) const
{
    const QByteArray bytes = line.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}
