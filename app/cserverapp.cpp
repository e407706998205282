#include "cserverapp.h"

#include <csignal>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QPointer>
#include <QSettings>
#include <QSocketNotifier>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStyleFactory>

#include "cadmincommand.h"
#include "cconfigcheck.h"
#include "cconsolelog.h"
#include "cepolleventdispatcher.h"
#include "cinifile.h"
#include "cinstallpaths.h"
#include "cjournal.h"
#include "cservercore.h"
#include "ctlsacceptor.h"
#include "cservermainwindow.h"
#include "cserveroptions.h"
#include "cs3bucket.h"
#include "cs3config.h"
#include "cabstractsavestore.h"
#include "cserversettings.h"
#include "csetupdlg.h"
#include "csingleinstance.h"
#include "cstartuptidy.h"
#include "csystemdnotifier.h"
#include "cuserdb.h"
#include "cuserdbconfig.h"
#include "cwindowserver.h"
#include "tolvernversion.h"

namespace {
// Written by the signal handler, read by a socket notifier on the event loop.
int termSignalFds[2] = { -1, -1 };
constexpr char TERMINATE_BYTE = 1;
constexpr char HANGUP_BYTE = 2;
// The core a SIGHUP reloads the TLS certificate of.
QPointer<CServerCore> hangupCore;

QString translate(const char *text)
{
    return QCoreApplication::translate("CServerApp", text);
}
// The save store the settings name, for the start-up tidy's thread; null: none set.
std::shared_ptr<CAbstractSaveStore> savedStore()
{
    return CAbstractSaveStore::fromSettings(CServerSettings::instance()->snapshot());
}

} // namespace

int CServerApp::run(int &argc, char **argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (!arguments.isEmpty() && CAdminCommand::isVerb(arguments.first()))
        return CAdminCommand::run(argc, argv, arguments);

    CServerOptions options;
    switch (options.parse(arguments)) {
    case CServerOptions::Help:
        std::fputs(qPrintable(CServerOptions::usage() + QStringLiteral("\nAdmin commands:\n")
                       + CAdminCommand::verbList()),
            stdout);
        return 0;
    case CServerOptions::Version:
        std::fputs("tolvern-server " TOLVERN_VERSION "\n", stdout);
        return 0;
    case CServerOptions::CheckConfig: {
        // The TLS pair is checked on a server socket, as the start does: it wants an
        // application object.
        QCoreApplication app(argc, argv);
        return checkConfig(options);
    }
    case CServerOptions::Invalid:
        printError(options.errorText());
        return EXIT_BAD_ARGUMENTS;
    case CServerOptions::Run:
        break;
    }

    bool headless = options.headless;
    if (!headless && !displayReachable(options.platformGiven)) {
        printError(QStringLiteral("no display found (DISPLAY and WAYLAND_DISPLAY are not set); "
                                  "running headless"));
        headless = true;
    }
    // An installed service finds the package's ini and folder without options, as the admin
    // commands do; the window keeps the user's own.
    if (headless) {
        const CInstallPaths::Places places = CInstallPaths::serviceDefaults();
        if (options.config.isEmpty())
            options.config = places.config;
        if (options.workDir.isEmpty())
            options.workDir = places.workDir;
    }
    if (!options.workDir.isEmpty() && !QDir::setCurrent(options.workDir)) {
        printError(QStringLiteral("cannot change to the folder %1").arg(options.workDir));
        return EXIT_BAD_ARGUMENTS;
    }
    if (!options.config.isEmpty() && QFileInfo(options.config).isDir()) {
        printError(QStringLiteral("%1 is a folder, not an ini file").arg(options.config));
        return EXIT_BAD_ARGUMENTS;
    }

    // Before the lock exists, so a signal that arrives once it does is never lost.
    installTermSignalHandlers();

    // Held until the process ends; restarts inside the process keep it.
    static CSingleInstance instance(instanceName(options));
    if (!instance.tryLock()) {
        instance.announceSecondStart();
        return 0;
    }

    raiseOpenFileLimit();
    if (!options.config.isEmpty())
        CServerSettings::instance()->setIniFilePath(options.config);
    return headless ? runHeadless(argc, argv, options) : runWindow(argc, argv, options, instance);
}

QString CServerApp::instanceName(const CServerOptions &options)
{
    const QString base = QStringLiteral("OMBRIVALE_TOLVERN");
    if (options.config.isEmpty())
        return base;
    // No application object exists yet to say where the program lives.
    const QString programDir = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    return CSingleInstance::nameForIni(
        base, options.config, CServerSettings::defaultIniFilePath(programDir));
}

bool CServerApp::displayReachable(bool platformGiven)
{
    return platformGiven || !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

void CServerApp::printError(const QString &text, int priority)
{
    // Under systemd the prefix gives the journal the line's priority; a terminal gets none.
    static const bool journal = CJournal::isJournalStream(STDERR_FILENO);
    const QByteArray prefix = journal ? "<" + QByteArray::number(priority) + ">" : QByteArray();
    std::fprintf(
        stderr, "%stolvern-server: %s\n", prefix.constData(), text.toLocal8Bit().constData());
    std::fflush(stderr);
}

int CServerApp::checkConfig(const CServerOptions &options)
{
    QString path = options.checkFile;
    if (path.isEmpty())
        path = options.config;
    if (path.isEmpty())
        path = CInstallPaths::serviceDefaults().config;
    if (path.isEmpty())
        path = CServerSettings::defaultIniFilePath(CInstallPaths::runningProgramDir());
    const QStringList problems = CConfigCheck::problems(path);
    for (const QString &problem : problems)
        std::fprintf(stdout, "%s\n", problem.toLocal8Bit().constData());
    if (problems.isEmpty())
        std::fprintf(stdout, "%s: no problems found\n", path.toLocal8Bit().constData());
    return problems.isEmpty() ? 0 : EXIT_BAD_ARGUMENTS;
}

void CServerApp::warnUnknownKeys(QStringList *lines)
{
    CIniFile ini(CServerSettings::instance()->iniFilePath());
    ini.load();
    const QStringList unknown = CConfigCheck::unknownKeys(ini);
    for (const QString &line : unknown)
        printError(QStringLiteral("warning: %1").arg(line), CJournal::Warning);
    if (lines)
        *lines = unknown;
}

void CServerApp::setIdentity()
{
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QCoreApplication::setOrganizationName(QStringLiteral("Ombrivale"));
    QCoreApplication::setApplicationName(QStringLiteral("Tolvern Data Server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TOLVERN_VERSION));
}

QString CServerApp::defaultStorageDir()
{
    QString dataHome = QFile::decodeName(qgetenv("XDG_DATA_HOME"));
    if (dataHome.isEmpty() || QDir::isRelativePath(dataHome))
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    return QDir::cleanPath(dataHome + QStringLiteral("/tolvern/saves"));
}

bool CServerApp::prepareStorage(const CServerOptions &options, bool useDefault, QString &created)
{
    CServerSettings *settings = CServerSettings::instance();
    QString dir = options.storage;
    if (dir.isEmpty()) {
        // A storage folder from the ini is checked as it always was.
        if (!settings->saveDataDir.isEmpty() || !useDefault)
            return true;
        dir = defaultStorageDir();
    }

    // Everything is checked before anything is written.
    const QFileInfo info(dir);
    if (info.exists() && !info.isDir()) {
        printError(QStringLiteral("the storage path %1 is not a folder").arg(dir));
        return false;
    }
    if (!info.exists()) {
        QString ancestor = QFileInfo(dir).absolutePath();
        while (!QFileInfo::exists(ancestor) && ancestor != QFileInfo(ancestor).absolutePath())
            ancestor = QFileInfo(ancestor).absolutePath();
        if (!QFileInfo(ancestor).isDir()
            || ::access(QFile::encodeName(ancestor).constData(), W_OK | X_OK) != 0) {
            printError(QStringLiteral("cannot create the storage folder %1").arg(dir));
            return false;
        }
        if (!QDir().mkpath(dir)) {
            printError(QStringLiteral("cannot create the storage folder %1").arg(dir));
            return false;
        }
        created = dir;
    }
    if (dir == settings->saveDataDir)
        return true;
    settings->saveDataDir = dir;
    if (!settings->save())
        printError(QStringLiteral("cannot save the storage folder in %1; it holds for this run")
                       .arg(settings->iniFilePath()));
    return true;
}

void CServerApp::applyDatabaseOption(const CServerOptions &options)
{
    if (options.database.isEmpty())
        return;
    CUserDbConfig config;
    if (!CUserDbConfig::fromUrl(options.database, &config, nullptr))
        return;
    // Through the record as well, so the user database's first connection already goes
    // there; load() brings back the ini's values, so this follows every load().
    CServerSettings *settings = CServerSettings::instance();
    settings->databaseDriver
        = config.isPostgresql() ? QStringLiteral("postgresql") : QStringLiteral("sqlite");
    settings->databaseUrl = config.isPostgresql() ? options.database : QString();
}

bool CServerApp::openDatabase(const CServerOptions &options, QString &error, bool &unreachable)
{
    unreachable = false;
    CUserDbConfig config;
    if (!options.database.isEmpty()) {
        if (!CUserDbConfig::fromUrl(options.database, &config, &error))
            return false;
    } else if (!CUserDbConfig::fromSettings(
                   CServerSettings::instance()->snapshot(), &config, &error)) {
        return false;
    }

    // An SQLite database is the default connection start-up holds; a database server needs
    // no file here.
    if (!config.isPostgresql()) {
        const QString file = config.sqliteFile();
        const QString folder = QFileInfo(file).path();
        if (!QFileInfo::exists(folder))
            QDir().mkdir(folder);
        config.createSqliteFile();
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(file);
        if (!db.open()) {
            error = QStringLiteral("cannot open the user database %1: %2")
                        .arg(QFileInfo(file).absoluteFilePath(), db.lastError().text());
            return false;
        }
        QSqlQuery pragma(db);
        pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        pragma.exec(QStringLiteral("PRAGMA synchronous=FULL"));
    }

    // The users' own connection, on SQLite or PostgreSQL as configured, with its tables.
    CUserDb *users = CUserDb::instance();
    if (!options.database.isEmpty())
        users->setConfig(config);
    if (!users->open(&error)) {
        unreachable = config.isPostgresql();
        return false;
    }
    if (config.isPostgresql())
        return true;
    // A read-only file or folder opens fine and fails every write later, which clients would
    // take for wrong passwords and taken names: find out now, with a write that is undone.
    QSqlQuery query(users->database());
    const bool writable = query.exec(QStringLiteral("SAVEPOINT tolvern_probe"))
        && query.exec(QStringLiteral("CREATE TABLE tolvern_write_probe (x INT)"));
    const QString reason = query.lastError().text();
    query.exec(QStringLiteral("ROLLBACK TO tolvern_probe"));
    query.exec(QStringLiteral("RELEASE tolvern_probe"));
    if (!writable) {
        error = QStringLiteral("cannot write the user database %1: %2")
                    .arg(QFileInfo(config.sqliteFile()).absoluteFilePath(), reason);
        return false;
    }
    return true;
}

QString CServerApp::usersText()
{
    CUserDbConfig config;
    if (!CUserDb::instance()->currentConfig(&config, nullptr))
        return QString();
    return config.isPostgresql() ? config.displayText()
                                 : QFileInfo(config.sqliteFile()).absoluteFilePath();
}

int CServerApp::runHeadless(int &argc, char **argv, const CServerOptions &options)
{
    // A log reader that went away must not end the service.
    ::signal(SIGPIPE, SIG_IGN);
    // Nothing here needs the GLib main loop that desktop integration wants, and a pass of
    // the event loop should cost per socket that is ready, not per socket open.
    QCoreApplication::setEventDispatcher(new CEpollEventDispatcher);
    // Without TZ the C library looks at /etc/localtime again for every local time, that is
    // for every login's stamp; a service takes a new zone at its next start.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    QCoreApplication app(argc, argv);
    setIdentity();
    watchTermSignals();
    CConsoleLog console(STDOUT_FILENO);

    CServerSettings *settings = CServerSettings::instance();
    settings->load();
    warnUnknownKeys(nullptr);
    applyDatabaseOption(options);
    if (options.storage.isEmpty() && !settings->saveDataDir.isEmpty() && !settings->savesInS3()
        && !QFileInfo(settings->saveDataDir).isDir()) {
        printError(QStringLiteral("Game Data Storage Path not exists: %1 (from %2)")
                       .arg(settings->saveDataDir, settings->iniFilePath()));
        return EXIT_START_FAILED;
    }
    QString tlsError;
    if (!checkTls(tlsError)) {
        printError(tlsError);
        return EXIT_BAD_ARGUMENTS;
    }
    bool storeUnreachable = false;
    QString storeError;
    if (!checkSaveStore(storeError, storeUnreachable)) {
        printError(storeError);
        return storeUnreachable ? EXIT_DATABASE_UNREACHABLE : EXIT_BAD_ARGUMENTS;
    }
    QString created;
    if (!prepareStorage(options, true, created))
        return EXIT_BAD_ARGUMENTS;
    if (!created.isEmpty())
        console.writeLine(QStringLiteral("Storage directory %1 created and saved in %2")
                              .arg(created, settings->iniFilePath()));

    QString error;
    int code = 0;
    bool unreachable = false;
    if (!openDatabase(options, error, unreachable)) {
        printError(error);
        code = unreachable ? EXIT_DATABASE_UNREACHABLE : EXIT_START_FAILED;
    } else {
        CServerCore core(
            CServerSettings::instance(), CUserDb::instance(), CPasswordHasher::instance());
        hangupCore = &core;
        QObject::connect(&core, &CServerCore::lineLoggedFrom, &console, &CConsoleLog::writeEntry);
        core.setPortOverrides(options.mainPort, options.filePort);
        const int mainPort = quint16(options.mainPort ? options.mainPort : settings->mainPort);
        const int filePort = quint16(options.filePort ? options.filePort : settings->filePort);
        if (!core.start()) {
            if (!core.controlListening())
                printError(QStringLiteral("cannot listen on the main control port %1: %2")
                               .arg(mainPort)
                               .arg(core.controlError()));
            if (!core.fileListening())
                printError(QStringLiteral("cannot listen on the file transfer port %1: %2")
                               .arg(filePort)
                               .arg(core.fileError()));
            code = EXIT_START_FAILED;
        } else {
            const QString serving = QStringLiteral("Serving on main control port %1 and file "
                                                   "transfer port %2, storage %3, users in %4")
                                        .arg(core.controlPort())
                                        .arg(core.filePort())
                                        .arg(storageText(), usersText());
            console.writeLine(serving);
            for (const QString &line : CConfigCheck::limitLines(settings->snapshot()))
                core.log(line);
            CStartupTidy tidy(savedStore(), [&core](const QString &line) {
                QMetaObject::invokeMethod(&core, "log", Qt::QueuedConnection, Q_ARG(QString, line));
            });
            tidy.start();
            CSystemdNotifier notifier;
            notifier.ready(serving);
            notifier.startWatchdog();
            QCoreApplication::exec();
            notifier.stopping();
        }
    }
    QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    return code;
}

int CServerApp::runWindow(
    int &argc, char **argv, const CServerOptions &options, CSingleInstance &instance)
{
    int exitCode = 0;
    bool firstRun = true;
    // Outlives the application objects of the restarts: its watchdog timer does not.
    CSystemdNotifier notifier;
    QPointer<QApplication> app;
    std::unique_ptr<CWindowServer> server;
    std::unique_ptr<CStartupTidy> tidy;
    for (;;) {
        tidy.reset();
        server.reset();
        // Registered again below under the same name.
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
        delete app;

        app = new QApplication(argc, argv);
        setIdentity();
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        QApplication::setWindowIcon(QIcon(CServerMainWindow::iconPath()));
        watchTermSignals();

        CServerSettings *settings = CServerSettings::instance();
        settings->load();
        QStringList unknownKeys;
        warnUnknownKeys(&unknownKeys);
        applyDatabaseOption(options);

        QString tlsError;
        if (!checkTls(tlsError)) {
            printError(tlsError);
            QMessageBox::critical(nullptr, translate("Error!"), tlsError, QMessageBox::Ok);
            exitCode = EXIT_BAD_ARGUMENTS;
            break;
        }
        bool storeUnreachable = false;
        QString storeError;
        if (!checkSaveStore(storeError, storeUnreachable)) {
            printError(storeError);
            QMessageBox::critical(nullptr, translate("Error!"), storeError, QMessageBox::Ok);
            exitCode = storeUnreachable ? EXIT_DATABASE_UNREACHABLE : EXIT_BAD_ARGUMENTS;
            break;
        }
        QString created;
        if (firstRun && !prepareStorage(options, false, created)) {
            exitCode = EXIT_BAD_ARGUMENTS;
            break;
        }
        // The command line's ports hold for the first run only; a restart takes the saved ones.
        const int mainPort = firstRun ? options.mainPort : 0;
        const int filePort = firstRun ? options.filePort : 0;
        firstRun = false;

        if (settings->saveDataDir.isEmpty() && !settings->savesInS3()) {
            CSetupDlg setup(settings, nullptr);
            if (setup.exec() != QDialog::Accepted)
                break;
        }

        QString error;
        bool unreachable = false;
        if (!openDatabase(options, error, unreachable)) {
            printError(error);
            // A database server that is down says which one and why; a file keeps its box.
            QMessageBox::critical(nullptr, translate("Error!"),
                unreachable ? translate("The user database cannot be reached\r\n%1").arg(error)
                            : translate("Open database users.db failed"),
                QMessageBox::Ok);
            if (unreachable)
                exitCode = EXIT_DATABASE_UNREACHABLE;
            break;
        }

        if (!settings->savesInS3() && !QFileInfo::exists(settings->saveDataDir)) {
            QMessageBox::critical(nullptr, translate("Error!"),
                translate("Game Data Storage Path not exists\r\n%1").arg(settings->saveDataDir),
                QMessageBox::Ok);
            break;
        }

        server = std::make_unique<CWindowServer>(mainPort, filePort);
        CServerMainWindow *window = server->window();
        hangupCore = window->serverCore();
        window->resize(800, 600);
        window->show();
        // The window's log shows what the ini got wrong and the limits it sets.
        for (const QString &line : unknownKeys + CConfigCheck::limitLines(settings->snapshot()))
            QMetaObject::invokeMethod(
                server->core(), "log", Qt::QueuedConnection, Q_ARG(QString, line));
        // A port that failed is in the window's log; the window serves on, as designed.
        notifier.ready(server->core()->controlListening() && server->core()->fileListening()
                ? QStringLiteral("Serving on main control port %1 and file transfer port %2")
                      .arg(server->core()->controlPort())
                      .arg(server->core()->filePort())
                : QStringLiteral("Serving with a port that could not be opened; see the log"));
        notifier.startWatchdog();
        // Ends before the window's server does.
        tidy = std::make_unique<CStartupTidy>(
            savedStore(), [core = server->core()](const QString &line) {
                QMetaObject::invokeMethod(core, "log", Qt::QueuedConnection, Q_ARG(QString, line));
            });
        tidy->start();
        // A second start brings this window forward.
        instance.serve(window, [target = QPointer<CServerMainWindow>(window)] {
            if (target)
                target->bringToFront();
        });
        const int code = QApplication::exec();

        // The connection closes while the old window still exists; the window and the
        // application follow at the top of the loop.
        QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
        if (code != RESTART_CODE)
            break;
        notifier.reloading(QStringLiteral("Restarting with the new settings"));
    }
    notifier.stopping();

    tidy.reset();
    QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
    server.reset();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    delete app;
    return exitCode;
}

bool CServerApp::checkSaveStore(QString &error, bool &unreachable)
{
    unreachable = false;
    const CServerSettings *settings = CServerSettings::instance();
    const QString problem = settings->backendProblem();
    if (!problem.isEmpty()) {
        error = QStringLiteral("%1 (from %2)").arg(problem, settings->iniFilePath());
        return false;
    }
    if (!settings->savesInS3())
        return true;
    CS3Config config;
    QString why;
    if (!CS3Config::fromSettings(*settings, &config, &why)) {
        error = QStringLiteral("[Storage] Backend=s3: %1 (from %2)")
                    .arg(why, settings->iniFilePath());
        return false;
    }
    // One request, as the server's own client makes them, before any port opens.
    if (CS3Bucket::shared(config)->probe(&why, &unreachable))
        return true;
    error = QStringLiteral("[Storage] Backend=s3: %1 (from %2)").arg(why, settings->iniFilePath());
    return false;
}

QString CServerApp::storageText()
{
    const CServerSettings *settings = CServerSettings::instance();
    CS3Config config;
    QString why;
    if (settings->savesInS3() && CS3Config::fromSettings(*settings, &config, &why))
        return config.displayText();
    return settings->saveDataDir;
}

bool CServerApp::checkTls(QString &error)
{
    QSslConfiguration unused;
    if (CTlsAcceptor::loadIdentity(CServerSettings::instance()->tls, unused, error))
        return true;
    error = QStringLiteral("TLS: %1 (from %2)")
                .arg(error, CServerSettings::instance()->iniFilePath());
    return false;
}

void CServerApp::raiseOpenFileLimit()
{
    // Every client costs a descriptor; the default soft limit of 1024 is far too low.
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void CServerApp::installTermSignalHandlers()
{
    if (termSignalFds[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, termSignalFds) != 0) {
        termSignalFds[0] = termSignalFds[1] = -1;
        return;
    }
    struct sigaction action
    {
    };
    action.sa_handler = &CServerApp::termSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    // SIGHUP reloads the TLS certificate and the HTTP port's token; it never ends the server.
    sigaction(SIGHUP, &action, nullptr);
}

void CServerApp::termSignalHandler(int signum)
{
    const char byte = signum == SIGHUP ? HANGUP_BYTE : TERMINATE_BYTE;
    // Only async-signal-safe work here; the event loop does the rest.
    [[maybe_unused]] const ssize_t written = ::write(termSignalFds[1], &byte, 1);
}

void CServerApp::watchTermSignals()
{
    if (termSignalFds[0] < 0)
        return;
    auto *notifier = new QSocketNotifier(
        termSignalFds[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, QCoreApplication::instance(), [] {
        char buffer[16];
        bool terminate = false;
        bool hangup = false;
        for (ssize_t got; (got = ::read(termSignalFds[0], buffer, sizeof(buffer))) > 0;) {
            for (ssize_t i = 0; i < got; ++i) {
                terminate = terminate || buffer[i] == TERMINATE_BYTE;
                hangup = hangup || buffer[i] == HANGUP_BYTE;
            }
        }
        if (hangup && hangupCore)
            QMetaObject::invokeMethod(hangupCore, &CServerCore::reloadTls, Qt::QueuedConnection);
        // Ends every running loop, modal boxes included, like the tray menu's Close.
        if (terminate)
            QCoreApplication::exit(0);
    });
}
