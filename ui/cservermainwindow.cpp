#include "cservermainwindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDesktopServices>
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

#include "cservercore.h"
#include "cserverthread.h"
#include "csettingdlg.h"
#include "cuserdb.h"
#include "cusermanwidget.h"

CServerMainWindow::CServerMainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    buildWidgets();
    // The ports run on a thread of their own: nothing done in this window makes a player
    // wait. The two talk only through queued signals.
    // The network thread's database connection follows the file start-up opened, which only
    // this thread can look at.
    CUserDbConfig database;
    CUserDb::instance()->currentConfig(&database, nullptr);
    core = new CServerCore;
    core->setObjectName(QStringLiteral("serverCore"));
    connect(core, &CServerCore::lineLogged, this, &CServerMainWindow::log);
    coreThread = new CServerThread(core, this);
    coreThread->setObjectName(QStringLiteral("serverThread"));
    coreThread->startCore();
    // The listen results are in the log before the window shows.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    setWindowTitle(tr("Ombrivale Tolvern"));
    createTrayIcon();
}

CServerMainWindow::~CServerMainWindow()
{
    // The core goes on its own thread, before the widgets its lines were queued to.
    delete coreThread;
    core = nullptr;
}

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
