#include "cadmincommand.h"

#include <cstdio>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "admintokencommand.h"
#include "cbackupcommand.h"
#include "cdbcommand.h"
#include "cinstallpaths.h"
#include "cjournal.h"
#include "cserversettings.h"
#include "cuserdb.h"
#include "cuserdbconfig.h"
#include "cuserscommand.h"
#include "cs3config.h"
#include "savescommand.h"
#include "tolvernversion.h"

namespace {

struct Verb
{
    const char *name;
    int (*run)(CAdminCommand &command, const QStringList &arguments);
    const char *summary;
};

int runSaves(CAdminCommand &command, const QStringList &arguments)
{
    return runSavesCommand(command, arguments);
}

int runAdmin(CAdminCommand &, const QStringList &arguments)
{
    return runAdminCommand(arguments);
}

// One line per verb.
const Verb VERBS[] = {
    { "users", &CUsersCommand::run, "list, add, delete and purge users, change passwords" },
    { "saves", &runSaves,
        "list a user's saves, their history, restore a version, verify their sums" },
    { "db", &CDbCommand::run, "copy the users into another database (SQLite to PostgreSQL)" },
    { "admin", &runAdmin, "make the bearer token of the HTTP port (admin token)" },
    { "backup", &CBackupCommand::runBackup, "back up users, saves and ini; check a backup" },
    { "restore", &CBackupCommand::runRestore, "restore a backup into empty folders" },
};

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

void CAdminCommand::record(const QString &line)
{
    CJournal::record(line);
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
    QCoreApplication::setApplicationVersion(QStringLiteral(TOLVERN_VERSION));

    CAdminCommand command;
    command.startDir = QDir::currentPath();
    QStringList rest = arguments.mid(1);
    if (!command.takeCommonOptions(rest))
        return EXIT_USAGE;
    // On the server's machine the commands find the installed service's ini and database.
    const CInstallPaths::Places places = CInstallPaths::serviceDefaults();
    if (command.config.isEmpty())
        command.config = places.config;
    if (command.workDir.isEmpty())
        command.workDir = places.workDir;
    if (!command.workDir.isEmpty() && !QDir::setCurrent(command.workDir)) {
        printError(QStringLiteral("cannot change to the folder %1").arg(command.workDir));
        return EXIT_USAGE;
    }
    if (!command.config.isEmpty())
        CServerSettings::instance()->setIniFilePath(command.config);
    command.takeOwnerIdentity();
    // The lines the window would log (a purge's outcome and whom it took, the database's
    // notices) go to the journal, beside the trail of each change; at once, from the thread
    // that logs them, so a command cut short has recorded all it did.
    QObject::connect(
        CUserDb::instance(), &CUserDb::log, &app,
        [](const QString &line) { CJournal::record(line, CJournal::priorityOf(line)); },
        Qt::DirectConnection);

    int code = EXIT_USAGE;
    for (const Verb &verb : VERBS) {
        if (arguments.first() == QLatin1String(verb.name))
            code = verb.run(command, rest);
    }
    CUserDb::instance()->close();
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

bool CAdminCommand::openDatabase(bool mayCreate)
{
    // The ini's [Database] section says where the users live.
    CServerSettings::instance()->load();
    CUserDb *users = CUserDb::instance();
    CUserDbConfig config;
    QString error;
    if (!users->currentConfig(&config, &error)) {
        printError(error);
        return false;
    }
    if (!config.isPostgresql()) {
        const QFileInfo file(config.sqliteFile());
        if (!mayCreate && !file.exists()) {
            printError(QStringLiteral("no user database at %1 (start the server once, or give "
                                      "--workdir with the server's working directory)")
                           .arg(file.absoluteFilePath()));
            return false;
        }
        QDir().mkpath(file.absolutePath());
    }
    // A running server holds short write locks; the connection waits them out.
    if (!users->open(&error)) {
        printError(error);
        return false;
    }
    return true;
}

bool CAdminCommand::loadStorage(bool mayBeUnset)
{
    CServerSettings *settings = CServerSettings::instance();
    settings->load();
    if (!settings->backendProblem().isEmpty()) {
        printError(QStringLiteral("%1 in %2").arg(settings->backendProblem(),
            settings->iniFilePath()));
        return false;
    }
    if (settings->savesInS3()) {
        CS3Config config;
        QString why;
        if (CS3Config::fromSettings(*settings, &config, &why))
            return true;
        printError(
            QStringLiteral("[Storage] Backend=s3 in %1: %2").arg(settings->iniFilePath(), why));
        return false;
    }
    if (settings->saveDataDir.isEmpty() && mayBeUnset)
        return true;
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
