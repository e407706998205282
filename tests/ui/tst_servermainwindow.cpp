#include <functional>
#include <memory>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QMutex>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTableView>
#include <QTableWidget>
#include <QTcpServer>
#include <QPointer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <QSslSocket>

#include "cportreservation.h"
#include "testtls.h"
#include "cserverfileconn.h"
#include "cservercore.h"
#include "cservermainwindow.h"
#include "cwindowserver.h"
#include "cserversettings.h"
#include "ctolvernserverconn.h"
#include "cuserdb.h"
#include "testwire.h"

using namespace testwire;

// Receives the URLs the window asks the desktop to open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls.append(url); }
};

// A window on a desktop with a notification area.
class TrayWindow : public CServerMainWindow
{
public:
    using CServerMainWindow::CServerMainWindow;

protected:
    bool trayAvailable() const override { return true; }
};

class tst_ServerMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    // happy flows
    void listenLinesComeInOrder();
    void portSettingUsesLow16Bits();
    void connectAndDisconnectAreLogged_data();
    void connectAndDisconnectAreLogged();
    void loginThroughWindow();
    void loginAnsweredWhileWindowBusy();
    void transferLoginBoxCountsAtOnce();
    void downloadThroughAdapter();
    void uploadThroughAdapterIntoSubfolder();
    void logIsNewestFirstAndBounded();
    void longLineElidesAndCopies();
    void tabsSwitchPages();
    void columnWidthsFollowWindow();
    void doubleClickOpensProgramFolder();

    // window behaviour
    void closeHideAndMinimise_data();
    void closeHideAndMinimise();
    void trayActivation_data();
    void trayActivation();
    void closeButtonAsksFirst_data();
    void closeButtonAsksFirst();
    void trayCloseEndsLoopWithoutQuestion();

    // rainy-day flows
    void listenFailureIsLogged();
    void savingSettingsReloadsCertificate();
    void unsafeSaveNameIsRefused();
    void refusedUploadIsLoggedOnce_data();
    void refusedUploadIsLoggedOnce();

private:
    std::unique_ptr<CWindowServer> makeWindow();
    QTableView *logOf(CServerMainWindow *w)
    {
        return w->findChild<QTableView *>(QStringLiteral("logTable"));
    }
    static int logRows(CServerMainWindow *w)
    {
        return w->findChild<QTableView *>(QStringLiteral("logTable"))->model()->rowCount();
    }
    quint16 portOf(CServerMainWindow *w, const char *name)
    {
        return qstrcmp(name, "protoServer") == 0 ? w->serverCore()->controlPort()
                                                 : w->serverCore()->filePort();
    }
    // Taken on the core's own thread.
    QList<QPointer<QObject>> connections(CServerMainWindow *w)
    {
        CServerCore *core = w->serverCore();
        QList<QPointer<QObject>> found;
        QMetaObject::invokeMethod(
            core,
            [&] {
                for (QObject *conn : core->connectionObjects())
                    found.append(conn);
            },
            Qt::BlockingQueuedConnection);
        return found;
    }
    bool loginStamped(CServerMainWindow *w, int id);
    QStringList logLines(CServerMainWindow *w);

    QTemporaryDir dir;
    QString storage;
};

void tst_ServerMainWindow::initTestCase()
{
    QVERIFY(dir.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
    storage = dir.filePath(QStringLiteral("storage"));
    QVERIFY(QDir().mkpath(storage));

    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(dir.filePath(QStringLiteral("users.db")));
    QVERIFY(db.open());

    CServerSettings *s = CServerSettings::instance();
    s->setIniFilePath(dir.filePath(QStringLiteral("tolvern.ini")));
}

void tst_ServerMainWindow::init()
{
    CServerSettings *s = CServerSettings::instance();
    s->saveDataDir = storage;
    s->mainPort = 0;
    s->filePort = 0;
    s->startWhenOSStarts = false;
    s->transferRequiresLogin = false;
    s->keepVersions = 3;
    s->maxSaveBytes = s->maxUserBytes = 0;
    s->minFreeBytes = -1;
}

void tst_ServerMainWindow::cleanup()
{
    QTRY_VERIFY(QApplication::topLevelWidgets().isEmpty()
        || std::all_of(QApplication::topLevelWidgets().cbegin(),
            QApplication::topLevelWidgets().cend(),
            [](QWidget *w) { return !w->window()->isVisible(); }));
}

void tst_ServerMainWindow::cleanupTestCase()
{
    QSqlDatabase::database().close();
}

std::unique_ptr<CWindowServer> tst_ServerMainWindow::makeWindow()
{
    return std::make_unique<CWindowServer>();
}

QStringList tst_ServerMainWindow::logLines(CServerMainWindow *w)
{
    QStringList lines;
    const QAbstractItemModel *model = logOf(w)->model();
    for (int r = 0; r < model->rowCount(); ++r)
        lines << model->index(r, 1).data().toString();
    return lines;
}

void tst_ServerMainWindow::listenLinesComeInOrder()
{
    auto w = makeWindow();
    QCOMPARE(logLines(w->window()),
        QStringList({ QStringLiteral("File transfer server listen succeed"),
            QStringLiteral("Main control server listen succeed") }));
    const QRegularExpression stamp(QStringLiteral("^\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"));
    QVERIFY(stamp.match(logOf(w->window())->model()->index(0, 0).data().toString()).hasMatch());
    const QAbstractItemModel *model = logOf(w->window())->model();
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Time"));
    QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Message"));
    QCOMPARE(logOf(w->window())->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(logOf(w->window())->editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(portOf(w->window(), "protoServer") != 0);
    QVERIFY(portOf(w->window(), "fileServer") != 0);
    QVERIFY(w->window()->serverCore()->thread() != QThread::currentThread());
    QCOMPARE(w->window()->windowTitle(), QStringLiteral("Ombrivale Tolvern"));
    QVERIFY(!w->window()->windowIcon().isNull());

    // The images come from the program's own resources.
    QVERIFY(!w->window()->findChild<QSystemTrayIcon *>()->icon().pixmap(24, 24).isNull());
    for (const char *name : { "settings", "hide", "close" }) {
        auto *action = w->window()->findChild<QAction *>(QLatin1String(name));
        QVERIFY(action);
        QVERIFY2(!action->icon().pixmap(24, 24).isNull(), name);
    }
}

void tst_ServerMainWindow::portSettingUsesLow16Bits()
{
    const CPortReservation reservation;
    const quint16 port = reservation.port();
    QVERIFY(port != 0);
    CServerSettings::instance()->mainPort = 65536 + port;
    auto w = makeWindow();
    QCOMPARE(portOf(w->window(), "protoServer"), port);
}

void tst_ServerMainWindow::connectAndDisconnectAreLogged_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("kind");
    QTest::newRow("control") << QStringLiteral("protoServer") << QStringLiteral("Control");
    QTest::newRow("file") << QStringLiteral("fileServer") << QStringLiteral("File");
}

void tst_ServerMainWindow::connectAndDisconnectAreLogged()
{
    QFETCH(QString, server);
    QFETCH(QString, kind);
    auto w = makeWindow();
    QTcpSocket client;
    client.connectToHost(
        QHostAddress::LocalHost, portOf(w->window(), server.toLatin1().constData()));
    const QString connected = kind + QStringLiteral(" client connected from 127.0.0.1");
    const QString disconnected = kind + QStringLiteral(" client disconnected from 127.0.0.1");
    QTRY_VERIFY(logLines(w->window()).contains(connected));
    const QList<QPointer<QObject>> conns = connections(w->window());
    QCOMPARE(conns.size(), 1);

    client.disconnectFromHost();
    QTRY_VERIFY(logLines(w->window()).contains(disconnected));
    QCOMPARE(logLines(w->window()).indexOf(disconnected), 0);
    QCOMPARE(logLines(w->window()).indexOf(connected), 1);
    // Deleted from the event loop once the disconnect has been handled.
    QTRY_VERIFY(conns.first().isNull());
    QCOMPARE(connections(w->window()).size(), 0);
}

void tst_ServerMainWindow::loginThroughWindow()
{
    int id = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("win-bob"), QStringLiteral("pw"), &id));
    auto w = makeWindow();

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, portOf(w->window(), "protoServer"));
    QVERIFY(client.waitForConnected(5000));
    client.write(packet(9, str("win-bob") + str("pw")));
    const Packet reply = readPacket(client);
    QVERIFY(reply.ok);
    QCOMPARE(reply.command, quint8(10));
    QCOMPARE(reply.body, QByteArray(1, '\0') + int32(id));
    QTRY_VERIFY(logLines(w->window()).contains(QStringLiteral("[LOGIN] name=win-bob, result=0")));

    // The user page follows the login.
    QTRY_VERIFY(loginStamped(w->window(), id));
}

bool tst_ServerMainWindow::loginStamped(CServerMainWindow *w, int id)
{
    auto *users = w->findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    for (int r = 0; users && r < users->rowCount(); ++r) {
        if (users->item(r, 0)->data(Qt::UserRole).toInt() == id)
            return !users->item(r, 2)->text().isEmpty();
    }
    return false;
}

void tst_ServerMainWindow::loginAnsweredWhileWindowBusy()
{
    int id = 0;
    QVERIFY(CUserDb::instance()->addUser(QStringLiteral("busy-bob"), QStringLiteral("pw"), &id));
    auto w = makeWindow();
    const quint16 port = portOf(w->window(), "protoServer");

    QByteArray reply;
    std::unique_ptr<QThread> client(QThread::create([&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000))
            return;
        socket.write(packet(9, str("busy-bob") + str("pw")));
        while (reply.size() < 27 && socket.waitForReadyRead(5000))
            reply += socket.readAll();
    }));
    client->start();
    // This thread stays busy, never running its event loop, until the client is done.
    QElapsedTimer busy;
    busy.start();
    while (!client->isFinished() && busy.elapsed() < 5000)
        QThread::msleep(10);
    const bool answered = client->wait(0);
    client->wait();
    QVERIFY2(answered, "no reply while the window's thread was busy");
    QCOMPARE(reply.size(), 27);
    QCOMPARE(quint8(reply.at(19)), quint8(10));
    QCOMPARE(reply.mid(22), QByteArray(1, '\0') + int32(id));

    // The window catches up once its thread is free.
    QTRY_VERIFY(logLines(w->window()).contains(QStringLiteral("[LOGIN] name=busy-bob, result=0")));
    QTRY_VERIFY(loginStamped(w->window(), id));
}

void tst_ServerMainWindow::transferLoginBoxCountsAtOnce()
{
    auto w = makeWindow();
    const auto upload = [&] {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, portOf(w->window(), "fileServer"));
        if (!client.waitForConnected(5000))
            return -1;
        client.write(frame(0, packet(3, str("bob") + str("detail") + str("7/box"))));
        const Frame reply = readFrame(client);
        return reply.ok && reply.payload.size() > 22 ? int(quint8(reply.payload.at(22))) : -1;
    };
    QCOMPARE(upload(), 0);
    {
        // As the settings dialog's OK writes it, while the ports run on their own thread.
        QMutexLocker locker(&CServerSettings::lock());
        CServerSettings::instance()->transferRequiresLogin = true;
    }
    QCOMPARE(upload(), 3);
    QTRY_VERIFY(
        logLines(w->window())
            .contains(QStringLiteral(
                "Transfer of 7/box for bob from 127.0.0.1 refused: no login of this user from this "
                "address")));
}

void tst_ServerMainWindow::downloadThroughAdapter()
{
    QByteArray content(120000, '\0');
    for (char &c : content)
        c = char(QRandomGenerator::global()->bounded(256));
    QFile archive(storage + QStringLiteral("/alice.z"));
    QVERIFY(archive.open(QIODevice::WriteOnly));
    archive.write(content);
    archive.close();

    auto w = makeWindow();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, portOf(w->window(), "fileServer"));
    QVERIFY(client.waitForConnected(5000));
    client.write(frame(0, packet(1, str("bob") + str("detail") + str("alice") + int64(0))));

    Frame reply = readFrame(client);
    QVERIFY(reply.ok);
    QCOMPARE(reply.type, quint8(0));
    QCOMPARE(quint8(reply.payload[19]), quint8(2));
    QCOMPARE(reply.payload.mid(22), QByteArray(1, '\0') + int64(content.size()));
    QStringList lines = logLines(w->window());
    QVERIFY(lines.contains(QStringLiteral("Download alice.z")));
    QVERIFY(lines.indexOf(QStringLiteral("Download alice.z"))
        < lines.indexOf(QStringLiteral("bob request transfer savedat")));

    client.write(frame(0, packet(5, {})));
    QByteArray received;
    for (;;) {
        Frame f = readFrame(client);
        QVERIFY(f.ok);
        if (f.type == 0) {
            QCOMPARE(quint8(f.payload[19]), quint8(6));
            break;
        }
        received += f.payload;
    }
    QCOMPARE(received, content);
}

void tst_ServerMainWindow::uploadThroughAdapterIntoSubfolder()
{
    auto w = makeWindow();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, portOf(w->window(), "fileServer"));
    QVERIFY(client.waitForConnected(5000));
    client.write(frame(0, packet(3, str("bob") + str("detail") + str("7/slot1"))));
    Frame reply = readFrame(client);
    QVERIFY(reply.ok);
    QCOMPARE(quint8(reply.payload[19]), quint8(4));
    QCOMPARE(reply.payload.mid(22), QByteArray(1, '\0'));

    const QByteArray content = QByteArrayLiteral("saved game state");
    client.write(frame(1, content));
    client.write(frame(0, packet(6, {})));
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);

    QFile archive(storage + QStringLiteral("/7/slot1.z"));
    QVERIFY(archive.open(QIODevice::ReadOnly));
    QCOMPARE(archive.readAll(), content);
    QVERIFY(logLines(w->window()).contains(QStringLiteral("Upload 7/slot1.z")));
}

void tst_ServerMainWindow::logIsNewestFirstAndBounded()
{
    auto w = makeWindow();
    QCOMPARE(w->window()->logLimit(), CServerMainWindow::DEFAULT_LOG_LIMIT);
    w->window()->setLogLimit(3);
    QCOMPARE(logRows(w->window()), 2);
    for (int i = 1; i <= 5; ++i)
        w->window()->serverCore()->downloadFileName(QStringLiteral("save%1").arg(i));
    QCOMPARE(logLines(w->window()),
        QStringList({ QStringLiteral("Download save5.z"), QStringLiteral("Download save4.z"),
            QStringLiteral("Download save3.z") }));

    // Past the bound the oldest hundredth goes at once; a new bound keeps the newest lines.
    w->window()->setLogLimit(200);
    for (int i = 1; i <= 450; ++i) {
        w->window()->serverCore()->downloadFileName(QStringLiteral("batch%1").arg(i));
        QVERIFY(logRows(w->window()) <= 200);
    }
    QVERIFY(logRows(w->window()) >= 198);
    w->window()->setLogLimit(150);
    const QStringList lines = logLines(w->window());
    QCOMPARE(lines.size(), 150);
    for (int r = 0; r < lines.size(); ++r)
        QCOMPARE(lines.at(r), QStringLiteral("Download batch%1.z").arg(450 - r));
}

void tst_ServerMainWindow::longLineElidesAndCopies()
{
    auto w = makeWindow();
    w->window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(w->window()));
    const QString longLine = QStringLiteral("x").repeated(5000) + QStringLiteral("\nend");
    w->window()->serverCore()->log(longLine);
    QTableView *view = logOf(w->window());
    const QModelIndex message = view->model()->index(0, 1);
    // One row high and as wide as the window allows; the whole text is in the tool tip.
    QVERIFY(!message.data().toString().contains(QLatin1Char('\n')));
    QCOMPARE(message.data(Qt::ToolTipRole).toString(), longLine);
    QVERIFY(!view->wordWrap());
    QCOMPARE(view->columnWidth(1), w->window()->width() - 160);
    QVERIFY(!view->horizontalScrollBar()->isVisible());

    view->selectRow(0);
    view->setFocus();
    QApplication::clipboard()->clear();
    QTest::keySequence(view, QKeySequence::Copy);
    QCOMPARE(QApplication::clipboard()->text(),
        view->model()->index(0, 0).data().toString() + QLatin1Char('\t') + longLine);
    w->window()->hide();
}

void tst_ServerMainWindow::tabsSwitchPages()
{
    auto w = makeWindow();
    auto *tabs = w->window()->findChild<QTabBar *>();
    auto *pages = w->window()->findChild<QStackedWidget *>();
    QVERIFY(tabs && pages);
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Users"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("System Logs"));
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(pages->currentWidget()->metaObject()->className(), "CUserManWidget");
    tabs->setCurrentIndex(1);
    QCOMPARE(pages->currentWidget(), logOf(w->window()));
    tabs->setCurrentIndex(0);
    QCOMPARE(pages->currentIndex(), 0);
}

void tst_ServerMainWindow::columnWidthsFollowWindow()
{
    auto w = makeWindow();
    w->window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(w->window()));
    w->window()->resize(1000, 600);
    QTRY_COMPARE(w->window()->width(), 1000);
    QTRY_COMPARE(logOf(w->window())->columnWidth(1), 840);
    QCOMPARE(logOf(w->window())->columnWidth(0), 120);
    w->window()->hide();
}

void tst_ServerMainWindow::doubleClickOpensProgramFolder()
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    auto w = makeWindow();
    w->window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(w->window()));
    QTest::mouseDClick(w->window(), Qt::LeftButton, {}, QPoint(2, 2));
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QCOMPARE(catcher.urls.size(), 1);
    QCOMPARE(catcher.urls.first().toLocalFile(), QCoreApplication::applicationDirPath());
    w->window()->hide();
}

void tst_ServerMainWindow::closeHideAndMinimise_data()
{
    QTest::addColumn<bool>("tray");
    QTest::newRow("with a tray: hidden") << true;
    QTest::newRow("no tray: minimised") << false;
}

void tst_ServerMainWindow::closeHideAndMinimise()
{
    QFETCH(bool, tray);
    // The offscreen platform has no notification area.
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    const auto w = tray ? std::make_unique<CWindowServer>(
                       0, 0, [](CServerCore *core) { return new TrayWindow(core); })
                        : makeWindow();
    w->window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(w->window()));
    QVERIFY(!w->window()->close());
    QCOMPARE(w->window()->isVisible(), !tray);
    QCOMPARE(w->window()->isMinimized(), !tray);

    w->window()->showNormal();
    QVERIFY(QTest::qWaitForWindowExposed(w->window()));
    w->window()->findChild<QAction *>(QStringLiteral("hide"))->trigger();
    QCOMPARE(w->window()->isVisible(), !tray);
    QCOMPARE(w->window()->isMinimized(), !tray);

    w->window()->showNormal();
    QVERIFY(QTest::qWaitForWindowExposed(w->window()));
    w->window()->showMinimized();
    if (tray) {
        QTRY_VERIFY(!w->window()->isVisible());
    } else {
        QVERIFY(!QTest::qWaitFor([&] { return !w->window()->isVisible(); }, 200));
        QVERIFY(w->window()->isMinimized());
    }

    // Still serving, and back in front on request.
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, portOf(w->window(), "protoServer"));
    QTRY_VERIFY(
        logLines(w->window()).contains(QStringLiteral("Control client connected from 127.0.0.1")));
    w->window()->bringToFront();
    QVERIFY(w->window()->isVisible());
    QVERIFY(!w->window()->isMinimized());
    w->window()->hide();
}

void tst_ServerMainWindow::trayActivation_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("shown");
    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick) << true;
    QTest::newRow("single click") << int(QSystemTrayIcon::Trigger) << true;
    QTest::newRow("context menu") << int(QSystemTrayIcon::Context) << false;
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << false;
}

void tst_ServerMainWindow::trayActivation()
{
    QFETCH(int, reason);
    QFETCH(bool, shown);
    auto w = makeWindow();
    auto *tray = w->window()->findChild<QSystemTrayIcon *>();
    QVERIFY(tray);
    QCOMPARE(tray->toolTip(), QStringLiteral("Ombrivale Tolvern"));
    w->window()->hide();
    emit tray->activated(QSystemTrayIcon::ActivationReason(reason));
    QCOMPARE(w->window()->isVisible(), shown);
    if (shown)
        QVERIFY(!w->window()->isMinimized());
    w->window()->hide();

    // The menu's first entry behaves as a double click.
    auto *open = w->window()->findChild<QAction *>(QStringLiteral("openMainWindow"));
    QVERIFY(open);
    open->trigger();
    QVERIFY(w->window()->isVisible());
    w->window()->hide();
}

void tst_ServerMainWindow::closeButtonAsksFirst_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("yes") << int(QMessageBox::Yes) << 0;
    QTest::newRow("no") << int(QMessageBox::No) << -1;
}

void tst_ServerMainWindow::closeButtonAsksFirst()
{
    QFETCH(int, answer);
    QFETCH(int, exitCode);
    auto w = makeWindow();
    QString asked;
    QTimer::singleShot(0, w->window(), [&] {
        QTimer::singleShot(50, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            asked = box->windowTitle() + QLatin1Char('|') + box->text();
            box->button(QMessageBox::StandardButton(answer))->click();
        });
        w->window()->findChild<QAction *>(QStringLiteral("close"))->trigger();
    });
    // -1 means nobody ended the main loop.
    QTimer::singleShot(1000, w->window(), [] { QCoreApplication::exit(-1); });
    QCOMPARE(QApplication::exec(), exitCode);
    QCOMPARE(asked, QStringLiteral("Confirm|Are you sure to close?"));
}

void tst_ServerMainWindow::trayCloseEndsLoopWithoutQuestion()
{
    auto w = makeWindow();
    QTimer::singleShot(0, w->window(),
        [&] { w->window()->findChild<QAction *>(QStringLiteral("quit"))->trigger(); });
    QTimer::singleShot(2000, w->window(), [] { QCoreApplication::exit(-1); });
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!QApplication::activeModalWidget());
}

void tst_ServerMainWindow::listenFailureIsLogged()
{
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::AnyIPv4, 0));
    CServerSettings::instance()->mainPort = squatter.serverPort();
    auto w = makeWindow();
    const QStringList lines = logLines(w->window());
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), QStringLiteral("File transfer server listen succeed"));
    const QString prefix = QStringLiteral("Main control server listen failed => ");
    QVERIFY2(lines.at(1).startsWith(prefix), qPrintable(lines.at(1)));
    QVERIFY(lines.at(1).size() > prefix.size());
    QVERIFY(portOf(w->window(), "fileServer") != 0);
}

void tst_ServerMainWindow::unsafeSaveNameIsRefused()
{
    auto w = makeWindow();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, portOf(w->window(), "fileServer"));
    QVERIFY(client.waitForConnected(5000));
    client.write(frame(0, packet(3, str("bob") + str("detail") + str("../escape"))));
    Frame reply = readFrame(client);
    QVERIFY(reply.ok);
    QCOMPARE(reply.payload.mid(22), QByteArray(1, '\3'));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("escape.z"))));
    // One line says why, none claims an upload.
    const QStringList lines = logLines(w->window());
    QVERIFY(lines.contains(QStringLiteral("Transfer refused: unsafe save name ../escape")));
    QVERIFY(!lines.contains(QStringLiteral("Upload ../escape.z")));
}

void tst_ServerMainWindow::refusedUploadIsLoggedOnce_data()
{
    QTest::addColumn<qint64>("maxSave");
    QTest::addColumn<qint64>("maxUser");
    QTest::addColumn<QString>("line");
    QTest::newRow("save") << 4LL << 0LL
                          << "Upload 7/quota.z refused: larger than MaxSaveBytes (4 bytes)";
    QTest::newRow("user")
        << 0LL << 4LL << "Upload 7/quota.z refused: folder 7 would exceed MaxUserBytes (4 bytes)";
}

void tst_ServerMainWindow::refusedUploadIsLoggedOnce()
{
    QFETCH(qint64, maxSave);
    QFETCH(qint64, maxUser);
    QFETCH(QString, line);
    CServerSettings::instance()->maxSaveBytes = maxSave;
    CServerSettings::instance()->maxUserBytes = maxUser;
    auto w = makeWindow();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, portOf(w->window(), "fileServer"));
    QVERIFY(client.waitForConnected(5000));
    client.write(frame(0, packet(3, str("bob") + str("detail") + str("7/quota"))));
    QCOMPARE(readFrame(client).payload.mid(22), QByteArray(1, '\0'));
    client.write(frame(1, QByteArrayLiteral("more than four bytes")));
    client.write(frame(0, packet(6, {})));
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);

    QVERIFY(!QFile::exists(storage + QStringLiteral("/7/quota.z")));
    const QStringList lines = logLines(w->window());
    QCOMPARE(lines.count(line), 1);
    QCOMPARE(lines.filter(QStringLiteral("refused")).size(), 1);
}

void tst_ServerMainWindow::savingSettingsReloadsCertificate()
{
    auto w = makeWindow();
    // Started plain; the operator then adds a certificate to the ini and saves the dialog.
    const testtls::Identity identity = testtls::makeIdentity(dir.path(), QStringLiteral("window"));
    QVERIFY(identity.ok);
    QFile ini(CServerSettings::instance()->iniFilePath());
    const QByteArray before = ini.open(QIODevice::ReadOnly) ? ini.readAll() : QByteArray();
    ini.close();
    // The later tests get the file back as it was.
    const auto restore = qScopeGuard([&] {
        if (ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
            ini.write(before);
    });
    QVERIFY(ini.open(QIODevice::Append));
    ini.write(QStringLiteral("\n[Tls]\nCertificate=%1\nPrivateKey=%2\n")
                  .arg(identity.certificate, identity.key)
                  .toUtf8());
    ini.close();
    {
        // The dialog shows the ports in use, so that OK finds nothing to refuse.
        QMutexLocker locker(&CServerSettings::lock());
        CServerSettings::instance()->mainPort = portOf(w->window(), "protoServer");
        CServerSettings::instance()->filePort = portOf(w->window(), "fileServer");
    }
    // OK in the dialog; any box after it is dismissed (a restart offer with "next time"), so
    // the test fails instead of waiting. One shot at a time: a box may open inside a click.
    bool answering = true;
    QElapsedTimer waited;
    waited.start();
    std::function<void()> answer = [&] {
        if (!answering)
            return;
        QTimer::singleShot(50, w->window(), answer);
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            QAbstractButton *cancel = box->button(QMessageBox::Cancel);
            (cancel ? cancel : box->buttons().first())->click();
        } else if (modal && waited.elapsed() > 5000) {
            modal->close();
        } else if (auto *ok
            = modal ? modal->findChild<QPushButton *>(QStringLiteral("btnOk")) : nullptr) {
            ok->click();
        }
    };
    QTimer::singleShot(50, w->window(), answer);
    w->window()->findChild<QAction *>(QStringLiteral("settings"))->trigger();
    answering = false;
    QTRY_VERIFY(logLines(w->window())
                    .contains(QStringLiteral("TLS certificate %1 loaded for new connections")
                                  .arg(identity.certificate)));
    QSslSocket client;
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), portOf(w->window(), "protoServer"));
    QVERIFY2(client.waitForEncrypted(10000), qPrintable(client.errorString()));
    QCOMPARE(client.peerCertificate(), testtls::certificateOf(identity));
}

QTEST_MAIN(tst_ServerMainWindow)
#include "tst_servermainwindow.moc"
