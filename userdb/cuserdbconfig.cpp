#include "cuserdbconfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QSqlDatabase>
#include <QUrl>
#include <QUrlQuery>

#include "cserversettings.h"

CUserDbConfig CUserDbConfig::sqlite(const QString &file)
{
    CUserDbConfig config;
    config.file = file;
    return config;
}

void CUserDbConfig::createSqliteFile() const
{
    if (kind != Sqlite || file.isEmpty() || file == QLatin1String(":memory:"))
        return;
    // Failures are SQLite's to report when it opens the file.
    const int fd = ::open(QFile::encodeName(file).constData(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return;
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    ::close(fd);
}

bool CUserDbConfig::fromUrl(const QString &url, CUserDbConfig *config, QString *errorText)
{
    const QString text = url.trimmed();
    const auto fail = [errorText](const QString &why) {
        if (errorText)
            *errorText = why;
        return false;
    };
    if (!text.startsWith(QLatin1String("postgresql://"))
        && !text.startsWith(QLatin1String("postgres://"))) {
        QString path = text;
        if (path.startsWith(QLatin1String("sqlite://")))
            path = path.mid(9);
        else if (path.startsWith(QLatin1String("sqlite:")))
            path = path.mid(7);
        if (path.isEmpty())
            return fail(QStringLiteral("No database file given"));
        *config = sqlite(path);
        return true;
    }

    const QUrl parsed(text, QUrl::StrictMode);
    if (!parsed.isValid())
        return fail(QStringLiteral("Invalid database URL %1")
                        .arg(parsed.toDisplayString(QUrl::RemovePassword)));
    CUserDbConfig result;
    result.kind = Postgresql;
    result.file.clear();
    result.host = parsed.host();
    result.port = parsed.port(5432);
    result.user = parsed.userName();
    result.password = parsed.password();
    result.databaseName = parsed.path().mid(1);
    // libpq's own parameters may follow as a query: host= for a socket folder, sslmode=, ...
    const QUrlQuery query(parsed);
    QStringList options;
    bool timeout = false;
    for (const auto &item : query.queryItems(QUrl::FullyDecoded)) {
        if (item.first == QLatin1String("host")) {
            result.host = item.second;
        } else if (item.first == QLatin1String("port")) {
            bool ok = false;
            result.port = item.second.toInt(&ok);
            if (!ok)
                return fail(QStringLiteral("Invalid port in database URL"));
        } else {
            if (item.first.contains(QLatin1Char(';')) || item.second.contains(QLatin1Char(';')))
                return fail(QStringLiteral("Invalid option in database URL"));
            timeout = timeout || item.first == QLatin1String("connect_timeout");
            options << item.first + QLatin1Char('=') + item.second;
        }
    }
    // An unreachable server must not hold a request for minutes.
    if (!timeout)
        options << QStringLiteral("connect_timeout=5");
    result.options = options.join(QLatin1Char(';'));
    if (result.databaseName.isEmpty())
        return fail(QStringLiteral("No database name in %1").arg(result.displayText()));
    *config = result;
    return true;
}

bool CUserDbConfig::fromSettings(
    const CServerSettings &settings, CUserDbConfig *config, QString *errorText)
{
    const QString driver = settings.databaseDriver.trimmed().toLower();
    if (driver.isEmpty() || driver == QLatin1String("sqlite")) {
        *config = CUserDbConfig();
        return true;
    }
    if (driver != QLatin1String("postgresql") && driver != QLatin1String("postgres")) {
        if (errorText)
            *errorText = QStringLiteral("Unknown database driver %1").arg(settings.databaseDriver);
        return false;
    }
    CUserDbConfig result;
    if (!fromUrl(settings.databaseUrl, &result, errorText))
        return false;
    if (!result.isPostgresql()) {
        if (errorText)
            *errorText = QStringLiteral("Driver=postgresql needs a postgresql:// Url");
        return false;
    }
    *config = result;
    return true;
}

QString CUserDbConfig::driverName() const
{
    return kind == Postgresql ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
}

QString CUserDbConfig::displayText() const
{
    if (kind == Sqlite)
        return file;
    QUrl url;
    url.setScheme(QStringLiteral("postgresql"));
    url.setUserName(user);
    if (!host.startsWith(QLatin1Char('/')))
        url.setHost(host);
    url.setPort(port);
    url.setPath(QLatin1Char('/') + databaseName);
    return url.toString();
}

QString CUserDbConfig::key() const
{
    return displayText() + QLatin1Char('|') + host + QLatin1Char('|') + options;
}

QSqlDatabase CUserDbConfig::addConnection(const QString &connectionName) const
{
    QSqlDatabase db = QSqlDatabase::addDatabase(driverName(), connectionName);
    if (kind == Sqlite) {
        db.setDatabaseName(file);
        // Admin commands run beside a server: wait for its write lock rather than fail.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(SQLITE_BUSY_TIMEOUT_MS));
        return db;
    }
    db.setHostName(host);
    db.setPort(port);
    db.setUserName(user);
    if (!password.isEmpty())
        db.setPassword(password);
    db.setDatabaseName(databaseName);
    db.setConnectOptions(options);
    return db;
}
