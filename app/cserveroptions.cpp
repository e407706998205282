#include "cserveroptions.h"

#include <QDir>
#include <QFileInfo>

#include "cinstallpaths.h"
#include "cuserdbconfig.h"

namespace {

// The toolkit's own options that take a value, and those that stand alone.
const char *const QT_VALUE_OPTIONS[] = { "platform", "platformpluginpath", "platformtheme",
    "plugin", "qwindowgeometry", "qwindowtitle", "qwindowicon", "style", "stylesheet", "session",
    "display", "geometry", "name", "title" };
const char *const QT_FLAG_OPTIONS[] = { "reverse", "widgetcount", "nograb", "dograb", "sync" };

QString absolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

QString CServerOptions::usage()
{
    return QStringLiteral(
        "Usage: tolvern-server [OPTION]...\n"
        "       tolvern-server users COMMAND ...   (see tolvern-server users --help)\n"
        "Runs the Tolvern Data Server: a window with a tray icon, or a headless service.\n"
        "\n"
        "  --headless          run without a window; log lines go to stdout (also chosen\n"
        "                      when no display can be reached)\n"
        "  --storage DIR       storage folder of the save archives; saved in the ini\n"
        "  --config FILE       the ini file (default: tolvern.ini beside the program, or\n"
        "                      $XDG_CONFIG_HOME/tolvern/tolvern.ini when that folder is not\n"
        "                      writable; an installed copy run headless takes\n"
        "                      %1 when the package put it there)\n"
        "  --workdir DIR       run in DIR: the user database is DIR/db/users.db (an\n"
        "                      installed copy run headless: %2)\n"
        "  --database URL      the user database for this run instead of the ini's\n"
        "                      [Database]: postgresql://user@host:5432/dbname, or an\n"
        "                      SQLite file\n"
        "  --main-port N       main control port for this run (1-65535)\n"
        "  --file-port N       game data transfer port for this run (1-65535)\n"
        "  --check-config [FILE]  check an ini (the one the server would read without\n"
        "                      FILE): syntax, unknown keys, values out of range, missing\n"
        "                      folders and files; exit status 0 when it is sound, else 2\n"
        "  -h, --help          show this help\n"
        "  --version           show the program's version\n"
        "\n"
        "Headless, the first start without a storage folder uses\n"
        "$XDG_DATA_HOME/tolvern/saves. Exit status: 0 done (also when another copy runs),\n"
        "1 the server could not start (database file, storage folder, ports), 2 bad\n"
        "arguments, 7 a database server that cannot be reached at start.\n")
        .arg(CInstallPaths::systemIniFile(), CInstallPaths::systemWorkDir());
}

bool CServerOptions::takeValue(
    const QStringList &arguments, int &index, const QString &name, QString &value)
{
    const QString &word = arguments.at(index);
    if (word.startsWith(name + QLatin1Char('='))) {
        value = word.mid(name.size() + 1);
    } else if (index + 1 < arguments.size()) {
        value = arguments.at(++index);
    } else {
        error = QStringLiteral("option %1 needs a value").arg(name);
        return false;
    }
    if (value.isEmpty()) {
        error = QStringLiteral("option %1 needs a value").arg(name);
        return false;
    }
    return true;
}

bool CServerOptions::parsePort(const QString &name, const QString &text, int &port)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < 1 || value > 65535) {
        error = QStringLiteral("%1 %2: a port is a number from 1 to 65535").arg(name, text);
        return false;
    }
    port = value;
    return true;
}

CServerOptions::Outcome CServerOptions::parse(const QStringList &arguments)
{
    bool checkRequested = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &word = arguments.at(i);
        const QString name = word.section(QLatin1Char('='), 0, 0);
        QString value;
        if (word == QLatin1String("-h") || word == QLatin1String("--help")) {
            return Help;
        } else if (word == QLatin1String("--version")) {
            return Version;
        } else if (name == QLatin1String("--check-config")) {
            // The file is optional: a next word that is no option names it.
            if (word.contains(QLatin1Char('=')) && !takeValue(arguments, i, name, value))
                return Invalid;
            if (!word.contains(QLatin1Char('=')) && i + 1 < arguments.size()
                && !arguments.at(i + 1).startsWith(QLatin1Char('-')))
                value = arguments.at(++i);
            if (!value.isEmpty())
                checkFile = absolute(value);
            checkRequested = true;
        } else if (word == QLatin1String("--headless")) {
            headless = true;
        } else if (name == QLatin1String("--storage")) {
            if (!takeValue(arguments, i, name, value))
                return Invalid;
            storage = absolute(value);
        } else if (name == QLatin1String("--config")) {
            if (!takeValue(arguments, i, name, value))
                return Invalid;
            config = absolute(value);
        } else if (name == QLatin1String("--workdir")) {
            if (!takeValue(arguments, i, name, value))
                return Invalid;
            workDir = absolute(value);
        } else if (name == QLatin1String("--database")) {
            if (!takeValue(arguments, i, name, value))
                return Invalid;
            CUserDbConfig config;
            QString why;
            if (!CUserDbConfig::fromUrl(value, &config, &why)) {
                error = QStringLiteral("--database: %1").arg(why);
                return Invalid;
            }
            // A relative SQLite file is taken against the folder the command was given in.
            database = config.isPostgresql() ? value.trimmed() : absolute(config.sqliteFile());
        } else if (name == QLatin1String("--main-port")) {
            if (!takeValue(arguments, i, name, value) || !parsePort(name, value, mainPort))
                return Invalid;
        } else if (name == QLatin1String("--file-port")) {
            if (!takeValue(arguments, i, name, value) || !parsePort(name, value, filePort))
                return Invalid;
        } else if (!takeToolkitOption(arguments, i)) {
            return Invalid;
        }
    }
    return checkRequested ? CheckConfig : Run;
}

bool CServerOptions::takeToolkitOption(const QStringList &arguments, int &i)
{
    // The toolkit reads its own options from the same command line.
    const QString &word = arguments.at(i);
    const QString name = word.section(QLatin1Char('='), 0, 0);
    QString value;
    bool known = false;
    const QString bare = name.startsWith(QLatin1String("--")) ? name.mid(2) : name.mid(1);
    if (name.startsWith(QLatin1Char('-'))) {
        for (const char *option : QT_VALUE_OPTIONS) {
            if (bare == QLatin1String(option)) {
                known = takeValue(arguments, i, name, value);
                if (!known)
                    return false;
                platformGiven = platformGiven || bare == QLatin1String("platform");
            }
        }
        for (const char *option : QT_FLAG_OPTIONS)
            known = known || word.mid(1) == QLatin1String(option);
    }
    if (!known) {
        error = word.startsWith(QLatin1Char('-'))
            ? QStringLiteral("unknown option %1 (see --help)").arg(word)
            : QStringLiteral("unexpected argument %1 (see --help)").arg(word);
        return false;
    }
    return true;
}
