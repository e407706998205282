#include "cservermainwindow.h"

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabBar>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

#include "clogmodel.h"
#include "cservercore.h"
#include "csettingdlg.h"
#include "cuserdb.h"
#include "cusermanwidget.h"

CServerMainWindow::CServerMainWindow(CServerCore *serverCore, QWidget *parent)
    : QMainWindow(parent)
    , core(serverCore)
{
    buildWidgets();
    connect(core, &CServerCore::lineLogged, this, &CServerMainWindow::log);
    setWindowTitle(tr("Ombrivale Tolvern"));
    setWindowIcon(QIcon(iconPath()));
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

    userManWidget = new CUserManWidget(core->settings(), core->users(), this);
    connect(userManWidget, &CUserManWidget::log, this, &CServerMainWindow::log);

    logModel = new CLogModel(this);
    logModel->setObjectName(QStringLiteral("logModel"));
    logTable = new QTableView(this);
    logTable->setObjectName(QStringLiteral("logTable"));
    logTable->setModel(logModel);
    logTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    logTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // One line per row, cut with an ellipsis; the whole text is the cell's tool tip.
    logTable->setWordWrap(false);
    logTable->setTextElideMode(Qt::ElideRight);
    logTable->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto *copy = new QAction(tr("Copy"), logTable);
    copy->setObjectName(QStringLiteral("copyLog"));
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(copy, &QAction::triggered, this, &CServerMainWindow::copyLogSelection);
    logTable->addAction(copy);
    logTable->setContextMenuPolicy(Qt::ActionsContextMenu);
    // The view's own Ctrl+C copies one cell; whole lines are meant.
    logTable->installEventFilter(this);

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
    trayIcon = new QSystemTrayIcon(QIcon(iconPath()), this);
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
    logModel->appendLine(msg);
}

void CServerMainWindow::setLogLimit(int lines)
{
    logModel->setLimit(lines);
}

int CServerMainWindow::logLimit() const
{
    return logModel->limit();
}

void CServerMainWindow::copyLogSelection()
{
    QList<int> rows;
    const QModelIndexList selected = logTable->selectionModel()->selectedRows();
    rows.reserve(selected.size());
    for (const QModelIndex &index : selected)
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    QStringList lines;
    lines.reserve(rows.size());
    for (int row : std::as_const(rows))
        lines.append(logModel->lineTime(row) + QLatin1Char('\t') + logModel->lineText(row));
    if (!lines.isEmpty())
        QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

void CServerMainWindow::on_settings_clicked()
{
    CSettingDlg dlg(core->settings(), core->users(), this);
    // Saving the settings also picks up a renewed TLS certificate for new connections.
    if (dlg.exec() == QDialog::Accepted)
        QMetaObject::invokeMethod(core, &CServerCore::reloadTls, Qt::QueuedConnection);
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
    putAway();
}

void CServerMainWindow::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::DoubleClick && reason != QSystemTrayIcon::Trigger)
        return;
    bringToFront();
}

void CServerMainWindow::bringToFront()
{
    showNormal();
    raise();
    activateWindow();
}

bool CServerMainWindow::trayAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void CServerMainWindow::putAway()
{
    if (trayAvailable())
        hide();
    else
        showMinimized();
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
    // Closing the frame only puts the window away: the servers keep running.
    putAway();
    event->ignore();
}

void CServerMainWindow::changeEvent(QEvent *event)
{
    // Deferred: showMinimized() makes the window visible again right after this event.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && trayAvailable()) {
        QTimer::singleShot(0, this, [this] {
            if (isMinimized())
                hide();
        });
    }
    QMainWindow::changeEvent(event);
}

bool CServerMainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == logTable && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent *>(event)->matches(QKeySequence::Copy)) {
        copyLogSelection();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}
