#include "cuserscommand.h"

#include <algorithm>
#include <cstdio>

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "cabstractsavestore.h"
#include "cadmincommand.h"
#include "cinstallpaths.h"
#include "cserversettings.h"
#include "cuserdb.h"
#include "cuserdbconfig.h"
#include "cuserexport.h"
#include "cuserpurge.h"
#include "printabletext.h"

namespace {

const char LIST_USAGE[] = "Usage: tolvern-server users list [--json]\n"
                          "Lists every user: id, name and last login, latest first.\n";
const char ADD_USAGE[] = "Usage: tolvern-server users add NAME PASS\n"
                         "Adds a user (name and password trimmed) and prints its id.\n";
const char PASSWD_USAGE[] = "Usage: tolvern-server users passwd ID NEWPASS\n"
                            "Changes the password of user ID (taken as typed).\n";
const char DELETE_USAGE[] = "Usage: tolvern-server users delete ID...\n"
                            "Deletes each user's game-data folder, then the user.\n";
const char PURGE_USAGE[]
    = "Usage: tolvern-server users purge --inactive 3m|6m [--data-only] [--dry-run]\n"
      "Deletes the users not logged in within 3 or 6 months, with their game-data folders,\n"
      "and names them; with --data-only only their game-data folders are deleted and the\n"
      "users stay; with --dry-run nothing changes and the users it would take are listed.\n"
      "Users who never logged in count as inactive, however recently they were added: a\n"
      "user added a minute ago goes too. Try --dry-run first.\n";

const char EXPORT_USAGE[]
    = "Usage: tolvern-server users export ID --to FILE\n"
      "Writes everything kept about user ID into one tar archive FILE, for the player's\n"
      "request for their data: the account (id, name, last login; never the password),\n"
      "every save with its history, and a manifest with each file's size and SHA-256.\n";

QString text(const char *latin1)
{
    return QString::fromLatin1(latin1);
}

} // namespace

QString CUsersCommand::usage()
{
    return QStringLiteral(
        "Usage: tolvern-server users COMMAND [ARG]... [--config FILE] [--workdir DIR]\n"
        "Manages the users of the server whose database is DIR/db/users.db (default: the\n"
        "current folder; for an installed server %1) and whose ini is FILE\n"
        "(default: %2 for an installed server; needed by delete and\n"
        "purge for the storage folder). Works while the server runs; its window shows the\n"
        "changes after Refresh. Changes are recorded in the system journal.\n"
        "\n"
        "  list [--json]                      list the users\n"
        "  add NAME PASS                      add a user, print its id\n"
        "  passwd ID NEWPASS                  change a password\n"
        "  delete ID...                       delete users and their game data\n"
        "  purge --inactive 3m|6m [--data-only] [--dry-run]\n"
        "                                     delete inactive users (or their game data);\n"
        "                                     users who never logged in count as inactive\n"
        "  export ID --to FILE                a player's account and saves in one archive\n"
        "\n"
        "Exit status: 0 done, 1 database error, 2 empty name or password, 3 name taken,\n"
        "4 no such user, 5 no storage folder, 64 wrong usage.\n")
        .arg(CInstallPaths::systemWorkDir(), CInstallPaths::systemIniFile());
}

QString CUsersCommand::userLines(const QVector<CUserDb::UserRow> &users)
{
    QString text;
    for (const CUserDb::UserRow &user : users) {
        text += QStringLiteral("  %1  %2  last login %3\n")
                    .arg(user.objectId)
                    .arg(printableText(user.name),
                        user.lastLogin.isEmpty() ? QStringLiteral("never") : user.lastLogin);
    }
    return text;
}

bool CUsersCommand::wantsHelp(const QStringList &arguments)
{
    return arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h"));
}

int CUsersCommand::usageError(const QString &message, const QString &usage)
{
    CAdminCommand::printError(message);
    std::fputs(usage.toLocal8Bit().constData(), stderr);
    return CAdminCommand::EXIT_USAGE;
}

bool CUsersCommand::parseId(const QString &value, int &id)
{
    bool ok = false;
    id = value.toInt(&ok, 10);
    return ok && id > 0;
}

bool CUsersCommand::userFound(int id, bool &found)
{
    // password() is false both for no such user and for a failed statement: ask the table.
    QVector<CUserDb::UserRow> rows;
    if (!CUserDb::instance()->users(rows)) {
        CAdminCommand::printError(QStringLiteral("the user database cannot be read"));
        return false;
    }
    found = std::any_of(rows.cbegin(), rows.cend(),
        [id](const CUserDb::UserRow &row) { return row.objectId == id; });
    return true;
}

int CUsersCommand::run(CAdminCommand &command, const QStringList &arguments)
{
    if (arguments.isEmpty())
        return usageError(QStringLiteral("users: a command is missing"), usage());
    const QString &sub = arguments.first();
    const QStringList rest = arguments.mid(1);
    if (sub == QLatin1String("--help") || sub == QLatin1String("-h")) {
        CAdminCommand::printOut(usage());
        return CAdminCommand::EXIT_OK;
    }
    if (sub == QLatin1String("list"))
        return list(command, rest);
    if (sub == QLatin1String("add"))
        return add(command, rest);
    if (sub == QLatin1String("passwd"))
        return passwd(command, rest);
    if (sub == QLatin1String("delete"))
        return remove(command, rest);
    if (sub == QLatin1String("purge"))
        return purge(command, rest);
    if (sub == QLatin1String("export"))
        return exportUser(command, rest);
    return usageError(QStringLiteral("users: unknown command %1").arg(sub), usage());
}

int CUsersCommand::list(CAdminCommand &command, const QStringList &arguments)
{
    if (wantsHelp(arguments)) {
        CAdminCommand::printOut(text(LIST_USAGE));
        return CAdminCommand::EXIT_OK;
    }
    const bool json = arguments == QStringList { QStringLiteral("--json") };
    if (!arguments.isEmpty() && !json)
        return usageError(
            QStringLiteral("users list: unexpected %1").arg(arguments.first()), text(LIST_USAGE));
    if (!command.openDatabase(false))
        return CAdminCommand::EXIT_DATABASE;

    QVector<CUserDb::UserRow> found;
    if (!CUserDb::instance()->users(found)) {
        CAdminCommand::printError(QStringLiteral("the user database cannot be read"));
        return CAdminCommand::EXIT_DATABASE;
    }
    QJsonArray users;
    QList<QStringList> rows;
    rows << QStringList { QStringLiteral("ID"), QStringLiteral("NAME"),
        QStringLiteral("LAST LOGIN") };
    for (const CUserDb::UserRow &user : std::as_const(found)) {
        const QDateTime when = QDateTime::fromString(user.lastLogin, Qt::ISODate);
        if (json) {
            QJsonObject entry;
            entry.insert(QStringLiteral("id"), user.objectId);
            entry.insert(QStringLiteral("name"), user.name);
            entry.insert(QStringLiteral("lastLogin"),
                user.lastLogin.isEmpty() ? QJsonValue() : QJsonValue(CUserDb::dateTimeText(when)));
            users.append(entry);
        } else {
            // Names come from clients: no terminal control reaches the operator's screen.
            rows << QStringList { QString::number(user.objectId), printableText(user.name),
                user.lastLogin.isEmpty() ? QStringLiteral("never")
                                         : when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) };
        }
    }
    // On stderr: the list itself, --json's above all, stays as scripts read it.
    int plain = 0;
    if (CUserDb::instance()->plainPasswordCount(&plain) && plain > 0) {
        const bool hashing = CServerSettings::instance()->snapshot().hashPasswords;
        CAdminCommand::printError(
            QStringLiteral("%1 user(s) with a password stored as plain text%2")
                .arg(QString::number(plain),
                    hashing ? QStringLiteral("; each is hashed at the user's next login")
                            : QStringLiteral(" (PasswordHashing=plain)")));
    }
    if (json) {
        CAdminCommand::printOut(
            QString::fromUtf8(QJsonDocument(users).toJson(QJsonDocument::Compact)) + u'\n');
        return CAdminCommand::EXIT_OK;
    }
    qsizetype widths[2] = { 0, 0 };
    for (const QStringList &row : std::as_const(rows)) {
        widths[0] = qMax(widths[0], row.at(0).size());
        widths[1] = qMax(widths[1], row.at(1).size());
    }
    QString out;
    for (const QStringList &row : std::as_const(rows)) {
        out += row.at(0).leftJustified(widths[0] + 2) + row.at(1).leftJustified(widths[1] + 2)
            + row.at(2) + u'\n';
    }
    CAdminCommand::printOut(out);
    return CAdminCommand::EXIT_OK;
}

int CUsersCommand::add(CAdminCommand &command, const QStringList &arguments)
{
    if (wantsHelp(arguments)) {
        CAdminCommand::printOut(text(ADD_USAGE));
        return CAdminCommand::EXIT_OK;
    }
    if (arguments.size() != 2)
        return usageError(QStringLiteral("users add: NAME and PASS expected"), text(ADD_USAGE));
    if (!command.openDatabase(true))
        return CAdminCommand::EXIT_DATABASE;

    // The add-user dialog's rules, in its order.
    CUserDb *db = CUserDb::instance();
    const QString name = arguments.at(0).trimmed();
    if (name.isEmpty()) {
        CAdminCommand::printError(QStringLiteral("User name is empty"));
        return CAdminCommand::EXIT_REFUSED;
    }
    if (db->userExists(name)) {
        CAdminCommand::printError(
            QStringLiteral("User name [%1] already exists").arg(printableText(name)));
        return CAdminCommand::EXIT_NAME_TAKEN;
    }
    const QString password = arguments.at(1).trimmed();
    if (password.isEmpty()) {
        CAdminCommand::printError(QStringLiteral("Password is empty"));
        return CAdminCommand::EXIT_REFUSED;
    }
    int objectId = 0;
    if (!db->addUser(name, password, &objectId)) {
        CAdminCommand::printError(QStringLiteral("User create failed"));
        return CAdminCommand::EXIT_DATABASE;
    }
    CAdminCommand::record(
        QStringLiteral("Added user %1 (%2)").arg(objectId).arg(printableText(name)));
    CAdminCommand::printOut(QString::number(objectId) + u'\n');
    return CAdminCommand::EXIT_OK;
}

int CUsersCommand::passwd(CAdminCommand &command, const QStringList &arguments)
{
    if (wantsHelp(arguments)) {
        CAdminCommand::printOut(text(PASSWD_USAGE));
        return CAdminCommand::EXIT_OK;
    }
    int id = 0;
    if (arguments.size() != 2 || !parseId(arguments.at(0), id))
        return usageError(QStringLiteral("users passwd: ID (a positive number) and NEWPASS "
                                         "expected"),
            text(PASSWD_USAGE));
    // As the user page: the password as typed, and an empty one changes nothing.
    const QString &password = arguments.at(1);
    if (password.isEmpty()) {
        CAdminCommand::printError(QStringLiteral("Password is empty"));
        return CAdminCommand::EXIT_REFUSED;
    }
    if (!command.openDatabase(false))
        return CAdminCommand::EXIT_DATABASE;
    bool found = false;
    if (!userFound(id, found))
        return CAdminCommand::EXIT_DATABASE;
    if (!found) {
        CAdminCommand::printError(QStringLiteral("no user with id %1").arg(id));
        return CAdminCommand::EXIT_NO_USER;
    }
    if (!CUserDb::instance()->setPassword(id, password)) {
        CAdminCommand::printError(QStringLiteral("Change password failed"));
        return CAdminCommand::EXIT_DATABASE;
    }
    CAdminCommand::record(QStringLiteral("Changed the password of user %1").arg(id));
    CAdminCommand::printOut(QStringLiteral("Change password succeed\n"));
    return CAdminCommand::EXIT_OK;
}

int CUsersCommand::remove(CAdminCommand &command, const QStringList &arguments)
{
    if (wantsHelp(arguments)) {
        CAdminCommand::printOut(text(DELETE_USAGE));
        return CAdminCommand::EXIT_OK;
    }
    QList<int> ids;
    for (const QString &argument : arguments) {
        int id = 0;
        if (!parseId(argument, id))
            return usageError(QStringLiteral("users delete: %1 is not a user id").arg(argument),
                text(DELETE_USAGE));
        ids << id;
    }
    if (ids.isEmpty())
        return usageError(QStringLiteral("users delete: no user id given"), text(DELETE_USAGE));
    // The folders live in the storage folder: one that is set but missing (an unmounted
    // share) would leave them behind. Before any is set there are none, as for "users add".
    if (!command.loadStorage(true))
        return CAdminCommand::EXIT_NO_STORAGE;
    if (!command.openDatabase(false))
        return CAdminCommand::EXIT_DATABASE;

    int code = CAdminCommand::EXIT_OK;
    for (const int id : std::as_const(ids)) {
        bool found = false;
        if (!userFound(id, found))
            return CAdminCommand::EXIT_DATABASE;
        if (!found) {
            CAdminCommand::printError(QStringLiteral("no user with id %1").arg(id));
            code = CAdminCommand::EXIT_NO_USER;
            continue;
        }
        // The row stays when the folder cannot be removed, as on the user page.
        if (!CUserDb::instance()->deleteUser(id)) {
            CAdminCommand::printError(
                QStringLiteral("user %1 could not be deleted (game data folder %2)")
                    .arg(id)
                    .arg(CUserDb::instance()->userDataPath(id)));
            code = CAdminCommand::EXIT_DATABASE;
            continue;
        }
        CAdminCommand::record(QStringLiteral("Deleted user %1 and the game data").arg(id));
        CAdminCommand::printOut(QStringLiteral("Deleted user %1\n").arg(id));
    }
    return code;
}

int CUsersCommand::parsePurge(
    const QStringList &arguments, int *months, bool *dataOnly, bool *dryRun)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &word = arguments.at(i);
        QString range;
        if (word == QLatin1String("--data-only")) {
            *dataOnly = true;
            continue;
        } else if (word == QLatin1String("--dry-run")) {
            *dryRun = true;
            continue;
        } else if (word == QLatin1String("--inactive") && i + 1 < arguments.size()) {
            range = arguments.at(++i);
        } else if (word.startsWith(QLatin1String("--inactive="))) {
            range = word.mid(11);
        } else {
            return usageError(
                QStringLiteral("users purge: unexpected %1").arg(word), text(PURGE_USAGE));
        }
        // The settings dialog's two ranges.
        if (range == QLatin1String("3m"))
            *months = 3;
        else if (range == QLatin1String("6m"))
            *months = 6;
        else
            return usageError(
                QStringLiteral("users purge: --inactive takes 3m or 6m"), text(PURGE_USAGE));
    }
    return -1;
}

int CUsersCommand::purge(CAdminCommand &command, const QStringList &arguments)
{
    if (wantsHelp(arguments)) {
        CAdminCommand::printOut(text(PURGE_USAGE));
        return CAdminCommand::EXIT_OK;
    }
    int months = 0;
    bool dataOnly = false;
    bool dryRun = false;
    const int refused = parsePurge(arguments, &months, &dataOnly, &dryRun);
    if (refused >= 0)
        return refused;
    if (!months)
        return usageError(
            QStringLiteral("users purge: --inactive 3m|6m is required"), text(PURGE_USAGE));
    if (!command.loadStorage())
        return CAdminCommand::EXIT_NO_STORAGE;
    if (!command.openDatabase(false))
        return CAdminCommand::EXIT_DATABASE;

    const QDateTime before = CUserPurge::cutOffFor(months, QDateTime::currentDateTime());
    CUserPurge work(CUserDb::instance(), dataOnly ? CUserPurge::ClearData : CUserPurge::DeleteUsers,
        before,
        std::shared_ptr<CAbstractSaveStore>(
            CAbstractSaveStore::fromSettings(CServerSettings::instance()->snapshot())));
    work.setDryRun(dryRun);
    const QString verb = dataOnly ? QStringLiteral("cleared") : QStringLiteral("deleted");
    // Whole percents only: a large purge would fill the screen otherwise.
    int shown = -1;
    QObject::connect(&work, &CUserPurge::progress, &work, [&verb, &shown](int done, int total) {
        const int percent = total > 0 ? int(qint64(done) * 100 / total) : 100;
        if (percent == shown)
            return;
        shown = percent;
        std::fprintf(stderr, "%s %d of %d users\n", verb.toLatin1().constData(), done, total);
    });
    QEventLoop loop;
    QObject::connect(&work, &CUserPurge::finished, &loop, &QEventLoop::quit);
    work.start();
    loop.exec();
    return reportPurge(work.counts(), before, dataOnly, dryRun);
}

int CUsersCommand::reportPurge(
    const CUserPurge::Counts &counts, const QDateTime &before, bool dataOnly, bool dryRun)
{
    const QString since = CUserDb::dateTimeText(before);
    if (dryRun) {
        if (counts.databaseFailed) {
            CAdminCommand::printError(counts.errorText);
            return CAdminCommand::EXIT_DATABASE;
        }
        CAdminCommand::printOut((dataOnly ? QStringLiteral("Would clear the game data of %1 "
                                                           "users not logged in since %2:\n")
                                          : QStringLiteral("Would delete %1 users not logged "
                                                           "in since %2:\n"))
                                    .arg(counts.found)
                                    .arg(since)
            + userLines(counts.users));
        return CAdminCommand::EXIT_OK;
    }
    // Whom it took is in the journal already, one line each as it went: a purge is no undo.
    if (!counts.earlier.isEmpty())
        CAdminCommand::printOut(
            QStringLiteral("Removed the game data of %1 users a purge cut short had deleted\n")
                .arg(counts.earlier.size())
            + userLines(counts.earlier));
    if (counts.databaseFailed) {
        CAdminCommand::printError(dataOnly
                ? QStringLiteral("stopped after clearing the game data of %1 of %2 inactive "
                                 "users: %3")
                      .arg(counts.cleared + counts.missing)
                      .arg(counts.found)
                      .arg(counts.errorText)
                : QStringLiteral("stopped after deleting %1 of %2 inactive users: %3")
                      .arg(counts.deleted)
                      .arg(counts.found)
                      .arg(counts.errorText));
        return CAdminCommand::EXIT_DATABASE;
    }
    if (counts.folderFailures > 0) {
        CAdminCommand::printError(
            QStringLiteral("the game data of %1 %2 users could not be removed")
                .arg(counts.folderFailures)
                .arg(dataOnly ? QStringLiteral("inactive") : QStringLiteral("deleted")));
        return CAdminCommand::EXIT_DATABASE;
    }
    if (dataOnly) {
        CAdminCommand::printOut(
            QStringLiteral("Cleared the game data of %1 users not logged in since %2 (%3 had "
                           "none)\n")
                .arg(counts.cleared + counts.missing)
                .arg(since)
                .arg(counts.missing)
            + userLines(counts.users));
    } else {
        CAdminCommand::printOut(QStringLiteral("Deleted %1 users not logged in since %2\n")
                                    .arg(counts.deleted)
                                    .arg(since)
            + userLines(counts.users));
    }
    return CAdminCommand::EXIT_OK;
}

int CUsersCommand::exportUser(CAdminCommand &command, const QStringList &arguments)
{
    if (wantsHelp(arguments)) {
        CAdminCommand::printOut(text(EXPORT_USAGE));
        return CAdminCommand::EXIT_OK;
    }
    int id = 0;
    QString file;
    if (arguments.size() == 3 && arguments.at(1) == QLatin1String("--to"))
        file = arguments.at(2);
    else if (arguments.size() == 2 && arguments.at(1).startsWith(QLatin1String("--to=")))
        file = arguments.at(1).mid(5);
    if (file.isEmpty() || !parseId(arguments.first(), id))
        return usageError(
            QStringLiteral("users export: ID and --to FILE expected"), text(EXPORT_USAGE));
    file = QDir(command.startDir).absoluteFilePath(file);
    if (!command.loadStorage())
        return CAdminCommand::EXIT_NO_STORAGE;
    if (!command.openDatabase(false))
        return CAdminCommand::EXIT_DATABASE;
    CUserDbConfig config;
    QString why;
    if (!CUserDb::instance()->currentConfig(&config, &why)) {
        CAdminCommand::printError(why);
        return CAdminCommand::EXIT_DATABASE;
    }
    CUserExport exporter(config,
        std::shared_ptr<CAbstractSaveStore>(
            CAbstractSaveStore::fromSettings(CServerSettings::instance()->snapshot())),
        id);
    if (!exporter.write(file)) {
        CAdminCommand::printError(QStringLiteral("users export: %1").arg(exporter.errorText()));
        return exporter.userMissing() ? CAdminCommand::EXIT_NO_USER : CAdminCommand::EXIT_DATABASE;
    }
    CAdminCommand::printOut(QStringLiteral("Exported user %1 with %2 files (%3 bytes) to %4\n")
                                .arg(id)
                                .arg(exporter.fileCount())
                                .arg(exporter.byteCount())
                                .arg(file));
    return CAdminCommand::EXIT_OK;
}
