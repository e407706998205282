#include "cdbcommand.h"

#include <cstdio>

#include <QFileInfo>

#include "cadmincommand.h"
#include "cserversettings.h"
#include "cuserdbconfig.h"
#include "cuserdbcopy.h"

QString CDbCommand::usage()
{
    return QStringLiteral(
        "Usage: tolvern-server db copy --to URL [--from FILE] [--config FILE] [--workdir DIR]\n"
        "Copies every user of the server's database (DIR/db/users.db, or what the ini's\n"
        "[Database] names), or of the SQLite file FILE, into the database URL, e.g.\n"
        "postgresql://user@host:5432/dbname: ids, names, passwords and last logins unchanged,\n"
        "in one transaction. A target that already holds users is left alone. Stop the\n"
        "server first, or users it adds meanwhile are not copied; then point [Database] at\n"
        "the target:\n"
        "\n"
        "  [Database]\n"
        "  Driver=postgresql\n"
        "  Url=postgresql://user@host:5432/dbname\n"
        "\n"
        "Without a password in the URL, PGPASSWORD or ~/.pgpass gives it.\n"
        "Exit status: 0 copied, 1 database error (nothing copied), 6 the target already\n"
        "holds users (nothing copied), 7 the database server cannot be reached, 64 wrong\n"
        "usage.\n");
}

int CDbCommand::usageError(const QString &text)
{
    CAdminCommand::printError(text);
    std::fputs(usage().toLocal8Bit().constData(), stderr);
    return CAdminCommand::EXIT_USAGE;
}

int CDbCommand::run(CAdminCommand &command, const QStringList &arguments)
{
    Q_UNUSED(command);
    if (arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h"))) {
        std::fputs(usage().toLocal8Bit().constData(), stdout);
        return CAdminCommand::EXIT_OK;
    }
    if (arguments.isEmpty())
        return usageError(QStringLiteral("db: a command is needed"));
    if (arguments.first() == QLatin1String("copy"))
        return copy(arguments.mid(1));
    return usageError(QStringLiteral("db: unknown command %1").arg(arguments.first()));
}

int CDbCommand::copy(const QStringList &arguments)
{
    QString to;
    QString from;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &word = arguments.at(i);
        const QString name = word.section(QLatin1Char('='), 0, 0);
        if (name != QLatin1String("--to") && name != QLatin1String("--from"))
            return usageError(QStringLiteral("db copy: unexpected argument %1").arg(word));
        QString value;
        if (word.contains(QLatin1Char('=')))
            value = word.section(QLatin1Char('='), 1);
        else if (i + 1 < arguments.size())
            value = arguments.at(++i);
        if (value.isEmpty())
            return usageError(QStringLiteral("db copy: option %1 needs a value").arg(name));
        (name == QLatin1String("--to") ? to : from) = value;
    }
    if (to.isEmpty())
        return usageError(QStringLiteral("db copy: --to URL is needed"));

    QString error;
    CUserDbConfig target;
    if (!CUserDbConfig::fromUrl(to, &target, &error))
        return usageError(QStringLiteral("db copy: --to: %1").arg(error));
    CUserDbConfig source;
    if (!from.isEmpty()) {
        if (!CUserDbConfig::fromUrl(from, &source, &error))
            return usageError(QStringLiteral("db copy: --from: %1").arg(error));
    } else {
        CServerSettings *settings = CServerSettings::instance();
        settings->load();
        if (!CUserDbConfig::fromSettings(settings->snapshot(), &source, &error)) {
            CAdminCommand::printError(
                QStringLiteral("%1 (in %2)").arg(error, settings->iniFilePath()));
            return CAdminCommand::EXIT_DATABASE;
        }
    }
    if (!source.isPostgresql() && !QFileInfo::exists(source.sqliteFile())) {
        CAdminCommand::printError(QStringLiteral("no user database at %1 (give --from FILE, or "
                                                 "--workdir with the server's working directory)")
                                      .arg(QFileInfo(source.sqliteFile()).absoluteFilePath()));
        return CAdminCommand::EXIT_DATABASE;
    }

    CUserDbCopy copy(source, target);
    if (!copy.run()) {
        CAdminCommand::printError(copy.errorText());
        return copy.targetNotEmpty() ? EXIT_TARGET_NOT_EMPTY : CAdminCommand::EXIT_DATABASE;
    }
    const QString sourceText = source.isPostgresql()
        ? source.displayText()
        : QFileInfo(source.sqliteFile()).absoluteFilePath();
    CAdminCommand::printOut(QStringLiteral("Copied %1 users from %2 to %3\n")
                                .arg(copy.copiedCount())
                                .arg(sourceText, target.displayText()));
    return CAdminCommand::EXIT_OK;
}
