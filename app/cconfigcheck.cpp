#include "cconfigcheck.h"

#include <limits>

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QRegularExpression>

#include "cinifile.h"
#include "cserversettings.h"
#include "cs3config.h"
#include "cuserdbconfig.h"

namespace {

enum class Kind {
    Text,
    Folder,
    File,
    Port,
    AnyPort,
    Count,
    Bytes,
    Floor,
    Flag,
    Driver,
    Hashing,
    Backend,
    Endpoint
};

struct Rule
{
    const char *section;
    const char *key;
    Kind kind;
};

// Every key the server reads, by section. [Admin] belongs to the HTTP port.
const Rule RULES[] = {
    { "General", "SaveDataDir", Kind::Folder },
    { "General", "MainPort", Kind::Port },
    { "General", "FilePort", Kind::Port },
    { "General", "StartWhenOSStarts", Kind::Flag },
    { "Database", "Driver", Kind::Driver },
    { "Database", "Url", Kind::Text },
    { "Storage", "KeepVersions", Kind::Count },
    { "Storage", "MaxSaveBytes", Kind::Bytes },
    { "Storage", "MaxUserBytes", Kind::Bytes },
    { "Storage", "MinFreeBytes", Kind::Floor },
    { "Storage", "Backend", Kind::Backend },
    { "Storage", "S3Endpoint", Kind::Endpoint },
    { "Storage", "S3Bucket", Kind::Text },
    { "Storage", "S3Region", Kind::Text },
    { "Storage", "S3Prefix", Kind::Text },
    { "Storage", "S3AccessKey", Kind::Text },
    { "Storage", "S3SecretKey", Kind::Text },
    { "Security", "MaxConnectionsPerAddress", Kind::Count },
    { "Security", "IdleTimeoutSeconds", Kind::Count },
    { "Security", "TransferRequiresLogin", Kind::Flag },
    { "Security", "TransferLoginWindowMinutes", Kind::Count },
    { "Security", "LoginLockFailures", Kind::Count },
    { "Security", "LoginLockSeconds", Kind::Count },
    { "Security", "AddressLockFailures", Kind::Count },
    { "Security", "AddressLockSeconds", Kind::Count },
    { "Security", "PasswordHashing", Kind::Hashing },
    { "Security", "HashMemoryKiB", Kind::Count },
    { "Security", "HashIterations", Kind::Count },
    { "Tls", "Certificate", Kind::File },
    { "Tls", "PrivateKey", Kind::File },
    { "Tls", "RequireTls", Kind::Flag },
    { "Admin", "HttpPort", Kind::AnyPort },
    { "Admin", "HttpAddress", Kind::Text },
    { "Admin", "TokenHash", Kind::Text },
};

bool knownSection(const QString &section)
{
    for (const Rule &rule : RULES) {
        if (section.compare(QLatin1String(rule.section), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

const Rule *ruleOf(const QString &section, const QString &key)
{
    for (const Rule &rule : RULES) {
        if (section.compare(QLatin1String(rule.section), Qt::CaseInsensitive) == 0
            && key.compare(QLatin1String(rule.key), Qt::CaseInsensitive) == 0)
            return &rule;
    }
    return nullptr;
}

QString where(const CIniFile &ini, int line)
{
    return QStringLiteral("%1:%2: ").arg(ini.path()).arg(line);
}

// The value as the server reads it: one pair of enclosing quotes dropped.
QString unquoted(QString v)
{
    if (v.size() >= 2 && (v.front() == QLatin1Char('"') || v.front() == QLatin1Char('\''))
        && v.back() == v.front())
        v = v.mid(1, v.size() - 2);
    return v;
}

// What is wrong with one known key's value; empty when nothing is.
QString valueProblem(const Rule &rule, const QString &value, const QString &iniPath)
{
    static const QRegularExpression whole(QStringLiteral("^[+-]?[0-9]+$"));
    bool ok = false;
    const qint64 number = value.toLongLong(&ok);
    const bool isNumber = whole.match(value).hasMatch() && ok;
    switch (rule.kind) {
    case Kind::Text:
        return QString();
    case Kind::Folder:
        if (!value.isEmpty() && !QFileInfo(value).isDir())
            return QStringLiteral("the folder %1 does not exist").arg(value);
        return QString();
    case Kind::File: {
        if (value.isEmpty())
            return QString();
        const QString file
            = QDir::cleanPath(QFileInfo(iniPath).absoluteDir().absoluteFilePath(value));
        if (!QFileInfo(file).isFile() || !QFileInfo(file).isReadable())
            return QStringLiteral("the file %1 cannot be read").arg(file);
        return QString();
    }
    case Kind::Port:
    case Kind::AnyPort:
        if (!isNumber || number < (rule.kind == Kind::Port ? 1 : 0) || number > 65535)
            return rule.kind == Kind::Port ? QStringLiteral("a port is a number from 1 to 65535")
                                           : QStringLiteral("a port is a number from 0 to 65535");
        return QString();
    case Kind::Count:
        if (!isNumber || number < 0 || number > std::numeric_limits<int>::max())
            return QStringLiteral("a number from 0 to %1 is expected (0: off)")
                .arg(std::numeric_limits<int>::max());
        return QString();
    case Kind::Bytes:
        if (!isNumber || number < 0)
            return QStringLiteral("a number of bytes from 0 is expected (0: no limit)");
        return QString();
    case Kind::Floor:
        if (!isNumber || number < -1)
            return QStringLiteral(
                "a number of bytes from -1 is expected (-1: 1 % of the volume, at most 1 GiB)");
        return QString();
    case Kind::Flag:
        if (value.compare(QLatin1String("true"), Qt::CaseInsensitive) != 0
            && value.compare(QLatin1String("false"), Qt::CaseInsensitive) != 0)
            return QStringLiteral("true or false is expected (this reads as false)");
        return QString();
    case Kind::Driver: {
        const QString driver = value.toLower();
        if (driver != QLatin1String("sqlite") && driver != QLatin1String("postgresql")
            && driver != QLatin1String("postgres"))
            return QStringLiteral("sqlite or postgresql is expected");
        return QString();
    }
    case Kind::Backend:
        if (value.compare(QLatin1String("files"), Qt::CaseInsensitive) != 0
            && value.compare(QLatin1String("s3"), Qt::CaseInsensitive) != 0)
            return QStringLiteral("files or s3 is expected");
        return QString();
    case Kind::Endpoint:
        if (!value.isEmpty() && !CS3Config::isEndpoint(value))
            return QStringLiteral("an http:// or https:// URL is expected");
        return QString();
    case Kind::Hashing:
        if (value.compare(QLatin1String("argon2id"), Qt::CaseInsensitive) != 0
            && value.compare(QLatin1String("plain"), Qt::CaseInsensitive) != 0)
            return QStringLiteral("argon2id or plain is expected (this hashes with argon2id)");
        return QString();
    }
    return QString();
}

} // namespace

QStringList CConfigCheck::unknownKeys(const CIniFile &ini)
{
    QStringList found;
    const QList<CIniFile::Entry> entries = ini.entries();
    for (const CIniFile::Entry &entry : entries) {
        if (knownSection(entry.section) && !ruleOf(entry.section, entry.key))
            found << where(ini, entry.line)
                    + QStringLiteral("unknown key %1 in [%2], ignored")
                          .arg(entry.key, entry.section);
    }
    return found;
}

QStringList CConfigCheck::problems(const QString &path)
{
    CIniFile ini(path);
    switch (ini.load()) {
    case CIniFile::Missing:
        return { QStringLiteral("%1: no such file").arg(path) };
    case CIniFile::Unreadable:
        return { QStringLiteral("%1: cannot be read").arg(path) };
    case CIniFile::Loaded:
        break;
    }
    // In the order of the file's lines.
    QMap<int, QStringList> byLine;
    const auto found = [&byLine](int line) -> QStringList & { return byLine[line]; };
    QList<int> stray;
    const QList<CIniFile::Entry> entries = ini.entries(&stray);
    for (const int line : std::as_const(stray))
        found(line) << where(ini, line)
                + QStringLiteral("neither [Section] nor Key=value, ignored");

    // The server reads the first section of a name and the first key of a name in it.
    QHash<QString, int> firstSection; // lower-case name -> its header's line
    QHash<QString, int> firstKey; // "section/key" in lower case -> line
    QString driver;
    QString url;
    int urlLine = 0;
    for (const CIniFile::Entry &entry : entries) {
        if (!knownSection(entry.section))
            continue;
        const QString section = entry.section.toLower();
        const int header = firstSection.value(section, entry.sectionLine);
        firstSection.insert(section, header);
        if (header != entry.sectionLine) {
            found(entry.line) << where(ini, entry.line)
                    + QStringLiteral("[%1] again (first at line %2): its keys are not read, "
                                     "%3 is ignored")
                          .arg(entry.section)
                          .arg(header)
                          .arg(entry.key);
            continue;
        }
        const Rule *rule = ruleOf(entry.section, entry.key);
        if (!rule) {
            found(entry.line) << where(ini, entry.line)
                    + QStringLiteral("unknown key %1 in [%2], ignored")
                          .arg(entry.key, entry.section);
            continue;
        }
        const QString id = section + QLatin1Char('/') + entry.key.toLower();
        if (firstKey.contains(id)) {
            found(entry.line) << where(ini, entry.line)
                    + QStringLiteral("%1 repeated; line %2 holds").arg(entry.key).arg(firstKey[id]);
            continue;
        }
        firstKey.insert(id, entry.line);
        const QString value = unquoted(entry.value);
        if (rule->kind == Kind::Driver)
            driver = value.toLower();
        if (QLatin1String(rule->key) == QLatin1String("Url")) {
            url = value;
            urlLine = entry.line;
        }
        const QString why = valueProblem(*rule, value, path);
        if (!why.isEmpty())
            found(entry.line) << where(ini, entry.line)
                    + QStringLiteral("%1=%2: %3").arg(entry.key, entry.value, why);
    }
    if (driver == QLatin1String("postgresql") || driver == QLatin1String("postgres")) {
        CUserDbConfig config;
        QString why;
        if (!CUserDbConfig::fromUrl(url, &config, &why) || !config.isPostgresql())
            found(urlLine) << where(ini, urlLine)
                    + QStringLiteral("[Database] Url: %1")
                          .arg(why.isEmpty() ? QStringLiteral("Driver=postgresql needs a "
                                                              "postgresql:// Url")
                                             : why);
    }
    // What the settings make of the file: a bucket needs its endpoint and name.
    CServerSettings settings = *CServerSettings::instance();
    settings.setIniFilePath(path);
    settings.load();
    CS3Config s3;
    QString why;
    if (settings.savesInS3() && !CS3Config::fromSettings(settings, &s3, &why))
        found(0) << QStringLiteral("%1: [Storage] Backend=s3: %2").arg(path, why);
    QStringList lines;
    for (const QStringList &atLine : std::as_const(byLine))
        lines += atLine;
    return lines;
}

QStringList CConfigCheck::limitLines(const CServerSettings &s)
{
    const auto flag = [](bool on) { return on ? QStringLiteral("true") : QStringLiteral("false"); };
    return {
        QStringLiteral("Limits in effect (0: off): [Security] MaxConnectionsPerAddress=%1 "
                       "IdleTimeoutSeconds=%2 TransferRequiresLogin=%3 "
                       "TransferLoginWindowMinutes=%4 LoginLockFailures=%5 LoginLockSeconds=%6 "
                       "AddressLockFailures=%7 AddressLockSeconds=%8 PasswordHashing=%9")
            .arg(s.maxConnectionsPerAddress)
            .arg(s.idleTimeoutSeconds)
            .arg(flag(s.transferRequiresLogin))
            .arg(s.transferLoginWindowMinutes)
            .arg(s.loginLockFailures)
            .arg(s.loginLockSeconds)
            .arg(s.addressLockFailures)
            .arg(s.addressLockSeconds)
            .arg(s.hashPasswords ? QStringLiteral("argon2id") : QStringLiteral("plain")),
        QStringLiteral("Limits in effect (0: off): [Storage] KeepVersions=%1 MaxSaveBytes=%2 "
                       "MaxUserBytes=%3 MinFreeBytes=%4%5")
            .arg(s.keepVersions)
            .arg(s.maxSaveBytes)
            .arg(s.maxUserBytes)
            .arg(s.minFreeBytes)
            .arg(s.minFreeBytes < 0 ? QStringLiteral(" (1 % of the volume, at most 1 GiB)")
                                    : QString()),
    };
}
