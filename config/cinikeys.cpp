#include "cinikeys.h"

#include <iterator>

namespace {

using Kind = CIniKeys::Kind;

const CIniKeys::Section SECTIONS[] = {
    { "General", "The storage folder, the two game ports and the window's autostart." },
    { "Storage",
        "Where the saves live (the storage folder, or a bucket of an S3-compatible object "
        "store), their history and the limits an upload must keep." },
    { "Database",
        "Where the users live: db/users.db under the working folder (SQLite), or a "
        "PostgreSQL database that several servers share." },
    { "Security",
        "The defences against hostile clients and how passwords are stored. The defaults keep "
        "what existing clients rely on; 0 switches a limit off." },
    { "Tls",
        "TLS on both game ports beside the plain protocol, and HTTPS on the operators' port. "
        "Relative paths are taken from the ini's folder." },
    { "Admin", "The operators' HTTP port: web console, JSON API, /metrics and health checks." },
};

const CIniKeys::Key KEYS[] = {
    { "General", "SaveDataDir", Kind::Folder, "",
        "The storage folder: one folder per user id with its saves and their history. The "
        "window asks for it at the first start; headless, the first start takes "
        "$XDG_DATA_HOME/tolvern/saves and writes it here." },
    { "General", "MainPort", Kind::Port, "3888",
        "The main control port: add user, login, change password." },
    { "General", "FilePort", Kind::Port, "3889",
        "The game data transfer port: downloads and uploads of save archives." },
    { "General", "StartWhenOSStarts", Kind::Flag, "true",
        "The window starts at log-in (an XDG autostart entry, written by the settings "
        "dialog). A headless server ignores it." },
    { "Storage", "KeepVersions", Kind::Count, "3",
        "Versions kept per save when an upload replaces it, oldest given up first; 0 keeps "
        "none." },
    { "Storage", "MaxSaveBytes", Kind::Bytes, "0",
        "An upload larger than this is refused; 0: no limit." },
    { "Storage", "MaxUserBytes", Kind::Bytes, "0",
        "A user's folder with its history may hold this much: the oldest versions are given "
        "up first, then the upload is refused; 0: no limit." },
    { "Storage", "MinFreeBytes", Kind::Floor, "-1",
        "Free space all uploads in flight together must leave on the storage volume; -1: 1 % "
        "of the volume, at most 1 GiB. A bucket has none to keep." },
    { "Storage", "Backend", Kind::Backend, "files",
        "files: the saves are files in the storage folder; s3: objects of the bucket below, "
        "named as in the folder after S3Prefix (S3Prefix then 7/slot1.z), each with its sum in "
        "its metadata (docs/s3.md)." },
    { "Storage", "S3Endpoint", Kind::Endpoint, "",
        "With Backend=s3: the store's URL, http://127.0.0.1:7480 or "
        "https://s3.eu-west-1.amazonaws.com (path-style requests)." },
    { "Storage", "S3Bucket", Kind::Text, "", "With Backend=s3: the bucket; it must exist." },
    { "Storage", "S3Region", Kind::Text, "us-east-1",
        "The region the requests are signed for." },
    { "Storage", "S3Prefix", Kind::Text, "",
        "Put before every key as written: tolvern/ keeps the saves under tolvern/." },
    { "Storage", "S3AccessKey", Kind::Text, "",
        "The store's access key; with it and S3SecretKey both empty, AWS_ACCESS_KEY_ID and "
        "AWS_SECRET_ACCESS_KEY of the environment." },
    { "Storage", "S3SecretKey", Kind::Text, "",
        "Its secret key: keep the ini readable by the service only, or leave both keys to "
        "the environment." },
    { "Database", "Driver", Kind::Driver, "sqlite", "sqlite, or postgresql for a fleet." },
    { "Database", "Url", Kind::Text, "",
        "With Driver=postgresql: postgresql://user@host:5432/dbname; without a password "
        "here, PGPASSWORD or ~/.pgpass gives it." },
    { "Security", "MaxConnectionsPerAddress", Kind::Count, "64",
        "Live connections of both ports from one address." },
    { "Security", "IdleTimeoutSeconds", Kind::Count, "0",
        "Closes a connection that neither receives nor is owed anything for this long." },
    { "Security", "TransferRequiresLogin", Kind::Flag, "false",
        "A transfer needs a login of that user from that address, and a save under its id." },
    { "Security", "TransferLoginWindowMinutes", Kind::Count, "30",
        "How long such a login counts; 0: while the server runs." },
    { "Security", "LoginLockFailures", Kind::Count, "5",
        "Wrong guesses of one name from one address within a minute that lock it." },
    { "Security", "LoginLockSeconds", Kind::Count, "60", "How long that lock lasts." },
    { "Security", "AddressLockFailures", Kind::Count, "20",
        "Wrong guesses from one address within a minute, over any names, that lock the "
        "address." },
    { "Security", "AddressLockSeconds", Kind::Count, "600", "How long that lock lasts." },
    { "Security", "PasswordHashing", Kind::Hashing, "argon2id",
        "argon2id stores new passwords as Argon2id hashes; plain stores them as typed, for a "
        "database older tools must read." },
    { "Security", "HashMemoryKiB", Kind::Count, "19456",
        "Memory of one password hash; raised, a user's hash is made again at the next "
        "login." },
    { "Security", "HashIterations", Kind::Count, "2", "Passes of one password hash." },
    { "Tls", "Certificate", Kind::File, "",
        "The PEM certificate (chain) of the server; unset, the ports speak the plain "
        "protocol only." },
    { "Tls", "PrivateKey", Kind::File, "", "Its unencrypted PEM private key." },
    { "Tls", "RequireTls", Kind::Flag, "false",
        "Closes every connection that does not start a TLS handshake." },
    { "Admin", "HttpPort", Kind::AnyPort, "0", "The operators' HTTP port; 0: off." },
    { "Admin", "HttpAddress", Kind::Address, "127.0.0.1",
        "The IP address it listens on; prefer an SSH tunnel to opening it." },
    { "Admin", "TokenHash", Kind::Text, "",
        "The SHA-256 of the bearer token that /api/ requests carry, written by "
        "\"tolvern-server admin token\"; empty: no token works." },
};

bool same(const QString &text, const char *name)
{
    return text.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
}

} // namespace

const QList<CIniKeys::Key> &CIniKeys::keys()
{
    static const QList<Key> list(std::begin(KEYS), std::end(KEYS));
    return list;
}

const QList<CIniKeys::Section> &CIniKeys::sections()
{
    static const QList<Section> list(std::begin(SECTIONS), std::end(SECTIONS));
    return list;
}

const CIniKeys::Key *CIniKeys::find(const QString &section, const QString &key)
{
    for (const Key &entry : KEYS) {
        if (same(section, entry.section) && same(key, entry.name))
            return &entry;
    }
    return nullptr;
}

bool CIniKeys::isSection(const QString &section)
{
    for (const Section &entry : SECTIONS) {
        if (same(section, entry.name))
            return true;
    }
    return false;
}
