#include "cconfigcheck.h"

#include <limits>

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QRegularExpression>
#include <QSslConfiguration>

#include "cinifile.h"
#include "cinikeys.h"
#include "cs3config.h"
#include "cserversettings.h"
#include "ctlsacceptor.h"
#include "cuserdbconfig.h"

namespace {

using Kind = CIniKeys::Kind;
using Rule = CIniKeys::Key;

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
    case Kind::Address:
        if (QHostAddress(value.trimmed()).isNull())
            return QStringLiteral("an IP address is expected (the port would not be opened)");
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

// A key outside the sections the server reads, named once per section header.
QString sectionProblem(const CIniFile::Entry &entry)
{
    if (entry.section.isEmpty())
        return QStringLiteral("%1 before any [Section], ignored").arg(entry.key);
    return QStringLiteral("unknown section [%1], ignored").arg(entry.section);
}

} // namespace

QStringList CConfigCheck::unknownKeys(const CIniFile &ini)
{
    QStringList found;
    QList<int> sectionsNamed;
    const QList<CIniFile::Entry> entries = ini.entries();
    for (const CIniFile::Entry &entry : entries) {
        if (!CIniKeys::isSection(entry.section)) {
            // A misspelt section hides all of its keys: named once, at its header.
            const int line = entry.section.isEmpty() ? entry.line : entry.sectionLine;
            if (!sectionsNamed.contains(line)) {
                sectionsNamed << line;
                found << where(ini, line) + sectionProblem(entry);
            }
        } else if (!CIniKeys::find(entry.section, entry.key)) {
            found << where(ini, entry.line)
                    + QStringLiteral("unknown key %1 in [%2], ignored")
                          .arg(entry.key, entry.section);
        }
    }
    return found;
}

namespace {

// One pass over an ini's entries, collecting what is wrong with each line and the values
// that are checked together afterwards.
class Checker
{
public:
    explicit Checker(const CIniFile &file)
        : ini(file)
    {
    }

    void entry(const CIniFile::Entry &entry);
    void stray(int line) { add(line, QStringLiteral("neither [Section] nor Key=value, ignored")); }
    void databaseUrl();
    void bucket(const QString &path);
    void portsApart();
    void tlsPair();
    QStringList lines() const;

private:
    struct Seen
    {
        int line = 0;
        QString value;
    };

    void add(int line, const QString &text) { byLine[line] << where(ini, line) + text; }
    Seen seen(const char *section, const char *key) const
    {
        return values.value(QLatin1String(section).toString().toLower() + QLatin1Char('/')
            + QLatin1String(key).toString().toLower());
    }

    const CIniFile &ini;
    QMap<int, QStringList> byLine; // in the order of the file's lines
    QHash<QString, int> firstSection; // lower-case name -> its header's line
    QHash<QString, Seen> values; // "section/key" in lower case -> the first, as read
    QList<int> unknownSections;
    bool tlsFilesBad = false;
};

void Checker::entry(const CIniFile::Entry &entry)
{
    if (!CIniKeys::isSection(entry.section)) {
        const int line = entry.section.isEmpty() ? entry.line : entry.sectionLine;
        if (!unknownSections.contains(line)) {
            unknownSections << line;
            add(line, sectionProblem(entry));
        }
        return;
    }
    // The server reads the first section of a name and the first key of a name in it.
    const QString section = entry.section.toLower();
    const int header = firstSection.value(section, entry.sectionLine);
    firstSection.insert(section, header);
    if (header != entry.sectionLine) {
        add(entry.line,
            QStringLiteral("[%1] again (first at line %2): its keys are not read, %3 is ignored")
                .arg(entry.section)
                .arg(header)
                .arg(entry.key));
        return;
    }
    const Rule *rule = CIniKeys::find(entry.section, entry.key);
    if (!rule) {
        add(entry.line,
            QStringLiteral("unknown key %1 in [%2], ignored").arg(entry.key, entry.section));
        return;
    }
    const QString id = section + QLatin1Char('/') + entry.key.toLower();
    if (values.contains(id)) {
        add(entry.line,
            QStringLiteral("%1 repeated; line %2 holds").arg(entry.key).arg(values[id].line));
        return;
    }
    const QString value = unquoted(entry.value);
    const QString why = valueProblem(*rule, value, ini.path());
    if (!why.isEmpty()) {
        add(entry.line, QStringLiteral("%1=%2: %3").arg(entry.key, entry.value, why));
        tlsFilesBad = tlsFilesBad || rule->kind == Kind::File;
        // A value the server would misread takes no part in the checks of pairs.
        values.insert(id, Seen { entry.line, QString() });
        return;
    }
    values.insert(id, Seen { entry.line, value });
}

void Checker::databaseUrl()
{
    const QString driver = seen("Database", "Driver").value.toLower();
    if (driver != QLatin1String("postgresql") && driver != QLatin1String("postgres"))
        return;
    const Seen url = seen("Database", "Url");
    CUserDbConfig config;
    QString why;
    if (!CUserDbConfig::fromUrl(url.value, &config, &why) || !config.isPostgresql())
        add(url.line,
            QStringLiteral("[Database] Url: %1")
                .arg(why.isEmpty() ? QStringLiteral("Driver=postgresql needs a postgresql:// Url")
                                   : why));
}

// What the start makes of [Storage] Backend=s3: a bucket needs its endpoint, name and keys.
void Checker::bucket(const QString &path)
{
    if (seen("Storage", "Backend").value.toLower() != QLatin1String("s3"))
        return;
    CServerSettings settings = CServerSettings::instance()->snapshot();
    settings.setIniFilePath(path);
    settings.load();
    CS3Config config;
    QString why;
    if (!CS3Config::fromSettings(settings, &config, &why))
        add(seen("Storage", "Backend").line, QStringLiteral("[Storage] Backend=s3: %1").arg(why));
}

void Checker::portsApart()
{
    struct Port
    {
        const char *section;
        const char *key;
        int fallback;
    };
    static const Port ports[] = { { "General", "MainPort", 3888 }, { "General", "FilePort", 3889 },
        { "Admin", "HttpPort", 0 } };
    QHash<int, const char *> taken; // port -> key
    for (const Port &port : ports) {
        const Seen found = seen(port.section, port.key);
        const bool bad = found.line > 0 && found.value.isEmpty();
        const int number = found.line > 0 ? found.value.toInt() : port.fallback;
        if (bad || number == 0)
            continue;
        if (taken.contains(number))
            add(found.line,
                QStringLiteral("%1=%2: %3 is that port too; the server cannot listen on one "
                               "port twice")
                    .arg(QLatin1String(port.key))
                    .arg(number)
                    .arg(QLatin1String(taken.value(number))));
        else
            taken.insert(number, port.key);
    }
}

void Checker::tlsPair()
{
    if (tlsFilesBad)
        return;
    // What the start checks: both files, of one pair, readable by the TLS library.
    QSslConfiguration config;
    QString why;
    if (!CTlsAcceptor::loadIdentity(CServerSettings::readTls(ini.path()), config, why)) {
        const Seen certificate = seen("Tls", "Certificate");
        const Seen require = seen("Tls", "RequireTls");
        add(certificate.line > 0 ? certificate.line : require.line,
            QStringLiteral("[Tls]: %1 (the server would not start)").arg(why));
    }
}

QStringList Checker::lines() const
{
    QStringList out;
    for (const QStringList &atLine : byLine)
        out += atLine;
    return out;
}

} // namespace

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
    Checker checker(ini);
    QList<int> stray;
    const QList<CIniFile::Entry> entries = ini.entries(&stray);
    for (const int line : std::as_const(stray))
        checker.stray(line);
    for (const CIniFile::Entry &entry : entries)
        checker.entry(entry);
    checker.databaseUrl();
    checker.bucket(path);
    checker.portsApart();
    checker.tlsPair();
    return checker.lines();
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
