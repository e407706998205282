#ifndef CSERVERMAINWINDOW_H
#define CSERVERMAINWINDOW_H

#include <QList>
#include <QMainWindow>
#include <QSystemTrayIcon>

#include "cabstractserverfileconnadapter.h"

class QMenu;
class QStackedWidget;
class QTableWidget;
class CTolvernServer;
class CTolvernServerConn;
class CUserManWidget;
namespace libsock {
class CServerFileConn;
}

// The server's one window and its service hub: listens on both ports, turns accepted sockets
// into connections, logs every network event and maps save names to archive files.
class CServerMainWindow : public QMainWindow, public libsock::CAbstractServerFileConnAdapter
{
    Q_OBJECT

public:
    // A busy server would otherwise grow the log until memory runs out.
    static constexpr int DEFAULT_LOG_LIMIT = 100000;

    explicit CServerMainWindow(QWidget *parent = nullptr);
    ~CServerMainWindow() override;

    bool requestTransfer(const QString &user, const QString &detail) override;
    QString downloadFileName(const QString &saveName) override;
    QString uploadFileName(const QString &saveName) override;
    bool allowUploadSize(const QString &fileName, qint64 size, qint64 growth) override;
    bool commitUpload(
        const QString &fileName, qint64 size, const std::function<bool()> &commit) override;

    void setLogLimit(int lines);
    int logLimit() const { return maxLogLines; }

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

private slots:
    void protoClientConnected(int stockfd);
    void protoClientDisconnected();
    void fileClientConnected(int stockfd);
    void fileClientDisconnected();
    void log(QString msg);
    void on_settings_clicked();
    void on_close_clicked();
    void on_hide_clicked();
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    void iconActivated();

private:
    void buildWidgets();
    void startServers();
    void createTrayIcon();

    CTolvernServer *protoServer = nullptr;
    CTolvernServer *fileServer = nullptr;
    QTableWidget *logTable = nullptr;
    CUserManWidget *userManWidget = nullptr;
    QStackedWidget *pages = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;
    QMenu *trayMenu = nullptr;
    QList<libsock::CServerFileConn *> fileConns;
    QList<CTolvernServerConn *> protoConns;
    int maxLogLines = DEFAULT_LOG_LIMIT;
};

#endif // CSERVERMAINWINDOW_H
