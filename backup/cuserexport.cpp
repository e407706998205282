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
    if (folder.isEmpty())
        return fail(QStringLiteral("no storage folder"));

    struct archive *a = archive_write_new();
    archive_write_set_format_pax_restricted(a);
    if (archive_write_open(a, device, nullptr, writeToDevice, nullptr) != ARCHIVE_OK) {
        fail(QStringLiteral("cannot start the archive: %1")
                 .arg(QString::fromLocal8Bit(archive_error_string(a))));
        archive_write_free(a);
        return false;
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QJsonArray listed;
    const QJsonObject accountJson {
        { QStringLiteral("id"), id }, { QStringLiteral("name"), account.name },
        { QStringLiteral("lastLogin"),
            account.lastLogin.isNull() ? QJsonValue() : QJsonValue(account.lastLogin.toString()) }
    };
    const QByteArray accountBytes = QJsonDocument(accountJson).toJson(QJsonDocument::Indented);
    bool ok = addEntry(
        a, QStringLiteral("account.json"), accountBytes.size(), now, -1, accountBytes, listed);
    ok = ok && addSaves(a, folder, listed) && addManifest(a, now, listed);
    if (ok && archive_write_close(a) != ARCHIVE_OK)
        ok = fail(QStringLiteral("cannot write the archive: %1")
                      .arg(QString::fromLocal8Bit(archive_error_string(a))));
    archive_write_free(a);
    return ok;
}

bool CUserExport::addEntry(struct archive *a, const QString &name, qint64 size, qint64 mtime,
    int fd, const QByteArray &inMemory, QJsonArray &listed)
{
    const QString path = QStringLiteral("user-%1/").arg(id) + name;
    struct archive_entry *entry = archive_entry_new();
    archive_entry_set_pathname_utf8(entry, path.toUtf8().constData());
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, size);
    archive_entry_set_mtime(entry, time_t(mtime), 0);
    bool ok = archive_write_header(a, entry) == ARCHIVE_OK;
    archive_entry_free(entry);
    CSha256 sum;
    qint64 done = 0;
    if (fd < 0) {
        ok = ok && archive_write_data(a, inMemory.constData(), size_t(size)) == size;
        sum.add(inMemory);
        done = size;
    } else {
        std::vector<char> buffer(BUFFER_BYTES);
        while (ok) {
            const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || done + n > size)
                break;
            sum.add(buffer.data(), n);
            ok = archive_write_data(a, buffer.data(), size_t(n)) == n;
            done += n;
        }
    }
    if (!ok)
        return fail(QStringLiteral("cannot write the archive: %1")
                        .arg(QString::fromLocal8Bit(archive_error_string(a))));
    if (done != size)
        return fail(QStringLiteral("%1 changed while it was read").arg(name));
    listed.append(QJsonObject { { QStringLiteral("path"), path }, { QStringLiteral("size"), size },
        { QStringLiteral("sha256"), sum.hexResult() } });
    ++files;
    bytes += size;
    return true;
}

bool CUserExport::addSaves(struct archive *a, const QString &folder, QJsonArray &listed)
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
        ok = addEntry(a, QStringLiteral("saves/") + root.relativeFilePath(info.filePath()),
            st.st_size, st.st_mtim.tv_sec, fd, QByteArray(), listed);
        ::close(fd);
    }
    return ok;
}

bool CUserExport::addManifest(struct archive *a, qint64 now, QJsonArray &listed)
{
    const QJsonObject manifest { { QStringLiteral("format"), 1 },
        { QStringLiteral("serverVersion"), QStringLiteral(TOLVERN_VERSION) },
        { QStringLiteral("created"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) },
        { QStringLiteral("userId"), id }, { QStringLiteral("files"), listed } };
    const QByteArray manifestBytes = QJsonDocument(manifest).toJson(QJsonDocument::Indented);
    // The manifest counts no file of its own.
    const int counted = files;
    const qint64 countedBytes = bytes;
    const bool ok = addEntry(
        a, QStringLiteral("MANIFEST.json"), manifestBytes.size(), now, -1, manifestBytes, listed);
    files = counted;
    bytes = countedBytes;
    return ok;
}
