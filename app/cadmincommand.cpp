#include "cadmincommand.h"

#include <cstdio>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>

#include "cserversettings.h"
#include "cuserdb.h"
#include "cuserscommand.h"

namespace {

struct Verb
{
    const char *name;
    int (*run)(CAdminCommand &command, const QStringList &arguments);
    const char *summary;
};

// One line per verb.
const Verb VERBS[] = {
    { "users", &CUsersCommand::run, "list, add, delete and purge users, change passwords" },
};

const char DATABASE_FILE[] = "db/users.db";

} // namespace

bool CAdminCommand::isVerb(const QString &word)
{
    for (const Verb &verb : VERBS) {
        if (word == QLatin1String(verb.name))
            return true;
    }
    return false;
}

QString CAdminCommand::verbList()
{
    QString text;
    for (const Verb &verb : VERBS)
        text += QStringLiteral("  %1  %2\n")
                    .arg(QLatin1String(verb.name), -8)
                    .arg(QLatin1String(verb.summary));
    return text;
}

void CAdminCommand::printError(const QString &text)
{
    std::fprintf(stderr, "tolvern-server: %s\n", text.toLocal8Bit().constData());
}

void CAdminCommand::printOut(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
}

int CAdminCommand::run(int &argc, char **argv, const QStringList &arguments)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Ombrivale"));
    QCoreApplication::setApplicationName(QStringLiteral("Tolvern Data Server"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    CAdminCommand command;
    QStringList rest = arguments.mid(1);
    if (!command.takeCommonOptions(rest))
        return EXIT_USAGE;
    if (!command.workDir.isEmpty() && !QDir::setCurrent(command.workDir)) {
        printError(QStringLiteral("cannot change to the folder %1").arg(command.workDir));
        return EXIT_USAGE;
    }
    if (!command.config.isEmpty())
        CServerSettings::instance()->setIniFilePath(command.config);
    command.takeOwnerIdentity();

    int code = EXIT_USAGE;
    for (const Verb &verb : VERBS) {
        if (arguments.first() == QLatin1String(verb.name))
            code = verb.run(command, rest);
    }
    QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    return code;
}

bool CAdminCommand::takeCommonOptions(QStringList &arguments)
{
    QStringList rest;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &word = arguments.at(i);
        const QString name = word.section(QLatin1Char('='), 0, 0);
        if (name != QLatin1String("--config") && name != QLatin1String("--workdir")) {
            rest << word;
            continue;
        }
        QString value;
        if (word.contains(QLatin1Char('=')))
            value = word.section(QLatin1Char('='), 1);
        else if (i + 1 < arguments.size())
            value = arguments.at(++i);
        if (value.isEmpty()) {
            printError(QStringLiteral("option %1 needs a value").arg(name));
            return false;
        }
        // Taken against the folder the command was started in, before --workdir applies.
        value = QDir::cleanPath(QFileInfo(value).absoluteFilePath());
        (name == QLatin1String("--config") ? config : workDir) = value;
    }
    arguments = rest;
    return true;
}

void CAdminCommand::takeOwnerIdentity()
{
    // Run by root on a service's database, new files (the write-ahead log, user folders)
    // would belong to root and lock the service out: act as the owner of the files instead.
    if (geteuid() != 0)
        return;
    struct stat info
    {
    };
    const QString folder
        = QFileInfo::exists(QStringLiteral("db")) ? QStringLiteral("db") : QStringLiteral(".");
    if (::stat(QFile::encodeName(folder).constData(), &info) != 0 || info.st_uid == 0)
        return;
    if (::setgroups(0, nullptr) != 0 || ::setgid(info.st_gid) != 0 || ::setuid(info.st_uid) != 0)
        printError(QStringLiteral("cannot act as the owner (uid %1) of the database folder")
                       .arg(info.st_uid));
}

QString CAdminCommand::databasePath() const
{
    return QFileInfo(QLatin1String(DATABASE_FILE)).absoluteFilePath();
}

bool CAdminCommand::openDatabase(bool mayCreate)
{
    if (!mayCreate && !QFileInfo::exists(QLatin1String(DATABASE_FILE))) {
        printError(QStringLiteral("no user database at %1 (start the server once, or give "
                                  "--workdir with the server's working directory)")
                       .arg(databasePath()));
        return false;
    }
    if (!QFileInfo::exists(QStringLiteral("db")))
        QDir().mkdir(QStringLiteral("db"));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QLatin1String(DATABASE_FILE));
    // A running server holds short write locks; wait them out rather than fail.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
    if (!db.open()) {
        printError(QStringLiteral("cannot open the user database %1: %2")
                       .arg(databasePath(), db.lastError().text()));
        return false;
    }
    CUserDb::instance();
    return true;
}

bool CAdminCommand::loadStorage()
{
    CServerSettings *settings = CServerSettings::instance();
    settings->load();
    if (settings->saveDataDir.isEmpty()) {
        printError(QStringLiteral("no storage folder is set in %1 (give --config with the "
                                  "server's ini)")
                       .arg(settings->iniFilePath()));
        return false;
    }
    if (!QFileInfo(settings->saveDataDir).isDir()) {
        printError(
            QStringLiteral("the storage folder %1 does not exist").arg(settings->saveDataDir));
        return false;
    }
    return true;
}
