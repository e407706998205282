#ifndef UITESTENV_H
#define UITESTENV_H

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

class QWidget;

// The world a UI test runs in, all inside one temporary folder: the ini file, the autostart
// folder (XDG_CONFIG_HOME), the storage directory and the SQLite file on the application's
// default connection. Folders the program would open are caught, never launched.
class UiTestEnv : public QObject
{
    Q_OBJECT

public:
    // Create after the QApplication.
    UiTestEnv();
    ~UiTestEnv() override;

    bool isValid() const { return valid; }
    QString path(const QString &relative) const;
    QString storageDir() const { return path(QStringLiteral("storage")); }
    QString iniPath() const { return path(QStringLiteral("tolvern.ini")); }
    QString runEntryPath() const;

    // Ini written from scratch and loaded into the settings record.
    void writeIni(const QString &saveDataDir, int mainPort, int filePort, bool startWithOS);
    QString iniText() const;
    // The value of key in the ini file; a null string when the key is missing.
    QString iniValue(const QString &key) const;
    // The Exec= value of the autostart entry; a null string when there is no entry.
    QString runExec() const;
    // The Path= value of the autostart entry, unescaped; null when there is none.
    QString runPath() const;
    static QString fileText(const QString &fileName);
    static QString quotedExecutable();

    // Empties t_user, the storage directory and the record of opened folders.
    void resetUsers();
    // A user row written straight into the table; lastLogin null means never logged in.
    void insertUser(int objectId, const QString &name, const QString &password,
        const QDateTime &lastLogin = QDateTime());
    bool makeUserFolder(int objectId);
    // Puts a file where the user's folder belongs: it cannot be removed as a folder.
    bool blockUserFolder(int objectId);
    bool userFolderExists(int objectId) const;
    QList<int> userIds() const;
    QString password(int objectId) const;
    // Whether the user's password is stored hashed, as a hash of password.
    bool storesHashOf(int objectId, const QString &password) const;

    // Object names of the widgets Tab visits, in order, starting after the window itself.
    static QStringList tabOrder(QWidget *window);

    QList<QUrl> openedUrls;

public slots:
    void openUrl(const QUrl &url);

private:
    static void cheapHashes();
    QTemporaryDir dir;
    bool valid = false;
};

#endif // UITESTENV_H
