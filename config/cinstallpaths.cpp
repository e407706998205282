#include "cinstallpaths.h"

#include <QDir>
#include <QFileInfo>

#include "tolvernpaths.h"

QString CInstallPaths::systemIniFile()
{
    return QStringLiteral(TOLVERN_INSTALLED_INI);
}

QString CInstallPaths::systemWorkDir()
{
    return QStringLiteral(TOLVERN_INSTALLED_STATE_DIR);
}

QString CInstallPaths::systemStorageDir()
{
    return QStringLiteral(TOLVERN_INSTALLED_STORAGE_DIR);
}

QString CInstallPaths::systemBackupDir()
{
    return QStringLiteral(TOLVERN_INSTALLED_BACKUP_DIR);
}

bool CInstallPaths::isSystemProgramDir(const QString &programDir)
{
    const QString dir = QDir::cleanPath(programDir);
    static const char *const roots[] = { "/usr", "/bin", "/sbin", "/opt" };
    for (const char *root : roots) {
        const QLatin1String name(root);
        if (dir == name || dir.startsWith(name + QLatin1Char('/')))
            return true;
    }
    return false;
}

QString CInstallPaths::runningProgramDir()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
}

CInstallPaths::Places CInstallPaths::serviceDefaults(
    const QString &programDir, bool systemIniExists)
{
    Places places;
    if (!isSystemProgramDir(programDir) || !systemIniExists)
        return places;
    places.config = systemIniFile();
    places.workDir = systemWorkDir();
    return places;
}

CInstallPaths::Places CInstallPaths::serviceDefaults()
{
    return serviceDefaults(runningProgramDir(), QFileInfo(systemIniFile()).isFile());
}
