#include "cservermainwindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QHostAddress>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabBar>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

#include "csavestore.h"
#include "cserverfileconn.h"
#include "cserversettings.h"
#include "csettingdlg.h"
#include "ctolvernserver.h"
#include "ctolvernserverconn.h"
#include "cusermanwidget.h"

namespace {
// Room for thousands of clients connecting at once.
constexpr int LISTEN_BACKLOG = 1024;
} // namespace

CServerMainWindow::CServerMainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    buildWidgets();
    startServers();
    setWindowTitle(tr("Ombrivale Tolvern"));
    createTrayIcon();
}

CServerMainWindow::~CServerMainWindow() = default;

void CServerMainWindow::buildWidgets()
{
    statusBar()->setSizeGripEnabled(true);
    statusBar()->setLayoutDirection(Qt::LeftToRight);

    QToolBar *toolBar = addToolBar(tr("Main"));
    toolBar->setObjectName(QStringLiteral("mainToolBar"));
    toolBar->setIconSize(QSize(24, 24));
    toolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    QAction *settings
        = toolBar->addAction(QIcon(QStringLiteral(":/images/settings.png")), tr("Settings"));
    settings->setObjectName(QStringLiteral("settings"));
    connect(settings, &QAction::triggered, this, &CServerMainWindow::on_settings_clicked);
    QAction *hide = toolBar->addAction(QIcon(QStringLiteral(":/images/hide.png")), tr("Hide"));
    hide->setObjectName(QStringLiteral("hide"));
    connect(hide, &QAction::triggered, this, &CServerMainWindow::on_hide_clicked);
    QAction *close = toolBar->addAction(QIcon(QStringLiteral(":/images/exit.png")), tr("Close"));
    close->setObjectName(QStringLiteral("close"));
    connect(close, &QAction::triggered, this, &CServerMainWindow::on_close_clicked);

    auto *tabBar = new QTabBar(this);
    tabBar->addTab(tr("Users"));
    tabBar->addTab(tr("System Logs"));

    userManWidget = new CUserManWidget(this);
    connect(userManWidget, &CUserManWidget::log, this, &CServerMainWindow::log);

    logTable = new QTableWidget(this);
    logTable->setObjectName(QStringLiteral("logTable"));
    logTable->setColumnCount(2);
    logTable->setHorizontalHeaderLabels({ QStringLiteral("Time"), QStringLiteral("Message") });
    logTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    logTable->setEditTriggers(QAbstractItemView::NoEditTriggers);

    pages = new QStackedWidget(this);
    pages->addWidget(userManWidget);
    pages->addWidget(logTable);
    connect(tabBar, &QTabBar::currentChanged, pages, &QStackedWidget::setCurrentIndex);

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->setSpacing(1);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(tabBar);
    layout->addWidget(pages);
    setCentralWidget(central);

    tabBar->setCurrentIndex(0);
}

void CServerMainWindow::startServers()
{
    const CServerSettings *settings = CServerSettings::instance();
    const int mainPort = settings->mainPort;
    const int filePort = settings->filePort;

    // Only the low 16 bits of a port setting count. The listeners are IPv4 only, so peers
    // show in dotted decimal.
    protoServer = new CTolvernServer(this);
    protoServer->setObjectName(QStringLiteral("protoServer"));
    protoServer->setListenBacklogSize(LISTEN_BACKLOG);
    connect(protoServer, &CTolvernServer::clientConnected, this,
        &CServerMainWindow::protoClientConnected);
    if (protoServer->listen(QHostAddress::AnyIPv4, static_cast<quint16>(mainPort)))
        log(tr("Main control server listen succeed"));
    else
        log(tr("Main control server listen failed => %1").arg(protoServer->errorString()));

    fileServer = new CTolvernServer(this);
    fileServer->setObjectName(QStringLiteral("fileServer"));
    fileServer->setListenBacklogSize(LISTEN_BACKLOG);
    connect(fileServer, &CTolvernServer::clientConnected, this,
        &CServerMainWindow::fileClientConnected);
    if (fileServer->listen(QHostAddress::AnyIPv4, static_cast<quint16>(filePort)))
        log(tr("File transfer server listen succeed"));
    else
        log(tr("File transfer server listen  failed => %1").arg(fileServer->errorString()));
}

void CServerMainWindow::createTrayIcon()
{
    trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/images/tolvern.png")), this);
    trayIcon->setToolTip(windowTitle());

    trayMenu = new QMenu(this);
    QAction *open = trayMenu->addAction(tr("Open Main Window..."));
    open->setObjectName(QStringLiteral("openMainWindow"));
    connect(open, &QAction::triggered, this, qOverload<>(&CServerMainWindow::iconActivated));
    trayMenu->addSeparator();
    QAction *quit = trayMenu->addAction(tr("Close"));
    quit->setObjectName(QStringLiteral("quit"));
    // exit() rather than quit(): quit() first asks every window to close, and this window
    // refuses, since closing it only hides it.
    connect(quit, &QAction::triggered, qApp, [] { QCoreApplication::exit(0); });
    trayIcon->setContextMenu(trayMenu);

    connect(trayIcon, &QSystemTrayIcon::activated, this,
        qOverload<QSystemTrayIcon::ActivationReason>(&CServerMainWindow::iconActivated));
    trayIcon->show();
}

void CServerMainWindow::protoClientConnected(int stockfd)
{
    auto *conn = new CTolvernServerConn(this);
    conn->setSocketDescriptor(stockfd, QAbstractSocket::ConnectedState, QIODevice::ReadWrite);
    connect(
        conn, &CTolvernServerConn::disconnected, this, &CServerMainWindow::protoClientDisconnected);
    connect(conn, &CTolvernServerConn::log, this, &CServerMainWindow::log);
    protoConns.append(conn);
    log(tr("Control client connected from %1").arg(conn->peerAddress().toString()));
}

void CServerMainWindow::protoClientDisconnected()
{
    auto *conn = qobject_cast<CTolvernServerConn *>(sender());
    if (!conn)
        return;
    protoConns.removeOne(conn);
    conn->deleteLater();
    log(tr("Control client disconnected from %1").arg(conn->peerAddress().toString()));
}

void CServerMainWindow::fileClientConnected(int stockfd)
{
    auto *conn = new libsock::CServerFileConn(CServerSettings::instance()->saveDataDir, this);
    conn->setSocketDescriptor(stockfd, QAbstractSocket::ConnectedState, QIODevice::ReadWrite);
    conn->setAdapter(this);
    connect(conn, &libsock::CServerFileConn::disconnected, this,
        &CServerMainWindow::fileClientDisconnected);
    fileConns.append(conn);
    log(tr("File client connected from %1").arg(conn->peerAddress().toString()));
}

void CServerMainWindow::fileClientDisconnected()
{
    auto *conn = qobject_cast<libsock::CServerFileConn *>(sender());
    if (!conn)
        return;
    fileConns.removeOne(conn);
    conn->deleteLater();
    log(tr("File client disconnected from %1").arg(conn->peerAddress().toString()));
}

void CServerMainWindow::log(QString msg)
{
    logTable->insertRow(0);
    logTable->setItem(0, 0,
        new QTableWidgetItem(
            QDateTime::currentDateTime().toString(QStringLiteral("MM-dd hh:mm:ss"))));
    logTable->setItem(0, 1, new QTableWidgetItem(msg));
    // Past the bound the oldest lines go. Removing one row costs the view a pass over all
    // rows, as does removing a thousand, so the oldest hundredth goes at once.
    if (logTable->rowCount() > maxLogLines) {
        const int keep = maxLogLines - maxLogLines / 100;
        logTable->model()->removeRows(keep, logTable->rowCount() - keep);
    }
}

void CServerMainWindow::setLogLimit(int lines)
{
    maxLogLines = qMax(1, lines);
    while (logTable->rowCount() > maxLogLines)
        logTable->removeRow(logTable->rowCount() - 1);
}

bool CServerMainWindow::requestTransfer(const QString &user, const QString &detail)
{
    Q_UNUSED(detail);
    log(tr("%1 request transfer savedat").arg(user));
    return true;
}

QString CServerMainWindow::downloadFileName(const QString &saveName)
{
    log(tr("Download %1.z").arg(saveName));
    // Versions are reached only through a restore; an empty name refuses the request.
    if (CSaveStore::isHistoryName(saveName)) {
        log(tr("Download %1.z refused: inside a save history folder").arg(saveName));
        return QString();
    }
    return CSaveStore::archiveName(saveName);
}

QString CServerMainWindow::uploadFileName(const QString &saveName)
{
    log(tr("Upload %1.z").arg(saveName));
    if (CSaveStore::isHistoryName(saveName)) {
        log(tr("Upload %1.z refused: inside a save history folder").arg(saveName));
        return QString();
    }
    return CSaveStore::archiveName(saveName);
}

bool CServerMainWindow::allowUploadSize(const QString &fileName, qint64 size, qint64 growth)
{
    const CSaveStore::Outcome outcome = CSaveStore::fromSettings(*CServerSettings::instance())
                                            .checkUpload(fileName, size, growth);
    if (!outcome.ok())
        log(tr("Upload %1 refused: %2").arg(fileName, outcome.message));
    return outcome.ok();
}

bool CServerMainWindow::commitUpload(
    const QString &fileName, qint64 size, const std::function<bool()> &commit)
{
    CSaveStore store = CSaveStore::fromSettings(*CServerSettings::instance());
    const CSaveStore::Outcome outcome = store.commitUpload(fileName, size, commit);
    if (outcome.status == CSaveStore::Status::Refused)
        log(tr("Upload %1 refused: %2").arg(fileName, outcome.message));
    else if (!outcome.ok())
        log(tr("Upload %1 failed: %2").arg(fileName, outcome.message));
    else if (outcome.givenUp > 0)
        log(tr("Upload %1 stored; %n old version(s) given up for room", nullptr, outcome.givenUp)
                .arg(fileName));
    return outcome.ok();
}

void CServerMainWindow::on_settings_clicked()
{
    CSettingDlg dlg(this);
    dlg.exec();
    if (dlg.refreshUserList)
        userManWidget->refresh();
}

void CServerMainWindow::on_close_clicked()
{
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Confirm"), tr("Are you sure to close?"), QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes)
        QCoreApplication::exit(0);
}

void CServerMainWindow::on_hide_clicked()
{
    hide();
}

void CServerMainWindow::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::DoubleClick && reason != QSystemTrayIcon::Trigger)
        return;
    showNormal();
    raise();
    activateWindow();
}

void CServerMainWindow::iconActivated()
{
    iconActivated(QSystemTrayIcon::DoubleClick);
}

void CServerMainWindow::mouseDoubleClickEvent(QMouseEvent *event)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(QCoreApplication::applicationDirPath()));
    QMainWindow::mouseDoubleClickEvent(event);
}

void CServerMainWindow::resizeEvent(QResizeEvent *event)
{
    logTable->setColumnWidth(0, 120);
    logTable->setColumnWidth(1, width() - 160);
    QMainWindow::resizeEvent(event);
}

void CServerMainWindow::closeEvent(QCloseEvent *event)
{
    // Closing the frame only hides: the servers keep running in the tray.
    hide();
    event->ignore();
}

void CServerMainWindow::changeEvent(QEvent *event)
{
    // Deferred: showMinimized() makes the window visible again right after this event.
    if (event->type() == QEvent::WindowStateChange && isMinimized()) {
        QTimer::singleShot(0, this, [this] {
            if (isMinimized())
                hide();
        });
    }
    QMainWindow::changeEvent(event);
}
