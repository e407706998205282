#include "cserversettings.h"

#include <limits>

#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

#include "cinifile.h"
#include "cinstallpaths.h"

namespace {

const QString &generalSection()
{
    static const QString name = QStringLiteral("General");
    return name;
}

const QString &storageSection()
{
    static const QString name = QStringLiteral("Storage");
    return name;
}

// Leading blanks, optional sign, decimal digits up to the first non-digit, as the integer
// keys of [General]; byte counts need 64 bits. Saturates instead of overflowing.
qint64 int64Value(const CIniFile &ini, const QString &key, qint64 defaultValue)
{
    if (!ini.contains(storageSection(), key))
        return defaultValue;
    const QString text = ini.value(storageSection(), key, QString());
    int i = 0;
    while (i < text.size() && (text.at(i) == QLatin1Char(' ') || text.at(i) == QLatin1Char('\t')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-')))
        negative = text.at(i++) == QLatin1Char('-');
    qint64 value = 0;
    for (; i < text.size() && text.at(i).isDigit() && text.at(i).unicode() < 128; ++i) {
        const int digit = text.at(i).unicode() - '0';
        value = value > (std::numeric_limits<qint64>::max() - digit) / 10
            ? std::numeric_limits<qint64>::max()
            : value * 10 + digit;
    }
    return negative ? -value : value;
}

const QString &securitySection()
{
    static const QString name = QStringLiteral("Security");
    return name;
}

const QString &transferRequiresLoginKey()
{
    static const QString name = QStringLiteral("TransferRequiresLogin");
    return name;
}

bool isTrue(const QString &text)
{
    return text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}

// A limit of 0 means none; a negative one is taken as 0 rather than as a huge number.
int limitValue(const CIniFile &ini, const char *key, int defaultValue)
{
    return qMax(0, ini.intValue(securitySection(), QLatin1String(key), defaultValue));
}

CServerSettings::Tls tlsFrom(const CIniFile &ini, const QString &iniPath)
{
    const QString section = QStringLiteral("Tls");
    const QDir base = QFileInfo(iniPath).absoluteDir();
    const auto file = [&](const char *key) {
        const QString name = ini.value(section, QLatin1String(key), QString()).trimmed();
        return name.isEmpty() ? name : QDir::cleanPath(base.absoluteFilePath(name));
    };
    CServerSettings::Tls tls;
    tls.certificate = file("Certificate");
    tls.privateKey = file("PrivateKey");
    tls.require = isTrue(ini.value(section, QStringLiteral("RequireTls"), QStringLiteral("false")));
    return tls;
}

const QString &adminSection()
{
    static const QString name = QStringLiteral("Admin");
    return name;
}

const QString &tokenHashKey()
{
    static const QString name = QStringLiteral("TokenHash");
    return name;
}

} // namespace

CServerSettings *CServerSettings::instance()
{
    // Never destroyed: the record outlives every restart of the main loop.
    static CServerSettings *settings = new CServerSettings;
    return settings;
}

QMutex &CServerSettings::lock()
{
    static QMutex mutex;
    return mutex;
}

CServerSettings CServerSettings::snapshot() const
{
    QMutexLocker locker(&lock());
    return *this;
}

QString CServerSettings::iniFilePath() const
{
    if (!overridePath.isEmpty())
        return overridePath;
    return defaultIniFilePath(QCoreApplication::applicationDirPath());
}

QString CServerSettings::defaultIniFilePath(const QString &programDir)
{
    // An installed copy may not write beside itself: its ini goes to the user's config. Root
    // may write to the system's program folders, but an ini does not belong there either.
    const bool installed = CInstallPaths::isSystemProgramDir(programDir)
        || ::access(QFile::encodeName(programDir).constData(), W_OK) != 0;
    return installed ? userIniFilePath() : programDir + QStringLiteral("/tolvern.ini");
}

QString CServerSettings::userIniFilePath()
{
    QString configHome = QFile::decodeName(qgetenv("XDG_CONFIG_HOME"));
    if (configHome.isEmpty() || QDir::isRelativePath(configHome))
        configHome = QDir::homePath() + QStringLiteral("/.config");
    return configHome + QStringLiteral("/tolvern/tolvern.ini");
}

void CServerSettings::setIniFilePath(const QString &path)
{
    overridePath = path;
}

void CServerSettings::load()
{
    CIniFile ini(iniFilePath());
    ini.load();
    QMutexLocker locker(&lock());
    saveDataDir = ini.value(generalSection(), QStringLiteral("SaveDataDir"), QString());
    mainPort = ini.intValue(generalSection(), QStringLiteral("MainPort"), 3888);
    filePort = ini.intValue(generalSection(), QStringLiteral("FilePort"), 3889);
    startWhenOSStarts = isTrue(
        ini.value(generalSection(), QStringLiteral("StartWhenOSStarts"), QStringLiteral("true")));

    maxConnectionsPerAddress = limitValue(ini, "MaxConnectionsPerAddress", 64);
    idleTimeoutSeconds = limitValue(ini, "IdleTimeoutSeconds", 0);
    transferRequiresLogin
        = isTrue(ini.value(securitySection(), transferRequiresLoginKey(), QStringLiteral("false")));
    transferLoginWindowMinutes = limitValue(ini, "TransferLoginWindowMinutes", 30);
    loginLockFailures = limitValue(ini, "LoginLockFailures", 5);
    loginLockSeconds = limitValue(ini, "LoginLockSeconds", 60);
    addressLockFailures = limitValue(ini, "AddressLockFailures", 20);
    addressLockSeconds = limitValue(ini, "AddressLockSeconds", 600);
    // Anything but "plain" hashes: a typo must not store passwords readable.
    hashPasswords = ini.value(securitySection(), QStringLiteral("PasswordHashing"),
                           QStringLiteral("argon2id"))
                        .trimmed()
                        .compare(QLatin1String("plain"), Qt::CaseInsensitive)
        != 0;
    hashMemoryKiB = limitValue(ini, "HashMemoryKiB", 19456);
    hashIterations = limitValue(ini, "HashIterations", 2);

    const QString database = QStringLiteral("Database");
    databaseDriver
        = ini.value(database, QStringLiteral("Driver"), QStringLiteral("sqlite")).trimmed();
    databaseUrl = ini.value(database, QStringLiteral("Url"), QString()).trimmed();

    // A negative limit means none; a negative floor means the automatic one.
    const qint64 keep = int64Value(ini, QStringLiteral("KeepVersions"), 3);
    keepVersions = int(qBound(qint64(0), keep, qint64(1000000)));
    maxSaveBytes = qMax(qint64(0), int64Value(ini, QStringLiteral("MaxSaveBytes"), 0));
    maxUserBytes = qMax(qint64(0), int64Value(ini, QStringLiteral("MaxUserBytes"), 0));
    minFreeBytes = qMax(qint64(-1), int64Value(ini, QStringLiteral("MinFreeBytes"), -1));
    const auto storageText = [&ini](const char *key, const QString &defaultValue) {
        return ini.value(storageSection(), QLatin1String(key), defaultValue).trimmed();
    };
    storageBackend = storageText("Backend", QStringLiteral("files")).toLower();
    s3Endpoint = storageText("S3Endpoint", QString());
    s3Bucket = storageText("S3Bucket", QString());
    s3Region = storageText("S3Region", QString());
    if (s3Region.isEmpty())
        s3Region = QStringLiteral("us-east-1");
    s3Prefix = storageText("S3Prefix", QString());
    s3AccessKey = storageText("S3AccessKey", QString());
    s3SecretKey = storageText("S3SecretKey", QString());
    tls = tlsFrom(ini, iniFilePath());

    httpPort = qBound(0, ini.intValue(adminSection(), QStringLiteral("HttpPort"), 0), 65535);
    httpAddress = ini.value(adminSection(), QStringLiteral("HttpAddress"), QString()).trimmed();
    if (httpAddress.isEmpty())
        httpAddress = QStringLiteral("127.0.0.1");
    tokenHash = ini.value(adminSection(), tokenHashKey(), QString()).trimmed();
}

bool CServerSettings::savesInS3() const
{
    return storageBackend == QLatin1String("s3");
}

QString CServerSettings::backendProblem() const
{
    // A misspelt s3 must not quietly put the saves in the storage folder.
    if (savesInS3() || storageBackend == QLatin1String("files"))
        return QString();
    return QStringLiteral("[Storage] Backend=%1: files or s3 is expected").arg(storageBackend);
}

QString CServerSettings::readTokenHash(const QString &iniPath)
{
    CIniFile ini(iniPath);
    ini.load();
    return ini.value(adminSection(), tokenHashKey(), QString()).trimmed();
}

bool CServerSettings::writeTokenHash(
    const QString &iniPath, const QString &hash, QString *errorString)
{
    QDir().mkpath(QFileInfo(iniPath).absolutePath());
    CIniFile ini(iniPath);
    ini.load();
    ini.setValue(adminSection(), tokenHashKey(), hash);
    if (ini.save())
        return true;
    if (errorString)
        *errorString = ini.errorString();
    return false;
}

CServerSettings::Tls CServerSettings::readTls(const QString &iniPath)
{
    CIniFile ini(iniPath);
    ini.load();
    return tlsFrom(ini, iniPath);
}

bool CServerSettings::save(QString *errorString)
{
    const QString path = iniFilePath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Re-read the file so that lines written by others since load() are kept.
    CIniFile ini(path);
    ini.load();
    ini.setValue(generalSection(), QStringLiteral("SaveDataDir"), saveDataDir);
    ini.setValue(generalSection(), QStringLiteral("MainPort"), QString::number(mainPort));
    ini.setValue(generalSection(), QStringLiteral("FilePort"), QString::number(filePort));
    ini.setValue(generalSection(), QStringLiteral("StartWhenOSStarts"),
        startWhenOSStarts ? QStringLiteral("true") : QStringLiteral("false"));
    // Of [Security] only what the settings dialog edits, and only once it is not the
    // default, so a file that never had the section does not grow one.
    if (transferRequiresLogin || ini.contains(securitySection(), transferRequiresLoginKey())) {
        ini.setValue(securitySection(), transferRequiresLoginKey(),
            transferRequiresLogin ? QStringLiteral("true") : QStringLiteral("false"));
    }
    if (ini.save())
        return true;
    if (errorString)
        *errorString = ini.errorString();
    return false;
}
