#include "cuserexport.h"

#include <archive.h>
#include <archive_entry.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include "cs3savestore.h"
#include "csavestore.h"
#include "csha256.h"
#include "csavesum.h"
#include "ctreecopy.h"
#include "cuserfolder.h"
#include "cwholefile.h"

namespace {

constexpr size_t BUFFER_BYTES = 1 << 20;

la_ssize_t writeToDevice(struct archive *a, void *device, const void *data, size_t size)
{
    const qint64 written
        = static_cast<QIODevice *>(device)->write(static_cast<const char *>(data), qint64(size));
    if (written != qint64(size)) {
        archive_set_error(a, EIO, "%s",
            static_cast<QIODevice *>(device)->errorString().toLocal8Bit().constData());
        return -1;
    }
    return la_ssize_t(written);
}

QString connectionName()
{
    static std::atomic<int> next { 0 };
    return QStringLiteral("tolvern-export-%1").arg(next++);
}

} // namespace

struct CUserExport::Account
{
    QString name;
    QVariant lastLogin;
};

CUserExport::CUserExport(const CUserDbConfig &database, const QString &storageDir, int userId)
    : db(database)
    , storage(storageDir)
    , id(userId)
{
}

CUserExport::CUserExport(
    const CUserDbConfig &database, std::shared_ptr<CAbstractSaveStore> saves, int userId)
    : db(database)
    , store(std::move(saves))
    , id(userId)
{
    if (const auto *files = dynamic_cast<const CSaveStore *>(store.get()))
        storage = files->storageDirectory();
}

bool CUserExport::fail(const QString &text)
{
    error = text;
    return false;
}

bool CUserExport::readAccount(Account &account)
{
    const QString name = connectionName();
    bool ok = false;
    {
        QSqlDatabase connection = db.addConnection(name);
        if (!connection.open()) {
            fail(QStringLiteral("cannot open %1: %2")
                     .arg(db.displayText(), connection.lastError().text().simplified()));
        } else {
            QSqlQuery query(connection);
            query.prepare(
                QStringLiteral("select name, last_login from t_user where object_id = ?"));
            query.addBindValue(id);
            if (!query.exec()) {
                fail(QStringLiteral("cannot read %1: %2")
                         .arg(db.displayText(), query.lastError().text().simplified()));
            } else if (!query.next()) {
                missing = true;
                fail(QStringLiteral("no user with id %1").arg(id));
            } else {
                account.name = query.value(0).toString();
                account.lastLogin = query.value(1);
                ok = true;
            }
        }
        connection.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

bool CUserExport::write(const QString &path)
{
    // One player's private data: readable by whoever made it, until handed over. Made
    // beside the name and renamed over it, so a link planted there is replaced, never
    // written through.
    CWholeFile file(path);
    if (!file.open())
        return fail(file.errorString());
    if (!write(file.device()))
        return false;
    if (!file.commit())
        return fail(file.errorString());
    return true;
}

bool CUserExport::write(QIODevice *device)
{
    error.clear();
    missing = false;
    files = 0;
    bytes = 0;
    Account account;
    if (!readAccount(account))
        return false;
    const QString folder = CUserFolder::path(storage, id);
    const bool inBucket = dynamic_cast<const CS3SaveStore *>(store.get()) != nullptr;
    if (folder.isEmpty() && !inBucket)
        return fail(QStringLiteral("no storage folder"));

    struct archive *a = archive_write_new();
    archive_write_set_format_pax_restricted(a);
    if (archive_write_open(a, device, nullptr, writeToDevice, nullptr) != ARCHIVE_OK) {
        fail(QStringLiteral("cannot start the archive: %1")
                 .arg(QString::fromLocal8Bit(archive_error_string(a))));
        archive_write_free(a);
        return false;
    }
    const QString top = QStringLiteral("user-%1/").arg(id);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QJsonArray listed;
    CSha256 sum;

    // One entry whose bytes feed hands over; false with error set.
    const Adder addEntry = [&](const QString &name, qint64 size, qint64 mtime, const Feed &feed) {
        struct archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname_utf8(entry, (top + name).toUtf8().constData());
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_perm(entry, 0644);
        archive_entry_set_size(entry, size);
        archive_entry_set_mtime(entry, time_t(mtime), 0);
        bool ok = archive_write_header(a, entry) == ARCHIVE_OK;
        archive_entry_free(entry);
        qint64 done = 0;
        bool written = true;
        QString why;
        const bool fed = ok
            && feed(
                [&](const char *data, qint64 n) {
                    if (done + n > size)
                        return false;
                    sum.add(data, n);
                    written = archive_write_data(a, data, size_t(n)) == n;
                    done += n;
                    return written;
                },
                &why);
        if (!ok || !written)
            return fail(QStringLiteral("cannot write the archive: %1")
                            .arg(QString::fromLocal8Bit(archive_error_string(a))));
        if (!fed && !why.isEmpty())
            return fail(QStringLiteral("cannot read %1: %2").arg(name, why));
        if (done != size)
            return fail(QStringLiteral("%1 changed while it was read").arg(name));
        listed.append(QJsonObject { { QStringLiteral("path"), top + name },
            { QStringLiteral("size"), size }, { QStringLiteral("sha256"), sum.hexResult() } });
        ++files;
        bytes += size;
        return true;
    };
    const auto fromMemory = [](const QByteArray &data) -> Feed {
        return [data](const auto &sink, QString *) { return sink(data.constData(), data.size()); };
    };

    const QJsonObject accountJson {
        { QStringLiteral("id"), id }, { QStringLiteral("name"), account.name },
        { QStringLiteral("lastLogin"),
            account.lastLogin.isNull() ? QJsonValue() : QJsonValue(account.lastLogin.toString()) }
    };
    const QByteArray accountBytes = QJsonDocument(accountJson).toJson(QJsonDocument::Indented);
    bool ok = addEntry(
        QStringLiteral("account.json"), accountBytes.size(), now, fromMemory(accountBytes));
    ok = ok && (inBucket ? addObjects(addEntry) : addFolderFiles(folder, addEntry));

    if (ok) {
        const QJsonObject manifest { { QStringLiteral("format"), 1 },
            { QStringLiteral("serverVersion"), QStringLiteral(TOLVERN_VERSION) },
            { QStringLiteral("created"),
                QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) },
            { QStringLiteral("userId"), id }, { QStringLiteral("files"), listed } };
        const QByteArray manifestBytes = QJsonDocument(manifest).toJson(QJsonDocument::Indented);
        const int counted = files;
        const qint64 countedBytes = bytes;
        ok = addEntry(
            QStringLiteral("MANIFEST.json"), manifestBytes.size(), now, fromMemory(manifestBytes));
        files = counted;
        bytes = countedBytes;
    }
    if (ok && archive_write_close(a) != ARCHIVE_OK)
        ok = fail(QStringLiteral("cannot write the archive: %1")
                      .arg(QString::fromLocal8Bit(archive_error_string(a))));
    archive_write_free(a);
    return ok;
}

bool CUserExport::addFolderFiles(const QString &folder, const Adder &add)
{
    // Symbolic links are not followed; an upload still in flight is not a save yet.
    const QDir root(folder);
    QDirIterator it(
        folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    bool ok = true;
    while (ok && it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        // The server's own sum files are no data of the player's; the manifest has the sums.
        if (info.isSymLink() || !info.isFile() || CSaveSum::isSumFile(info.fileName()))
            continue;
        const int fd = ::open(
            QFile::encodeName(info.filePath()).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)
            || CTreeCopy::beingWritten(fd, info.filePath())) {
            if (fd >= 0)
                ::close(fd);
            continue;
        }
        ok = add(QStringLiteral("saves/") + root.relativeFilePath(info.filePath()), st.st_size,
            st.st_mtim.tv_sec, [fd, size = qint64(st.st_size)](const auto &sink, QString *) {
                std::vector<char> buffer(BUFFER_BYTES);
                for (qint64 done = 0;;) {
                    const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), done);
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n <= 0 || done + n > size)
                        return true;
                    if (!sink(buffer.data(), n))
                        return false;
                    done += n;
                }
            });
        ::close(fd);
    }
    return ok;
}

bool CUserExport::addObjects(const Adder &add)
{
    auto *saves = static_cast<CS3SaveStore *>(store.get());
    CS3Bucket &bucket = *saves->s3();
    const QString folder = saves->objectKey(CUserFolder::name(id) + QLatin1Char('/'));
    QList<CS3Bucket::Object> objects;
    QString why;
    if (!bucket.list(folder, &objects, &why))
        return fail(QStringLiteral("cannot list %1: %2").arg(saves->location(), why));
    for (const CS3Bucket::Object &object : std::as_const(objects)) {
        const QString name = object.key.mid(folder.size());
        // The lock of a save being replaced is no data of the player's.
        if (name.section(QLatin1Char('/'), -1).startsWith(QLatin1Char('.')))
            continue;
        CS3Bucket::Head head;
        if (!bucket.head(object.key, &head, &why))
            return fail(QStringLiteral("cannot read %1: %2").arg(name, why));
        if (!head.found)
            continue; // gone meanwhile
        const bool ok
            = add(QStringLiteral("saves/") + name, head.size, head.modified.toSecsSinceEpoch(),
                [&bucket, &object, &head](const auto &sink, QString *error) {
                    return bucket.readAll(
                        object.key, head,
                        [&sink](const QByteArray &bytes) {
                            return sink(bytes.constData(), bytes.size());
                        },
                        error);
                });
        if (!ok)
            return false;
    }
    return true;
}
