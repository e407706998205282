#ifndef CSERVERMAINWINDOW_H
#define CSERVERMAINWINDOW_H

#include <QMainWindow>
#include <QSystemTrayIcon>

class QMenu;
class QStackedWidget;
class QTableView;
class CLogModel;
class CServerCore;
class CUserManWidget;

// The server's one window: observes a CServerCore it is given (running on a thread of its
// own), shows its log lines and the user page, and lives on in the tray when hidden.
class CServerMainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // A busy server would otherwise grow the log until memory runs out.
    static constexpr int DEFAULT_LOG_LIMIT = 100000;
    static QString iconPath() { return QStringLiteral(":/images/tolvern.png"); }

    // core must outlive the window's use of it; its lines reach the window queued.
    explicit CServerMainWindow(CServerCore *core, QWidget *parent = nullptr);
    ~CServerMainWindow() override;

    // Lives on another thread: only its thread-safe members (the ports, the listen results)
    // may be called from this one.
    CServerCore *serverCore() const { return core; }

    void setLogLimit(int lines);
    int logLimit() const;

public slots:
    // Shows the window in front, from the tray or from a second start of the program.
    void bringToFront();

protected:
    // Without a notification area there is no tray icon to come back from, so the window
    // never hides: it minimises instead.
    virtual bool trayAvailable() const;

    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void log(QString msg);
    void on_settings_clicked();
    void on_close_clicked();
    void on_hide_clicked();
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    void iconActivated();

private:
    void buildWidgets();
    void createTrayIcon();
    void copyLogSelection();
    // Hides to the tray, or minimises where there is none.
    void putAway();

    CServerCore *core = nullptr;
    CLogModel *logModel = nullptr;
    QTableView *logTable = nullptr;
    CUserManWidget *userManWidget = nullptr;
    QStackedWidget *pages = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;
    QMenu *trayMenu = nullptr;
};

#endif // CSERVERMAINWINDOW_H
