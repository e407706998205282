#ifndef CSERVERSETTINGS_H
#define CSERVERSETTINGS_H

#include <QString>

// The server's four persistent settings, kept in tolvern.ini beside the executable.
// One process-wide record; callers change the fields directly, then call save().
class CServerSettings
{
public:
    static CServerSettings *instance();

    void load();
    // False when the file could not be written; errorString then says why.
    bool save(QString *errorString = nullptr);
    QString iniFilePath() const;
    // Points the record at another file; tests use it to stay out of the build tree.
    void setIniFilePath(const QString &path);

    QString saveDataDir;
    int mainPort = 3888;
    int filePort = 3889;
    bool startWhenOSStarts = true;
    // Section "Database", edited by the operator and never written by save(): "Driver" is
    // "sqlite" (db/users.db) or "postgresql", "Url" the PostgreSQL connection URL.
    QString databaseDriver = QStringLiteral("sqlite");
    QString databaseUrl;

private:
    CServerSettings() = default;

    QString overridePath;
};

#endif // CSERVERSETTINGS_H
