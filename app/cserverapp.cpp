#include "cserverapp.h"

#include <csignal>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QPointer>
#include <QSettings>
#include <QSocketNotifier>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStyleFactory>

#include "cservermainwindow.h"
#include "cserversettings.h"
#include "csetupdlg.h"
#include "csingleinstance.h"

namespace {
// Written by the signal handler, read by a socket notifier on the event loop.
int termSignalFds[2] = { -1, -1 };

QString translate(const char *text)
{
    return QCoreApplication::translate("CServerApp", text);
}
} // namespace

int CServerApp::run(int &argc, char **argv)
{
    // Before the lock exists, so a signal that arrives once it does is never lost.
    installTermSignalHandlers();

    // Held until the process ends; restarts inside the process keep it.
    static CSingleInstance instance(QStringLiteral("OMBRIVALE_TOLVERN"));
    if (!instance.tryLock()) {
        instance.announceSecondStart();
        return 0;
    }

    raiseOpenFileLimit();

    QPointer<QApplication> app;
    QPointer<CServerMainWindow> window;
    for (;;) {
        delete window;
        // Registered again below under the same name.
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
        delete app;

        app = new QApplication(argc, argv);
        QSettings::setDefaultFormat(QSettings::IniFormat);
        QCoreApplication::setOrganizationName(QStringLiteral("Ombrivale"));
        QCoreApplication::setApplicationName(QStringLiteral("Tolvern Data Server"));
        QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
        QApplication::setWindowIcon(QIcon(CServerMainWindow::iconPath()));
        watchTermSignals();

        CServerSettings *settings = CServerSettings::instance();
        settings->load();

        if (settings->saveDataDir.isEmpty()) {
            CSetupDlg setup(nullptr);
            if (setup.exec() != QDialog::Accepted)
                break;
        }

        if (!QFileInfo::exists(QStringLiteral("db")))
            QDir().mkdir(QStringLiteral("db"));

        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
            db.setDatabaseName(QStringLiteral("db/users.db"));
            if (!db.open()) {
                QMessageBox::critical(nullptr, translate("Error!"),
                    translate("Open database users.db failed"), QMessageBox::Ok);
                break;
            }
            QSqlQuery pragma(db);
            pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            pragma.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
        }

        if (!QFileInfo::exists(settings->saveDataDir)) {
            QMessageBox::critical(nullptr, translate("Error!"),
                translate("Game Data Storage Path not exists\r\n%1").arg(settings->saveDataDir),
                QMessageBox::Ok);
            break;
        }

        window = new CServerMainWindow(nullptr);
        window->resize(800, 600);
        window->show();
        // A second start brings this window forward.
        instance.serve(window, [target = window] {
            if (target)
                target->bringToFront();
        });
        const int code = QApplication::exec();

        // The connection closes while the old window still exists; the window and the
        // application follow at the top of the loop.
        QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
        if (code != RESTART_CODE)
            break;
    }

    QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
    delete window;
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    delete app;
    return 0;
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
}

void CServerApp::termSignalHandler(int signum)
{
    Q_UNUSED(signum);
    const char byte = 1;
    // Only async-signal-safe work here; the event loop does the rest.
    [[maybe_unused]] const ssize_t written = ::write(termSignalFds[1], &byte, 1);
}

void CServerApp::watchTermSignals()
{
    if (termSignalFds[0] < 0)
        return;
    auto *notifier = new QSocketNotifier(termSignalFds[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
        char buffer[16];
        while (::read(termSignalFds[0], buffer, sizeof(buffer)) > 0) { }
        // Ends every running loop, modal boxes included, like the tray menu's Close.
        QCoreApplication::exit(0);
    });
}
