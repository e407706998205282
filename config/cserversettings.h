#ifndef CSERVERSETTINGS_H
#define CSERVERSETTINGS_H

#include <QString>

class QMutex;

// The server's persistent settings, kept in tolvern.ini beside the executable, or in
// $XDG_CONFIG_HOME/tolvern/ when the executable's folder is not writable: the four of
// [General], the defences of [Security] and the limits of [Storage]. One process-wide record;
// callers change the fields directly, then call save(). The [Storage] limits are the
// operator's to edit in the file: load() reads them, save() leaves them as they stand.
// The fields belong to the main thread. While another thread runs (the network services), the
// main thread changes them only holding lock(), and the other thread reads them only through
// snapshot().
class CServerSettings
{
public:
    static CServerSettings *instance();
    static QMutex &lock();

    // A copy taken under lock().
    CServerSettings snapshot() const;

    void load();
    // False when the file could not be written; errorString then says why.
    bool save(QString *errorString = nullptr);
    QString iniFilePath() const;
    static QString userIniFilePath();
    // The ini a program in programDir uses without setIniFilePath().
    static QString defaultIniFilePath(const QString &programDir);
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

    // [Storage]
    int keepVersions = 3; // versions kept per save; 0 keeps none
    qint64 maxSaveBytes = 0; // 0: no limit
    qint64 maxUserBytes = 0; // 0: no limit
    qint64 minFreeBytes = -1; // -1: 1 % of the volume, at most 1 GiB
    // Where the saves live: "files" (the storage folder) or "s3" (a bucket of an
    // S3-compatible object store, objects <prefix><id>/<save>.z). The keys come from the ini;
    // empty S3 keys are taken from AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY.
    QString storageBackend = QStringLiteral("files");
    QString s3Endpoint;
    QString s3Bucket;
    QString s3Region = QStringLiteral("us-east-1");
    QString s3Prefix;
    QString s3AccessKey;
    QString s3SecretKey;
    bool savesInS3() const;
    // Empty when Backend names a store this server has; else why not, as the start says it.
    QString backendProblem() const;

    // [Security]. Absent keys keep these defaults, which keep the server as open as
    // existing clients expect; 0 switches a limit off.
    int maxConnectionsPerAddress = 64;
    int idleTimeoutSeconds = 0;
    bool transferRequiresLogin = false;
    int transferLoginWindowMinutes = 30;
    int loginLockFailures = 5;
    int loginLockSeconds = 60;
    int addressLockFailures = 20;
    int addressLockSeconds = 600;
    // How passwords are stored: "argon2id" hashes (the default), or "plain" text as older
    // servers did, for a database that older tools must read. The cost of each hash: raised,
    // a user's hash is made again at the next login.
    bool hashPasswords = true;
    int hashMemoryKiB = 19456;
    int hashIterations = 2;

    // [Tls]: the PEM certificate (chain) and private key, made absolute against the ini's
    // folder. No certificate: the ports speak the plain protocol only. require: a connection
    // that does not start a TLS handshake is closed.
    struct Tls
    {
        QString certificate;
        QString privateKey;
        bool require = false;

        bool isEnabled() const { return !certificate.isEmpty(); }
    };
    Tls tls;
    // [Tls] as the file at iniPath holds it now; touches no record, so any thread may ask.
    static Tls readTls(const QString &iniPath);

    // [Admin]: the operators' HTTP port (0: off), the address it listens on, and the hash of
    // the bearer token its /api/ requests must carry (empty: no token works).
    int httpPort = 0;
    QString httpAddress = QStringLiteral("127.0.0.1");
    QString tokenHash;
    // [Admin] TokenHash as the file holds it now; any thread may ask.
    static QString readTokenHash(const QString &iniPath);
    // Writes [Admin] TokenHash into the file at iniPath, every other line left alone.
    static bool writeTokenHash(const QString &iniPath, const QString &hash, QString *errorString);

private:
    CServerSettings() = default;

    QString overridePath;
};

#endif // CSERVERSETTINGS_H
