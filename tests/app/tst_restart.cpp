#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "cportreservation.h"
#include "cserverapp.h"
#include "cservercore.h"
#include "cservermainwindow.h"
#include "cserversettings.h"

namespace {

struct RunRecord
{
    quint16 mainPort = 0;
    quint16 filePort = 0;
    int logRows = -1;
};

QList<RunRecord> runs;
QStringList boxes;
quint16 nextMainPort = 0;
quint16 nextFilePort = 0;

CServerMainWindow *mainWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<CServerMainWindow *>(w))
            return window;
    }
    return nullptr;
}

// Runs inside every application object the start-up loop creates: records what the window
// serves on, then asks for a restart with new ports the first time and ends the second.
void driveRun()
{
    QTimer::singleShot(0, qApp, [] {
        // A start that fails shows its box before any window: note it and close it.
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            boxes << box->text();
            box->done(QMessageBox::Ok);
            return;
        }
        CServerMainWindow *window = mainWindow();
        RunRecord record;
        if (window) {
            record.mainPort = window->serverCore()->controlPort();
            record.filePort = window->serverCore()->filePort();
            record.logRows = window->findChild<QAbstractItemView *>(QStringLiteral("logTable"))
                                 ->model()
                                 ->rowCount();
        }
        runs << record;
        if (runs.size() == 1) {
            CServerSettings *settings = CServerSettings::instance();
            settings->mainPort = nextMainPort;
            settings->filePort = nextFilePort;
            settings->save();
            QCoreApplication::exit(CServerApp::RESTART_CODE);
        } else {
            QCoreApplication::exit(0);
        }
    });
}

} // namespace

// The start-up loop in this process: exit code 2 brings the whole application back.
class tst_Restart : public QObject
{
    Q_OBJECT

private slots:
    void restartListensOnNewlySavedPorts();
    void unreachableDatabaseShowsOneBox();
};

void tst_Restart::restartListensOnNewlySavedPorts()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("storage"))));
    QVERIFY(QDir::setCurrent(dir.path()));

    // Held until the servers listen, so no other test can take them meanwhile.
    const CPortReservation reserved[4];
    const quint16 firstMain = reserved[0].port();
    const quint16 firstFile = reserved[1].port();
    nextMainPort = reserved[2].port();
    nextFilePort = reserved[3].port();
    QVERIFY(firstMain && firstFile && nextMainPort && nextFilePort);

    CServerSettings *settings = CServerSettings::instance();
    settings->setIniFilePath(dir.filePath(QStringLiteral("tolvern.ini")));
    settings->saveDataDir = dir.filePath(QStringLiteral("storage"));
    settings->mainPort = firstMain;
    settings->filePort = firstFile;
    settings->startWhenOSStarts = false;
    settings->save();

    qAddPreRoutine(driveRun);
    int argc = 1;
    char name[] = "tst_restart";
    char *argv[] = { name, nullptr };
    QCOMPARE(CServerApp::run(argc, argv), 0);

    QCOMPARE(runs.size(), 2);
    QCOMPARE(runs.at(0).mainPort, firstMain);
    QCOMPARE(runs.at(0).filePort, firstFile);
    QCOMPARE(runs.at(1).mainPort, nextMainPort);
    QCOMPARE(runs.at(1).filePort, nextFilePort);
    // A fresh window: only its own two listen lines.
    QCOMPARE(runs.at(1).logRows, 2);
    QVERIFY(QFile::exists(dir.filePath(QStringLiteral("db/users.db"))));
}

void tst_Restart::unreachableDatabaseShowsOneBox()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("storage"))));
    QVERIFY(QDir::setCurrent(dir.path()));
    CServerSettings *settings = CServerSettings::instance();
    settings->setIniFilePath(dir.filePath(QStringLiteral("tolvern.ini")));
    settings->saveDataDir = dir.filePath(QStringLiteral("storage"));
    settings->save();

    // Bound but not listening: nothing answers there.
    const CPortReservation closed;
    const QByteArray url
        = QStringLiteral("postgresql://tolvern@127.0.0.1:%1/users").arg(closed.port()).toUtf8();
    runs.clear();
    boxes.clear();
    int argc = 3;
    char name[] = "tst_restart";
    char option[] = "--database";
    QByteArray value = url;
    char *argv[] = { name, option, value.data(), nullptr };
    QCOMPARE(CServerApp::run(argc, argv), CServerApp::EXIT_DATABASE_UNREACHABLE);
    QCOMPARE(boxes.size(), 1);
    QVERIFY2(boxes.first().startsWith(QStringLiteral("The user database cannot be reached\r\n"))
            && boxes.first().contains(QString::fromUtf8(url)),
        qPrintable(boxes.first()));
    QVERIFY(runs.isEmpty());
    // A database server needs no file of its own here.
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("db"))));
}

QTEST_APPLESS_MAIN(tst_Restart)
#include "tst_restart.moc"
