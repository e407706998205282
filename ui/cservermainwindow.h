#ifndef CSERVERMAINWINDOW_H
#define CSERVERMAINWINDOW_H

#include <QMainWindow>
#include <QSystemTrayIcon>

class QMenu;
class QStackedWidget;
class QTableWidget;
class CServerCore;
class CServerThread;
class CUserManWidget;

// The server's one window: runs the network services of a CServerCore of its own on a thread
// of their own, shows their log lines and the user page, and lives on in the tray when hidden.
class CServerMainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // A busy server would otherwise grow the log until memory runs out.
    static constexpr int DEFAULT_LOG_LIMIT = 100000;

    explicit CServerMainWindow(QWidget *parent = nullptr);
    ~CServerMainWindow() override;

    // Lives on another thread: only its thread-safe members (the ports, the listen results)
    // may be called from this one.
    CServerCore *serverCore() const { return core; }

    void setLogLimit(int lines);
    int logLimit() const { return maxLogLines; }

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

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

    CServerCore *core = nullptr;
    CServerThread *coreThread = nullptr;
    QTableWidget *logTable = nullptr;
    CUserManWidget *userManWidget = nullptr;
    QStackedWidget *pages = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;
    QMenu *trayMenu = nullptr;
    int maxLogLines = DEFAULT_LOG_LIMIT;
};

#endif // CSERVERMAINWINDOW_H
