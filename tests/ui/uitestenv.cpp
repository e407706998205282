#include "uitestenv.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QTextStream>
#include <QVariant>
#include <QWidget>

#include "cpasswordhasher.h"
#include "cserversettings.h"
#include "cuserdb.h"
#include "testini.h"

namespace {

QString readText(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

QString keyValue(const QString &text, const QString &key)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString prefix = key + QLatin1Char('=');
        if (line.startsWith(prefix)) {
            QString value = line.mid(prefix.size());
            if (value.endsWith(QLatin1Char('\r')))
                value.chop(1);
            return value;
        }
    }
    return QString();
}

} // namespace

UiTestEnv::UiTestEnv()
{
    if (!dir.isValid())
        return;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(path(QStringLiteral("config"))));
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");

    CServerSettings::instance()->setIniFilePath(iniPath());
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(path(QStringLiteral("users.db")));
    valid = db.open() && QDir().mkpath(storageDir());
    CServerSettings::instance()->saveDataDir = storageDir();
    cheapHashes();
    // The first call creates the table.
    CUserDb::instance();
}

UiTestEnv::~UiTestEnv()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    {
        QSqlDatabase db
            = QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false);
        db.close();
    }
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
}

QString UiTestEnv::path(const QString &relative) const
{
    return dir.filePath(relative);
}

QString UiTestEnv::runEntryPath() const
{
    return path(QStringLiteral("config/autostart/Ombrivale_Tolvern.desktop"));
}

void UiTestEnv::writeIni(const QString &saveDataDir, int mainPort, int filePort, bool startWithOS)
{
    writeTestIni(iniPath(), saveDataDir, mainPort, filePort, startWithOS);
    CServerSettings::instance()->load();
    cheapHashes();
}

void UiTestEnv::cheapHashes()
{
    // As cheap as libsodium allows: the dialogs are under test, not the cost.
    CServerSettings::instance()->hashMemoryKiB = 8;
    CServerSettings::instance()->hashIterations = 1;
}

QString UiTestEnv::iniText() const
{
    return readText(iniPath());
}

QString UiTestEnv::iniValue(const QString &key) const
{
    return keyValue(iniText(), key);
}

QString UiTestEnv::runExec() const
{
    if (!QFile::exists(runEntryPath()))
        return QString();
    return keyValue(readText(runEntryPath()), QStringLiteral("Exec"));
}

QString UiTestEnv::runPath() const
{
    if (!QFile::exists(runEntryPath()))
        return QString();
    QString value = keyValue(readText(runEntryPath()), QStringLiteral("Path"));
    return value.replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
}

QString UiTestEnv::fileText(const QString &fileName)
{
    return readText(fileName);
}

QString UiTestEnv::quotedExecutable()
{
    return QLatin1Char('"') + QCoreApplication::applicationFilePath() + QLatin1Char('"');
}

void UiTestEnv::resetUsers()
{
    QSqlQuery query;
    query.exec(QStringLiteral("delete from t_user"));
    query.exec(QStringLiteral("update t_user_seq set last_id = 0"));
    QDir storage(storageDir());
    storage.removeRecursively();
    QDir().mkpath(storageDir());
    openedUrls.clear();
}

void UiTestEnv::insertUser(
    int objectId, const QString &name, const QString &password, const QDateTime &lastLogin)
{
    QSqlQuery query;
    query.prepare(QStringLiteral("insert into t_user (object_id, name, password, is_enabled, "
                                 "last_login) values (?, ?, ?, 'Y', ?)"));
    query.addBindValue(objectId);
    query.addBindValue(name);
    query.addBindValue(password);
    query.addBindValue(
        lastLogin.isValid() ? QVariant(CUserDb::dateTimeText(lastLogin)) : QVariant());
    query.exec();
}

bool UiTestEnv::makeUserFolder(int objectId)
{
    const QString folder = storageDir() + QLatin1Char('/') + QString::number(objectId);
    if (!QDir().mkpath(folder + QStringLiteral("/slot")))
        return false;
    QFile file(folder + QStringLiteral("/slot/game.z"));
    return file.open(QIODevice::WriteOnly) && file.write("save") == 4;
}

bool UiTestEnv::blockUserFolder(int objectId)
{
    const QString path = storageDir() + QLatin1Char('/') + QString::number(objectId);
    QDir(path).removeRecursively();
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("save") == 4;
}

bool UiTestEnv::userFolderExists(int objectId) const
{
    return QFileInfo::exists(storageDir() + QLatin1Char('/') + QString::number(objectId));
}

QList<int> UiTestEnv::userIds() const
{
    QList<int> ids;
    QSqlQuery query;
    if (query.exec(QStringLiteral("select object_id from t_user order by object_id"))) {
        while (query.next())
            ids.append(query.value(0).toInt());
    }
    return ids;
}

QString UiTestEnv::password(int objectId) const
{
    QSqlQuery query;
    query.prepare(QStringLiteral("select password from t_user where object_id = ?"));
    query.addBindValue(objectId);
    if (query.exec() && query.next())
        return query.value(0).toString();
    return QString();
}

bool UiTestEnv::storesHashOf(int objectId, const QString &password) const
{
    const QString stored = this->password(objectId);
    return CPasswordHasher::isHash(stored)
        && CPasswordHasher::instance()->verify(
            stored, password, CPasswordHasher::Params::fromSettings(*CServerSettings::instance()));
}

QStringList UiTestEnv::tabOrder(QWidget *window)
{
    QStringList names;
    for (QWidget *w = window->nextInFocusChain(); w && w != window; w = w->nextInFocusChain()) {
        if (w->window() == window && (w->focusPolicy() & Qt::TabFocus))
            names.append(w->objectName());
    }
    return names;
}

void UiTestEnv::openUrl(const QUrl &url)
{
    openedUrls.append(url);
}
