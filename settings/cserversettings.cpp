#include "cserversettings.h"

#include <QCoreApplication>

#include "cinifile.h"

namespace {

const QString &generalSection()
{
    static const QString name = QStringLiteral("General");
    return name;
}

} // namespace

CServerSettings *CServerSettings::instance()
{
    // Never destroyed: the record outlives every restart of the main loop.
    static CServerSettings *settings = new CServerSettings;
    return settings;
}

QString CServerSettings::iniFilePath() const
{
    if (!overridePath.isEmpty())
        return overridePath;
    return QCoreApplication::applicationDirPath() + QStringLiteral("/tolvern.ini");
}

void CServerSettings::setIniFilePath(const QString &path)
{
    overridePath = path;
}

void CServerSettings::load()
{
    CIniFile ini(iniFilePath());
    ini.load();
    saveDataDir = ini.value(generalSection(), QStringLiteral("SaveDataDir"), QString());
    mainPort = ini.intValue(generalSection(), QStringLiteral("MainPort"), 3888);
    filePort = ini.intValue(generalSection(), QStringLiteral("FilePort"), 3889);
    startWhenOSStarts
        = ini.value(generalSection(), QStringLiteral("StartWhenOSStarts"), QStringLiteral("true"))
              .compare(QLatin1String("true"), Qt::CaseInsensitive)
        == 0;
    const QString database = QStringLiteral("Database");
    databaseDriver
        = ini.value(database, QStringLiteral("Driver"), QStringLiteral("sqlite")).trimmed();
    databaseUrl = ini.value(database, QStringLiteral("Url"), QString()).trimmed();
}

bool CServerSettings::save(QString *errorString)
{
    // Re-read the file so that lines written by others since load() are kept.
    CIniFile ini(iniFilePath());
    ini.load();
    ini.setValue(generalSection(), QStringLiteral("SaveDataDir"), saveDataDir);
    ini.setValue(generalSection(), QStringLiteral("MainPort"), QString::number(mainPort));
    ini.setValue(generalSection(), QStringLiteral("FilePort"), QString::number(filePort));
    ini.setValue(generalSection(), QStringLiteral("StartWhenOSStarts"),
        startWhenOSStarts ? QStringLiteral("true") : QStringLiteral("false"));
    if (ini.save())
        return true;
    if (errorString)
        *errorString = ini.errorString();
    return false;
}
