// Login round trips through the real window's control port while the operator deletes
// thousands of selected users on the user page, beside the same round trips with the window
// idle. Runs offscreen on a private SQLite file.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QItemSelection>
#include <QMessageBox>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableWidget>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include "cservercore.h"
#include "cservermainwindow.h"
#include "cwindowserver.h"
#include "cserversettings.h"
#include "cuserdb.h"
#include "loginduringdelete.h"
#include "testwire.h"

namespace {

constexpr double MAX_P99_MS = 50.0;
constexpr int LOGIN_USERS = 20;

struct Sample
{
    qint64 start = 0; // ns on the shared clock
    qint64 took = 0; // ns
};

void note(const QString &line)
{
    std::fprintf(stderr, "[bench-window] %s\n", qPrintable(line));
    std::fflush(stderr);
}

QString ms(qint64 nanoseconds)
{
    return QString::number(double(nanoseconds) / 1e6, 'f', 2);
}

qint64 percentile(std::vector<qint64> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(fraction * double(values.size())));
    return values.at(std::clamp<size_t>(rank, 1, values.size()) - 1);
}

// Logs in over one connection, again and again, until stop is set; every round trip is
// recorded. failed is set when a reply is missing or not a success.
class LoginClient
{
public:
    LoginClient(quint16 controlPort, const QElapsedTimer &sharedClock)
        : port(controlPort)
        , clock(sharedClock)
    {
    }

    void start()
    {
        thread.reset(QThread::create([this] { loop(); }));
        thread->start();
    }

    void finish()
    {
        stop = true;
        thread->wait();
    }

    std::vector<Sample> samples;
    std::atomic<bool> failed { false };

private:
    void loop()
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000)) {
            failed = true;
            return;
        }
        for (int i = 0; !stop; ++i) {
            const QByteArray name = "login-" + QByteArray::number(i % LOGIN_USERS);
            const qint64 begin = clock.nsecsElapsed();
            socket.write(testwire::packet(9, testwire::str(name) + testwire::str("pw")));
            QByteArray reply;
            while (reply.size() < 27 && socket.waitForReadyRead(10000))
                reply += socket.readAll();
            if (reply.size() != 27 || quint8(reply.at(19)) != 10 || reply.at(22) != 0) {
                failed = true;
                return;
            }
            samples.push_back({ begin, clock.nsecsElapsed() - begin });
        }
    }

    quint16 port = 0;
    const QElapsedTimer &clock;
    std::atomic<bool> stop { false };
    std::unique_ptr<QThread> thread;
};

std::vector<qint64> between(const std::vector<Sample> &samples, qint64 from, qint64 to)
{
    std::vector<qint64> out;
    for (const Sample &s : samples) {
        if (s.start >= from && s.start <= to)
            out.push_back(s.took);
    }
    return out;
}

bool fillUsers(int deletable)
{
    CUserDb *db = CUserDb::instance();
    for (int i = 0; i < LOGIN_USERS; ++i) {
        if (!db->addUser(QStringLiteral("login-%1").arg(i), QStringLiteral("pw"), nullptr))
            return false;
    }
    for (int i = 0; i < deletable; ++i) {
        if (!db->addUser(QStringLiteral("del-%1").arg(i), QStringLiteral("pw"), nullptr))
            return false;
    }
    return true;
}

// Selects every row of a "del-" user, as a Ctrl+A would select them all.
int selectDeletable(QTableWidget *table)
{
    QItemSelection selection;
    int count = 0;
    const auto selectRun = [&](int first, int last) {
        selection.select(
            table->model()->index(first, 0), table->model()->index(last, table->columnCount() - 1));
    };
    int runStart = -1;
    for (int row = 0; row < table->rowCount(); ++row) {
        const bool wanted = table->item(row, 1)->text().startsWith(QLatin1String("del-"));
        if (wanted && runStart < 0)
            runStart = row;
        if (!wanted && runStart >= 0) {
            selectRun(runStart, row - 1);
            runStart = -1;
        }
        count += wanted ? 1 : 0;
    }
    if (runStart >= 0)
        selectRun(runStart, table->rowCount() - 1);
    table->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    return count;
}

} // namespace

int runLoginDuringDelete(const QStringList &arguments)
{
    int deletable = 10000;
    double quietSeconds = 3.0;
    for (int i = 0; i + 1 < arguments.size(); i += 2) {
        if (arguments.at(i) == QLatin1String("--users"))
            deletable = arguments.at(i + 1).toInt();
        else if (arguments.at(i) == QLatin1String("--quiet-seconds"))
            quietSeconds = arguments.at(i + 1).toDouble();
    }
    if (deletable <= 0 || quietSeconds <= 0 || arguments.size() % 2 != 0) {
        std::fprintf(stderr,
            "usage: tolvern-bench-window --login-during-delete [--users N] [--quiet-seconds S]\n");
        return 64;
    }

    QTemporaryDir dir;
    if (!dir.isValid() || !QDir().mkpath(dir.filePath(QStringLiteral("storage"))))
        return 1;
    CServerSettings *settings = CServerSettings::instance();
    settings->setIniFilePath(dir.filePath(QStringLiteral("tolvern.ini")));
    settings->saveDataDir = dir.filePath(QStringLiteral("storage"));
    settings->mainPort = 0;
    settings->filePort = 0;
    // The figure is the window's delete beside logins, not the cost of a password hash.
    settings->hashPasswords = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(dir.filePath(QStringLiteral("users.db")));
        if (!db.open())
            return 1;
        QSqlQuery pragma(db);
        pragma.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        pragma.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    }
    if (!fillUsers(deletable)) {
        note(QStringLiteral("could not add the users"));
        return 1;
    }

    int status = 0;
    {
        CWindowServer server;
        CServerMainWindow &window = *server.window();
        window.resize(800, 600);
        window.show();
        auto *table = window.findChild<QTableWidget *>(QStringLiteral("tableWidget"));
        auto *deleteButton = window.findChild<QPushButton *>(QStringLiteral("btnDel"));
        if (!table || !deleteButton || window.serverCore()->controlPort() == 0) {
            note(QStringLiteral("window not as expected"));
            return 1;
        }
        QElapsedTimer clock;
        clock.start();

        // Yardstick: the same logins with the window idle, its event loop running.
        LoginClient quiet(window.serverCore()->controlPort(), clock);
        quiet.start();
        QEventLoop idle;
        QTimer::singleShot(int(quietSeconds * 1000), &idle, &QEventLoop::quit);
        idle.exec();
        quiet.finish();

        const int selected = selectDeletable(table);
        note(QStringLiteral("%1 users selected").arg(selected));
        qint64 confirmed = 0;
        QTimer::singleShot(200, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            confirmed = clock.nsecsElapsed();
            box->button(QMessageBox::Yes)->click();
        });
        LoginClient loaded(window.serverCore()->controlPort(), clock);
        loaded.start();
        deleteButton->click();
        const qint64 deleted = clock.nsecsElapsed();
        loaded.finish();
        if (confirmed == 0 || quiet.failed || loaded.failed || table->rowCount() != LOGIN_USERS) {
            note(QStringLiteral("the measurement went wrong: confirmed %1, quiet failed %2, "
                                "loaded failed %3, rows left %4")
                     .arg(confirmed != 0)
                     .arg(quiet.failed.load())
                     .arg(loaded.failed.load())
                     .arg(table->rowCount()));
            return 1;
        }

        const std::vector<qint64> quietTimes = between(quiet.samples, 0, deleted);
        const std::vector<qint64> loadedTimes = between(loaded.samples, confirmed, deleted);
        const qint64 p99 = percentile(loadedTimes, 0.99);
        std::printf("login p99 while the operator deletes %d selected users\n", selected);
        std::printf("  measured:  p50 %s ms, p99 %s ms, max %s ms over %zu logins; the delete "
                    "kept the window busy %s ms\n",
            qPrintable(ms(percentile(loadedTimes, 0.5))), qPrintable(ms(p99)),
            qPrintable(ms(percentile(loadedTimes, 1.0))), loadedTimes.size(),
            qPrintable(ms(deleted - confirmed)));
        std::printf("  yardstick: p50 %s ms, p99 %s ms over %zu logins, window idle\n",
            qPrintable(ms(percentile(quietTimes, 0.5))),
            qPrintable(ms(percentile(quietTimes, 0.99))), quietTimes.size());
        const bool met = !loadedTimes.empty() && double(p99) / 1e6 <= MAX_P99_MS;
        std::printf("  target:    p99 <= %.0f ms: %s\n", MAX_P99_MS, met ? "met" : "NOT met");
        std::fflush(stdout);
        status = met ? 0 : 2;
    }
    QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).close();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    return status;
}
