#ifndef CINSTALLPATHS_H
#define CINSTALLPATHS_H

#include <QString>

// Where a packaged server keeps its ini and its working folder. The package's unit, the ini it
// ships and the admin commands all use these, so "tolvern-server users list" run on the
// server's machine finds the service's database without options. A copy in a build tree or a
// home folder keeps the ini beside itself and the database under the folder it is run in.
class CInstallPaths
{
public:
    static QString systemIniFile();
    static QString systemWorkDir();
    static QString systemStorageDir();
    static QString systemBackupDir();

    // Whether programDir is one of the system's program folders (under /usr, /bin, /sbin or
    // /opt): a copy there was installed, and nothing of its own belongs beside it.
    static bool isSystemProgramDir(const QString &programDir);
    // The folder of the running executable, before any application object exists.
    static QString runningProgramDir();

    struct Places
    {
        QString config; // empty: the ini beside the program or the user's
        QString workDir; // empty: the folder the program was started in
    };
    // The service's ini and working folder, for headless runs and the admin commands given
    // neither: the system ones for an installed copy once the package has put the ini in place.
    static Places serviceDefaults(const QString &programDir, bool systemIniExists);
    static Places serviceDefaults();
};

#endif // CINSTALLPATHS_H
