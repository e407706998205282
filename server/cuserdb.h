#ifndef CUSERDB_H
#define CUSERDB_H

#include <QObject>
#include <QString>
#include <QVector>

class QDateTime;
class QVariant;

// The one place that knows the t_user table, on the application's default SQLite
// connection. Process-wide, created on first use, never destroyed.
class CUserDb : public QObject
{
    Q_OBJECT

public:
    static CUserDb *instance();
    ~CUserDb() override;

    bool userExists(const QString &name);
    bool addUser(const QString &name, const QString &password, int *objectId);
    bool login(const QString &name, const QString &password, int *objectId);
    void deleteUser(int objectId);

    QString userDataPath(int objectId);
    bool clearUserData(int objectId);
    bool openUserData(int objectId);

    void inactiveUserIds(const QDateTime &before, QVector<int> &ids);
    void clearInactiveUserData(const QDateTime &before, int *userCount, int *missingCount);
    void deleteInactiveUsers(const QDateTime &before, int *deletedCount);

    // The text form last_login is stored and compared in.
    static QString dateTimeText(const QDateTime &dateTime);
    // A text for binding: a null QString would bind as SQL NULL, which the NOT NULL columns
    // refuse and "=" never matches, where an empty text is meant.
    static QVariant sqlText(const QString &text);

signals:
    void userAdd(int objectId, QString name);
    void userLogin(int objectId);

private:
    CUserDb();
    void ensureTable();
};

#endif // CUSERDB_H
